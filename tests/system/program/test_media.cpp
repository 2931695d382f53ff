// build/tarvex receiving a camera, offscreen, driven by operator scripts: SIPp
// plays the camera's signalling (registration, catalog, records, the answer to
// INVITE, INFO and BYE), camsim.py its media sender, streaming the pictures of
// an ffmpeg-made program stream (-f vob) to the offered port over UDP, TCP
// with Tarvex connecting and TCP with Tarvex listening; and an H.265 camera.

#include "Harness.h"
#include "media/MediaTestUtil.h"
#include "vidana/lib/AccessUnits.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <numeric>
#include <regex>
#include <set>

using namespace systest;

namespace {

constexpr const char* kDevice = "34010000001320000001";
constexpr const char* kChannel = "34010000001310000001";
constexpr const char* kMarker = "<SN>4242</SN>";

// The device's answer: its media line and connection (nothing else is used).
std::string Answer(const std::string& session, const std::string& media, int port = 15060) {
    return "v=0\r\no=" + std::string(kChannel) + " 0 0 IN IP4 127.0.0.1\r\ns=" + session +
           "\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=" + media + " " + std::to_string(port) +
           " RTP/AVP 96\r\na=sendonly\r\na=rtpmap:96 PS/90000\r\ny=0100000001\r\nf=\r\n";
}

// An offer as the camera must receive it, written out line by line.
std::string Offer(const std::string& session, const std::string& media, const std::string& time,
                  int port, const std::string& transport, const std::string& extra, char history) {
    // The channel selected is what the offer asks for; playback and download
    // name it in u= too.
    const bool ranged = session == "Playback" || session == "Download";
    const bool video = media == "video";
    return "v=0\r\no=" + std::string(kChannel) + " 0 0 IN IP4 127.0.0.1\r\ns=" + session +
           (ranged ? "\r\nu=" + std::string(kChannel) + ":0" : std::string()) +
           "\r\nc=IN IP4 127.0.0.1\r\nt=" + time + " \r\nm=" + media + " " + std::to_string(port) +
           " " + transport +
           // 国标版本 2022 (the default): H.265 in 100 on video lines, the
           // live view's stream number (main).
           (video ? " 96 98 97 100" : " 96 98 97") +
           "\r\na=recvonly\r\na=rtpmap:96 PS/90000\r\na=rtpmap:98 H264/90000\r\n"
           "a=rtpmap:97 MPEG4/90000\r\n" +
           (video ? "a=rtpmap:100 H265/90000\r\n" : "") + extra +
           (session == "Play" ? "a=streamnumber:0\r\n" : "") + "a=username:" + kChannel + "\r\na=password:73910462\r\ny=" + history +
           "100000001\r\nf=v/1/4/20/2/1024a/8/1\r\n";
}

DeviceScript CameraScript(const std::string& answer) {
    DeviceScript s;
    s.deviceId = kDevice;
    s.firstPauseMs = 300;
    s.catalog = {CatalogAnswer(kDevice, 1, {kChannel})};
    s.recordInfo = RecordAnswer(kDevice, kChannel, 1); // /rec/file0.mp4, 10:00:00 to 10:10:00
    s.inviteAnswer = answer;
    s.holdMs = 85000; // ended by the test
    return s;
}

// Waits until the camera has received count requests of method (transactions).
std::vector<TracedMessage> WaitRequests(const Camera& c, const std::string& method,
                                        std::size_t count) {
    std::vector<TracedMessage> t;
    for (int i = 0; i < 1500; ++i) {
        t = c.Trace();
        if (ReceivedRequests(t, method).size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return t;
}

// Position of the first traced request of method whose body holds text; -1 when none.
int Find(const std::vector<TracedMessage>& t, const std::string& method,
         const std::string& text = {}) {
    for (std::size_t i = 0; i < t.size(); ++i)
        if (!t[i].sentBySipp && t[i].Method() == method &&
            t[i].Body().find(text) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

// A dump file: its lines by control identifier, the identifier cut off.
std::map<int, std::vector<std::string>> ReadDump(const std::string& file) {
    std::map<int, std::vector<std::string>> out;
    std::istringstream in(ReadFile(file));
    for (std::string line; std::getline(in, line);)
        out[std::atoi(line.c_str())].push_back(line.substr(line.find(' ') + 1));
    return out;
}

struct Statistics {
    bool ok = false;
    unsigned frames = 0, lost = 0, kb = 0;
};
// The statistics line of a dump: "解码 %llu帧 丢 %llu包 坏 %llu帧 帧率 %d Fps 设备 %d Fps
// 接收数据 %lu KB 码率 %d KBps \n" (pictures, lost packets, kilobytes).
Statistics ReadStatistics(const std::string& line) {
    static const std::regex re("^解码 (\\d+)帧 丢 (\\d+)包 坏 \\d+帧 帧率 \\d+ Fps 设备 \\d+ Fps 接收数据 "
                               "(\\d+) KB 码率 \\d+ KBps \\\\n$");
    std::smatch m;
    if (!std::regex_match(line, m, re)) return {};
    return {true, unsigned(std::stoul(m[1])), unsigned(std::stoul(m[2])),
            unsigned(std::stoul(m[3]))};
}

// Width and height from a PNG's header.
std::pair<int, int> PngSize(const std::string& png) {
    auto be = [&](std::size_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(png.data()) + at;
        return int(p[0]) << 24 | int(p[1]) << 16 | int(p[2]) << 8 | int(p[3]);
    };
    return png.size() >= 24 ? std::make_pair(be(16), be(20)) : std::make_pair(0, 0);
}

class Media : public ::testing::Test {
protected:
    // One clip for the suite: H.264 without B-frames in ffmpeg's MPEG-2 program
    // stream, its elementary stream as ffmpeg extracts it, and its pictures.
    static void SetUpTestSuite() {
        clip_ = new TempDir;
        const std::string es = mt::MakeH264(clip_->Path(), "cam.h264", "320x240", 4.0, "-bf 0");
        ASSERT_FALSE(es.empty());
        vob_ = mt::MakePS(es, clip_->File("cam.vob"));
        ASSERT_FALSE(vob_.empty());
        es_ = clip_->File("fromvob.h264");
        const std::vector<uint8_t> bytes = mt::ExtractES(vob_, es_);
        units_.clear(); // each suite (Media, LiveView) makes its own clip
        for (const auto& u : vidana::SplitAccessUnits(bytes))
            units_.push_back(u.size());
        ASSERT_EQ(units_.size(), 100u);
        long_ = mt::MakeH264(clip_->Path(), "long.h264", "320x240", 40.0, "-bf 0");
        ASSERT_FALSE(long_.empty());
    }
    static void TearDownTestSuite() {
        delete clip_;
        clip_ = nullptr;
    }

    void SetUp() override {
        sipPort_ = FreePort(SOCK_DGRAM);
        mediaPort_ = mt::FreePortBase();
        ASSERT_NE(mediaPort_, 0);
    }

    // camsim.py sending es at 25 pictures a second; port is where it sends,
    // connects or listens.
    std::unique_ptr<mt::Proc> Camsim(const std::string& transport, int port,
                                     const std::string& es) {
        return std::make_unique<mt::Proc>(
            std::vector<std::string>{"/usr/bin/python3", mt::Camsim(), "--es", es, "--transport",
                                     transport, "--host", "127.0.0.1", "--bind", "127.0.0.1",
                                     "--port", std::to_string(port), "--fps", "25",
                                     "--accept-timeout", "60"},
            dir_.File("camsim.out"), dir_.File("camsim.err"));
    }

    // ffmpeg's pictures of a clip (by default the suite's) at the view's size,
    // and the shot's pixels.
    // ffmpeg's pictures as the view shows them: fitted to w x h with the
    // aspect ratio kept (scaled fast bilinear in the stream's format, then
    // converted to 32-bit, as the view's canvas gets them), centred on black.
    std::vector<uint8_t> Reference(int w, int h, const std::string& clip = vob_) {
        const std::string out = dir_.File("reference.bgr");
        const std::string W = std::to_string(w), H = std::to_string(h);
        EXPECT_EQ(mt::Run("ffmpeg -nostdin -v error -y -i " + clip + " -vf 'scale=" + W + ":" + H +
                          ":flags=fast_bilinear:force_original_aspect_ratio=decrease,"
                          "format=yuv420p,scale=flags=fast_bilinear,format=bgra,pad=" +
                          W + ":" + H + ":(ow-iw)/2:(oh-ih)/2:black' -pix_fmt bgr24 -f rawvideo " +
                          out),
                  0);
        return mt::ReadFile(out);
    }
    std::vector<uint8_t> ShotPixels(const std::string& png) {
        const std::string out = dir_.File("shot.bgr");
        EXPECT_EQ(
            mt::Run("ffmpeg -nostdin -v error -y -i " + png + " -pix_fmt bgr24 -f rawvideo " + out),
            0);
        return mt::ReadFile(out);
    }

    std::uint64_t Bytes(std::size_t frames) const {
        return std::accumulate(units_.begin(), units_.begin() + std::min(frames, units_.size()),
                               std::uint64_t(0));
    }

    TempDir dir_;
    int sipPort_ = 0;
    int mediaPort_ = 0;
    static inline TempDir* clip_ = nullptr;
    static inline std::string vob_, es_, long_;
    static inline std::vector<std::size_t> units_;
};

class LiveView : public Media, public ::testing::WithParamInterface<int> {};

// The operator opens the live view; the camera sends its whole clip; the view
// shows its last picture as ffmpeg decodes it, the statistics count every
// frame and byte, pan-tilt-zoom goes out during the view, and the call ends
// with BYE: by the cancel row (UDP), at SIGTERM (TCP connecting) or at the
// exit button (TCP listening).
TEST_P(LiveView, ShowsTheCamerasPicturesCountsThemSteersAndEndsTheCall) {
    const int transport = GetParam();
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, transport, mediaPort_));
    std::string script = "wait-registered 30000\n"
                         "wait-log \"<DeviceList\" 30000\n"
                         "tree " +
                         std::string(kChannel) +
                         "\n"
                         "set 1065 192\n"
                         "click 1081 0          # 实时点播\n"
                         "wait-text 1090 帧率 60000\n"
                         "wait-log " +
                         kMarker +
                         " 90000  # the camera has sent its clip\n"
                         "shot live.png 1007\n"
                         "dump live.txt\n"
                         "click 1081 1          # 向上\n"
                         "click 1081 9          # 停止\n"
                         "drag 100 50 300 150   # 拖动放大\n";
    if (transport == 0) script += "click 1081 0          # 点播取消\ndump ended.txt\nexit\n";
    if (transport == 1) script += "exit\n";
    WriteFile(dir_.File("live.txt"), script);
    Program tarvex(dir_.Path(), {"--script", "live.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    std::unique_ptr<mt::Proc> sender;
    // "TCP active" (RFC 4145): the device listens, here at the receiver port
    // + 2, and its answer names that port.
    if (transport == 2) sender = Camsim("tcp-listen", mediaPort_ + 2, es_);
    Camera camera(dir_, "cam", false);
    ASSERT_TRUE(camera.Start(sipPort_, CameraScript(Answer("Play", "video",
                                                           transport == 2 ? mediaPort_ + 2 : 15060))));
    if (transport != 2) {
        // UDP: the receiver is up once the answer came; TCP passive: it listens
        // before the INVITE leaves.
        ASSERT_TRUE(WaitPortBound(mediaPort_, transport == 1, 60000)) << tarvex.Out();
        sender = Camsim(transport == 0 ? "udp" : "tcp-connect", mediaPort_, es_);
    }
    ASSERT_EQ(sender->Wait(120), 0) << ReadFile(dir_.File("camsim.err"));
    SendDeviceMessage(sipPort_, kDevice,
                      "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n" +
                          std::string(kMarker) + "\r\n<DeviceID>" + kDevice +
                          "</DeviceID>\r\n</Notify>\r\n");
    if (transport == 2) {
        ASSERT_TRUE(tarvex.WaitOut("] script done", 90000)) << tarvex.Out();
        tarvex.Signal(SIGTERM);
    }
    ASSERT_EQ(tarvex.Wait(90000), 0) << tarvex.Out() << camera.Report();

    // On the wire: the offer byte for byte, pan-tilt-zoom after it, one BYE of its call.
    const auto trace = WaitRequests(camera, "BYE", 1);
    const auto invites = ReceivedRequests(trace, "INVITE");
    const auto byes = ReceivedRequests(trace, "BYE");
    ASSERT_EQ(invites.size(), 1u) << camera.Report();
    ASSERT_EQ(byes.size(), 1u) << tarvex.Out() << camera.Report();
    EXPECT_EQ(byes[0].Header("Call-ID"), invites[0].Header("Call-ID"));
    const char* setup[] = {"", "a=setup:passive\r\na=connection:new\r\n",
                           "a=setup:active\r\na=connection:new\r\n"};
    EXPECT_EQ(invites[0].Body(),
              Offer("Play", "video", "0 0", mediaPort_, transport == 0 ? "RTP/AVP" : "TCP/RTP/AVP",
                    setup[transport], '0'));
    EXPECT_EQ(invites[0].Header("Content-Type"), "application/sdp");
    const int invite = Find(trace, "INVITE"), bye = Find(trace, "BYE");
    for (const char* body : {"<PTZCmd>A50F0108C000007D</PTZCmd>",
                             "<PTZCmd>A50F0100C0000075</PTZCmd>", "<DragZoomIn>\r\n  <Length>"}) {
        const int at = Find(trace, "MESSAGE", body);
        EXPECT_TRUE(at > invite && at < bye)
            << body << " at " << at << ", INVITE " << invite << ", BYE " << bye;
    }

    // What the operator saw.
    auto live = ReadDump(dir_.File("live.txt"));
    ASSERT_EQ(live[1081].size(), 17u);
    EXPECT_EQ(live[1081][0], "01 [ ] 点播取消");
    EXPECT_TRUE(std::regex_match(live[1101].at(0), std::regex("00:00:0\\d/12:00:00")))
        << live[1101].at(0);
    auto ended = transport == 0 ? ReadDump(dir_.File("ended.txt")) : live;
    if (transport == 0) {
        ASSERT_EQ(ended[1081].size(), 6u);
        EXPECT_EQ(ended[1081][0], "01 [ ] 实时点播");
    }
    // Every update carries frames and bytes of the same moment; the last picture
    // waits for a next timestamp that never comes. Only the cancel row shows the
    // figures held back at the end; TCP loses nothing.
    const Statistics st = ReadStatistics(ended[1090].at(0));
    ASSERT_TRUE(st.ok) << ended[1090].at(0);
    EXPECT_EQ(st.lost, 0u);
    EXPECT_GT(st.frames, 0u);
    EXPECT_LE(st.frames, units_.size() - 1);
    EXPECT_EQ(st.kb, Bytes(st.frames) >> 10) << ended[1090].at(0);
    const bool whole = transport != 0 || st.frames == units_.size() - 1;

    // The view showed the camera's last picture as ffmpeg decodes it, at the view's size.
    const std::string png = ReadFile(dir_.File("live.png"));
    const auto [w, h] = PngSize(png);
    ASSERT_GT(w * h, 0);
    const std::vector<uint8_t> shot = ShotPixels(dir_.File("live.png"));
    const std::vector<uint8_t> reference = Reference(w, h);
    const std::size_t n = std::size_t(w) * h * 3;
    ASSERT_EQ(shot.size(), n);
    ASSERT_EQ(reference.size(), n * units_.size());
    if (whole) {
        EXPECT_EQ(std::memcmp(shot.data(), reference.data() + n * (units_.size() - 2), n), 0)
            << "the shot is not the clip's last picture but one";
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, LiveView, ::testing::Values(0, 1, 2), [](const auto& i) {
    return std::string(i.param == 0 ? "Udp" : i.param == 1 ? "TcpListening" : "TcpConnecting");
});

// A camera streaming H.265 (stream type 0x24 in its stream map) over TCP with
// Tarvex listening: the live view counts every frame and shows the camera's
// pictures as ffmpeg decodes them.
TEST_F(Media, HevcLiveViewShowsTheCamerasPictures) {
    const std::string hevc = mt::MakeHevc(dir_.Path(), "cam.hevc", "320x240", 2.0, "-bf 0");
    ASSERT_FALSE(hevc.empty());
    const std::size_t units = vidana::SplitAccessUnits(mt::ReadFile(hevc), true).size();
    ASSERT_EQ(units, 50u);
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, 1, mediaPort_));
    WriteFile(dir_.File("live.txt"), "wait-registered 30000\n"
                                     "wait-log \"<DeviceList\" 30000\n"
                                     "tree " + std::string(kChannel) +
                                         "\n"
                                         "click 1081 0          # 实时点播\n"
                                         "wait-text 1090 帧率 60000\n"
                                         "wait-log " + kMarker +
                                         " 90000  # the camera has sent its clip\n"
                                         "shot live.png 1007\n"
                                         "click 1081 0          # 点播取消\n"
                                         "dump ended.txt\n"
                                         "exit\n");
    Program tarvex(dir_.Path(), {"--script", "live.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    Camera camera(dir_, "cam", false);
    ASSERT_TRUE(camera.Start(sipPort_, CameraScript(Answer("Play", "video"))));
    ASSERT_TRUE(WaitPortBound(mediaPort_, true, 60000)) << tarvex.Out();
    auto sender = Camsim("tcp-connect", mediaPort_, hevc);
    ASSERT_EQ(sender->Wait(120), 0) << ReadFile(dir_.File("camsim.err"));
    SendDeviceMessage(sipPort_, kDevice,
                      "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n" +
                          std::string(kMarker) + "\r\n<DeviceID>" + kDevice +
                          "</DeviceID>\r\n</Notify>\r\n");
    ASSERT_EQ(tarvex.Wait(90000), 0) << tarvex.Out() << camera.Report();

    // Every frame but the last (which waits for a next timestamp) was decoded.
    auto ended = ReadDump(dir_.File("ended.txt"));
    const Statistics st = ReadStatistics(ended[1090].at(0));
    ASSERT_TRUE(st.ok) << ended[1090].at(0);
    EXPECT_EQ(st.frames, units - 1) << ended[1090].at(0);
    EXPECT_EQ(st.lost, 0u);

    // The view shows the last of them as ffmpeg decodes it, at the view's size.
    const auto [w, h] = PngSize(ReadFile(dir_.File("live.png")));
    ASSERT_GT(w * h, 0);
    const std::vector<uint8_t> shot = ShotPixels(dir_.File("live.png"));
    const std::vector<uint8_t> reference = Reference(w, h, hevc);
    const std::size_t n = std::size_t(w) * h * 3;
    ASSERT_EQ(shot.size(), n);
    ASSERT_EQ(reference.size(), n * units);
    EXPECT_EQ(std::memcmp(shot.data(), reference.data() + n * (units - 2), n), 0)
        << "the shot is not the clip's last picture but one";
}

// A recording found by a search is played back, steered by the seven playback
// control rows, ended, then downloaded with the progress moving; the offers
// carry the recording's own range (and the download speed), the INFOs go in the
// playback's call with the settled content type.
TEST_F(Media, PlaybackAndDownloadOfARecording) {
    setenv("TZ", "UTC", 1); // the search texts are local time; the program inherits it
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, 0, mediaPort_));
    std::string script = "wait-registered 30000\n"
                         "wait-log \"<DeviceList\" 30000\n"
                         "tree " +
                         std::string(kChannel) +
                         "\n"
                         "search 2026-03-01T08:00:00 2026-03-01T20:00:00 0\n"
                         "click 1081 3          # 文件检索\n"
                         "wait-log \"<RecordList\" 30000\n"
                         "tree /rec/file0.mp4   # ten minutes long\n"
                         "dump selected.txt\n"
                         "click 1081 1          # 文件回放\n"
                         "wait-text 1090 帧率 60000\n";
    for (int row = 2; row <= 8; ++row)
        script += "click 1081 " + std::to_string(row) + "\n";
    script += "click 1081 1          # 回放取消\n"
              "click 1081 0          # 文件下载\n"
              "wait-text 1101 00:00:04/00:10:00 60000\n"
              "dump download.txt\n"
              "exit\n";
    WriteFile(dir_.File("recording.txt"), script);
    Program tarvex(dir_.Path(), {"--script", "recording.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    // The device sends all along; whichever receiver is up takes it.
    auto sender = Camsim("udp", mediaPort_, long_);
    Camera camera(dir_, "cam", false);
    ASSERT_TRUE(camera.Start(sipPort_, CameraScript(Answer("Playback", "video"))));
    ASSERT_EQ(tarvex.Wait(120000), 0) << tarvex.Out() << camera.Report();

    const auto trace = WaitRequests(camera, "BYE", 2);
    const auto invites = ReceivedRequests(trace, "INVITE");
    const auto infos = ReceivedRequests(trace, "INFO");
    const auto byes = ReceivedRequests(trace, "BYE");
    ASSERT_EQ(invites.size(), 2u) << camera.Report();
    ASSERT_EQ(byes.size(), 2u) << tarvex.Out();
    const std::string range = "1714989600 1714990200"; // the recording: 2024-05-06 10:00 to 10:10 UTC
    EXPECT_EQ(invites[0].Body(), Offer("Playback", "video", range, mediaPort_, "RTP/AVP", "", '1'));
    EXPECT_EQ(invites[1].Body(), Offer("Download", "video", range, mediaPort_, "RTP/AVP",
                                       "a=downloadspeed:4\r\n", '1'));
    const std::string playback = invites[0].Header("Call-ID");
    EXPECT_EQ(byes[0].Header("Call-ID"), playback);
    EXPECT_EQ(byes[1].Header("Call-ID"), invites[1].Header("Call-ID"));
    const char* bodies[] = {"PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n",
                            "PAUSE RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n",
                            "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 2.0\r\nRange: npt=0-\r\n",
                            "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 0.5\r\nRange: npt=0-\r\n",
                            "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: -2.0\r\nRange: npt=0-\r\n",
                            "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: -0.5\r\nRange: npt=0-\r\n",
                            "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=10-\r\n"};
    ASSERT_EQ(infos.size(), 7u);
    for (std::size_t i = 0; i < infos.size(); ++i) {
        EXPECT_EQ(infos[i].Body(), bodies[i]) << i;
        EXPECT_EQ(infos[i].Header("Content-Type"), "Application/MANSRTSP");
        EXPECT_EQ(infos[i].Header("Call-ID"), playback);
    }

    // The recording selected: its length; the download: the stream's own time
    // by its RTP timestamps.
    auto selected = ReadDump(dir_.File("selected.txt"));
    EXPECT_EQ(selected[1101], std::vector<std::string>{"00:00:00/00:10:00"});
    EXPECT_EQ(selected[1100], std::vector<std::string>{"0 600 1"});
    EXPECT_EQ(selected[1081], (std::vector<std::string>{"01 [ ] 文件下载", "02 [ ] 文件回放"}));
    auto download = ReadDump(dir_.File("download.txt"));
    ASSERT_EQ(download[1081].size(), 9u);
    EXPECT_EQ(download[1081][0], "01 [ ] 下载取消");
    std::smatch m;
    const std::string label = download[1101].at(0);
    ASSERT_TRUE(std::regex_match(label, m, std::regex("00:00:(\\d\\d)/00:10:00"))) << label;
    const int position = std::stoi(m[1]);
    EXPECT_GE(position, 4);
    EXPECT_EQ(download[1100].at(0), "0 600 " + std::to_string(position));
}

// The talk row sends our audio offer (s=Talk, our receiving port, PCMA and
// PCMU, and AAC in 102 under 2022, sendrecv); the device's G.711 answer starts our sending to its port,
// not a video receiver, and SIGINT ends the call. (The broadcast row sends a
// notification instead, and both directions are measured against
// tarvex-camera: tests/audio/broadcast.)
TEST_F(Media, TalkOfferAndItsCallEndedAtSigint) {
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, 0, mediaPort_));
    WriteFile(dir_.File("voice.txt"), "wait-registered 30000\n"
                                      "wait-log \"<DeviceList\" 30000\n"
                                      "tree " +
                                          std::string(kChannel) +
                                          "\n"
                                          "click 1081 2          # 语音对讲\n"
                                          "dump voice.txt\n");
    Program tarvex(dir_.Path(), {"--script", "voice.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    Camera camera(dir_, "cam", false);
    const std::string answer = "v=0\r\no=" + std::string(kChannel) +
                               " 0 0 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                               "m=audio 15060 RTP/AVP 8\r\na=sendrecv\r\na=rtpmap:8 PCMA/8000\r\ny=0100000001\r\n";
    ASSERT_TRUE(camera.Start(sipPort_, CameraScript(answer)));
    ASSERT_TRUE(tarvex.WaitOut("answered (talk): sending PCMA to 127.0.0.1:15060", 60000)) << tarvex.Out();
    EXPECT_FALSE(WaitPortBound(mediaPort_, false, 300)); // no video receiver
    tarvex.Signal(SIGINT);
    ASSERT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();

    const auto trace = WaitRequests(camera, "BYE", 1);
    const auto invites = ReceivedRequests(trace, "INVITE");
    const auto byes = ReceivedRequests(trace, "BYE");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_EQ(byes.size(), 1u) << tarvex.Out() << camera.Report();
    const std::string offer = invites[0].Body();
    EXPECT_TRUE(std::regex_search(offer, std::regex("\r\ns=Talk\r\nc=IN IP4 127\\.0\\.0\\.1\r\n"))) << offer;
    // 国标版本 2022 (the default) lists AAC after G.711.
    EXPECT_TRUE(std::regex_search(offer, std::regex("\r\nm=audio [1-9][0-9]* RTP/AVP 8 0 102\r\n"))) << offer;
    EXPECT_NE(offer.find("a=rtpmap:102 AAC/8000/1\r\na=fmtp:102 streamtype=5;profile-level-id=16;"
                         "mode=AAC-hbr;config=1588;sizeLength=13;indexLength=3;indexDeltaLength=3;"
                         "constantDuration=1024\r\n"),
              std::string::npos)
        << offer;
    EXPECT_NE(offer.find("a=sendrecv\r\n"), std::string::npos) << offer;
    EXPECT_NE(offer.find("a=rtpmap:8 PCMA/8000\r\n"), std::string::npos) << offer;
    EXPECT_NE(offer.find("a=rtpmap:0 PCMU/8000\r\n"), std::string::npos) << offer;
    EXPECT_TRUE(std::regex_search(offer, std::regex("\r\ny=0[0-9]{9}\r\n"))) << offer;
    EXPECT_EQ(invites[0].Header("Call-ID"), byes[0].Header("Call-ID"));
    // The list stays as it was.
    auto voice = ReadDump(dir_.File("voice.txt"));
    ASSERT_EQ(voice[1081].size(), 6u);
    EXPECT_EQ(voice[1081][1], "02 [ ] 音频广播");
    EXPECT_EQ(voice[1081][2], "03 [x] 语音对讲");
}

// The device ends the live view with its own BYE: the BYE is logged, the
// view ends in the window (the receiver stops, the list is back to set 0),
// and no BYE of ours follows.
TEST_F(Media, DevicesByeIsLoggedAndEndsTheView) {
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, 0, mediaPort_));
    WriteFile(dir_.File("bye.txt"), "wait-registered 30000\n"
                                    "wait-log \"<DeviceList\" 30000\n"
                                    "tree " + std::string(kChannel) + "\n"
                                    "click 1081 0          # 实时点播\n"
                                    "wait-log \"BYE sip:\" 30000\n"
                                    "sleep 500\n"
                                    "dump bye.txt\n");
    Program tarvex(dir_.Path(), {"--script", "bye.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    DeviceScript script = CameraScript(Answer("Play", "video"));
    script.inviteByeAfterMs = 300;
    Camera camera(dir_, "cam", false);
    ASSERT_TRUE(camera.Start(sipPort_, script));
    ASSERT_TRUE(tarvex.WaitOut("] script done", 60000)) << tarvex.Out();
    EXPECT_NE(tarvex.Out().find("closed (live view)"), std::string::npos) << tarvex.Out();
    EXPECT_FALSE(WaitPortBound(mediaPort_, false, 300)); // the receiver is gone
    const auto dump = ReadDump(dir_.File("bye.txt"));
    ASSERT_EQ(dump.at(1081).size(), 6u);
    EXPECT_EQ(dump.at(1081)[0], "01 [ ] 实时点播");
    tarvex.Signal(SIGTERM);
    ASSERT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
    EXPECT_TRUE(ReceivedRequests(camera.Trace(), "BYE").empty());
    int byes = 0;
    for (const auto& r : ReadWorkbook(dir_))
        byes += r.sheet == "Recv Msg" && r.head.rfind("BYE sip:", 0) == 0;
    EXPECT_EQ(byes, 1);
}

// A device that refuses the live view's INVITE with 488: the answer and the
// ACK for it are rows of the log (and the workbook), the view's call is over
// (the list back to set 0) and no BYE follows.
TEST_F(Media, RefusedInviteIsLoggedWithItsAckAndEndsTheView) {
    WriteFile(dir_.File("config.ini"), MediaConfig(sipPort_, 0, mediaPort_));
    WriteFile(dir_.File("refused.txt"), "wait-registered 30000\n"
                                        "wait-log \"<DeviceList\" 30000\n"
                                        "tree " + std::string(kChannel) + "\n"
                                        "click 1081 0          # 实时点播\n"
                                        "wait-log \"SIP/2.0 488\" 30000\n"
                                        "sleep 500\n"
                                        "dump refused.txt\n");
    Program tarvex(dir_.Path(), {"--script", "refused.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    DeviceScript script = CameraScript(Answer("Play", "video"));
    script.inviteRefusal = "488 Not Acceptable Here";
    Camera camera(dir_, "cam", false);
    ASSERT_TRUE(camera.Start(sipPort_, script));
    ASSERT_TRUE(tarvex.WaitOut("] script done", 60000)) << tarvex.Out();
    const auto dump = ReadDump(dir_.File("refused.txt"));
    ASSERT_EQ(dump.at(1081).size(), 6u);
    EXPECT_EQ(dump.at(1081)[0], "01 [ ] 实时点播");
    EXPECT_FALSE(WaitPortBound(mediaPort_, false, 300)); // no receiver stays
    tarvex.Signal(SIGTERM);
    ASSERT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
    EXPECT_EQ(ReceivedRequests(camera.Trace(), "ACK").size(), 1u);
    EXPECT_TRUE(ReceivedRequests(camera.Trace(), "BYE").empty());
    int refusals = 0, acks = 0;
    for (const auto& r : ReadWorkbook(dir_)) {
        refusals += r.sheet == "Recv Msg" && r.head.rfind("SIP/2.0 488", 0) == 0;
        acks += r.sheet == "Send Msg" && r.head.rfind("ACK sip:", 0) == 0;
    }
    EXPECT_EQ(refusals, 1);
    EXPECT_EQ(acks, 1);
}

} // namespace
