// tarvex-recv against the camera-playing sender: the elementary stream it
// writes equals ffmpeg's over UDP, TCP connecting and TCP listening, with the
// sender's faults switched on, and the tool's command line.

#include "media/MediaTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const std::string kTool = std::string(TARVEX_BINARY_DIR) + "/tools/tarvex-recv/tarvex-recv";

std::string Slurp(const std::string& p) {
    auto b = mt::ReadFile(p);
    return std::string(b.begin(), b.end());
}

bool WaitForText(const std::string& file, const std::string& text, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (Slurp(file).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

struct Stream {
    std::string path;
    Bytes bytes;
    std::size_t units = 0;
    Bytes expected; // without the last access unit
};

class CaptureTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(mt::TempDir("capture"));
        small_ = Load(mt::MakeH264(*dir_, "small.h264", "320x240", 2));
        // Key frames above 64 KiB: several PES packets per picture.
        large_ = Load(mt::MakeH264(*dir_, "large.h264", "1280x720", 1, "-crf 8 -bf 0"));
        hevc_ = Load(mt::MakeHevc(*dir_, "small.hevc", "320x240", 2));
    }
    static Stream* Load(const std::string& path) {
        auto* s = new Stream;
        if (path.empty()) return s;
        s->path = path;
        s->bytes = mt::ReadFile(path);
        // The sender's own cut into access units ({"units": N, ..., "last_es": L}).
        std::string count =
            mt::Capture("/usr/bin/python3 " + mt::Camsim() + " --es " + path + " --count-only");
        s->units = std::strtoul(count.c_str() + count.find(':') + 1, nullptr, 10);
        const std::size_t last = std::strtoul(count.c_str() + count.rfind(':') + 1, nullptr, 10);
        if (s->units && last <= s->bytes.size())
            s->expected.assign(s->bytes.begin(), s->bytes.end() - static_cast<long>(last));
        return s;
    }

    std::string Path(const std::string& name) { return *dir_ + "/" + Name() + "-" + name; }
    static std::string Name() {
        return ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    // Runs the tool and the sender; returns the tool's exit status.
    int Exchange(int transport, const Stream& s, std::vector<std::string> extra, std::size_t frames,
                 const std::string& source = "--es", int seconds = 40) {
        uint16_t port = mt::FreePortBase();
        std::vector<std::string> tool = {kTool,
                                         "--port",
                                         std::to_string(port),
                                         "--transport",
                                         std::to_string(transport),
                                         "--seconds",
                                         std::to_string(seconds),
                                         "--out",
                                         Path("out.h264")};
        if (frames) tool.insert(tool.end(), {"--frames", std::to_string(frames)});
        std::vector<std::string> snd = {"/usr/bin/python3", mt::Camsim(), source, s.path};
        if (transport == 0)
            snd.insert(snd.end(), {"--transport", "udp", "--port", std::to_string(port)});
        if (transport == 1)
            snd.insert(snd.end(), {"--transport", "tcp-listen", "--port", std::to_string(port + 2),
                                   "--linger", "0.5"});
        if (transport == 2)
            snd.insert(snd.end(), {"--transport", "tcp-connect", "--port", std::to_string(port),
                                   "--linger", "0.5"});
        snd.insert(snd.end(), extra.begin(), extra.end());
        if (transport == 1) {
            tool.insert(tool.end(), {"--peer", "127.0.0.1"});
            mt::Proc sender(snd, Path("snd.out"), Path("snd.err"));
            EXPECT_TRUE(WaitForText(Path("snd.out"), "listening", 20));
            mt::Proc recv(tool, Path("tool.out"), Path("tool.err"));
            EXPECT_EQ(sender.Wait(60), 0) << Slurp(Path("snd.err"));
            return recv.Wait(60);
        }
        mt::Proc recv(tool, Path("tool.out"), Path("tool.err"));
        EXPECT_TRUE(WaitForText(Path("tool.err"), "receiving on port", 10));
        mt::Proc sender(snd, Path("snd.out"), Path("snd.err"));
        EXPECT_EQ(sender.Wait(60), 0) << Slurp(Path("snd.err"));
        return recv.Wait(60);
    }

    void ExpectGolden(const Stream& s) {
        Bytes out = mt::ReadFile(Path("out.h264"));
        ASSERT_GT(s.expected.size(), 1000u);
        EXPECT_EQ(out.size(), s.expected.size());
        EXPECT_TRUE(out == s.expected) << "output differs from the input without its last unit";
        std::string err = Slurp(Path("tool.err"));
        EXPECT_NE(err.find("tarvex-recv total"), std::string::npos) << err;
        EXPECT_NE(err.find("frames " + std::to_string(s.units - 1) + ","), std::string::npos)
            << err;
    }

    static std::string* dir_;
    static Stream* small_;
    static Stream* large_;
    static Stream* hevc_;
};
std::string* CaptureTool::dir_ = nullptr;
Stream* CaptureTool::small_ = nullptr;
Stream* CaptureTool::large_ = nullptr;
Stream* CaptureTool::hevc_ = nullptr;

TEST_F(CaptureTool, UdpWritesTheElementaryStreamWithoutItsLastUnit) {
    ASSERT_GT(small_->units, 10u);
    EXPECT_EQ(Exchange(0, *small_, {}, small_->units - 1), 0);
    ExpectGolden(*small_);
}

TEST_F(CaptureTool, TcpConnectingWritesTheSameStream) {
    EXPECT_EQ(Exchange(1, *small_, {}, small_->units - 1), 0);
    ExpectGolden(*small_);
}

TEST_F(CaptureTool, TcpListeningWithReorderDuplicatesWrapAndEmptyFrames) {
    EXPECT_EQ(Exchange(2, *small_,
                       {"--reorder", "0.3", "--dup", "0.2", "--seq-start", "65500", "--tcp-zero",
                        "0.1", "--garbage", "0.05", "--tcp-unfinished"},
                       small_->units - 1),
              0);
    ExpectGolden(*small_);
}

TEST_F(CaptureTool, UdpWithCameraQuirksAndSenderFaults) {
    EXPECT_EQ(Exchange(0, *small_,
                       {"--reorder", "0.3", "--dup", "0.2", "--seq-start", "65520", "--padding",
                        "3", "--csrc", "2", "--ext", "1", "--audio", "--stuffing", "7",
                        "--foreign-pt", "0.1", "--garbage", "0.1"},
                       small_->units - 1),
              0);
    ExpectGolden(*small_);
}

// H.265 and H.264 as cameras send them: the codec is named by the stream map
// or, without one, told by the parameter sets; TCP with RTSP's interleaved '$'
// framing; SSRC 0 and a change of SSRC mid-stream; audio PES between the
// video. Every frame but the last arrives, and the tool says the codec.
TEST_F(CaptureTool, CodecsFramingsAndSsrcChangesReachTheFile) {
    struct Case {
        const char* name;
        int transport;
        Stream* stream;
        std::vector<std::string> extra;
        const char* codec;
    };
    const std::vector<Case> cases = {
        {"h265-map-udp", 0, hevc_, {"--audio"}, "video H.265 (stream type 0x24)"},
        {"h265-sniffed-interleaved-listening",
         2,
         hevc_,
         {"--no-map", "--framing", "interleaved", "--ssrc", "0", "--ssrc-switch", "20", "--audio"},
         "video H.265 (stream type 0x24)"},
        {"h264-interleaved-connecting",
         1,
         small_,
         {"--framing", "interleaved", "--ssrc", "0", "--ssrc-switch", "10", "--ssrc2", "0x77"},
         "video H.264 (stream type 0x1B)"},
        {"h264-udp-ssrc-change",
         0,
         small_,
         {"--ssrc-switch", "25", "--foreign-pt", "0.2", "--no-map"},
         "video H.264 (stream type 0x1B)"},
    };
    ASSERT_GT(hevc_->units, 10u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Exchange(c.transport, *c.stream, c.extra, c.stream->units - 1), 0);
        ExpectGolden(*c.stream);
        EXPECT_NE(Slurp(Path("tool.err")).find(c.codec), std::string::npos)
            << Slurp(Path("tool.err"));
    }
}

// ffmpeg's own program stream of H.265 has no stream map: the codec is told
// from the elementary stream.
TEST_F(CaptureTool, FfmpegHevcProgramStreamIsToldByItsParameterSets) {
    std::string ps = mt::MakePS(hevc_->path, Path("in.vob"));
    ASSERT_FALSE(ps.empty());
    Bytes ref = mt::ExtractES(ps, Path("ref.hevc"), "hevc");
    auto packs = mt::PackStarts(mt::ReadFile(ps));
    Stream s;
    s.path = ps;
    EXPECT_EQ(Exchange(0, s, {}, packs.size() - 1, "--ps"), 0);
    Bytes out = mt::ReadFile(Path("out.h264"));
    ASSERT_GT(out.size(), ref.size() / 2);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), ref.begin()));
    EXPECT_NE(Slurp(Path("tool.err")).find("video H.265 (stream type 0x24)"), std::string::npos);
}

// Out of descriptors (a limit of 24) with callers from elsewhere waiting: the
// accept thread backs off instead of spinning, and the device still gets in
// and delivers its whole stream.
TEST_F(CaptureTool, AtTheDescriptorLimitAcceptBacksOffAndTheDeviceGetsIn) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer runtime opens a pipe to check memory before it reports on
    // a virtual call; at the descriptor limit that fails and it reports
    // falsely, so the limit is only tried in the plain build.
    GTEST_SKIP() << "at the descriptor limit the sanitizer runtime itself fails";
#endif
    uint16_t port = mt::FreePortBase();
    mt::Proc recv({"/usr/bin/prlimit", "--nofile=24:24", kTool, "--port", std::to_string(port),
                   "--transport", "2", "--peer", "127.0.0.1", "--seconds", "60", "--frames",
                   std::to_string(small_->units - 1), "--out", Path("out.h264")},
                  Path("tool.out"), Path("tool.err"));
    ASSERT_TRUE(WaitForText(Path("tool.err"), "receiving on port", 10));
    std::vector<int> idle;
    for (int k = 0; k < 40; ++k) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.3", &a.sin_addr);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        idle.push_back(s);
    }
    std::this_thread::sleep_for(500ms);
    const double cpu0 = recv.CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    const double cpu = recv.CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GE(cpu0, 0);
    EXPECT_LT(cpu, 0.5 * wall) << "the accept thread spins at the descriptor limit";
    mt::Proc sender({"/usr/bin/python3", mt::Camsim(), "--es", small_->path, "--transport",
                     "tcp-connect", "--port", std::to_string(port), "--linger", "0.5"},
                    Path("snd.out"), Path("snd.err"));
    EXPECT_EQ(sender.Wait(60), 0) << Slurp(Path("snd.err"));
    EXPECT_EQ(recv.Wait(60), 0);
    ExpectGolden(*small_);
    for (int s : idle)
        ::close(s);
}

TEST_F(CaptureTool, OversizedPacketsOverUdpAndTcpWithPicturesOfSeveralPes) {
    ASSERT_GT(large_->units, 5u);
    EXPECT_EQ(Exchange(0, *large_, {"--payload", "8000"}, large_->units - 1), 0);
    ExpectGolden(*large_);
    EXPECT_EQ(Exchange(2, *large_, {"--payload", "65000"}, large_->units - 1), 0);
    ExpectGolden(*large_);
}

TEST_F(CaptureTool, FfmpegProgramStreamOnePackPerTimestamp) {
    std::string ps = mt::MakePS(small_->path, Path("in.vob"));
    ASSERT_FALSE(ps.empty());
    Bytes ref = mt::ExtractES(ps, Path("ref.h264"));
    Bytes psBytes = mt::ReadFile(ps);
    auto packs = mt::PackStarts(psBytes);
    ASSERT_GT(packs.size(), 3u);
    const std::size_t lastPack = psBytes.size() - packs.back();
    Stream s;
    s.path = ps;
    EXPECT_EQ(Exchange(0, s, {}, packs.size() - 1, "--ps"), 0);
    Bytes out = mt::ReadFile(Path("out.h264"));
    // Everything but the video of the last pack, which is never delivered.
    ASSERT_LT(out.size(), ref.size());
    EXPECT_LE(ref.size() - out.size(), lastPack);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), ref.begin()));
}

TEST_F(CaptureTool, LossCostsPicturesButTheStreamGoesOn) {
    EXPECT_EQ(Exchange(0, *small_, {"--loss", "0.05", "--garbage", "0.05"}, 0, "--es", 6), 0);
    Bytes out = mt::ReadFile(Path("out.h264"));
    EXPECT_LT(out.size(), small_->expected.size());
    EXPECT_GT(out.size(), small_->expected.size() / 4);
    std::string err = Slurp(Path("tool.err"));
    auto at = err.find("tarvex-recv total");
    ASSERT_NE(at, std::string::npos);
    long frames = std::atol(err.c_str() + err.find("frames ", at) + 7);
    EXPECT_GT(static_cast<std::size_t>(frames), small_->units / 2);
}

TEST_F(CaptureTool, BadArgumentsAndBusyPortAreReportedWithNonZeroStatus) {
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), kTool);
        mt::Proc p(args, Path("a.out"), Path("a.err"));
        return p.Wait(10);
    };
    EXPECT_EQ(run({"--out", Path("x")}), 2);
    EXPECT_NE(Slurp(Path("a.err")).find("--port and --out are required"), std::string::npos);
    EXPECT_EQ(run({"--port", "70000", "--out", Path("x")}), 2);
    EXPECT_EQ(run({"--port", "6000", "--transport", "5", "--out", Path("x")}), 2);
    EXPECT_EQ(run({"--port", "6000", "--transport", "1", "--out", Path("x")}), 2);
    EXPECT_NE(Slurp(Path("a.err")).find("needs --peer"), std::string::npos);
    EXPECT_EQ(run({"--port", "6001", "--out", Path("x")}), 2);
    EXPECT_EQ(run({"--port", "6000", "--bogus", "--out", Path("x")}), 2);
    uint16_t p = mt::FreePortBase();
    int busy = mt::UdpSocket(p, "0.0.0.0");
    ASSERT_GE(busy, 0);
    EXPECT_EQ(run({"--port", std::to_string(p), "--seconds", "2", "--out", Path("x")}), 1);
    EXPECT_NE(Slurp(Path("a.err")).find("cannot open port"), std::string::npos);
    ::close(busy);
}

TEST_F(CaptureTool, SigintEndsTheCaptureCleanly) {
    uint16_t p = mt::FreePortBase();
    mt::Proc recv({kTool, "--port", std::to_string(p), "--transport", "2", "--out", Path("o")},
                  Path("tool.out"), Path("tool.err"));
    ASSERT_TRUE(WaitForText(Path("tool.err"), "receiving on port", 10));
    recv.Signal(SIGINT);
    EXPECT_EQ(recv.Wait(10), 0);
    EXPECT_NE(Slurp(Path("tool.err")).find("tarvex-recv total"), std::string::npos);
}

} // namespace
