// The simulated camera's pictures through the platform's receive chain: its
// pattern source (H.264 or H.265, camera sizes above the old 2048 x 1536
// bound), its program-stream muxer, our demultiplexer and the decoder.
#include "media/MediaTestUtil.h"
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CRTPSession.h"
#include "media/send/RtpSender.h"
#include "media/send/PsMuxer.h"
#include "sim/camera/VideoSource.h"
#include "vidana/lib/Vidana.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <chrono>
#include <mutex>
#include <thread>
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

// --audio: a G.711 A-law pack after every picture. ffprobe reads the program
// stream as H.264 plus 8 kHz A-law; our demultiplexer gives the pictures
// alone, and the audio packs as frames without video.
TEST(CameraSource, AudioPacksAreG711InTheProgramStreamAndSkipped) {
    tvsim::PatternOptions o;
    o.width = 320;
    o.height = 240;
    std::string error;
    auto source = tvsim::OpenPattern(o, error);
    ASSERT_TRUE(source) << error;
    tvsim::ToneSource tone;
    ASSERT_TRUE(tone.Open(error)) << error;
    tvsend::PsMuxer mux;
    mux.withAudio = true;
    CHbPSDemux demux;
    std::vector<uint8_t> file;
    int pictures = 0, silent = 0;
    std::size_t audioBytes = 0;
    for (int i = 0; i < 25; ++i) {
        tvsim::AccessUnit au;
        ASSERT_TRUE(source->Next(au, error)) << error;
        const auto video =
            mux.Mux(au.data.data(), au.data.size(), uint64_t(au.pts), uint64_t(au.dts), au.key);
        const auto g711 = tone.Next(320); // 40 ms
        ASSERT_EQ(g711.size(), 320u);
        audioBytes += g711.size();
        const auto audio = mux.MuxAudio(g711.data(), g711.size(), uint64_t(au.dts + 1));
        for (const auto* pack : {&video, &audio}) {
            file.insert(file.end(), pack->begin(), pack->end());
            std::vector<uint8_t> es(pack->size());
            const int32_t n = demux.Demux(pack->data(), int32_t(pack->size()), es.data());
            if (pack == &video) {
                EXPECT_EQ(n, int32_t(au.data.size()));
                if (n == int32_t(au.data.size()) &&
                    std::equal(es.begin(), es.begin() + n, au.data.begin()))
                    ++pictures;
                if (au.key) {
                    EXPECT_EQ(demux.MapStreamType(), 0x1B); // the video's, not the audio's
                }
            } else {
                silent += n == 0;
            }
        }
    }
    EXPECT_EQ(pictures, 25);
    EXPECT_EQ(silent, 25);
    // ffprobe finds the audio stream on C0 (libavformat does not read stream
    // type 0x90 of the map, so it names no codec for it: the map is read here).
    const std::string dir = ::testing::TempDir();
    const std::string path = dir + "/tarvex-camera-audio.ps";
    mt::WriteFile(path, file);
    const std::string probe = mt::Capture(
        "ffprobe -v quiet -show_entries stream=id,codec_type -of csv=p=0 '" + path + "'");
    EXPECT_NE(probe.find("video,0x1e0"), std::string::npos) << probe;
    EXPECT_NE(probe.find("audio,0x1c0"), std::string::npos) << probe;
    std::remove(path.c_str());
    // The map: H.264 on E0, G.711 A-law (0x90) on C0, and a CRC that checks.
    const uint8_t mapStart[] = {0, 0, 1, 0xBC};
    auto at = std::search(file.begin(), file.end(), std::begin(mapStart), std::end(mapStart));
    ASSERT_NE(at, file.end());
    const std::size_t length = 6u + (std::size_t(at[4]) << 8 | at[5]);
    const std::vector<uint8_t> map(at, at + std::ptrdiff_t(length));
    ASSERT_EQ(map.size(), 6u + 2 + 2 + 2 + 8 + 4);
    EXPECT_EQ(std::vector<uint8_t>(map.begin() + 12, map.begin() + 20),
              (std::vector<uint8_t>{0x1B, 0xE0, 0, 0, 0x90, 0xC0, 0, 0}));
    EXPECT_EQ(tvsend::Crc32Mpeg(map.data(), map.size()), 0u);
    // The audio payloads, as raw A-law, decode (ffmpeg) to the tone's level.
    std::vector<uint8_t> alaw;
    for (std::size_t i = 0; i + 9 < file.size(); ++i) {
        if (file[i] || file[i + 1] || file[i + 2] != 1 || file[i + 3] != 0xC0) continue;
        const std::size_t pes = std::size_t(file[i + 4]) << 8 | file[i + 5];
        const std::size_t header = 9u + file[i + 8];
        alaw.insert(alaw.end(), file.begin() + std::ptrdiff_t(i + header),
                    file.begin() + std::ptrdiff_t(i + 6 + pes));
        i += 5 + pes;
    }
    ASSERT_EQ(alaw.size(), 25u * 320);
    const std::string raw = dir + "/tarvex-camera-audio.alaw";
    mt::WriteFile(raw, alaw);
    ASSERT_EQ(mt::Run("ffmpeg -nostdin -v error -y -f alaw -ar 8000 -ac 1 -i '" + raw +
                      "' -f s16le '" + raw + ".pcm'"),
              0);
    const auto pcm = mt::ReadFile(raw + ".pcm");
    std::remove(raw.c_str());
    std::remove((raw + ".pcm").c_str());
    ASSERT_EQ(pcm.size(), alaw.size() * 2);
    int peak = 0;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
        peak = std::max(peak, std::abs(int(int16_t(pcm[i] | pcm[i + 1] << 8))));
    EXPECT_GT(peak, 7500);
    EXPECT_LT(peak, 8500);
    EXPECT_EQ(audioBytes, 25u * 320);
}

// The camera's --late and --reorder faults (a picture's last packet after the
// next picture's first; its last two packets swapped) against the receiver:
// within the reordering bound every picture comes out whole, over UDP and TCP.
TEST(CameraSource, LateAndSwappedPacketsLoseNoPicture) {
    struct Case {
        const char* name;
        bool tcp;
        uint32_t lateEvery, reorderEvery;
    };
    for (const Case c : {Case{"UDP, one late packet every 10 pictures", false, 10, 0},
                         Case{"UDP, late every picture and swapped every 3", false, 1, 3},
                         Case{"TCP, late every 2", true, 2, 0}}) {
        SCOPED_TRACE(c.name);
        const uint16_t port = mt::FreePortBase();
        ASSERT_NE(port, 0);
        struct Got {
            std::mutex m;
            std::vector<std::vector<uint8_t>> frames;
        } got;
        CRTPSession receiver;
        receiver.SetLocalAddress(INADDR_LOOPBACK);
        receiver.SetFrameCallback(
            [](void* user, unsigned char* f, int32_t n) {
                auto* g = static_cast<Got*>(user);
                std::lock_guard<std::mutex> l(g->m);
                g->frames.emplace_back(f, f + n);
            },
            &got);
        ASSERT_EQ(receiver.RTP_Setup(port, c.tcp ? 2 : 0, "127.0.0.1", 90000), 1);
        tvsend::SenderConfig cfg;
        cfg.transport = c.tcp ? tvsend::MediaTransport::TcpConnect : tvsend::MediaTransport::Udp;
        cfg.localIp = cfg.remoteIp = "127.0.0.1";
        cfg.remotePort = port;
        cfg.ssrc = 7;
        cfg.lateEvery = c.lateEvery;
        cfg.reorderEvery = c.reorderEvery;
        tvsend::RtpSender sender(cfg);
        std::string error;
        ASSERT_TRUE(sender.Open(error)) << error;
        ASSERT_TRUE(sender.WaitConnected(std::chrono::seconds(10), error)) << error;
        // 40 pictures of four packets each, each picture's bytes its own.
        constexpr int kPictures = 40;
        tvsend::PsMuxer mux;
        std::vector<std::vector<uint8_t>> sent;
        for (int i = 0; i < kPictures; ++i) {
            std::vector<uint8_t> es(cfg.maxPayload * 3 + 100);
            for (std::size_t k = 0; k < es.size(); ++k)
                es[k] = static_cast<uint8_t>(i * 31 + k * 7 + 1);
            sent.push_back(es);
            const auto pack = mux.Mux(es.data(), es.size(), 3600u * i, 3600u * i, i == 0);
            ASSERT_TRUE(sender.SendPack(pack, 3600u * static_cast<uint32_t>(i), error)) << error;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // The last picture waits for a next timestamp that never comes.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            {
                std::lock_guard<std::mutex> l(got.m);
                if (got.frames.size() >= kPictures - 1) break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), until) << got.frames.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        receiver.SetFrameCallback(nullptr, nullptr);
        receiver.RTP_Teardown();
        std::lock_guard<std::mutex> l(got.m);
        ASSERT_EQ(got.frames.size(), std::size_t(kPictures - 1));
        for (int i = 0; i + 1 < kPictures; ++i)
            EXPECT_TRUE(got.frames[i] == sent[i]) << "picture " << i;
        const SequenceFigures f = receiver.RtpCounts();
        EXPECT_EQ(f.skipped, 0u); // late is not lost
    }
}

} // namespace
