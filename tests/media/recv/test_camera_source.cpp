// The simulated camera's pictures through the platform's receive chain: its
// pattern source (H.264 or H.265, camera sizes above the old 2048 x 1536
// bound), its program-stream muxer, our demultiplexer and the decoder.
#include "media/recv/CHbPSDemux.h"
#include "media/send/PsMuxer.h"
#include "sim/camera/VideoSource.h"
#include "vidana/lib/Vidana.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

class CountingSurface : public IVidanaSurface {
public:
    VidanaSize ClientSize() const override { return {640, 360}; }
    void Present(const uint8_t*, int32_t w, int32_t h) override {
        ++pictures;
        width = w;
        height = h;
    }
    std::atomic<int> pictures{0};
    int width = 0, height = 0;
};

TEST(CameraSource, PatternPicturesOfEveryCodecAndSizeDecode) {
    struct Case {
        int w, h;
        bool hevc;
    };
    for (const Case c : {Case{640, 360, false}, Case{640, 360, true}, Case{2560, 1440, false},
                         Case{2560, 1440, true}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.hevc ? " H.265" : ""));
        tvsim::PatternOptions o;
        o.width = c.w;
        o.height = c.h;
        o.hevc = c.hevc;
        o.kbit = 2000;
        std::string error;
        auto source = tvsim::OpenPattern(o, error);
        ASSERT_TRUE(source) << error;
        EXPECT_EQ(source->Hevc(), c.hevc);
        tvsend::PsMuxer mux;
        mux.videoStreamType = c.hevc ? 0x24 : 0x1B;
        CHbPSDemux demux;
        CountingSurface view;
        CVidana decoder;
        decoder.SetHWND(&view);
        constexpr int kUnits = 4;
        for (int i = 0; i < kUnits; ++i) {
            tvsim::AccessUnit au;
            ASSERT_TRUE(source->Next(au, error)) << error;
            EXPECT_EQ(au.key, i == 0);
            const auto pack = mux.Mux(au.data.data(), au.data.size(), uint64_t(au.pts),
                                      uint64_t(au.dts), au.key);
            std::vector<uint8_t> es(pack.size());
            const int32_t n = demux.Demux(pack.data(), int32_t(pack.size()), es.data());
            ASSERT_EQ(n, int32_t(au.data.size()));
            if (au.key) {
                EXPECT_EQ(demux.MapStreamType(), c.hevc ? 0x24 : 0x1B);
            }
            decoder.DecodeXFrame(es.data(), n,
                                 VidanaFrameTypeOf(c.hevc ? 0x24 : 0x1B));
        }
        decoder.FlushDecoder();
        EXPECT_EQ(decoder.PictureCounts().shown, uint64_t(kUnits));
        decoder.ReleaseDecoder();
        EXPECT_EQ(view.pictures.load(), kUnits);
        EXPECT_EQ(view.width, 640);
        EXPECT_EQ(view.height, 360);
    }
}

} // namespace
