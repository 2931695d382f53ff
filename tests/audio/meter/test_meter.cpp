#include "audio/meter/AudioMeter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

// Pixels (0x00RRGGBB) of the colours the meter uses.
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kCentre = 0x303020; // colour reference 0x203030
constexpr uint32_t kCursorSignal = 0x303030;
constexpr uint32_t kCursorQuiet = 0x800000; // colour reference 0x000080
constexpr uint32_t kIndex1 = 0x002CE9;      // 0xE92C00
constexpr uint32_t kIndex16 = 0xA8FA08;     // 0x08FAA8
constexpr uint32_t kIndex30 = 0xFF4E00;     // 0x004EFF

// The dot drawn in a 9 x 9 box.
const char* const kDot[9] = {"..#####..", ".#######.", "#########", "#########", "#########",
                             "#########", "#########", ".#######.", "..#####.."};

// Interleaved stereo: the first channel from f, the second its negation (the
// meter must not read it).
std::vector<int16_t> Stereo(int frames, double (*f)(int)) {
    std::vector<int16_t> s;
    for (int i = 0; i < frames; ++i) {
        const auto v = int16_t(std::lround(f(i)));
        s.push_back(v);
        s.push_back(int16_t(-v));
    }
    return s;
}

double Silence(int) {
    return 0;
}
// 441 Hz at 44100 Hz: 100 frames a period; peaks of 6000 keep the whole trace
// inside a 64-pixel meter.
double LoudSine(int i) {
    return 6000 * std::sin(2 * M_PI * i / 100.0);
}
double FullScale(int i) {
    return i % 2 ? -32767 : 32767;
}

std::vector<int16_t> SilenceBuffer() {
    return Stereo(2048, Silence);
}

bool InDot(int x, int y, int left, int top) {
    const int dx = x - left, dy = y - top;
    return dx >= 0 && dx < 9 && dy >= 0 && dy < 9 && kDot[dy][dx] == '#';
}

// The picture a silent buffer must give: black, the centre line, the flat
// trace over it from `traceFrom` up to (not including) `traceTo`, the cursor
// column and the two dots in the trace's colour.
std::vector<uint32_t> SilencePicture(int W, int H, int traceRow, int traceFrom, int traceTo,
                                     uint32_t traceColour, int cursor) {
    std::vector<uint32_t> p(size_t(W) * H, kBlack);
    for (int x = 0; x < W; ++x)
        p[size_t(H / 2 + 1) * W + x] = kCentre;
    for (int x = std::max(0, traceFrom); x < std::min(W, traceTo); ++x)
        p[size_t(traceRow) * W + x] = traceColour;
    if (cursor < W)
        for (int y = 0; y < H; ++y)
            p[size_t(y) * W + cursor] = kCursorQuiet;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (InDot(x, y, 4, 4) || InDot(x, y, 4, H - 13)) p[size_t(y) * W + x] = traceColour;
    return p;
}

void ExpectPicture(const MeterPicture& got, const std::vector<uint32_t>& want, int W, int H) {
    ASSERT_EQ(got.width, W);
    ASSERT_EQ(got.height, H);
    int wrong = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (got.At(x, y) != want[size_t(y) * W + x] && ++wrong <= 10)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << got.At(x, y)
                              << ", expected " << want[size_t(y) * W + x];
    EXPECT_EQ(wrong, 0);
}

TEST(AudioMeterPalette, ColoursAndRange) {
    EXPECT_EQ(AudioMeter::PaletteColour(0), 0xFF0000u);  // blue
    EXPECT_EQ(AudioMeter::PaletteColour(20), 0x00FFFFu); // yellow
    EXPECT_EQ(AudioMeter::PaletteColour(27), 0x0089FDu);
    EXPECT_EQ(AudioMeter::PaletteColour(32), 0x0000FFu); // red
    EXPECT_EQ(AudioMeter::PaletteColour(-1), 0u);
    EXPECT_EQ(AudioMeter::PaletteColour(33), 0u);
    EXPECT_EQ(AudioMeter::ToPixel(0x0000FF), 0xFF0000u); // red as a pixel
    EXPECT_EQ(AudioMeter::ToPixel(0x08FAA8), kIndex16);
}

// 300 x 64: divisor 65535 / 62 = 1057, silence gives 64 - 32767 / 1057 = 33,
// the centre line's row; colour index 32 - 32 * 33 / 64 = 16. One pixel a
// point from a margin of (300 - 255) / 2 = 22; the trace's last point ends
// the line and is not drawn.
TEST(AudioMeterDrawing, SilenceIsAFlatTraceOnTheCentreLineWithTheQuietCursor) {
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
    EXPECT_FALSE(meter.SignalPresent());
    ExpectPicture(meter.Picture(), SilencePicture(300, 64, 33, 22, 277, kIndex16, 0), 300, 64);
    EXPECT_EQ(meter.Cursor(), 1);

    // The next drawing starts from black: the cursor moved on by one column.
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
    ExpectPicture(meter.Picture(), SilencePicture(300, 64, 33, 22, 277, kIndex16, 1), 300, 64);
}

TEST(AudioMeterDrawing, WideMeterTakesTwoPixelsAPoint) {
    // 600 wide: margin (600 - 511) / 2 = 44, points at 44, 46, ... 554.
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 600, 64));
    ExpectPicture(meter.Picture(), SilencePicture(600, 64, 33, 44, 554, kIndex16, 0), 600, 64);
}

TEST(AudioMeterDrawing, CursorSweepsAndWrapsPastTheRightEdge) {
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    for (int k = 0; k < 300; ++k)
        ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
    EXPECT_EQ(meter.Cursor(), 300);
    // Column 300 lies outside: this drawing shows no cursor at all.
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
    ExpectPicture(meter.Picture(), SilencePicture(300, 64, 33, 22, 277, kIndex16, 300), 300, 64);
    EXPECT_EQ(meter.Cursor(), 0);
}

TEST(AudioMeterDrawing, LoudSineTurnsTheCursorAndColoursTheDots) {
    const int W = 300, H = 64, margin = 22;
    AudioMeter meter;
    const auto buf = Stereo(2048, LoudSine);
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, W, H));
    EXPECT_TRUE(meter.SignalPresent());
    const MeterPicture& p = meter.Picture();

    // Height of each point: 64 - (5 s + 32767) / 1057, truncated, for the
    // first channel only. Checked by hand at the peaks: s = 6000 gives 5,
    // s = -6000 gives 62.
    auto row = [&](int i) {
        return H - int(std::trunc((5.0 * buf[size_t(2 * i)] + 32767) / 1057));
    };
    ASSERT_EQ(row(25), 5);
    ASSERT_EQ(row(75), 62);
    ASSERT_EQ(row(0), 33);

    // Cursor column 0 in the signal colour, top to bottom, except where the dots cover it.
    for (int y = 0; y < H; ++y)
        EXPECT_EQ(p.At(0, y), kCursorSignal) << y;

    // Highest index 32 - 32 * 5 / 64 = 30 at the peaks, lowest 32 - 32 * 62 / 64 = 1.
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x) {
            const bool in = kDot[y][x] == '#';
            EXPECT_EQ(p.At(4 + x, 4 + y), in ? kIndex30 : kBlack) << "top dot " << x << "," << y;
            if (in) {
                EXPECT_EQ(p.At(4 + x, H - 13 + y), kIndex1) << "bottom dot " << x << "," << y;
            }
        }

    // Each segment starts on its first point and is drawn in the colour of the
    // point it leads to; no later segment reaches back into that column.
    for (int i = 1; i < 256; ++i) {
        const int x = margin + i - 1, y = row(i - 1);
        if (InDot(x, y, 4, 4) || InDot(x, y, 4, H - 13)) continue;
        const int index = 32 - 32 * row(i) / H;
        EXPECT_EQ(p.At(x, y), AudioMeter::ToPixel(AudioMeter::PaletteColour(index)))
            << "point " << i - 1 << " at (" << x << ", " << y << ")";
    }
    // Every column of the trace has something drawn, the columns right of it
    // only the centre line.
    for (int x = margin + 1; x < margin + 255; ++x) {
        int drawn = 0;
        for (int y = 0; y < H; ++y)
            drawn += p.At(x, y) != kBlack && p.At(x, y) != kCentre;
        EXPECT_GT(drawn, 0) << "column " << x;
    }
    for (int x = margin + 256; x < W; ++x)
        for (int y = 0; y < H; ++y)
            EXPECT_EQ(p.At(x, y), y == H / 2 + 1 ? kCentre : kBlack) << x << "," << y;
}

// Full-scale samples go far beyond the field: the trace is clipped, and the
// top dot is black since the highest index (32 - 32 * -63 / 64 = 63) is
// outside the palette.
TEST(AudioMeterDrawing, FullScaleSignalIsClippedAndTheTopDotGoesBlack) {
    const int W = 300, H = 64;
    AudioMeter meter;
    const auto buf = Stereo(2048, FullScale);
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, W, H));
    EXPECT_TRUE(meter.SignalPresent());
    const MeterPicture& p = meter.Picture();
    EXPECT_EQ(p.At(8, 8), kBlack);
    EXPECT_EQ(p.At(8, H - 9), kIndex1);
    EXPECT_EQ(p.At(0, 30), kCursorSignal);
}

TEST(AudioMeterDrawing, ShortBufferDrawsOnlyTheFramesItHas) {
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    // 40 bytes: 10 frames, a trace from 22 to 31.
    ASSERT_TRUE(meter.Draw(buf.data(), 40, 300, 64));
    ExpectPicture(meter.Picture(), SilencePicture(300, 64, 33, 22, 31, kIndex16, 0), 300, 64);
}

TEST(AudioMeterDrawing, PictureFollowsTheMeterSize) {
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    for (int k = 0; k < 5; ++k)
        ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
    EXPECT_EQ(meter.Cursor(), 5);

    // 280 x 40: divisor 65535 / 38 = 1724, row 40 - 32767 / 1724 = 21 (the
    // centre line), index 32 - 32 * 21 / 40 = 16; margin (280 - 255) / 2 = 12.
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 280, 40));
    ExpectPicture(meter.Picture(), SilencePicture(280, 40, 21, 12, 267, kIndex16, 5), 280, 40);

    // Narrower than the cursor: it starts again at the left.
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 3, 40));
    EXPECT_EQ(meter.Picture().width, 3);
    EXPECT_EQ(meter.Picture().At(0, 0), kCursorQuiet);
    EXPECT_EQ(meter.Cursor(), 1);
}

TEST(AudioMeterDrawing, MetersWithoutMeaningfulHeightDrawNothing) {
    AudioMeter meter;
    const auto buf = SilenceBuffer();
    for (int h : {-5, 0, 1, 2, 3}) {
        EXPECT_FALSE(meter.Draw(buf.data(), buf.size() * 2, 300, h)) << h;
        EXPECT_EQ(meter.Picture().width, 0);
        EXPECT_EQ(meter.Cursor(), 0);
    }
    EXPECT_FALSE(meter.Draw(buf.data(), buf.size() * 2, 0, 64));
    EXPECT_FALSE(meter.Draw(buf.data(), buf.size() * 2, 300, 70000));
    // 4 high works (divisor 32767): silence lands on row 4 - 32767 / 32767 = 3,
    // the centre line. 20 wide, the margin is (20 - 255) / 2 = -117, so the
    // 20 points drawn lie left of the field; the dots lie outside it too.
    ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 20, 4));
    std::vector<uint32_t> want(20 * 4, kBlack);
    for (int x = 0; x < 20; ++x)
        want[3 * 20 + x] = kCentre;
    for (int y = 0; y < 4; ++y)
        want[size_t(y) * 20] = kCursorQuiet;
    ExpectPicture(meter.Picture(), want, 20, 4);
}

// The signal threshold: an offset from the middle of more than 3 rows. At
// 64 high, s = -422 lands on row 64 - 30657 / 1057 = 35 (offset 3) and
// s = -423 on row 64 - 30652 / 1057 = 36 (offset 4). The second channel never
// counts, and only the first 256 frames do.
TEST(AudioMeterDrawing, SignalThresholdOnTheFirstChannelOnly) {
    struct Case {
        int frame;
        int16_t left, right;
        bool signal;
    };
    for (const Case& c :
         {Case{100, -422, 0, false}, Case{100, -423, 0, true}, Case{100, 0, 32767, false},
          Case{255, -423, 0, true}, Case{256, -32767, 0, false}}) {
        std::vector<int16_t> buf(2048 * 2, 0);
        buf[size_t(2 * c.frame)] = c.left;
        buf[size_t(2 * c.frame + 1)] = c.right;
        AudioMeter meter;
        ASSERT_TRUE(meter.Draw(buf.data(), buf.size() * 2, 300, 64));
        EXPECT_EQ(meter.SignalPresent(), c.signal) << "frame " << c.frame << " " << c.left;
        EXPECT_EQ(meter.Picture().At(0, 10), c.signal ? kCursorSignal : kCursorQuiet);
    }
}

} // namespace
