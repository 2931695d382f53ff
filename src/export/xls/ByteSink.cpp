#include "export/xls/ByteSink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvex::xls {

bool FdSink::WriteAt(uint64_t offset, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t k = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) { // no progress: the filesystem has no room left
            errno = ENOSPC;
            return false;
        }
        p += k;
        offset += static_cast<uint64_t>(k);
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool FdSink::ReadAt(uint64_t offset, void* out, std::size_t n) {
    auto* p = static_cast<char*>(out);
    while (n > 0) {
        const ssize_t k = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) {
            errno = EIO;
            return false;
        }
        p += k;
        offset += static_cast<uint64_t>(k);
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool MemorySink::WriteAt(uint64_t offset, const void* data, std::size_t n) {
    if (n == 0) return true;
    if (bytes_.size() < offset + n) bytes_.resize(offset + n);
    std::memcpy(bytes_.data() + offset, data, n);
    return true;
}

bool MemorySink::ReadAt(uint64_t offset, void* out, std::size_t n) {
    if (offset + n > bytes_.size()) {
        errno = EIO;
        return false;
    }
    if (n) std::memcpy(out, bytes_.data() + offset, n);
    return true;
}

} // namespace tarvex::xls
