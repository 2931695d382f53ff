#include "media/recv/CHbPSDemux.h"

#include <cstring>

namespace {
int32_t be16(const uint8_t* p) {
    return p[0] << 8 | p[1];
}
} // namespace

int32_t CHbPSDemux::Demux(const uint8_t* input, int32_t length, uint8_t* output) {
    m_pOut = output;
    m_nOutLen = 0;
    if (!input || !output || length <= 4) return 0;
    int32_t i = 0;
    while (i < length - 4) {
        const uint8_t* p = input + i;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1) {
            ++i;
            continue;
        }
        const uint8_t id = p[3];
        const int32_t remainder = length - i;
        int32_t size = 0;
        if (id == 0xB9) {
            size = 4; // program end code
        } else if (id == 0xBA) {
            // Pack header: 14 bytes and up to 7 bytes of stuffing.
            if (remainder >= 14) {
                int32_t s = 14 + (p[13] & 0x07);
                if (s <= remainder) size = s;
            }
        } else if (id == 0xBB || id == 0xBC || id == 0xF1) {
            // System header, program stream map, EMM: length-prefixed, not read.
            if (remainder >= 6) {
                int32_t s = 6 + be16(p + 4);
                if (s <= remainder) size = s;
            }
        } else if (id >= 0xE0 && id <= 0xEF) {
            size = Pes(p, remainder, true);
        } else if (id >= 0xC0 && id <= 0xDF) {
            size = Pes(p, remainder, false);
        }
        i += size > 0 ? size : 1;
    }
    return m_nOutLen;
}

int32_t CHbPSDemux::Pes(const uint8_t* p, int32_t remainder, bool video) {
    if (remainder < 6) return 0;
    const int32_t pesLength = be16(p + 4);
    const int32_t size = 6 + pesLength;
    if (remainder < size) return 0; // runs past the frame: not used
    if (size >= 9 && p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] & 0xE0)) {
        const int32_t headerData = p[8];
        const int32_t payloadLength = pesLength - headerData - 3;
        if (video && payloadLength > 0) {
            // 9 + headerData + payloadLength == size, so the copy stays inside
            // the packet and the frame.
            std::memcpy(m_pOut + m_nOutLen, p + 9 + headerData, static_cast<size_t>(payloadLength));
            m_nOutLen += payloadLength;
        }
    }
    return size;
}
