// Writing the workbook file: lock, truncate, one gathered write.
#include "export/xls/BasicExcel.h"
#include "export/xls/CompoundFile.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace tarvex::xls {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

bool WriteAll(int fd, iovec* iov, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

} // namespace

SaveError BasicExcel::SaveAs(const std::filesystem::path& path) const {
    // LibreOffice marks a document it has open with a lock file beside it; writing under it
    // would be lost when it saves its own copy.
    std::error_code ec;
    if (std::filesystem::exists(path.parent_path() / (".~lock." + path.filename().string() + "#"),
                                ec)) {
        errno = EBUSY;
        return SaveError::Locked;
    }
    // Opened without truncation: a file that another program holds locked stays intact.
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return SaveError::CreateFile;
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_SETLK, &lk) != 0) {
        const int e = errno;
        if (e == EAGAIN || e == EACCES) {
            errno = e;
            return SaveError::Locked;
        }
        // Filesystems without locks: go on unlocked.
    }
    if (::ftruncate(fd.get(), 0) != 0) return SaveError::Write;

    std::vector<uint8_t> stream;
    try {
        stream = BuildStream();
    } catch (const std::exception&) { // out of memory: report, never end the process here
        errno = ENOMEM;
        return SaveError::Write;
    }
    // BIFF8 stream offsets and the version 3 container's sizes are 32-bit.
    if (stream.size() > 0x7FFFFFFFu) {
        errno = EFBIG;
        return SaveError::Write;
    }
    CompoundFile cf(u"Workbook");
    cf.Layout(stream.size());
    iovec iov[3] = {
        {const_cast<uint8_t*>(cf.Head().data()), cf.Head().size()},
        {const_cast<uint8_t*>(stream.data()), stream.size()},
        {const_cast<uint8_t*>(cf.Tail().data()), cf.Tail().size()},
    };
    if (!WriteAll(fd.get(), iov, 3)) return SaveError::Write;
    if (::close(fd.release()) != 0) return SaveError::Write;
    return SaveError::None;
}

} // namespace tarvex::xls
