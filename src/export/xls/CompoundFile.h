// Writer of an OLE2 compound file (version 3, 512-byte sectors) holding one stream under
// the root storage. Streams shorter than 4096 bytes go into the mini stream (64-byte
// sectors) as the format requires.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvex::xls {

class CompoundFile {
public:
    static constexpr std::size_t kSectorSize = 512;
    static constexpr std::size_t kMiniSectorSize = 64;
    static constexpr std::size_t kMiniStreamCutoff = 4096;

    explicit CompoundFile(std::u16string streamName) : name_(std::move(streamName)) {}

    // Lays the file out for a stream of `streamSize` bytes. The file is
    // Head() + the stream bytes + Tail(): the stream's sectors come right after the
    // header, so the caller writes its buffer as it is, in one call.
    void Layout(std::size_t streamSize);
    const std::vector<uint8_t>& Head() const { return head_; }
    const std::vector<uint8_t>& Tail() const { return tail_; }

    // Whole file in one buffer (tests and small files).
    std::vector<uint8_t> Build(std::span<const uint8_t> stream);

private:
    std::u16string name_;
    std::vector<uint8_t> head_;
    std::vector<uint8_t> tail_;
};

} // namespace tarvex::xls
