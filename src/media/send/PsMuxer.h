#pragma once
// MPEG-2 program stream as GB/T 28181 cameras write it: every access unit
// starts a pack; key frames carry a system header and a program stream map
// (stream type 0x1B, H.264, on stream id E0) before their video PES packets.
// A PES packet holds at most 65535 bytes, so large pictures span several.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvsend {

// CRC-32 of the program stream map (ISO/IEC 13818-1 annex A: polynomial
// 0x04C11DB7, initial value all ones, no reflection, no final XOR).
uint32_t Crc32Mpeg(const uint8_t* data, std::size_t length);

// True when the Annex B access unit holds an IDR slice or a sequence parameter set.
bool IsH264KeyFrame(const uint8_t* au, std::size_t length);

class PsMuxer {
public:
    // Largest payload of one PES packet: the 16-bit length field covers the
    // three header bytes and the PTS/DTS fields too.
    static constexpr std::size_t kMaxPesPayload = 65535 - 3 - 10;

    // One pack for one access unit. pts and dts are on the 90 kHz clock; the
    // first PES packet carries them (the DTS only when it differs).
    std::vector<uint8_t> Mux(const uint8_t* au, std::size_t length, uint64_t pts, uint64_t dts,
                             bool key) const;

    // One pack of G.711 A-law audio: an audio PES packet (stream id C0) with
    // its PTS (90 kHz).
    std::vector<uint8_t> MuxAudio(const uint8_t* g711, std::size_t length, uint64_t pts) const;

    // The stream type the program stream map names for E0: 0x1B H.264, 0x24 H.265.
    uint8_t videoStreamType = 0x1B;
    // The map also names G.711 A-law (stream type 0x90) on C0.
    bool withAudio = false;
};

} // namespace tvsend
