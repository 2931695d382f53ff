// Where the workbook writer puts its bytes: a file (FdSink) or memory (MemorySink). The
// writer fills the file front to back, goes back to patch offsets it learns later, and
// reads back texts it wrote earlier to tell whether a new text is already stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvex::xls {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes n bytes at offset. False on failure, with errno saying why.
    virtual bool WriteAt(uint64_t offset, const void* data, std::size_t n) = 0;
    // Reads n bytes that were written before. False on failure, with errno saying why.
    virtual bool ReadAt(uint64_t offset, void* out, std::size_t n) = 0;
};

// A file descriptor opened for reading and writing; the caller keeps ownership.
class FdSink final : public ByteSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool WriteAt(uint64_t offset, const void* data, std::size_t n) override;
    bool ReadAt(uint64_t offset, void* out, std::size_t n) override;

private:
    int fd_;
};

class MemorySink final : public ByteSink {
public:
    bool WriteAt(uint64_t offset, const void* data, std::size_t n) override;
    bool ReadAt(uint64_t offset, void* out, std::size_t n) override;
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

} // namespace tarvex::xls
