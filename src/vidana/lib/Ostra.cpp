// The Ostra decoder and CVidana's operations on it.
#include "vidana/lib/Ostra.h"

#include "vidana/lib/DecoderState.h"
#include "vidana/lib/Vidana.h"

#include <algorithm>

VidanaOstraState::VidanaOstraState() {
    for (int i = 0; i < 256; ++i) {
        y[i] = 298 * (i - 16) + 128;
        rv[i] = 409 * (i - 128);
        gu[i] = -100 * (i - 128);
        gv[i] = -208 * (i - 128);
        bu[i] = 516 * (i - 128);
    }
}

namespace {
inline uint8_t Clip(int32_t v) {
    return uint8_t(std::clamp(v >> 8, 0, 255));
}
} // namespace

bool VidanaOstraState::Decode(const VidanaOstraRequest& r) {
    if (!r.input || !r.output || r.width < 1 || r.height < 1 ||
        r.width > vidana::kMaxPictureWidth || r.height > vidana::kMaxPictureHeight)
        return false;
    const int64_t cw = (r.width + 1) / 2;
    const int64_t ch = (r.height + 1) / 2;
    const int64_t need = int64_t(r.width) * r.height + 2 * cw * ch;
    if (r.length < need) return false;
    const uint8_t* yp = r.input;
    const uint8_t* up = yp + int64_t(r.width) * r.height;
    const uint8_t* vp = up + cw * ch;
    uint8_t* out = r.output;
    for (int row = 0; row < r.height; ++row) {
        const uint8_t* yr = yp + int64_t(row) * r.width;
        const uint8_t* ur = up + int64_t(row / 2) * cw;
        const uint8_t* vr = vp + int64_t(row / 2) * cw;
        for (int col = 0; col < r.width; ++col) {
            const int32_t luma = y[yr[col]];
            const uint8_t u = ur[col / 2];
            const uint8_t v = vr[col / 2];
            *out++ = Clip(luma + bu[u]);
            *out++ = Clip(luma + gu[u] + gv[v]);
            *out++ = Clip(luma + rv[v]);
        }
    }
    ++pictures;
    return true;
}

void CVidana::InitOstraDecoder() {
    ReleaseOstraDecoder();
    m_ostraRequest = std::make_unique<VidanaOstraRequest>();
    m_ostraState = std::make_unique<VidanaOstraState>();
}

void CVidana::ReleaseOstraDecoder() {
    m_ostraRequest.reset();
    m_ostraState.reset();
}

int32_t CVidana::DecodeOstra(const uint8_t* data, int32_t length, int32_t width, int32_t height) {
    if (!m_ostraState || !m_ostraRequest || width < 1 || height < 1 ||
        width > vidana::kMaxPictureWidth || height > vidana::kMaxPictureHeight)
        return -1;
    m_ostraOut.resize(size_t(width) * size_t(height) * 3);
    VidanaOstraRequest& r = *m_ostraRequest;
    r = VidanaOstraRequest{data, length, width, height, m_ostraOut.data()};
    if (!m_ostraState->Decode(r)) return -1;
    // Shown centred in the view like every picture: the overlay follows it.
    const VidanaSize view = m_hWnd ? m_hWnd->ClientSize() : VidanaSize{};
    return DrawImage(m_ostraOut.data(), width, height, (view.width - width) / 2,
                     (view.height - height) / 2) == 1
               ? 0
               : -1;
}
