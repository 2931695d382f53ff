#include "media/recv/NalDepacketizer.h"

#include <cstring>

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// H.264 NAL unit types of the RTP payload format.
constexpr int kStapA = 24, kStapB = 25, kFuA = 28, kFuB = 29;
// H.265.
constexpr int kHevcAp = 48, kHevcFu = 49;

} // namespace

void NalDepacketizer::Unit(const uint8_t* nal, std::size_t n) {
    if (n == 0) return;
    std::memcpy(out_ + len_, kStartCode, sizeof kStartCode);
    std::memcpy(out_ + len_ + sizeof kStartCode, nal, n);
    len_ += sizeof kStartCode + n;
}

// A run of (16-bit size, NAL unit); a size beyond the packet ends it.
void NalDepacketizer::Aggregate(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i + 2 <= n) {
        const std::size_t size = static_cast<std::size_t>(p[i]) << 8 | p[i + 1];
        i += 2;
        if (size > n - i) {
            ++dropped_;
            return;
        }
        Unit(p + i, size);
        i += size;
    }
}

void NalDepacketizer::AbandonFragment() {
    if (!inFragment_) return;
    len_ = fragmentStart_;
    inFragment_ = false;
    ++dropped_;
}

void NalDepacketizer::Fragment(bool start, bool end, int type, const uint8_t* header,
                               std::size_t headerLen, const uint8_t* body, std::size_t n) {
    if (start) {
        AbandonFragment(); // a unit whose end never came
        fragmentStart_ = len_;
        fragmentType_ = type;
        inFragment_ = true;
        std::memcpy(out_ + len_, kStartCode, sizeof kStartCode);
        std::memcpy(out_ + len_ + sizeof kStartCode, header, headerLen);
        len_ += sizeof kStartCode + headerLen;
    } else if (!inFragment_ || type != fragmentType_) {
        // Its start was lost: nothing of it is written.
        AbandonFragment();
        ++dropped_;
        return;
    }
    std::memcpy(out_ + len_, body, n);
    len_ += n;
    if (end) inFragment_ = false;
}

int32_t NalDepacketizer::Depacketize(std::span<const Piece> pieces, uint8_t* output) {
    out_ = output;
    len_ = 0;
    inFragment_ = false;
    for (const Piece& piece : pieces) {
        const uint8_t* p = piece.data();
        const std::size_t n = piece.size();
        if (codec_ == NalCodec::H264) {
            if (n < 1) continue;
            const int type = p[0] & 0x1F;
            if (type != kFuA && type != kFuB) AbandonFragment();
            if (type >= 1 && type <= 23) {
                Unit(p, n);
            } else if (type == kStapA) {
                Aggregate(p + 1, n - 1);
            } else if (type == kStapB) {
                if (n >= 3) Aggregate(p + 3, n - 3); // after the decoding order number
            } else if ((type == kFuA || type == kFuB) && n >= 2) {
                const bool start = p[1] & 0x80, end = p[1] & 0x40;
                const uint8_t header = static_cast<uint8_t>((p[0] & 0xE0) | (p[1] & 0x1F));
                // FU-B's first fragment carries a decoding order number.
                const std::size_t skip = type == kFuB && start ? 4 : 2;
                if (n < skip) {
                    ++dropped_;
                    continue;
                }
                Fragment(start, end, p[1] & 0x1F, &header, 1, p + skip, n - skip);
            } else {
                ++dropped_; // MTAPs, reserved types, type 0
            }
        } else {
            if (n < 2) continue;
            const int type = (p[0] >> 1) & 0x3F;
            if (type != kHevcFu) AbandonFragment();
            if (type < kHevcAp) {
                Unit(p, n);
            } else if (type == kHevcAp) {
                Aggregate(p + 2, n - 2);
            } else if (type == kHevcFu && n >= 3) {
                const bool start = p[2] & 0x80, end = p[2] & 0x40;
                const int fuType = p[2] & 0x3F;
                const uint8_t header[2] = {static_cast<uint8_t>((p[0] & 0x81) | (fuType << 1)), p[1]};
                Fragment(start, end, fuType, header, 2, p + 3, n - 3);
            } else {
                ++dropped_; // PACI and reserved types
            }
        }
    }
    AbandonFragment(); // the frame ended inside a fragmented unit
    out_ = nullptr;
    return static_cast<int32_t>(len_);
}
