// DrawImage: one converted picture plus the drag overlay, presented to the view.
#include "vidana/lib/Vidana.h"

#include "vidana/lib/DecoderState.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint32_t kZoomInArgb = 0x80008000;  // dragged left to right
constexpr uint32_t kZoomOutArgb = 0x80800000; // right to left, or no width

// Source-over blend of one channel, rounded to nearest.
inline uint8_t Blend(uint8_t dst, uint8_t src, uint32_t alpha) {
    return uint8_t((src * alpha + dst * (255 - alpha) + 127) / 255);
}

// A picture in memory: pixel bytes B, G, R (and a fourth left alone).
struct Canvas {
    uint8_t* bits;
    int64_t stride; // bytes a row
    int pixel;      // bytes a pixel: 3 or 4
    int width, height;
};

void BlendSpan(const Canvas& c, int row, int64_t from, int64_t to, uint32_t argb) {
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, c.width - 1);
    const uint32_t a = argb >> 24;
    const uint8_t r = uint8_t(argb >> 16), g = uint8_t(argb >> 8), b = uint8_t(argb);
    uint8_t* p = c.bits + int64_t(row) * c.stride + from * c.pixel;
    for (int64_t x = from; x <= to; ++x, p += c.pixel) {
        p[0] = Blend(p[0], b, a);
        p[1] = Blend(p[1], g, a);
        p[2] = Blend(p[2], r, a);
    }
}

// Outlines the rectangle with a 2-pixel pen centred on its edges: an edge at
// coordinate c covers the pixels c - 1 and c. Every pixel is blended once, and
// the rectangle may lie partly or wholly outside the picture.
void DrawOverlay(const Canvas& canvas, const VidanaRect& rc) {
    const int height = canvas.height;
    int64_t x, y, w, h;
    uint32_t argb;
    if (int64_t(rc.right) - rc.left > 0) {
        argb = kZoomInArgb;
        x = rc.left, y = rc.top, w = int64_t(rc.right) - rc.left, h = int64_t(rc.bottom) - rc.top;
    } else {
        argb = kZoomOutArgb;
        x = rc.right, y = rc.bottom, w = int64_t(rc.left) - rc.right,
        h = int64_t(rc.top) - rc.bottom;
    }
    // A rectangle without width and height is a figure of no length: the pen
    // covers no pixel (so the all-zero "no rectangle" leaves pictures intact).
    if (w == 0 && h == 0) return;
    const int64_t x0 = std::min(x, x + w), x1 = std::max(x, x + w);
    const int64_t y0 = std::min(y, y + h), y1 = std::max(y, y + h);
    const int64_t rowFrom = std::max<int64_t>(y0 - 1, 0);
    const int64_t rowTo = std::min<int64_t>(y1, height - 1);
    for (int64_t row = rowFrom; row <= rowTo; ++row) {
        const bool inside = row >= y0 + 1 && row <= y1 - 2;
        if (inside && x1 - 2 >= x0 + 1) {
            BlendSpan(canvas, int(row), x0 - 1, x0, argb);
            BlendSpan(canvas, int(row), x1 - 1, x1, argb);
        } else {
            BlendSpan(canvas, int(row), x0 - 1, x1, argb);
        }
    }
}

// The rectangle in client coordinates, moved onto a picture at offsetX,
// offsetY of the view; the all-zero rectangle stays all zero (nothing dragged).
VidanaRect Shifted(VidanaRect rc, int32_t offsetX, int32_t offsetY) {
    if ((offsetX || offsetY) && (rc.left || rc.top || rc.right || rc.bottom)) {
        auto shift = [](int32_t c, int32_t by) {
            return int32_t(std::clamp<int64_t>(int64_t(c) - by, INT32_MIN, INT32_MAX));
        };
        rc = {shift(rc.left, offsetX), shift(rc.top, offsetY), shift(rc.right, offsetX),
              shift(rc.bottom, offsetY)};
    }
    return rc;
}

} // namespace

void vidana::DrawOverlayOn32(uint8_t* bits, int64_t stride, int32_t width, int32_t height,
                             VidanaRect rect, int32_t offsetX, int32_t offsetY) {
    if (!bits || width <= 0 || height <= 0) return;
    DrawOverlay({bits, stride, 4, width, height}, Shifted(rect, offsetX, offsetY));
}

void CVidana::DrawOverlay32(uint8_t* bits, int32_t stride, int32_t width, int32_t height,
                            int32_t offsetX, int32_t offsetY) {
    if (!bits || width <= 0 || height <= 0) return;
    DrawOverlay({bits, stride, 4, width, height}, Shifted(m_rect, offsetX, offsetY));
}

// The picture is the caller's scratch buffer (the converted picture or the
// Ostra output, both rewritten for every picture), so the overlay is drawn
// into it in place instead of into a copy.
int32_t CVidana::DrawImage(uint8_t* data, int32_t width, int32_t height, int32_t offsetX,
                           int32_t offsetY) {
    if (!data || width <= 0 || height <= 0) return 0;
    if (!m_hWnd) return 0;
    // Drawn on every picture, the all-zero rectangle included (it stays the
    // all-zero rectangle: nothing was dragged).
    DrawOverlay({data, int64_t(width) * 3, 3, width, height}, Shifted(m_rect, offsetX, offsetY));
    m_hWnd->Present(data, width, height);
    return 1;
}
