// Saving the message log at exit: the workbook goes to a temporary file that replaces
// MsgXml.xls only when complete; failures fall back to a timestamped name beside it, then
// to the user's state directory.
#include "export/xls/MessageLogSave.h"

#include "base/TextCodec.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace tarvex::xls {
namespace fs = std::filesystem;
namespace {

constexpr const char* kFileName = "MsgXml.xls";

// Texts that are ASCII and that the body encoding rule reads as ASCII are their own
// decoding; the rest goes through DecodeToUtf16.
bool ReadsAsItself(std::string_view bytes) {
    if (TextCodec::HasNonAscii(bytes)) return false;
    std::string declared = TextCodec::DeclaredEncoding(bytes);
    if (declared.empty()) return true;
    std::transform(declared.begin(), declared.end(), declared.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return declared == "UTF-8" || declared == "UTF8" || declared == "GB2312" ||
           declared == "GBK" || declared == "GB18030";
}

CellText Decode(std::string_view bytes, std::u16string& buffer) {
    if (ReadsAsItself(bytes)) return CellText::Narrow(bytes);
    buffer = DecodeToUtf16(bytes);
    return CellText::Wide(buffer);
}

// The log's rows as cells: time and device identifier byte for byte, the other texts
// decoded by the body encoding rule.
class DecodedRows final : public ILogCells {
public:
    explicit DecodedRows(const IMessageLogRows& rows) : rows_(rows) {}
    std::size_t RowCount(LogDirection dir) const override { return rows_.RowCount(dir); }
    void ForEachRow(LogDirection dir,
                    const std::function<void(const LogRowCells&)>& f) const override {
        std::u16string type, body, head;
        rows_.ForEachRow(dir, [&](const LogRowRef& r) {
            f(LogRowCells{CellText::Narrow(r.time), Decode(r.typeText, type),
                          CellText::Narrow(r.deviceId), Decode(r.body, body), Decode(r.head, head)});
        });
    }

private:
    const IMessageLogRows& rows_;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close's own error (delayed write errors show up here).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// A temporary file that is removed unless it was renamed into place.
struct TempFile {
    std::string path;
    bool kept = false;
    ~TempFile() {
        if (!path.empty() && !kept) ::unlink(path.c_str());
    }
};

std::string Shown(const fs::path& p) {
    std::error_code ec;
    const fs::path a = fs::absolute(p, ec);
    return (ec ? p : a.lexically_normal()).string();
}

std::string Errno(int e) {
    return std::strerror(e);
}

mode_t CurrentUmask() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    return 022;
}

std::string TimeStamp() {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    return stamp;
}

// Makes dir and its missing parents with mode 0700.
bool MakeDirectories(const fs::path& dir, std::string& why) {
    fs::path p;
    for (const fs::path& part : dir) {
        p /= part;
        if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot make " + Shown(p) + ": " + Errno(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        why = Shown(dir) + " is not a directory";
        return false;
    }
    return true;
}

class Saver {
public:
    Saver(const ILogCells& cells, const SaveOptions& options) : cells_(cells), options_(options) {}

    SaveResult Run() {
        const fs::path primary = options_.dir / kFileName;
        std::string why;
        bool existed = false;
        if (WriteReplacing(primary, existed, why)) {
            Saved(primary, false);
            return std::move(result_);
        }
        Say("message log: " + Shown(primary) + " could not be written (" + why + ")" +
            (existed ? "; the previous file is left as it was" : ""));

        fs::path written;
        if (WriteNew(options_.dir, written, why)) {
            Saved(written, true);
            return std::move(result_);
        }
        Say("message log: no copy could be written in " + Shown(options_.dir.empty() ? "." : options_.dir) +
            " either (" + why + ")");

        const fs::path state = StateDirectory();
        if (state.empty()) {
            Say("message log: no state directory to fall back to (HOME is not set)");
        } else if (!MakeDirectories(state, why)) {
            Say("message log: state directory unusable (" + why + ")");
        } else if (WriteNew(state, written, why)) {
            Saved(written, true);
            return std::move(result_);
        } else {
            Say("message log: no copy could be written in " + Shown(state) + " either (" + why + ")");
        }
        const std::size_t rows = cells_.RowCount(LogDirection::Received) + cells_.RowCount(LogDirection::Sent);
        Say("message log could not be saved: the " + std::to_string(rows) +
            " logged messages of this run are lost");
        return std::move(result_);
    }

private:
    void Say(const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        result_.notes.push_back(line);
    }

    void Saved(const fs::path& path, bool instead) {
        result_.written = path;
        Say("message log saved as " + Shown(path) + (instead ? " instead" : "") + " (" +
            std::to_string(last_.received) + " received, " + std::to_string(last_.sent) +
            " sent messages)");
        if (last_.dropped)
            Say("message log: " + std::to_string(last_.dropped) +
                " messages logged during the save are not in the workbook");
    }

    // Writes the workbook into a new temporary file in dir, flushed to disk and closed.
    bool WriteTemp(const fs::path& dir, mode_t mode, TempFile& tmp, std::string& why) {
        std::string name = (dir / (std::string(".") + kFileName + ".XXXXXX")).string();
        Fd fd(::mkostemp(name.data(), O_CLOEXEC));
        if (fd.get() < 0) {
            why = "no file can be made there: " + Errno(errno);
            return false;
        }
        tmp.path = name;
        ::fchmod(fd.get(), mode);
        std::unique_ptr<ByteSink> sink = std::make_unique<FdSink>(fd.get());
        if (options_.wrapSink) sink = options_.wrapSink(std::move(sink));
        last_ = WriteLogWorkbook(cells_, *sink, options_.limits);
        if (!last_.ok) {
            why = Errno(last_.error);
            return false;
        }
        if (::fsync(fd.get()) != 0 || !fd.Close()) {
            why = Errno(errno);
            return false;
        }
        return true;
    }

    bool WriteReplacing(const fs::path& target, bool& existed, std::string& why) {
        const fs::path dir = target.parent_path();
        const std::string loLock = ".~lock." + target.filename().string() + "#";
        std::error_code ec;
        // LibreOffice marks a document it has open with a lock file beside it; its own
        // save would overwrite ours.
        if (fs::exists(dir / loLock, ec)) {
            existed = fs::exists(target, ec);
            why = "open in LibreOffice, " + loLock + " lies beside it";
            return false;
        }
        Fd old(::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
        mode_t mode = 0666 & ~CurrentUmask();
        if (old.get() < 0) {
            existed = errno != ENOENT;
            if (existed) {
                why = "cannot be replaced: " + Errno(errno);
                return false;
            }
        } else {
            existed = true;
            struct stat st {};
            if (::fstat(old.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
                why = "not a regular file";
                return false;
            }
            mode = st.st_mode & 07777;
            // Another program's lock says it is using the file: leave it alone. The lock
            // we take is held until the new file has replaced the old one.
            struct flock lk {};
            lk.l_type = F_WRLCK;
            lk.l_whence = SEEK_SET;
            if (::fcntl(old.get(), F_OFD_SETLK, &lk) != 0 && (errno == EAGAIN || errno == EACCES)) {
                why = "locked by another program";
                return false;
            }
        }
        TempFile tmp;
        if (!WriteTemp(dir, mode, tmp, why)) return false;
        if (::rename(tmp.path.c_str(), target.c_str()) != 0) {
            why = "cannot be replaced: " + Errno(errno);
            return false;
        }
        tmp.kept = true;
        SyncDirectory(dir);
        return true;
    }

    // Writes a new file "MsgXml-YYYYMMDD-HHMMSS[-N].xls" in dir, never over an existing one.
    bool WriteNew(const fs::path& dir, fs::path& written, std::string& why) {
        TempFile tmp;
        if (!WriteTemp(dir, 0666 & ~CurrentUmask(), tmp, why)) return false;
        const std::string stamp = TimeStamp();
        for (int n = 0; n < 100; ++n) {
            const fs::path target =
                dir / ("MsgXml-" + stamp + (n ? "-" + std::to_string(n) : "") + ".xls");
            int rc = ::renameat2(AT_FDCWD, tmp.path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
                // Filesystems without the no-replace rename: a hard link fails on an existing name too.
                rc = ::link(tmp.path.c_str(), target.c_str());
                if (rc == 0) ::unlink(tmp.path.c_str());
            }
            if (rc == 0) {
                tmp.kept = true;
                SyncDirectory(dir);
                written = target;
                return true;
            }
            if (errno != EEXIST) {
                why = "cannot name the file " + target.filename().string() + ": " + Errno(errno);
                return false;
            }
        }
        why = "every timestamped name is taken";
        return false;
    }

    static void SyncDirectory(const fs::path& dir) {
        Fd d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (d.get() >= 0) ::fsync(d.get());
    }

    const ILogCells& cells_;
    const SaveOptions& options_;
    SaveResult result_;
    WriteOutcome last_;
};

} // namespace

fs::path StateDirectory() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') return fs::path(xdg) / "tarvex";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0]) {
        home = h;
    } else {
        char buf[4096];
        passwd pw{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_dir)
            home = pw.pw_dir;
    }
    if (home.empty()) return {};
    return fs::path(home) / ".local" / "state" / "tarvex";
}

SaveResult SaveLogCells(const ILogCells& cells, const SaveOptions& options) {
    return Saver(cells, options).Run();
}

WriteOutcome WriteMessageLog(const IMessageLogRows& rows, ByteSink& sink, const WorkbookLimits& limits) {
    return WriteLogWorkbook(DecodedRows(rows), sink, limits);
}

SaveResult SaveMessageLogWith(const IMessageLogRows& rows, const SaveOptions& options) {
    return SaveLogCells(DecodedRows(rows), options);
}

SaveResult SaveMessageLog(const IMessageLogRows& rows, const fs::path& dir) {
    SaveOptions options;
    options.dir = dir;
    return SaveMessageLogWith(rows, options);
}

} // namespace tarvex::xls
