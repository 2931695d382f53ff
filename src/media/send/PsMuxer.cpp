#include "media/send/PsMuxer.h"

#include <algorithm>

namespace tvsend {

namespace {

void Put16(std::vector<uint8_t>& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v & 0xFFFF);
}

// 33-bit time stamp in the five-byte PES form, with the 4-bit prefix.
void PutTimestamp(std::vector<uint8_t>& b, unsigned prefix, uint64_t t) {
    t &= (1ULL << 33) - 1;
    b.push_back(static_cast<uint8_t>((prefix << 4) | ((t >> 29) & 0x0E) | 1));
    b.push_back(static_cast<uint8_t>(t >> 22));
    b.push_back(static_cast<uint8_t>(((t >> 14) & 0xFE) | 1));
    b.push_back(static_cast<uint8_t>(t >> 7));
    b.push_back(static_cast<uint8_t>(((t << 1) & 0xFE) | 1));
}

// Pack header with the system clock reference (extension 0) and no stuffing.
void PackHeader(std::vector<uint8_t>& b, uint64_t scr) {
    scr &= (1ULL << 33) - 1;
    b.insert(b.end(), {0x00, 0x00, 0x01, 0xBA});
    b.push_back(static_cast<uint8_t>(0x44 | ((scr >> 27) & 0x38) | ((scr >> 28) & 0x03)));
    b.push_back(static_cast<uint8_t>(scr >> 20));
    b.push_back(static_cast<uint8_t>(((scr >> 12) & 0xF8) | 0x04 | ((scr >> 13) & 0x03)));
    b.push_back(static_cast<uint8_t>(scr >> 5));
    b.push_back(static_cast<uint8_t>(((scr << 3) & 0xF8) | 0x04));
    b.push_back(0x01);
    // program_mux_rate 0x6270 (in units of 50 bytes/s, about 20 Mbit/s), markers,
    // reserved bits and a stuffing length of 0.
    b.insert(b.end(), {0x01, 0x89, 0xC3, 0xF8});
}

void SystemHeader(std::vector<uint8_t>& b) {
    static const uint8_t body[] = {0x80, 0x01, 0x89, 0x04, 0xE1, 0xFF, // rate bound, audio/video bounds
                                   0xE0, 0xE0, 0x80,                   // video E0, buffer bound
                                   0xC0, 0xC0, 0x20};                  // audio C0, buffer bound
    b.insert(b.end(), {0x00, 0x00, 0x01, 0xBB});
    Put16(b, sizeof body);
    b.insert(b.end(), body, body + sizeof body);
}

void StreamMap(std::vector<uint8_t>& b, uint8_t videoType, bool audio) {
    std::size_t start = b.size();
    b.insert(b.end(), {0x00, 0x00, 0x01, 0xBC});
    // Length: 2 flag bytes, 2 info-length bytes, 2 map-length bytes, one
    // 4-byte entry per stream, the 4-byte CRC.
    const unsigned entries = audio ? 8 : 4;
    Put16(b, 2 + 2 + 2 + entries + 4);
    b.push_back(0xE0); // current_next_indicator, version 0
    b.push_back(0xFF); // reserved, marker
    Put16(b, 0);       // no program stream info
    Put16(b, entries); // elementary stream map length
    b.insert(b.end(), {videoType, 0xE0, 0x00, 0x00}); // the video on E0, no descriptors
    if (audio) b.insert(b.end(), {0x90, 0xC0, 0x00, 0x00}); // G.711 A-law on C0
    Put32(b, Crc32Mpeg(b.data() + start, b.size() - start));
}

} // namespace

uint32_t Crc32Mpeg(const uint8_t* data, std::size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

bool IsH264KeyFrame(const uint8_t* au, std::size_t n) {
    for (std::size_t i = 0; i + 3 < n; ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            unsigned type = au[i + 3] & 0x1F;
            if (type == 5 || type == 7) return true;
            i += 2;
        }
    }
    return false;
}

std::vector<uint8_t> PsMuxer::Mux(const uint8_t* au, std::size_t length, uint64_t pts,
                                  uint64_t dts, bool key) const {
    std::vector<uint8_t> b;
    b.reserve(length + 64 + length / kMaxPesPayload * 16);
    PackHeader(b, dts);
    if (key) {
        SystemHeader(b);
        StreamMap(b, videoStreamType, withAudio);
    }
    bool first = true;
    std::size_t off = 0;
    do {
        bool withDts = first && dts != pts;
        std::size_t header = first ? (withDts ? 10 : 5) : 0;
        std::size_t chunk = length - off;
        if (chunk > kMaxPesPayload) chunk = kMaxPesPayload;
        b.insert(b.end(), {0x00, 0x00, 0x01, 0xE0});
        Put16(b, static_cast<unsigned>(3 + header + chunk));
        b.push_back(0x80); // '10', not scrambled, no priority or alignment flags
        b.push_back(first ? (withDts ? 0xC0 : 0x80) : 0x00);
        b.push_back(static_cast<uint8_t>(header));
        if (first) {
            PutTimestamp(b, withDts ? 3 : 2, pts);
            if (withDts) PutTimestamp(b, 1, dts);
        }
        b.insert(b.end(), au + off, au + off + chunk);
        off += chunk;
        first = false;
    } while (off < length);
    return b;
}

std::vector<uint8_t> PsMuxer::MuxAudio(const uint8_t* g711, std::size_t length,
                                       uint64_t pts) const {
    std::vector<uint8_t> b;
    b.reserve(length + 40);
    PackHeader(b, pts);
    std::size_t off = 0;
    bool first = true;
    do {
        const std::size_t header = first ? 5 : 0;
        const std::size_t chunk = std::min(length - off, kMaxPesPayload);
        b.insert(b.end(), {0x00, 0x00, 0x01, 0xC0});
        Put16(b, static_cast<unsigned>(3 + header + chunk));
        b.push_back(0x80);
        b.push_back(first ? 0x80 : 0x00);
        b.push_back(static_cast<uint8_t>(header));
        if (first) PutTimestamp(b, 2, pts);
        b.insert(b.end(), g711 + off, g711 + off + chunk);
        off += chunk;
        first = false;
    } while (off < length);
    return b;
}

} // namespace tvsend
