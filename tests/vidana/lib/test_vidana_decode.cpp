// H.264 and MJPEG pictures through CVidana, checked against ffmpeg's own
// decoding and scaling, and the session rules of the process-wide decoder.
#include "VidanaTestUtil.h"

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <random>

using namespace vt;

namespace {

class VidanaDecode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        vga = MakeH264(*dir, "vga.h264", 640, 480, 30, "-bf 0");
        gop =
            MakeH264(*dir, "gop.h264", 640, 480, 30, "-bf 0 -g 10 -keyint_min 10 -sc_threshold 0");
        qvga = MakeH264(*dir, "qvga.h264", 320, 240, 8, "-bf 0");
        hd = MakeH264(*dir, "hd.h264", 1920, 1080, 10);
        hevc = MakeHevc(*dir, "vga.hevc", 640, 480, 30, "-x265-params bframes=0");
        hevcB = MakeHevc(*dir, "b.hevc", 352, 288, 50);
        bframes = MakeH264(*dir, "b.h264", 352, 288, 50, "-bf 3");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static std::vector<uint8_t> Frame(const std::vector<uint8_t>& all, int w, int h, size_t i) {
        const size_t n = size_t(w) * h * 3;
        return std::vector<uint8_t>(all.begin() + i * n, all.begin() + (i + 1) * n);
    }
    // Every presented picture equals ffmpeg's picture of the same index.
    static void ExpectSameAsFfmpeg(const std::string& stream, RecordingSurface& s, int w, int h,
                                   size_t refOffset = 0) {
        const auto ref = FfmpegPictures(*dir, stream, w, h);
        const size_t n = size_t(w) * h * 3;
        ASSERT_GE(ref.size() / n, s.pictures.size() + refOffset);
        for (size_t i = 0; i < s.pictures.size(); ++i) {
            ASSERT_EQ(s.pictures[i].width, w);
            ASSERT_EQ(s.pictures[i].height, h);
            ASSERT_TRUE(
                std::memcmp(s.pictures[i].bgr.data(), ref.data() + (i + refOffset) * n, n) == 0)
                << "picture " << i << " differs, PSNR "
                << Psnr(s.pictures[i].bgr.data(), ref.data() + (i + refOffset) * n, n);
        }
    }
    static inline TempDir* dir = nullptr;
    static inline std::string vga, gop, qvga, hd, hevc, hevcB, bframes;
};

// A view and the picture fitted into it with the aspect ratio kept.
struct Fit {
    int viewW, viewH, w, h;
};

TEST_F(VidanaDecode, PicturesEqualFfmpegBicubicFittedToTheView) {
    const auto stream = ReadFile(vga);
    for (const Fit f : {Fit{640, 480, 640, 480}, Fit{800, 600, 800, 600}, Fit{352, 288, 352, 264},
                        Fit{641, 357, 476, 357}, Fit{1000, 100, 133, 100}}) {
        SCOPED_TRACE(std::to_string(f.viewW) + "x" + std::to_string(f.viewH));
        RecordingSurface s(f.viewW, f.viewH);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream);
        EXPECT_EQ(v.PictureCounts().shown, 30u);
        EXPECT_EQ(v.PictureCounts().refused, 0u);
        v.ReleaseDecoder();
        EXPECT_EQ(s.pictures.size(), 30u); // no B-frames: no picture is held back
        ExpectSameAsFfmpeg(vga, s, f.w, f.h);
    }
}

// The sample aspect ratio counts: 1920 x 1080 coded pictures of a 4:3 source
// (ffmpeg's scale keeps the display aspect with pixels of 3:4) fill 1440 x 1080.
TEST_F(VidanaDecode, NonSquarePixelsKeepTheDisplayAspect) {
    const std::string path = *dir / "sar.h264";
    ASSERT_EQ(0, Shell(TestPatternCommand(TestCodec::H264, "size=320x240:rate=25", "-frames:v 3",
                                          "-vf scale=1920:1080 -bf 0 -preset ultrafast", path)));
    RecordingSurface s(1920, 1080);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, ReadFile(path));
    EXPECT_EQ(v.PictureCounts().shown, 3u);
    // The stream's own size (the media pane's), not the fitted one.
    EXPECT_EQ(v.PictureCounts().width, 1920);
    EXPECT_EQ(v.PictureCounts().height, 1080);
    v.ReleaseDecoder();
    ASSERT_EQ(s.Count(), 3u);
    ExpectSameAsFfmpeg(path, s, 1440, 1080);
    v.SetHWND(&s); // a new session knows no size yet
    EXPECT_EQ(v.PictureCounts().width, 0);
}

TEST_F(VidanaDecode, HdStreamWithBFramesEqualsFfmpeg) {
    const auto stream = ReadFile(hd);
    for (auto [w, h] : {std::pair{1920, 1080}, {1280, 720}}) {
        RecordingSurface s(w, h);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream);
        v.ReleaseDecoder();
        // Reordering holds the last pictures in the decoder; the rest are exact.
        EXPECT_GE(s.pictures.size(), 6u);
        EXPECT_LE(s.pictures.size(), 10u);
        ExpectSameAsFfmpeg(hd, s, w, h);
    }
}

// H.265 under its own type code, at several view sizes, equals ffmpeg's
// decoding; with B-frames the flush at the end of a file presents the pictures
// held back, for both codecs, and the decoder takes a new stream afterwards.
TEST_F(VidanaDecode, HevcAndFlushedStreamsEqualFfmpegPictureForPicture) {
    const auto vgaHevc = ReadFile(hevc);
    for (const Fit f : {Fit{640, 480, 640, 480}, Fit{352, 288, 352, 264}, Fit{641, 357, 476, 357}}) {
        SCOPED_TRACE(std::to_string(f.viewW) + "x" + std::to_string(f.viewH));
        RecordingSurface s(f.viewW, f.viewH);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, vgaHevc, kVidanaFrameH265);
        EXPECT_EQ(v.FlushDecoder(), 0); // nothing held back without B-frames
        v.ReleaseDecoder();
        EXPECT_EQ(s.pictures.size(), 30u);
        ExpectSameAsFfmpeg(hevc, s, f.w, f.h);
    }
    struct Case {
        std::string path;
        int32_t type;
    };
    for (const Case& c : {Case{hevcB, kVidanaFrameH265}, Case{bframes, kVidanaFrameH264}}) {
        SCOPED_TRACE(c.path);
        const auto stream = ReadFile(c.path);
        RecordingSurface s(352, 288);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream, c.type);
        const size_t live = s.Count();
        EXPECT_LT(live, 50u); // a live view holds the last pictures back
        EXPECT_EQ(size_t(v.FlushDecoder()), 50u - live);
        EXPECT_EQ(s.Count(), 50u);
        ExpectSameAsFfmpeg(c.path, s, 352, 288);
        // After the flush the decoder takes a stream again.
        FeedStream(v, stream, c.type, 0, 5);
        EXPECT_GT(s.Count(), 50u);
        v.ReleaseDecoder();
    }
}

// Switching codec within a session shows what the old decoder held and
// reopens it for the new codec; as for any change of picture size, a stream of
// another size takes the view's size of that moment.
TEST_F(VidanaDecode, CodecSwitchWithinASessionShowsBothStreams) {
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, ReadFile(vga), kVidanaFrameH264, 0, 5);
    EXPECT_EQ(s.Count(), 5u);
    s.Resize(200, 100);
    // H.265 with B-frames: some of its pictures are still held...
    FeedStream(v, ReadFile(hevcB), kVidanaFrameH265, 0, 5);
    EXPECT_LT(s.Count(), 10u);
    // ...and shown when H.264 takes over.
    FeedStream(v, ReadFile(vga), kVidanaFrameH264, 0, 5);
    EXPECT_EQ(s.Count(), 15u);
    // Fitted to 200 x 100: 352 x 288 as 122 x 100, 640 x 480 as 133 x 100.
    for (size_t i = 0; i < s.pictures.size(); ++i) {
        EXPECT_EQ(s.pictures[i].width, i < 5 ? 320 : i < 10 ? 122 : 133) << i;
        EXPECT_EQ(s.pictures[i].height, i < 5 ? 240 : 100) << i;
    }
    // H.265 bytes through the H.264 code show nothing, and no crash.
    FeedStream(v, ReadFile(hevc), kVidanaFrameH264, 0, 5);
    EXPECT_EQ(s.Count(), 15u);
    v.ReleaseDecoder();
    EXPECT_EQ(v.FlushDecoder(), 0); // closed: nothing to flush
}

TEST_F(VidanaDecode, FramesBeforeSetHwndOrAfterReleaseAreDropped) {
    const auto stream = ReadFile(vga);
    RecordingSurface s(320, 240);
    {
        CVidana never; // no SetHWND on this one, and the decoder is closed
        FeedStream(never, stream);
    }
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream, 7, 0, 5);
    EXPECT_EQ(s.Count(), 5u);
    v.ReleaseDecoder();
    FeedStream(v, stream, 7, 5);
    EXPECT_EQ(s.Count(), 5u);
    v.ReleaseDecoder(); // second release: nothing to do
    v.ReleaseDecoder();
    EXPECT_EQ(s.Count(), 5u);

    // A fresh session decodes from the start again.
    v.SetHWND(&s);
    FeedStream(v, stream);
    EXPECT_EQ(s.Count(), 35u);
    s.pictures.erase(s.pictures.begin(), s.pictures.begin() + 5);
    ExpectSameAsFfmpeg(vga, s, 320, 240);
    v.ReleaseDecoder();
}

TEST_F(VidanaDecode, PacketsBeforeTheParameterSetsDrawNothing) {
    const auto stream = ReadFile(gop);
    ASSERT_EQ(CountUnits(stream), 30u);
    RecordingSurface s(640, 480);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream, 7, 3, 10); // P slices of the first GOP without SPS/PPS/IDR
    EXPECT_EQ(s.Count(), 0u);
    FeedStream(v, stream, 7, 10); // from the second IDR on
    v.ReleaseDecoder();
    EXPECT_EQ(s.Count(), 20u);
    ExpectSameAsFfmpeg(gop, s, 640, 480, 10);
}

// A surface that lends its memory gets each picture converted straight into
// it (fast bilinear, 32-bit): the same pixels as ffmpeg's, no Present.
TEST_F(VidanaDecode, CanvasPicturesEqualFfmpegFastBilinear) {
    struct Case {
        std::string path;
        int32_t type;
        Fit fit;
    };
    for (const Case& c : {Case{vga, kVidanaFrameH264, {640, 480, 640, 480}},
                          Case{vga, kVidanaFrameH264, {1000, 600, 800, 600}},
                          Case{hevc, kVidanaFrameH265, {320, 300, 320, 240}},
                          Case{hd, kVidanaFrameH264, {1280, 720, 1280, 720}}}) {
        SCOPED_TRACE(c.path + " in " + std::to_string(c.fit.viewW) + "x" +
                     std::to_string(c.fit.viewH));
        CanvasSurface s(c.fit.viewW, c.fit.viewH);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, ReadFile(c.path), c.type);
        v.FlushDecoder();
        const uint64_t shown = v.PictureCounts().shown;
        v.ReleaseDecoder();
        EXPECT_EQ(s.Count(), 0u); // nothing went through Present
        ASSERT_GT(s.canvases.size(), 0u);
        EXPECT_EQ(shown, s.canvases.size());
        EXPECT_EQ(s.begun, int(s.canvases.size()));
        const auto ref = FfmpegCanvasPictures(*dir, c.path, c.fit.w, c.fit.h);
        const size_t n = size_t(c.fit.w) * c.fit.h * 4;
        ASSERT_EQ(ref.size() / n, s.canvases.size());
        for (size_t i = 0; i < s.canvases.size(); ++i) {
            ASSERT_EQ(s.canvases[i].width, c.fit.w);
            ASSERT_EQ(s.canvases[i].height, c.fit.h);
            ASSERT_TRUE(std::memcmp(s.canvases[i].bgr.data(), ref.data() + i * n, n) == 0)
                << "picture " << i << " differs, PSNR "
                << Psnr(s.canvases[i].bgr.data(), ref.data() + i * n, n);
        }
    }
    // The drag rectangle lands on the canvas as on a packed picture.
    CanvasSurface s(640, 480);
    CVidana v;
    v.SetHWND(&s);
    v.SetRect({100, 100, 300, 200});
    FeedStream(v, ReadFile(vga), kVidanaFrameH264, 0, 1);
    v.ReleaseDecoder();
    ASSERT_EQ(s.canvases.size(), 1u);
    const auto ref = FfmpegCanvasPictures(*dir, vga, 640, 480);
    auto px = [](const uint8_t* p, int x, int y) { return p + (size_t(y) * 640 + x) * 4; };
    EXPECT_NE(std::memcmp(px(s.canvases[0].bgr.data(), 100, 150), px(ref.data(), 100, 150), 3), 0);
    EXPECT_EQ(std::memcmp(px(s.canvases[0].bgr.data(), 200, 150), px(ref.data(), 200, 150), 4), 0);
}

// A surface that keeps its pictures gets them scaled and converts them itself
// (CVidanaPainter) where they are painted, inside larger memory: the canvas
// path's pixels, and not one byte of the memory around the picture changed,
// wherever the picture lies (the last rows at the very end of the memory go
// through the painter's own rows).
TEST_F(VidanaDecode, KeptPicturesPaintFfmpegsPixelsAndNothingAround) {
    struct Case {
        std::string path;
        int32_t type;
        Fit fit;
        int memW, memH, x, y; // the memory's pixels, the picture's place in it
        bool painted;
    };
    for (const Case& c : {
             Case{vga, kVidanaFrameH264, {640, 480, 640, 480}, 700, 500, 30, 10, true},
             Case{hd, kVidanaFrameH264, {1280, 720, 1280, 720}, 1280, 720, 0, 0, true},
             Case{hd, kVidanaFrameH264, {1001, 700, 1001, 563}, 1010, 610, 9, 37, true},
             Case{hd, kVidanaFrameH264, {1024, 576, 1024, 576}, 1100, 590, 5, 4, true},
             Case{hd, kVidanaFrameH264, {1004, 600, 1004, 565}, 1004, 570, 0, 2, true},
             Case{hevc, kVidanaFrameH265, {333, 250, 333, 250}, 400, 260, 67, 3, true},
             Case{vga, kVidanaFrameH264, {639, 479, 639, 479}, 639, 479, 0, 0, false},
             Case{vga, kVidanaFrameH264, {16, 12, 16, 12}, 20, 14, 2, 1, false},
         }) {
        SCOPED_TRACE(c.path + " as " + std::to_string(c.fit.w) + "x" + std::to_string(c.fit.h) +
                     " at " + std::to_string(c.x) + "," + std::to_string(c.y));
        KeepingSurface s(c.fit.viewW, c.fit.viewH);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, ReadFile(c.path), c.type);
        v.FlushDecoder();
        const uint64_t shown = v.PictureCounts().shown;
        v.ReleaseDecoder();
        EXPECT_EQ(s.Count(), 0u); // nothing went through Present
        ASSERT_GT(s.kept.size(), 0u);
        EXPECT_EQ(shown, s.kept.size());
        const auto ref = FfmpegCanvasPictures(*dir, c.path, c.fit.w, c.fit.h);
        const size_t n = size_t(c.fit.w) * c.fit.h * 4;
        ASSERT_EQ(ref.size() / n, s.kept.size());
        const int64_t stride = int64_t(c.memW) * 4;
        std::vector<uint8_t> memory(size_t(stride) * c.memH);
        CVidanaPainter painter;
        // A few pictures each, into memory of a pattern that no picture has.
        for (size_t i = 0; i < s.kept.size() && i < 4; ++i) {
            const VidanaSize size = CVidanaPainter::SizeOf(*s.kept[i]);
            ASSERT_EQ(size.width, c.fit.w);
            ASSERT_EQ(size.height, c.fit.h);
            for (size_t b = 0; b < memory.size(); ++b) memory[b] = uint8_t(b * 7 + i);
            const std::vector<uint8_t> before = memory;
            ASSERT_EQ(painter.Paint(*s.kept[i], memory.data(), stride, int64_t(memory.size()),
                                    c.x, c.y),
                      c.painted);
            if (!c.painted) {
                ASSERT_EQ(memory, before) << "written although not painted";
                continue;
            }
            for (int y = 0; y < c.memH; ++y) {
                const size_t row = size_t(y) * stride;
                if (y < c.y || y >= c.y + c.fit.h) {
                    ASSERT_EQ(std::memcmp(memory.data() + row, before.data() + row, stride), 0)
                        << "picture " << i << " wrote outside, row " << y;
                    continue;
                }
                const size_t left = size_t(c.x) * 4, width = size_t(c.fit.w) * 4;
                const uint8_t* want = ref.data() + i * n + size_t(y - c.y) * width;
                ASSERT_EQ(std::memcmp(memory.data() + row + left, want, width), 0)
                    << "picture " << i << " differs, row " << y;
                ASSERT_EQ(std::memcmp(memory.data() + row, before.data() + row, left), 0)
                    << "picture " << i << " wrote left of it, row " << y;
                ASSERT_EQ(std::memcmp(memory.data() + row + left + width,
                                      before.data() + row + left + width,
                                      size_t(stride) - left - width),
                          0)
                    << "picture " << i << " wrote right of it, row " << y;
            }
        }
    }
}

// Records what the decoder says of pictures it does not show.
class NoticeSurface : public RecordingSurface {
public:
    using RecordingSurface::RecordingSurface;
    void PictureNotShown(const char* why) override { notices.emplace_back(why); }
    std::vector<std::string> notices;
};

// Up to 8K is shown; a larger picture is said once and counted as refused,
// never as shown.
TEST_F(VidanaDecode, PictureSizeLimits) {
    struct Case {
        int w, h;
        bool shown;
    };
    for (const Case c : {Case{7680, 4320, true}, Case{7681, 4320, false},
                         Case{7680, 4321, false}, Case{1, 1, true}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const auto path =
            MakeH264(*dir, "limit.h264", c.w, c.h, 2, "-bf 0 -preset ultrafast -pix_fmt yuv444p");
        NoticeSurface s(64, 48);
        CVidana v;
        v.SetHWND(&s);
        const auto stream = ReadFile(path);
        FeedStream(v, stream);
        const VidanaPictureCounts n = v.PictureCounts();
        v.ReleaseDecoder();
        const uint64_t pictures = CountUnits(stream);
        EXPECT_GE(pictures, 1u);
        EXPECT_EQ(s.Count(), c.shown ? pictures : 0u);
        EXPECT_EQ(n.shown, c.shown ? pictures : 0u);
        EXPECT_EQ(n.refused, c.shown ? 0u : pictures);
        if (c.shown) {
            EXPECT_TRUE(s.notices.empty());
        } else {
            ASSERT_EQ(s.notices.size(), 1u); // said once, not for every picture
            EXPECT_EQ(s.notices[0], "picture " + std::to_string(c.w) + " x " +
                                        std::to_string(c.h) +
                                        " is larger than 7680 x 4320: not shown");
        }
    }
}

// Camera sizes above the old 2048 x 1536 bound, both codecs, picture for
// picture against ffmpeg (a few pictures each: 4K takes the encoder a while).
TEST_F(VidanaDecode, QhdAndUhdStreamsEqualFfmpeg) {
    struct Case {
        int w, h;
        TestCodec codec;
        Fit fit;
    };
    for (const Case& c : {Case{2560, 1440, TestCodec::H264, {2560, 1440, 2560, 1440}},
                          Case{2560, 1440, TestCodec::H265, {1280, 1024, 1280, 720}},
                          Case{3840, 2160, TestCodec::H264, {960, 540, 960, 540}},
                          Case{3840, 2160, TestCodec::H265, {800, 600, 800, 450}}}) {
        const bool hevcCase = c.codec == TestCodec::H265;
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (hevcCase ? " H.265" : ""));
        const auto path = MakeH264(*dir, hevcCase ? "uhd.hevc" : "uhd.h264", c.w, c.h, 3,
                                   hevcCase ? "-preset ultrafast -x265-params bframes=0"
                                            : "-bf 0 -preset ultrafast",
                                   c.codec);
        RecordingSurface s(c.fit.viewW, c.fit.viewH);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, ReadFile(path), hevcCase ? kVidanaFrameH265 : kVidanaFrameH264);
        EXPECT_EQ(v.PictureCounts().shown, 3u);
        v.ReleaseDecoder();
        ASSERT_EQ(s.Count(), 3u);
        ExpectSameAsFfmpeg(path, s, c.fit.w, c.fit.h);
    }
}

TEST_F(VidanaDecode, ViewSizeAtTheFirstPictureHoldsForTheSession) {
    const auto stream = ReadFile(vga);
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream, 7, 0, 1);
    s.Resize(800, 600);
    FeedStream(v, stream, 7, 1);
    v.ReleaseDecoder();
    ASSERT_EQ(s.Count(), 30u);
    ExpectSameAsFfmpeg(vga, s, 320, 240);

    // The next session takes the view's new size.
    RecordingSurface t(800, 600);
    t.Resize(800, 600);
    v.SetHWND(&t);
    FeedStream(v, stream);
    v.ReleaseDecoder();
    ASSERT_EQ(t.Count(), 30u);
    ExpectSameAsFfmpeg(vga, t, 800, 600);
}

TEST_F(VidanaDecode, SetHwndOverAnOpenDecoderStartsAFreshSession) {
    const auto stream = ReadFile(vga);
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream, 7, 0, 5);
    s.Resize(640, 480);
    v.SetHWND(&s);                   // no ReleaseDecoder in between
    FeedStream(v, stream, 7, 5, 10); // no reference pictures in the new decoder
    EXPECT_EQ(s.Count(), 5u);
    FeedStream(v, stream);
    v.ReleaseDecoder();
    ASSERT_EQ(s.Count(), 35u);
    RecordingSurface second(640, 480);
    second.pictures.assign(s.pictures.begin() + 5, s.pictures.end());
    ExpectSameAsFfmpeg(vga, second, 640, 480);
}

TEST_F(VidanaDecode, EmptyViewAtFirstPictureDrawsOnceTheViewHasASize) {
    const auto stream = ReadFile(vga);
    RecordingSurface s(0, 0);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream, 7, 0, 10);
    EXPECT_EQ(s.Count(), 0u);
    s.Resize(320, 240);
    FeedStream(v, stream, 7, 10);
    v.ReleaseDecoder();
    ASSERT_EQ(s.Count(), 20u);
    ExpectSameAsFfmpeg(vga, s, 320, 240, 10);
}

TEST_F(VidanaDecode, StreamSizeChangeWithinASessionRebuildsTheConverter) {
    auto stream = ReadFile(vga);
    const auto second = ReadFile(qvga);
    stream.insert(stream.end(), second.begin(), second.end());
    RecordingSurface s(400, 300);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, stream);
    v.ReleaseDecoder();
    ASSERT_EQ(s.Count(), 38u);
    RecordingSurface tail(400, 300);
    tail.pictures.assign(s.pictures.begin() + 30, s.pictures.end());
    ExpectSameAsFfmpeg(qvga, tail, 400, 300);
}

TEST_F(VidanaDecode, TwoInstancesShareOneDecoder) {
    const auto stream = ReadFile(vga);
    RecordingSurface sa(320, 240), sb(320, 240);
    CVidana a, b;
    a.SetHWND(&sa);
    FeedStream(a, stream, 7, 0, 5);
    EXPECT_EQ(sa.Count(), 5u);
    // The second SetHWND takes the decoder over: it starts afresh, so the P
    // frames that follow have no reference and show nothing until the next IDR.
    b.SetHWND(&sb);
    FeedStream(b, stream, 7, 5, 10);
    EXPECT_EQ(sb.Count(), 0u);
    FeedStream(b, stream, 7, 0, 10);
    EXPECT_EQ(sb.Count(), 10u);
    // Release on the first closes it for the second too.
    a.ReleaseDecoder();
    FeedStream(b, stream, 7, 10);
    EXPECT_EQ(sb.Count(), 10u);
    b.ReleaseDecoder();
    EXPECT_EQ(sa.Count(), 5u);
}

TEST_F(VidanaDecode, TypeCodesDispatch) {
    const auto stream = ReadFile(vga);
    const std::string jpegPath = *dir / "small.jpg";
    ASSERT_EQ(0,
              Shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120 -frames:v 1 '" +
                    jpegPath + "'"));
    const auto jpeg = ReadFile(jpegPath);

    // 16 and -1 are video (H.264), 8 is H.265 and shows no H.264.
    for (int32_t type : {16, -1, 0, 7}) {
        SCOPED_TRACE(type);
        RecordingSurface s(320, 240);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream, type, 0, 3);
        EXPECT_EQ(s.Count(), 3u);
        v.ReleaseDecoder();
    }
    {
        RecordingSurface s(320, 240);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream, kVidanaFrameH264, 0, 3);
        for (const auto u : vidana::SplitAccessUnits(stream))
            v.DecodeXFrame(u.data(), int32_t(u.size()), kVidanaFrameH265);
        EXPECT_EQ(s.Count(), 3u);
        FeedStream(v, ReadFile(hevc), kVidanaFrameH265, 0, 3);
        EXPECT_EQ(s.Count(), 6u);
        EXPECT_EQ(VidanaFrameTypeOf(0x24), kVidanaFrameH265);
        EXPECT_EQ(VidanaFrameTypeOf(0x1B), kVidanaFrameH264);
        EXPECT_EQ(VidanaFrameTypeOf(0), kVidanaFrameH264);
        v.ReleaseDecoder();
    }
    // 17 and above are audio: H.264 bytes show nothing there.
    for (int32_t type : {17, 18, 1000}) {
        RecordingSurface s(320, 240);
        CVidana v;
        v.SetHWND(&s);
        FeedStream(v, stream, type, 0, 3);
        EXPECT_EQ(0, v.DecodeXFrame(jpeg.data(), int32_t(jpeg.size()), type));
        EXPECT_EQ(s.Count(), 0u);
        v.ReleaseDecoder();
    }
    // 2 is MJPEG, and it does not need the decoder open.
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    v.ReleaseDecoder();
    EXPECT_EQ(0, v.DecodeXFrame(jpeg.data(), int32_t(jpeg.size()), 2));
    ASSERT_EQ(s.Count(), 1u);
    EXPECT_EQ(s.pictures[0].width, 160);
    EXPECT_EQ(s.pictures[0].height, 120);
    // ...and H.264 through type 2 is not a JPEG.
    FeedStream(v, stream, 2, 0, 3);
    EXPECT_EQ(s.Count(), 1u);
}

class VidanaMJpeg : public VidanaDecode {
protected:
    // A 400 x 300 JPEG and ffmpeg's BGR24 decoding of it.
    void SetUp() override {
        path = *dir / "big.jpg";
        ASSERT_EQ(0,
                  Shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=400x300 -frames:v 1 "
                        "-q:v 3 '" +
                        path + "'"));
        jpeg = ReadFile(path);
        ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -y -i '" + path +
                           "' -pix_fmt bgr24 -f rawvideo '" + path + ".bgr'"));
        ref = ReadFile(path + ".bgr");
        ASSERT_EQ(ref.size(), 400u * 300 * 3);
    }
    // The top-left w x h corner of the reference.
    std::vector<uint8_t> Corner(int w, int h) const {
        std::vector<uint8_t> out;
        for (int y = 0; y < h; ++y)
            out.insert(out.end(), ref.begin() + y * 1200, ref.begin() + y * 1200 + w * 3);
        return out;
    }
    std::string path;
    std::vector<uint8_t> jpeg, ref;
};

TEST_F(VidanaMJpeg, DrawnAtItsOwnSizeAndClippedByTheView) {
    CVidana v;
    RecordingSurface big(640, 480);
    v.SetHWND(&big);
    v.SetRect({10, 10, 100, 100}); // no overlay on MJPEG pictures
    EXPECT_EQ(0, v.DecodeXFrame(jpeg.data(), int32_t(jpeg.size()), 2));
    ASSERT_EQ(big.Count(), 1u);
    EXPECT_EQ(big.pictures[0].width, 400);
    EXPECT_EQ(big.pictures[0].height, 300);
    EXPECT_TRUE(big.pictures[0].bgr == ref)
        << "PSNR " << Psnr(big.pictures[0].bgr.data(), ref.data(), ref.size());
    v.ReleaseDecoder();

    // Wider than high, higher than wide, odd sizes: the top-left corner, exactly.
    for (auto [w, h] : {std::pair{250, 100}, {399, 299}, {641, 37}, {33, 480}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        RecordingSurface small(w, h);
        v.SetHWND(&small);
        EXPECT_EQ(0, v.DecodeXFrame(jpeg.data(), int32_t(jpeg.size()), 2));
        v.ReleaseDecoder();
        ASSERT_EQ(small.Count(), 1u);
        const int cw = std::min(w, 400), ch = std::min(h, 300);
        EXPECT_EQ(small.pictures[0].width, cw);
        EXPECT_EQ(small.pictures[0].height, ch);
        const auto corner = Corner(cw, ch);
        EXPECT_TRUE(small.pictures[0].bgr == corner)
            << "PSNR " << Psnr(small.pictures[0].bgr.data(), corner.data(), corner.size());
    }
}

TEST_F(VidanaMJpeg, CorruptPicturesDrawNothing) {
    RecordingSurface s(640, 480);
    CVidana v;
    v.SetHWND(&s);
    std::mt19937 rng(7);
    std::vector<std::vector<uint8_t>> bad;
    std::vector<uint8_t> noise(5000);
    for (auto& b : noise)
        b = uint8_t(rng());
    bad.push_back(noise);
    bad.push_back(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 200)); // headers only
    bad.push_back(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9});
    std::vector<uint8_t> scrambled = jpeg; // entropy data overwritten with noise
    for (size_t i = jpeg.size() / 3; i < jpeg.size() - 2; ++i)
        scrambled[i] = uint8_t(rng());
    bad.push_back(scrambled);
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        std::unique_ptr<uint8_t[]> frame(new uint8_t[bad[i].size()]);
        std::copy(bad[i].begin(), bad[i].end(), frame.get());
        EXPECT_EQ(0, v.DecodeXFrame(frame.get(), int32_t(bad[i].size()), 2));
        EXPECT_EQ(s.Count(), 0u);
    }
    EXPECT_EQ(0, v.DecodeXFrame(nullptr, 0, 2));
    EXPECT_EQ(0, v.DecodeXFrame(jpeg.data(), -5, 2));
    EXPECT_EQ(s.Count(), 0u);
    v.ReleaseDecoder();
}

// A baseline JPEG whose frame header declares 65535 x 65535 (and then 4000 x
// 4000) pixels over the entropy data of a small picture.
TEST_F(VidanaMJpeg, HugeDeclaredSizeIsRefused) {
    size_t sof = 0;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC1)) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, 0u);
    RecordingSurface s(640, 480);
    CVidana v;
    v.SetHWND(&s);
    for (uint16_t side : {uint16_t(65535), uint16_t(4000)}) {
        auto huge = jpeg;
        huge[sof + 5] = uint8_t(side >> 8), huge[sof + 6] = uint8_t(side); // height
        huge[sof + 7] = uint8_t(side >> 8), huge[sof + 8] = uint8_t(side); // width
        EXPECT_EQ(0, v.DecodeXFrame(huge.data(), int32_t(huge.size()), 2));
    }
    EXPECT_EQ(s.Count(), 0u);
    v.ReleaseDecoder();
}

TEST_F(VidanaDecode, BadH264NeitherCrashesNorStopsTheDecoder) {
    const auto stream = ReadFile(vga);
    const auto units = vidana::SplitAccessUnits(stream);
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    std::mt19937 rng(11);
    // Truncated access units.
    for (size_t i = 0; i < units.size(); ++i) {
        const size_t cut = rng() % units[i].size();
        std::unique_ptr<uint8_t[]> frame(new uint8_t[cut + 1]);
        std::copy(units[i].begin(), units[i].begin() + cut + 1, frame.get());
        EXPECT_EQ(0, v.DecodeXFrame(frame.get(), int32_t(cut + 1), 7));
    }
    // Noise, with and without start codes, and nonsense lengths.
    for (int i = 0; i < 50; ++i) {
        std::vector<uint8_t> noise(1 + rng() % 20000);
        for (auto& b : noise)
            b = uint8_t(rng());
        if (i % 2) noise[0] = 0, noise[1] = 0, noise[2] = 1;
        std::unique_ptr<uint8_t[]> frame(new uint8_t[noise.size()]);
        std::copy(noise.begin(), noise.end(), frame.get());
        EXPECT_EQ(0, v.DecodeXFrame(frame.get(), int32_t(noise.size()), 7));
    }
    EXPECT_EQ(0, v.DecodeXFrame(nullptr, 0, 7));
    EXPECT_EQ(0, v.DecodeXFrame(nullptr, 100, 7));
    EXPECT_EQ(0, v.DecodeXFrame(stream.data(), -1, 7));
    // A 64 MiB frame: a start code, a slice header and then noise.
    {
        const size_t big = size_t(64) << 20;
        std::unique_ptr<uint8_t[]> frame(new uint8_t[big]);
        for (size_t i = 0; i < big; ++i)
            frame[i] = uint8_t(rng());
        frame[0] = 0, frame[1] = 0, frame[2] = 1, frame[3] = 0x65;
        EXPECT_EQ(0, v.DecodeXFrame(frame.get(), int32_t(big), 7));
    }
    // The decoder still shows a good stream afterwards.
    const size_t before = s.Count();
    FeedStream(v, stream);
    EXPECT_GE(s.Count(), before + 29);
    v.ReleaseDecoder();
}

// FFmpeg's bitstream readers read past the end of a packet; a frame that ends
// right before an unmapped page (inputs the fuzzer found) must not make the
// decoder fault.
TEST_F(VidanaDecode, FramesEndingBeforeAnUnmappedPageAreDecodedSafely) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    struct Case {
        const char* seed;
        int32_t type;
    };
    for (const Case c : {Case{"corpus-h264/overread-at-page-end", kVidanaFrameH264},
                         Case{"corpus-h265/overread-at-page-end", kVidanaFrameH265}}) {
        SCOPED_TRACE(c.seed);
        const auto input = ReadFile(std::string(TARVEX_SOURCE_DIR) + "/fuzz/vidana/" + c.seed);
        ASSERT_GT(input.size(), 1u);
        // The fuzz input: a view-size byte, then the stream.
        const std::vector<uint8_t> stream(input.begin() + 1, input.end());
        const size_t span = (stream.size() / page + 2) * page;
        void* m = mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        auto* base = static_cast<uint8_t*>(m);
        ASSERT_EQ(0, mprotect(base + span, page, PROT_NONE));
        RecordingSurface s(64, 48);
        CVidana v;
        v.SetHWND(&s);
        for (const auto unit : vidana::SplitAccessUnits(stream, c.type == kVidanaFrameH265)) {
            uint8_t* at = base + span - unit.size();
            std::copy(unit.begin(), unit.end(), at);
            EXPECT_EQ(0, v.DecodeXFrame(at, int32_t(unit.size()), c.type));
        }
        v.FlushDecoder();
        v.ReleaseDecoder();
        munmap(m, span + page);
    }
    // The decoder still shows a good stream.
    RecordingSurface s(320, 240);
    CVidana v;
    v.SetHWND(&s);
    FeedStream(v, ReadFile(vga), kVidanaFrameH264, 0, 3);
    EXPECT_EQ(s.Count(), 3u);
    v.ReleaseDecoder();
}

TEST_F(VidanaDecode, DecodeToolTurnsAStreamIntoFfmpegsPictures) {
    const std::string tool = VIDANA_PLAY;
    const std::string out = *dir / "frames.bgr";
    const std::string pngs = *dir / "png";
    fs::create_directories(pngs);
    const std::string cmd = "'" + tool + "' --in '" + hd + "' --size 1280x720 --out '" + out +
                            "' --png-dir '" + pngs + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        output += buf;
    ASSERT_EQ(pclose(p), 0) << output;
    const auto frames = ReadFile(out);
    const size_t n = 1280u * 720 * 3;
    ASSERT_EQ(frames.size() % n, 0u);
    const size_t count = frames.size() / n;
    EXPECT_EQ(count, 10u); // every picture, those held for reordering included
    EXPECT_EQ(output, "presented " + std::to_string(count) + " pictures\n");
    const auto ref = FfmpegPictures(*dir, hd, 1280, 720);
    ASSERT_EQ(ref.size(), frames.size());
    EXPECT_TRUE(std::memcmp(frames.data(), ref.data(), frames.size()) == 0);

    // H.265 with B-frames, recognised by its parameter sets or named.
    for (const char* codec : {"", " --codec h265"}) {
        SCOPED_TRACE(codec);
        ASSERT_EQ(0, Shell("'" + tool + "' --in '" + hevcB + "' --size 352x288" + codec +
                           " --out '" + out + "' >/dev/null"));
        const auto got = ReadFile(out);
        const auto want = FfmpegPictures(*dir, hevcB, 352, 288);
        EXPECT_EQ(got.size(), 50u * 352 * 288 * 3);
        EXPECT_TRUE(got == want);
    }

    // The PNG files: one per picture, RGB, at the view size.
    for (size_t i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%05zu.png", i);
        const auto png = ReadFile(pngs + name);
        ASSERT_GT(png.size(), 33u) << name;
        EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16));
        EXPECT_EQ(png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19], 1280);
        EXPECT_EQ(png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23], 720);
    }
    EXPECT_FALSE(
        fs::exists(pngs + "/frame-" + std::to_string(100000 + count + 1).substr(1) + ".png"));
}

TEST_F(VidanaDecode, DecodeToolRefusesBadCommandLines) {
    const std::string tool = std::string("'") + VIDANA_PLAY + "'";
    EXPECT_NE(0, Shell(tool + " 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga + "' 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga + "' --size 640 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga + "' --size 0x480 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in /nonexistent.h264 --size 64x48 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga + "' --size 64x48 --bogus 1 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga + "' --size 64x48 --codec vp9 2>/dev/null"));
    EXPECT_NE(0, Shell(tool + " --in '" + vga +
                       "' --size 64x48 --out /nonexistent/dir/f.bgr 2>/dev/null"));
    EXPECT_EQ(0, Shell(tool + " --in '" + vga + "' --size 64x48 >/dev/null"));
}

} // namespace
