// DrawImage through the Ostra path (raw I420 pictures): the overlay rectangle's
// colour, opacity, pen width, origin and orientation, and refused pictures.
#include "VidanaTestUtil.h"

#include <climits>
#include <cstring>
#include <tuple>

using namespace vt;

namespace {

// An I420 picture of one colour.
std::vector<uint8_t> Flat(int w, int h, uint8_t y, uint8_t u = 128, uint8_t v = 128) {
    const size_t c = size_t((w + 1) / 2) * ((h + 1) / 2);
    std::vector<uint8_t> p(size_t(w) * h, y);
    p.insert(p.end(), c, u);
    p.insert(p.end(), c, v);
    return p;
}

struct Bgr {
    int b, g, r;
};

Bgr At(const Picture& p, int x, int y) {
    const uint8_t* px = &p.bgr[(size_t(y) * p.width + x) * 3];
    return {px[0], px[1], px[2]};
}

// A colour of ARGB drawn at alpha / 255 over a background channel value.
int Over(int background, int colour, int alpha) {
    return int(std::lround(colour * alpha / 255.0 + background * (255 - alpha) / 255.0));
}

class VidanaDraw : public ::testing::Test {
protected:
    static constexpr int W = 160, H = 120;
    void SetUp() override { v.SetHWND(&s); }
    void TearDown() override { v.ReleaseDecoder(); }

    // Draws a black picture under the rectangle and returns what was shown.
    const Picture& DrawBlack(VidanaRect rc) {
        v.SetRect(rc);
        const auto pic = Flat(W, H, 16); // studio black
        EXPECT_EQ(0, v.DecodeOstra(pic.data(), int32_t(pic.size()), W, H));
        EXPECT_FALSE(s.pictures.empty());
        return s.pictures.back();
    }
    // The pixels that differ from black and their bounding box.
    static int Changed(const Picture& p, int& minX, int& minY, int& maxX, int& maxY) {
        int n = 0;
        minX = minY = INT_MAX, maxX = maxY = INT_MIN;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                const Bgr c = At(p, x, y);
                if (c.b || c.g || c.r) {
                    ++n;
                    minX = std::min(minX, x), maxX = std::max(maxX, x);
                    minY = std::min(minY, y), maxY = std::max(maxY, y);
                }
            }
        return n;
    }
    static void ExpectColour(const Picture& p, int x, int y, Bgr want) {
        const Bgr c = At(p, x, y);
        EXPECT_NEAR(c.b, want.b, 1) << "at " << x << "," << y;
        EXPECT_NEAR(c.g, want.g, 1) << "at " << x << "," << y;
        EXPECT_NEAR(c.r, want.r, 1) << "at " << x << "," << y;
    }
    // The 100 x 50 rectangle at (10, 20), outlined by a 2-pixel pen centred on
    // its edges, in the given colour at half opacity over black.
    void ExpectOutline100x50(const Picture& p, Bgr half) {
        int minX, minY, maxX, maxY;
        const int n = Changed(p, minX, minY, maxX, maxY);
        EXPECT_EQ(minX, 9);
        EXPECT_EQ(maxX, 110);
        EXPECT_EQ(minY, 19);
        EXPECT_EQ(maxY, 70);
        EXPECT_EQ(n, 102 * 52 - 98 * 48); // a band two pixels wide, each pixel once
        for (auto [x, y] : {std::pair{9, 19},
                            {10, 20},
                            {60, 19},
                            {60, 20},
                            {60, 69},
                            {60, 70},
                            {9, 45},
                            {10, 45},
                            {109, 45},
                            {110, 45},
                            {110, 70},
                            {9, 70}})
            ExpectColour(p, x, y, half);
        for (auto [x, y] :
             {std::pair{11, 21}, {60, 45}, {108, 68}, {8, 45}, {111, 45}, {60, 18}, {60, 71}})
            ExpectColour(p, x, y, {0, 0, 0});
    }

    RecordingSurface s{W, H};
    CVidana v;
};

TEST_F(VidanaDraw, LeftToRightIsGreenAtHalfOpacity) {
    ExpectOutline100x50(DrawBlack({10, 20, 110, 70}), {0, Over(0, 0x80, 0x80), 0});
}

TEST_F(VidanaDraw, RightToLeftIsDarkRedFromTheOtherCorner) {
    ExpectOutline100x50(DrawBlack({110, 70, 10, 20}), {0, 0, Over(0, 0x80, 0x80)});
}

TEST_F(VidanaDraw, ZeroWidthUsesTheDarkRedPen) {
    // left == right: origin (right, bottom) = (50, 60), height top - bottom = -50.
    const Picture& p = DrawBlack({50, 10, 50, 60});
    int minX, minY, maxX, maxY;
    EXPECT_EQ(Changed(p, minX, minY, maxX, maxY), 2 * 52);
    EXPECT_EQ(minX, 49);
    EXPECT_EQ(maxX, 50);
    EXPECT_EQ(minY, 9);
    EXPECT_EQ(maxY, 60);
    ExpectColour(p, 49, 30, {0, 0, Over(0, 0x80, 0x80)});
    ExpectColour(p, 50, 60, {0, 0, Over(0, 0x80, 0x80)});
}

TEST_F(VidanaDraw, AllZeroRectangleCoversNoPixel) {
    const Picture& p = DrawBlack({0, 0, 0, 0});
    int minX, minY, maxX, maxY;
    EXPECT_EQ(Changed(p, minX, minY, maxX, maxY), 0);
}

TEST_F(VidanaDraw, RectanglesReachingOutsideThePictureAreClipped) {
    // Only the top edge of this one lies inside: rows 99 and 100 from column 99 on.
    const Picture& p = DrawBlack({100, 100, 5000, 5000});
    int minX, minY, maxX, maxY;
    EXPECT_EQ(Changed(p, minX, minY, maxX, maxY), 2 * (W - 99) + 2 * (H - 101));
    EXPECT_EQ(minX, 99);
    EXPECT_EQ(minY, 99);
    ExpectColour(p, W - 1, 99, {0, Over(0, 0x80, 0x80), 0});
    for (VidanaRect rc : {VidanaRect{INT_MIN, INT_MIN, INT_MAX, INT_MAX},
                          VidanaRect{INT_MAX, INT_MAX, INT_MIN, INT_MIN},
                          VidanaRect{-500, -500, -400, -400}, VidanaRect{INT_MAX, 0, INT_MAX, 0}}) {
        const Picture& q = DrawBlack(rc);
        EXPECT_EQ(Changed(q, minX, minY, maxX, maxY), 0);
    }
}

TEST_F(VidanaDraw, OverlayBlendsOverTheDecodedPicture) {
    // Over a white picture the green pen gives (127, 191, 127) and so on.
    v.SetRect({10, 20, 110, 70});
    const auto white = Flat(W, H, 235);
    ASSERT_EQ(0, v.DecodeOstra(white.data(), int32_t(white.size()), W, H));
    const Picture& p = s.pictures.back();
    ExpectColour(p, 60, 45, {255, 255, 255});
    ExpectColour(p, 10, 45, {Over(255, 0, 128), Over(255, 0x80, 128), Over(255, 0, 128)});

    // On H.264 pictures the overlay lands on ffmpeg's pixels.
    TempDir dir;
    const auto path = MakeH264(dir, "s.h264", 320, 240, 3, "-bf 0");
    RecordingSurface hs(320, 240);
    CVidana hv;
    hv.SetHWND(&hs);
    hv.SetRect({200, 150, 100, 50}); // dark red, drawn from (100, 50)
    FeedStream(hv, ReadFile(path));
    hv.ReleaseDecoder();
    ASSERT_EQ(hs.Count(), 3u);
    const auto ref = FfmpegPictures(dir, path, 320, 240);
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t* r = ref.data() + i * 320 * 240 * 3;
        const Picture& got = hs.pictures[i];
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                const bool band = x >= 99 && x <= 200 && y >= 49 && y <= 150 &&
                                  !(x >= 101 && x <= 198 && y >= 51 && y <= 148);
                const uint8_t* px = r + (size_t(y) * 320 + x) * 3;
                const Bgr want =
                    band ? Bgr{Over(px[0], 0, 128), Over(px[1], 0, 128), Over(px[2], 0x80, 128)}
                         : Bgr{px[0], px[1], px[2]};
                const Bgr c = At(got, x, y);
                ASSERT_TRUE(std::abs(c.b - want.b) <= 1 && std::abs(c.g - want.g) <= 1 &&
                            std::abs(c.r - want.r) <= 1)
                    << "picture " << i << " at " << x << "," << y;
            }
    }
}

// A picture narrower than the view is shown centred: the rectangle, dragged
// in client coordinates, lands on the picture shifted by the bars' width.
TEST_F(VidanaDraw, OverlayFollowsAPictureCentredInAWiderView) {
    TempDir dir;
    const auto path = MakeH264(dir, "c.h264", 320, 240, 2, "-bf 0");
    RecordingSurface hs(400, 240); // 40-pixel bars left and right
    CVidana hv;
    hv.SetHWND(&hs);
    hv.SetRect({140, 50, 240, 150}); // green, picture columns 100 to 200
    FeedStream(hv, ReadFile(path));
    hv.ReleaseDecoder();
    ASSERT_EQ(hs.Count(), 2u);
    const auto ref = FfmpegPictures(dir, path, 320, 240);
    const Picture& got = hs.pictures[0];
    ASSERT_EQ(got.width, 320);
    auto differs = [&](int x, int y) {
        const uint8_t* r = ref.data() + (size_t(y) * 320 + x) * 3;
        const Bgr c = At(got, x, y);
        return std::abs(c.b - r[0]) > 1 || std::abs(c.g - r[1]) > 1 || std::abs(c.r - r[2]) > 1;
    };
    for (auto [x, y, pen] : {std::tuple{99, 100, true}, {100, 100, true}, {200, 100, true},
                             {139, 100, false}, {140, 100, false}, {239, 100, false},
                             {150, 49, true}, {150, 150, true}})
        EXPECT_EQ(differs(x, y), pen) << x << "," << y;
}

TEST_F(VidanaDraw, OstraPicturesMatchFfmpegsConversion) {
    TempDir dir;
    const std::string yuv = dir / "p.yuv";
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=158x118 -frames:v 1 "
                       "-pix_fmt yuv420p -f rawvideo '" +
                       yuv + "'"));
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt yuv420p -s 158x118 -i '" +
                       yuv + "' -pix_fmt bgr24 -f rawvideo '" + yuv + ".bgr'"));
    const auto in = ReadFile(yuv);
    const auto ref = ReadFile(yuv + ".bgr");
    ASSERT_EQ(ref.size(), 158u * 118 * 3);
    ASSERT_EQ(0, v.DecodeOstra(in.data(), int32_t(in.size()), 158, 118));
    const Picture& p = s.pictures.back();
    ASSERT_EQ(p.width, 158);
    ASSERT_EQ(p.height, 118);
    // Both use the same chroma siting; only the rounding of the matrix differs.
    int worst = 0;
    for (size_t i = 0; i < ref.size(); ++i)
        worst = std::max(worst, std::abs(int(p.bgr[i]) - ref[i]));
    EXPECT_LE(worst, 3);
    EXPECT_GT(Psnr(p.bgr.data(), ref.data(), ref.size()), 45.0);
    // Flat colours are exact: studio white and black, and pure studio red.
    const auto white = Flat(4, 2, 235);
    ASSERT_EQ(0, v.DecodeOstra(white.data(), int32_t(white.size()), 4, 2));
    ExpectColour(s.pictures.back(), 3, 1, {255, 255, 255});
    const auto red = Flat(2, 2, 81, 90, 240);
    ASSERT_EQ(0, v.DecodeOstra(red.data(), int32_t(red.size()), 2, 2));
    ExpectColour(s.pictures.back(), 0, 0, {0, 0, 255});
}

TEST_F(VidanaDraw, RefusedPicturesDrawNothing) {
    const auto pic = Flat(W, H, 100);
    const size_t before = s.Count();
    EXPECT_EQ(-1, v.DecodeOstra(nullptr, int32_t(pic.size()), W, H));
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()), 0, H));
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()), W, 0));
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()), -W, H));
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()) - 1, W, H)); // one byte short
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()), 4096, 4096));
    EXPECT_EQ(s.Count(), before);
    EXPECT_EQ(0, v.DecodeOstra(pic.data(), int32_t(pic.size()), W, H));
    EXPECT_EQ(s.Count(), before + 1);

    // The Ostra decoder exists from SetHWND to ReleaseDecoder only.
    v.ReleaseDecoder();
    EXPECT_EQ(-1, v.DecodeOstra(pic.data(), int32_t(pic.size()), W, H));
    CVidana never;
    EXPECT_EQ(-1, never.DecodeOstra(pic.data(), int32_t(pic.size()), W, H));
    EXPECT_EQ(s.Count(), before + 1);
    v.SetHWND(&s);
    EXPECT_EQ(0, v.DecodeOstra(pic.data(), int32_t(pic.size()), W, H));
}

} // namespace
