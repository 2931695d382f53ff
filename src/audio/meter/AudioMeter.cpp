#include "audio/meter/AudioMeter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Blue (0) through green and yellow (20) to red (32), as colour references.
constexpr uint32_t kPalette[AudioMeter::kPaletteSize] = {
    0xFF0000, 0xE92C00, 0xD24300, 0xBB5900, 0xA47000, 0x8E8700, 0x759F00, 0x58B700, 0x3ACF00,
    0x1DE700, 0x1AEA1A, 0x17ED34, 0x14F04F, 0x11F369, 0x0EF57E, 0x0BF893, 0x08FAA8, 0x05FDBD,
    0x02FFD2, 0x00FFE9, 0x00FFFF, 0x00FBFF, 0x00EBFF, 0x00D7FF, 0x00C4FF, 0x00B0FF, 0x009CFF,
    0x0089FD, 0x0075FF, 0x0061FF, 0x004EFF, 0x003AFF, 0x0000FF};

} // namespace

uint32_t AudioMeter::PaletteColour(int index) {
    return index >= 0 && index < kPaletteSize ? kPalette[index] : 0;
}

void AudioMeter::SetPixel(int x, int y, uint32_t pixel) {
    // Points above or below the field are clipped, as a window clips them.
    if (x < 0 || y < 0 || x >= m_picture.width || y >= m_picture.height) return;
    m_picture.pixels[size_t(y) * size_t(m_picture.width) + size_t(x)] = pixel;
}

// A one-pixel line from (x0, y0) up to but not including (x1, y1), the way a
// move-to / line-to pair draws.
void AudioMeter::Line(int x0, int y0, int x1, int y1, uint32_t pixel) {
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    while (x0 != x1 || y0 != y1) {
        SetPixel(x0, y0, pixel);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

// The ellipse inscribed in [left, right) x [top, bottom): every pixel whose
// centre lies inside it.
void AudioMeter::FilledEllipse(int left, int top, int right, int bottom, uint32_t pixel) {
    const double cx = (left + right) / 2.0, cy = (top + bottom) / 2.0;
    const double rx = (right - left) / 2.0, ry = (bottom - top) / 2.0;
    if (rx <= 0 || ry <= 0) return;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) {
            const double nx = (x + 0.5 - cx) / rx, ny = (y + 0.5 - cy) / ry;
            if (nx * nx + ny * ny <= 1.0) SetPixel(x, y, pixel);
        }
}

bool AudioMeter::Draw(const void* samples, size_t bytes, int width, int height) {
    const int W = width, H = height;
    if (H < kMinHeight || W < 1 || W > kMaxSide || H > kMaxSide) return false;
    const uint16_t divisor = uint16_t(65535 / (H - 2));

    // The picture follows the meter's size; the cursor stays where it was
    // unless the meter became too narrow for it.
    if (m_picture.width != W || m_picture.height != H) {
        m_picture.width = W;
        m_picture.height = H;
        m_picture.pixels.assign(size_t(W) * size_t(H), 0);
        if (m_cursor > W) m_cursor = 0;
    }
    std::fill(m_picture.pixels.begin(), m_picture.pixels.end(), 0u);

    const int16_t half = int16_t(H / 2);
    Line(0, half + 1, W, half + 1, ToPixel(kCentreLine));

    const int perPoint = W < 512 ? 1 : 2;
    const int margin = W < 512 ? (W - 255) / 2 : (W - 511) / 2;

    // Every second 16-bit sample of the first 1024 bytes: the first channel.
    const int points = int(std::min<size_t>(kPoints, bytes / 4));
    const auto* data = static_cast<const unsigned char*>(samples);
    m_signal = false;
    int highest = 0, lowest = 32;
    int prevX = 0, prevY = 0;
    for (int i = 0; i < points && i < W; ++i) {
        int16_t sample;
        std::memcpy(&sample, data + size_t(i) * 4, sizeof sample);
        int raw = H - (sample * kGain + 32767) / int(divisor);
        raw = std::clamp(raw, -(H - 1), H - 1);
        const int16_t offset = int16_t(raw - half);
        if (std::abs(int(offset)) > 3) m_signal = true;
        const int y = offset + half;
        const int x = margin + i * perPoint;
        if (i == 0) {
            SetPixel(x, y, 0);
        } else {
            // Exact integer form of 32 - trunc(32 / H * y).
            const int index = 32 - (32 * y) / H;
            highest = std::max(highest, index);
            lowest = std::min(lowest, index);
            Line(prevX, prevY, x, y, ToPixel(PaletteColour(index)));
        }
        prevX = x;
        prevY = y;
    }

    Line(m_cursor, 0, m_cursor, H, ToPixel(m_signal ? kCursorSignal : kCursorQuiet));
    if (++m_cursor > W) m_cursor = 0;

    FilledEllipse(4, 4, 13, 13, ToPixel(PaletteColour(highest)));
    FilledEllipse(4, H - 13, 13, H - 4, ToPixel(PaletteColour(lowest)));
    return true;
}
