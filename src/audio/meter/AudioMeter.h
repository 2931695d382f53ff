#pragma once
// Draws the microphone signal into an off-screen picture: a black field, the
// centre line, the first channel of the buffer's first 256 frames as a trace
// coloured by height, a sweeping cursor that tells signal from silence, and
// two dots in the colours of the trace's highest and lowest points.
//
// Runs on the capture thread; the picture is then handed to whatever shows it.

#include <cstddef>
#include <cstdint>
#include <vector>

// A 32-bit picture, rows top-down, each pixel 0x00RRGGBB (in memory B, G, R, 0:
// the layout of a 32-bit BGRA bitmap and of QImage::Format_RGB32).
struct MeterPicture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;

    uint32_t At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

class AudioMeter {
public:
    static constexpr int kGain = 5;
    static constexpr int kPoints = 256;     // frames drawn from each buffer
    static constexpr int kPaletteSize = 33; // colour indices 0..32
    static constexpr int kMinHeight = 4;    // lower meters draw nothing
    static constexpr int kMaxSide = 16384;  // larger meters draw nothing
    // Colours as colour references (0x00BBGGRR).
    static constexpr uint32_t kCentreLine = 0x203030;
    static constexpr uint32_t kCursorSignal = 0x303030;
    static constexpr uint32_t kCursorQuiet = 0x000080;

    // A colour reference (0x00BBGGRR) as a pixel (0x00RRGGBB).
    static constexpr uint32_t ToPixel(uint32_t colorRef) {
        return ((colorRef & 0xFF) << 16) | (colorRef & 0xFF00) | ((colorRef >> 16) & 0xFF);
    }
    // The palette colour of an index as a colour reference; black outside 0..32.
    static uint32_t PaletteColour(int index);

    // Draws the first kPoints frames of 16-bit, 2-channel samples (fewer when
    // the buffer is shorter) at the meter's size. The picture is made anew
    // when the size changes. Returns false, leaving everything as it was, for
    // a meter lower than kMinHeight or larger than kMaxSide.
    bool Draw(const void* samples, size_t bytes, int width, int height);

    const MeterPicture& Picture() const { return m_picture; }
    // The column the next drawing puts the cursor in.
    int Cursor() const { return m_cursor; }
    // Whether the last drawing found a signal.
    bool SignalPresent() const { return m_signal; }

private:
    void SetPixel(int x, int y, uint32_t pixel);
    void Line(int x0, int y0, int x1, int y1, uint32_t pixel);
    void FilledEllipse(int left, int top, int right, int bottom, uint32_t pixel);

    MeterPicture m_picture;
    int m_cursor = 0;
    bool m_signal = false;
};
