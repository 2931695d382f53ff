#include "media/recv/CHbPSDemux.h"

#include <algorithm>
#include <cstring>

namespace {
int32_t be16(const uint8_t* p) {
    return p[0] << 8 | p[1];
}

// One frame in one buffer.
struct Flat {
    const uint8_t* data;
    // n bytes at pos (the caller keeps pos + n inside the frame).
    const uint8_t* At(int32_t pos, int32_t, std::vector<uint8_t>&) const { return data + pos; }
    void Copy(int32_t pos, int32_t n, uint8_t* dst) const {
        std::memcpy(dst, data + pos, static_cast<size_t>(n));
    }
    // First position >= pos below end where 00 00 01 starts; end when none.
    int32_t Find(int32_t pos, int32_t end) const {
        while (pos < end) {
            const auto* z = static_cast<const uint8_t*>(
                std::memchr(data + pos + 2, 1, static_cast<size_t>(end - pos)));
            if (!z) return end;
            const int32_t at = static_cast<int32_t>(z - data) - 2;
            if (at >= end) return end;
            if (data[at] == 0 && data[at + 1] == 0) return at;
            pos = at + 1;
        }
        return end;
    }
};

// One frame as consecutive pieces. Lookups move a cursor, so the forward walk
// finds each position's piece in constant time.
class Pieces {
public:
    Pieces(std::span<const CHbPSDemux::Piece> p, std::vector<int32_t>& starts)
        : pieces_(p), starts_(starts) {
        starts_.clear();
        int64_t at = 0;
        for (const auto& x : p) {
            starts_.push_back(static_cast<int32_t>(at));
            at += static_cast<int64_t>(x.size());
        }
        starts_.push_back(static_cast<int32_t>(at));
    }
    int32_t Length() const { return starts_.back(); }

    const uint8_t* At(int32_t pos, int32_t n, std::vector<uint8_t>& scratch) const {
        const size_t k = Locate(pos);
        if (pos + n <= starts_[k + 1]) return pieces_[k].data() + (pos - starts_[k]);
        if (scratch.size() < static_cast<size_t>(n)) scratch.resize(static_cast<size_t>(n));
        Copy(pos, n, scratch.data());
        return scratch.data();
    }
    void Copy(int32_t pos, int32_t n, uint8_t* dst) const {
        size_t k = Locate(pos);
        while (n > 0) {
            const int32_t off = pos - starts_[k];
            const int32_t take = std::min(n, starts_[k + 1] - pos);
            if (k + 1 < pieces_.size()) Prefetch(pieces_[k + 1]);
            std::memcpy(dst, pieces_[k].data() + off, static_cast<size_t>(take));
            dst += take;
            pos += take;
            n -= take;
            ++k;
        }
    }
    int32_t Find(int32_t pos, int32_t end) const {
        // Whole pieces are searched in place; the two bytes at each seam are
        // looked at through Byte.
        while (pos < end) {
            const size_t k = Locate(pos);
            const int32_t pieceEnd = starts_[k + 1];
            if (pos + 2 < pieceEnd) {
                const int32_t base = starts_[k];
                const int32_t limit = std::min(end, pieceEnd - 2);
                const int32_t at = Flat{pieces_[k].data()}.Find(pos - base, limit - base) + base;
                if (at < limit) return at;
                pos = limit;
            }
            for (; pos < std::min(end, pieceEnd); ++pos)
                if (Byte(pos) == 0 && Byte(pos + 1) == 0 && Byte(pos + 2) == 1) return pos;
        }
        return end;
    }

private:
    // Each piece is a packet of its own, somewhere in memory: the next one (its
    // first 2 KiB, a datagram's worth; the hardware follows a longer one) is
    // fetched while this one is copied.
    static void Prefetch(const CHbPSDemux::Piece& p) {
        for (size_t at = 0; at < std::min<size_t>(p.size(), 2048); at += 64)
            __builtin_prefetch(p.data() + at);
    }
    uint8_t Byte(int32_t pos) const {
        const size_t k = Locate(pos);
        return pieces_[k][static_cast<size_t>(pos - starts_[k])];
    }
    size_t Locate(int32_t pos) const {
        size_t k = cursor_;
        if (pos < starts_[k] || pos >= starts_[k + 1]) {
            if (k + 2 < starts_.size() && pos >= starts_[k + 1] && pos < starts_[k + 2]) {
                ++k;
            } else {
                // Empty pieces share their start with the next: take the last.
                k = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end() - 1, pos) -
                                        starts_.begin()) -
                    1;
            }
            cursor_ = k;
        }
        return k;
    }
    std::span<const CHbPSDemux::Piece> pieces_;
    std::vector<int32_t>& starts_;
    mutable size_t cursor_ = 0;
};
} // namespace

CHbPSDemux::CHbPSDemux() = default;

int32_t CHbPSDemux::Demux(const uint8_t* input, int32_t length, uint8_t* output) {
    m_pOut = output;
    m_nOutLen = 0;
    m_mapType = 0;
    m_mapAudioType = 0;
    m_heads = 0;
    m_audio.clear();
    if (!input || !output || length <= 4) return 0;
    return Walk(Flat{input}, length);
}

int32_t CHbPSDemux::Demux(std::span<const Piece> pieces, uint8_t* output) {
    m_pOut = output;
    m_nOutLen = 0;
    m_mapType = 0;
    m_mapAudioType = 0;
    m_heads = 0;
    m_audio.clear();
    if (!output) return 0;
    int64_t total = 0;
    for (const auto& p : pieces)
        total += static_cast<int64_t>(p.size());
    if (total <= 4 || total > INT32_MAX) return 0;
    Pieces in(pieces, m_starts);
    return Walk(in, in.Length());
}

template <class In> int32_t CHbPSDemux::Walk(const In& in, int32_t length) {
    int32_t i = 0;
    m_heads = 0;
    m_videoSeen = false;
    while (i < length - 4) {
        i = in.Find(i, length - 4);
        if (i >= length - 4) break;
        const int32_t remainder = length - i;
        // The prefix, the stream byte and what the sizes below read: at most
        // 14 bytes, or the 6 of a length-prefixed structure.
        const uint8_t* p = in.At(i, std::min(remainder, 14), m_scratch);
        const uint8_t id = p[3];
        int32_t size = 0;
        if (!m_videoSeen)
            m_heads |= id == 0xBA ? kPackHeader : id == 0xBB ? kSystemHeader
                                              : id == 0xBC ? kStreamMap
                                                           : 0;
        if (id >= 0xE0 && id <= 0xEF) m_videoSeen = true;
        if (id == 0xB9) {
            size = 4; // program end code
        } else if (id == 0xBA) {
            // Pack header: 14 bytes and up to 7 bytes of stuffing.
            if (remainder >= 14) {
                int32_t s = 14 + (p[13] & 0x07);
                if (s <= remainder) size = s;
            }
        } else if (id == 0xBB || id == 0xBC || id == 0xF1) {
            // System header, program stream map, EMM: length-prefixed; the map
            // is read for the video stream type.
            if (remainder >= 6) {
                int32_t s = 6 + be16(p + 4);
                if (s <= remainder) size = s;
                if (size && id == 0xBC) ReadMap(in.At(i, size, m_scratch), size);
            }
        } else if (id >= 0xE0 && id <= 0xEF) {
            size = Pes(in, i, remainder, true);
        } else if (id >= 0xC0 && id <= 0xDF) {
            size = Pes(in, i, remainder, false);
        }
        i += size > 0 ? size : 1;
    }
    return m_nOutLen;
}

template <class In>
int32_t CHbPSDemux::Pes(const In& in, int32_t i, int32_t remainder, bool video) {
    if (remainder < 6) return 0;
    const uint8_t* p = in.At(i, std::min(remainder, 9), m_scratch);
    const int32_t pesLength = be16(p + 4);
    const int32_t size = 6 + pesLength;
    if (remainder < size) return 0; // runs past the frame: not used
    if (size >= 9 && (p[3] & 0xE0)) {
        const int32_t headerData = p[8];
        const int32_t payloadLength = pesLength - headerData - 3;
        if (video && payloadLength > 0) {
            // 9 + headerData + payloadLength == size, so the copy stays inside
            // the packet and the frame.
            in.Copy(i + 9 + headerData, payloadLength, m_pOut + m_nOutLen);
            m_nOutLen += payloadLength;
        } else if (!video && m_collectAudio && payloadLength > 0) {
            const std::size_t at = m_audio.size();
            m_audio.resize(at + static_cast<std::size_t>(payloadLength));
            in.Copy(i + 9 + headerData, payloadLength, m_audio.data() + at);
        }
    }
    return size;
}

// Program stream map (ISO/IEC 13818-1 2.5.4): after the 6-byte head, two bytes
// of flags and version, the program stream info (length-prefixed), then the
// elementary stream map (length-prefixed) of entries: stream type, stream id,
// info length, info.
void CHbPSDemux::ReadMap(const uint8_t* p, int32_t size) {
    int32_t at = 8;
    if (at + 2 > size) return;
    at += 2 + be16(p + at);
    if (at + 2 > size) return;
    const int32_t mapEnd = std::min(size, at + 2 + be16(p + at));
    at += 2;
    bool video = false, audio = false;
    while (at + 4 <= mapEnd && !(video && audio)) {
        const uint8_t type = p[at], id = p[at + 1];
        if (id >= 0xE0 && id <= 0xEF && !video) {
            m_mapType = type;
            video = true;
        } else if (id >= 0xC0 && id <= 0xDF && !audio) {
            m_mapAudioType = type;
            audio = true;
        }
        at += 4 + be16(p + at + 2);
    }
}

bool CHbPSDemux::HasKeyPicture(const uint8_t* s, int32_t n, uint8_t streamType) {
    for (int32_t i = 0; s && i + 3 < n; ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
        const uint8_t a = s[i + 3];
        if (streamType == 0x24 ? ((a >> 1) & 0x3f) >= 16 && ((a >> 1) & 0x3f) <= 21
                               : (a & 0x1f) == 5)
            return true;
    }
    return false;
}

// H.265's VPS, SPS and PPS headers (40 01, 42 01, 44 01) are no H.264
// parameter set, and an H.264 SPS or PPS (types 7 and 8, nal_ref_idc above 0)
// never has 01 as its next byte, which every H.265 header of layer 0 has.
uint8_t CHbPSDemux::SniffStreamType(const uint8_t* s, int32_t n) {
    for (int32_t i = 0; s && i + 4 < n; ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
        const uint8_t a = s[i + 3], b = s[i + 4];
        if ((a == 0x40 || a == 0x42 || a == 0x44) && b == 0x01) return 0x24;
        if (!(a & 0x80) && (a & 0x60) && ((a & 0x1f) == 7 || (a & 0x1f) == 8) && b != 0x01)
            return 0x1B;
    }
    return 0;
}
