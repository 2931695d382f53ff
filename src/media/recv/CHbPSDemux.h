#pragma once
// Cuts the video elementary stream out of one frame of MPEG program stream
// (ISO/IEC 13818-1): pack headers, system headers, program stream maps and EMM
// packets are skipped, the payloads of video PES packets (stream ids E0..EF)
// that lie wholly inside the frame are copied out in order, audio PES packets
// (C0..DF) are skipped whole. Anything else is walked byte by byte up to the
// next 00 00 01 prefix.

#include <cstdint>

class CHbPSDemux {
public:
    CHbPSDemux() = default;
    virtual ~CHbPSDemux() = default;

    // Writes the video payloads of input[0..length) to output and returns how
    // many bytes it wrote. The output never exceeds the input length, so an
    // output buffer of length bytes always suffices.
    int32_t Demux(const uint8_t* input, int32_t length, uint8_t* output);

private:
    // Size of the PES packet at i (0 when it does not fit); copies a video payload.
    int32_t Pes(const uint8_t* p, int32_t remainder, bool video);

    uint8_t* m_pOut = nullptr;
    int32_t m_nOutLen = 0;
};
