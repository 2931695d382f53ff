// tarvex-camera against the real program (offscreen, with operator scripts):
// over UDP and TCP a device registers, its channels appear in the device
// tree, it runs the Catalog, DeviceInfo, DeviceStatus chain and its
// keepalives are answered, then three more devices of one process run theirs;
// live view over UDP, TCP with the program connecting and TCP with the camera
// connecting reaches decoded pictures in the program's view and statistics,
// and the catalog is in the workbook; a recording found by a search is played
// back under the program's playback rows, and a download is ended by the camera.

#include "CameraTest.h"
#include "system/program/Harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <regex>
#include <set>

namespace camtest {
namespace {

const std::string kTarvex = std::string(TARVEX_BINARY_DIR) + "/tarvex";

// config.ini as scripts/make-config.sh writes it, on loopback, with the
// local server's port and transport changed (their GBK keys come first).
void WriteConfig(const TempDir& dir, int port, int transport) {
    ASSERT_EQ(mt::Run("TARVEX_ADDRESS=127.0.0.1 bash " + mt::SourceDir() + "/scripts/make-config.sh " +
                      dir.File("config.ini") + " >/dev/null"),
              0);
    std::string c = ReadFile(dir.File("config.ini"));
    const std::string portKey = "\xB6\xCB\xBF\xDA=5060", protoKey = "\xD0\xAD\xD2\xE9=0";
    c.replace(c.find(portKey), portKey.size(), "\xB6\xCB\xBF\xDA=" + std::to_string(port));
    c.replace(c.find(protoKey), protoKey.size(), "\xD0\xAD\xD2\xE9=" + std::to_string(transport));
    WriteFile(dir.File("config.ini"), c);
}

TEST(CameraProgram, DeviceRegistersFillsTheTreeRunsTheChainKeepsAliveThenThreeMoreRunTheirs) {
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "TCP" : "UDP");
        TempDir dir;
        int port = FreePort(tcp ? SOCK_STREAM : SOCK_DGRAM);
        WriteConfig(dir, port, tcp ? 1 : 0);
        // The script waits for the next devices, which the test starts once the
        // first has answered its chain: by then its channels must be there. The
        // program runs on after the script until every later chain has ended.
        WriteFile(dir.File("check.txt"),
                  "wait-registered 60000\n"
                  "wait-log 34020000001310000904 120000\n"
                  "wait-log 34020000001310001004 120000\n"
                  "wait-log 34020000001310001104 120000\n"
                  "tree 34020000001310000104\n"
                  "tree 34020000001310000904\n"
                  "tree 34020000001310001004\n"
                  "tree 34020000001310001104\n"
                  "wait-log 心跳包 30000\n");
        mt::Proc tarvex({"/bin/sh", "-c", "cd " + dir.Path() + " && QT_QPA_PLATFORM=offscreen exec " + kTarvex + " --script check.txt"},
                        dir.File("tarvex.out"), dir.File("tarvex.err"));
        // The cameras start once the program listens: a camera's own socket could
        // otherwise be given the free port the program is about to take.
        ASSERT_TRUE(WaitPortBound(port, tcp, 60000)) << ReadFile(dir.File("tarvex.out"));
        std::vector<std::string> transport = {"--transport", tcp ? "tcp" : "udp", "--retry", "1"};
        std::vector<std::string> one = {"--keepalive", "2"};
        one.insert(one.end(), transport.begin(), transport.end());
        mt::Proc cams(CameraArgs(port, one), dir.File("cams.out"), dir.File("cams.err"));
        EXPECT_TRUE(WaitFor(dir.File("cams.out"), "Query DeviceStatus SN", 120)) << ReadFile(dir.File("cams.out"));
        std::vector<std::string> late = {"--id", "34020000001320000009", "--devices", "3"};
        late.insert(late.end(), transport.begin(), transport.end());
        mt::Proc fourth(CameraArgs(port, late), dir.File("fourth.out"), dir.File("fourth.err"));
        EXPECT_TRUE(WaitFor(dir.File("tarvex.out"), "script done", 180)) << ReadFile(dir.File("tarvex.out"));
        EXPECT_TRUE(WaitFor(dir.File("fourth.out"), "Query DeviceStatus SN", 120, 3)) << ReadFile(dir.File("fourth.out"));
        tarvex.Signal(SIGTERM);
        int status = tarvex.Wait(120);
        std::string out = ReadFile(dir.File("tarvex.out"));
        EXPECT_EQ(status, 0) << out;
        for (const char* item : {"34020000001310000104", "34020000001310000904", "34020000001310001104"})
            EXPECT_NE(out.find(std::string("tree ") + item), std::string::npos) << out;
        EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
        cams.Signal(SIGTERM);
        fourth.Signal(SIGTERM);
        EXPECT_EQ(cams.Wait(30), 0);
        EXPECT_EQ(fourth.Wait(30), 0);
        std::string c = ReadFile(dir.File("cams.out"));
        const std::string d = "34020000001320000001";
        EXPECT_NE(c.find(d + " registered with 127.0.0.1"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query Catalog SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query DeviceInfo SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query DeviceStatus SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " keepalive answered 200"), std::string::npos) << c;
        std::string f = ReadFile(dir.File("fourth.out"));
        EXPECT_NE(f.find("summary: 3 device(s), 3 registered"), std::string::npos) << f;
        // Each later device ran its own chain.
        for (const char* id : {"34020000001320000009", "34020000001320000010", "34020000001320000011"})
            EXPECT_NE(f.find(std::string(id) + " Query DeviceStatus SN"), std::string::npos) << id << "\n" << f;
    }
}

// Distinct grey levels of a picture file: a view without a picture has one or two.
int GreyLevels(const TempDir& dir, const std::string& png) {
    if (mt::Run("ffmpeg -nostdin -v error -y -i " + png + " -pix_fmt gray -f rawvideo " +
                dir.File("grey.raw")) != 0)
        return 0;
    std::set<unsigned char> levels;
    for (unsigned char c : ReadFile(dir.File("grey.raw"))) levels.insert(c);
    return static_cast<int>(levels.size());
}

// "解码 N帧 丢 M包 ...": N pictures and M lost packets, or -1, -1.
std::pair<long, long> Decoded(const std::string& dump) {
    static const std::regex re("1090 解码 (\\d+)帧 丢 (\\d+)包");
    std::smatch m;
    if (!std::regex_search(dump, m, re)) return {-1, -1};
    return {std::stol(m[1]), std::stol(m[2])};
}

class CameraLiveView : public ::testing::TestWithParam<int> {};

// The operator opens live view of the camera's first channel: the camera
// streams its test pattern over the configured transport and the view shows
// it, with decoded frames in the statistics; the catalog is in the workbook,
// and the view's end is the camera's BYE.
TEST_P(CameraLiveView, PatternReachesThePicture) {
    // 0 UDP, 1 TCP passive (we listen, the camera connects), 2 TCP active (we
    // connect to the port the camera answers): RFC 4145 on both sides. 3 and
    // 4: TCP passive and active in the old reading on both sides (TCP旧角色读法,
    // the camera's --setup legacy), where the roles swap.
    const bool legacy = GetParam() >= 3;
    const int transport = legacy ? GetParam() - 2 : GetParam();
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    const int mediaPort = mt::FreePortBase();
    ASSERT_NE(mediaPort, 0);
    std::string config = systest::MediaConfig(port, transport, mediaPort);
    if (legacy) {
        const std::string speed = "\r\n\r\n[云台控制]"; // the end of 媒体接收者
        config.insert(config.find(TextCodec::Utf8ToGbk(speed)) + 2,
                      TextCodec::Utf8ToGbk("TCP旧角色读法=1\r\n"));
    }
    WriteFile(dir.File("config.ini"), config);
    WriteFile(dir.File("live.txt"),
              "wait-registered 60000\n"
              "wait-log 34020000001310000104 60000\n"
              "tree 34020000001310000101\n"
              "click 1081 0          # 实时点播\n"
              "wait-text 1090 帧率 60000\n"
              "sleep 4000\n"
              "shot live.png 1007\n"
              "dump live.dump\n"
              "click 1081 0          # 点播取消\n"
              "exit\n");
    systest::Program tarvex(dir.Path(), {"--script", "live.txt"});
    ASSERT_TRUE(WaitPortBound(port, false, 60000)) << tarvex.Out();
    std::vector<std::string> camArgs = {"--size", "320x240"};
    if (legacy) camArgs.insert(camArgs.end(), {"--setup", "legacy"});
    mt::Proc cam(CameraArgs(port, camArgs), dir.File("cam.out"), dir.File("cam.err"));
    ASSERT_EQ(tarvex.Wait(180000), 0) << tarvex.Out() << ReadFile(dir.File("cam.out"));
    EXPECT_TRUE(WaitFor(dir.File("cam.out"), "stream Play ended (BYE received)", 30)) << ReadFile(dir.File("cam.out"));
    cam.Signal(SIGTERM);
    EXPECT_EQ(cam.Wait(30), 0);
    const std::string c = ReadFile(dir.File("cam.out"));
    const char* how[] = {"UDP to 127.0.0.1:", "TCP, connecting to 127.0.0.1:", "TCP, listening on port"};
    const int camRole = legacy ? 3 - transport : transport; // the old reading swaps them
    // The program addresses the INVITE to the device (the camera takes either).
    EXPECT_TRUE(std::regex_search(c, std::regex(std::string("INVITE Play for 340200000013[12]0000[01]0?1: ") +
                                                how[camRole])))
        << c;
    EXPECT_NE(c.find("stream Play started: test pattern"), std::string::npos) << c;

    const std::string dump = ReadFile(dir.File("live.dump"));
    const auto [frames, lost] = Decoded(dump);
    EXPECT_GT(frames, 10) << dump;
    if (transport != 0) {
        EXPECT_EQ(lost, 0) << dump;
    }
    EXPECT_GT(GreyLevels(dir, dir.File("live.png")), 30) << "the view shows no picture";

    int catalogs = 0;
    for (const auto& r : systest::ReadWorkbook(dir))
        catalogs += r.sheet == "Recv Msg" && systest::CmdOf(r.body) == "Catalog" &&
                    r.body.find("34020000001310000104") != std::string::npos;
    EXPECT_EQ(catalogs, 1);
}

// A camera that sends its program stream in payload type 98 and answers
// a=rtpmap:98 PS/90000: the program takes the stream as answered and shows it.
TEST(CameraProgram, PsInPayloadType98ReachesThePicture) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    const int mediaPort = mt::FreePortBase();
    ASSERT_NE(mediaPort, 0);
    WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, mediaPort));
    WriteFile(dir.File("live.txt"),
              "wait-registered 60000\n"
              "wait-log 34020000001310000104 60000\n"
              "tree 34020000001310000101\n"
              "click 1081 0          # 实时点播\n"
              "wait-text 1090 帧率 60000\n"
              "sleep 3000\n"
              "shot live.png 1007\n"
              "dump live.dump\n"
              "click 1081 0          # 点播取消\n"
              "exit\n");
    systest::Program tarvex(dir.Path(), {"--script", "live.txt"});
    ASSERT_TRUE(WaitPortBound(port, false, 60000)) << tarvex.Out();
    mt::Proc cam(CameraArgs(port, {"--size", "320x240", "--pt", "98"}), dir.File("cam.out"),
                 dir.File("cam.err"));
    ASSERT_EQ(tarvex.Wait(180000), 0) << tarvex.Out() << ReadFile(dir.File("cam.out"));
    cam.Signal(SIGTERM);
    EXPECT_EQ(cam.Wait(30), 0);
    const std::string dump = ReadFile(dir.File("live.dump"));
    EXPECT_GT(Decoded(dump).first, 10) << dump;
    EXPECT_GT(GreyLevels(dir, dir.File("live.png")), 30) << "the view shows no picture";
    EXPECT_EQ(tarvex.Out().find("payload type"), std::string::npos) << tarvex.Out();
}

// A recording the camera invents is found by a search, played back and
// steered by the seven playback rows (each an INFO the camera carries out),
// ended; then downloaded at the configured speed until the camera ends it
// with MediaStatus 121 and its BYE.
TEST(CameraProgram, PlaybackSteeredAndDownloadEndedByTheCamera) {
    setenv("TZ", "UTC", 1); // the search texts and the invented recordings are local time
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    const int mediaPort = mt::FreePortBase();
    ASSERT_NE(mediaPort, 0);
    WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, mediaPort));
    std::string script = "wait-registered 60000\n"
                         "wait-log 34020000001310000104 60000\n"
                         "tree 34020000001310000101\n"
                         "search 2026-03-01T08:00:00 2026-03-01T10:00:00 0\n"
                         "click 1081 3          # 文件检索\n"
                         "wait-log \"<RecordList\" 60000\n"
                         "tree 2026-03-01_090000.ps\n"
                         "click 1081 1          # 文件回放\n"
                         "wait-text 1090 帧率 60000\n";
    for (int row = 2; row <= 8; ++row) script += "click 1081 " + std::to_string(row) + "\n";
    script += "click 1081 1          # 回放取消\n"
              "click 1081 0          # 文件下载\n"
              "wait-log <NotifyType>121</NotifyType> 60000\n"
              "wait-log \"BYE sip:\" 30000\n"
              "exit\n";
    WriteFile(dir.File("recording.txt"), script);
    systest::Program tarvex(dir.Path(), {"--script", "recording.txt"});
    ASSERT_TRUE(WaitPortBound(port, false, 60000)) << tarvex.Out();
    mt::Proc cam(CameraArgs(port, {"--size", "320x240", "--clip", "8"}), dir.File("cam.out"), dir.File("cam.err"));
    ASSERT_EQ(tarvex.Wait(180000), 0) << tarvex.Out() << ReadFile(dir.File("cam.out"));
    cam.Signal(SIGTERM);
    EXPECT_EQ(cam.Wait(30), 0);
    const std::string c = ReadFile(dir.File("cam.out"));
    for (const char* line : {"Query RecordInfo SN", "2 recordings of 34020000001310000101",
                             "INVITE Playback for ", "2026-03-01T09:00:00 to 2026-03-01T09:30:00, 8 s", // the recording clicked
                             "INFO PLAY scale 1.0 on Playback", "INFO PAUSE on Playback",
                             "INFO PLAY scale 2.0 on Playback", "INFO PLAY scale 0.5 on Playback",
                             "INFO PLAY scale -2.0 (sent forward) on Playback",
                             "INFO PLAY scale -0.5 (sent forward) on Playback", "seek to 10.0 s",
                             "stream Playback ended (BYE received)", "INVITE Download for ",
                             "at speed 4.0", "stream Download ended (download finished, MediaStatus 121 sent)",
                             "BYE answered 200"})
        EXPECT_NE(c.find(line), std::string::npos) << line << "\n" << c;
    EXPECT_EQ(CountOf(c, "; answered 200") - CountOf(c, "INVITE "), 7) << c; // the seven INFOs
    // The download is saved in the working folder, named by the recording's
    // channel and times: the 8 s the camera sent.
    const std::string mp4 = dir.File("34020000001310000101-20260301090000-20260301093000.mp4");
    EXPECT_NE(tarvex.Out().find("download saved: 34020000001310000101-20260301090000-"
                                "20260301093000.mp4"),
              std::string::npos)
        << tarvex.Out();
    const std::string probe = mt::Capture(
        "ffprobe -v error -show_entries format=duration:stream=codec_name,width -of default=nw=1 " +
        mp4);
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=320"), std::string::npos) << probe;
    const std::size_t at = probe.find("duration=");
    ASSERT_NE(at, std::string::npos) << probe;
    EXPECT_NEAR(std::stod(probe.substr(at + 9)), 8.0, 1.0) << probe;
}

const char* const kLiveViewNames[] = {"Udp", "TcpCameraListens", "TcpCameraConnects",
                                       "LegacyTcpPassive", "LegacyTcpActive"};
INSTANTIATE_TEST_SUITE_P(Transports, CameraLiveView, ::testing::Values(0, 1, 2, 3, 4), [](const auto& i) {
    return std::string(kLiveViewNames[i.param]);
});

} // namespace
} // namespace camtest
