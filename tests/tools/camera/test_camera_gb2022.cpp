// The 2022 rows end to end: the real program (offscreen, its own window
// handlers driven by an operator script, the inputs dialog filled by the
// script) against tarvex-camera --gb 2022 and --gb 2016. The 2022 camera
// moves to the precise position and reports it, answers each 2022 query, and
// the log shows the readable lines; the 2016 camera refuses the queries and
// ignores the precise move.

#include "CameraTest.h"
#include "system/program/Harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace camtest {
namespace {

const std::string kTarvex = std::string(TARVEX_BINARY_DIR) + "/tarvex";

void WriteConfig(const TempDir& dir, int port) {
    ASSERT_EQ(mt::Run("TARVEX_ADDRESS=127.0.0.1 bash " + mt::SourceDir() + "/scripts/make-config.sh " +
                      dir.File("config.ini") + " >/dev/null"),
              0);
    std::string c = ReadFile(dir.File("config.ini"));
    const std::string portKey = "\xB6\xCB\xBF\xDA=5060";
    c.replace(c.find(portKey), portKey.size(), "\xB6\xCB\xBF\xDA=" + std::to_string(port));
    WriteFile(dir.File("config.ini"), c);
}

struct ProgramRun {
    TempDir dir;
    std::string out, cam;
    int status = -1;

    void Go(const std::string& edition, const std::string& script) {
        const int port = FreePort(SOCK_DGRAM);
        WriteConfig(dir, port);
        WriteFile(dir.File("run.txt"), script);
        mt::Proc tarvex({"/bin/sh", "-c", "cd " + dir.Path() + " && QT_QPA_PLATFORM=offscreen exec " +
                                              kTarvex + " --script run.txt"},
                        dir.File("tarvex.out"), dir.File("tarvex.err"));
        ASSERT_TRUE(WaitPortBound(port, false, 60000)) << ReadFile(dir.File("tarvex.out"));
        mt::Proc camera(CameraArgs(port, {"--gb", edition, "--retry", "1"}), dir.File("cam.out"),
                        dir.File("cam.err"));
        // The script ends the program (exit, or its first failure).
        status = tarvex.Wait(240);
        camera.Signal(SIGTERM);
        camera.Wait(30);
        out = ReadFile(dir.File("tarvex.out"));
        cam = ReadFile(dir.File("cam.out"));
    }
};

const char kChain[] = "wait-registered 60000\n"
                      "wait-log DeviceStatus 120000\n"
                      "sleep 500\n";

TEST(CameraGb2022, EveryQueryAnsweredAndThePreciseMoveReported) {
    ProgramRun r;
    r.Go("2022", std::string(kChain) +
                     "inputs Pan=120.5 Tilt=-10 Zoom=2\n"
                     "click 1080 43\n"
                     "click 1080 50\n"
                     "wait-log \"PTZ 位置: Pan 120.50, Tilt -10.00, Zoom 2.00 [OK]\" 30000\n"
                     "inputs Enabled=1 ResetTime=30 PresetIndex=2\n"
                     "click 1080 47\n"
                     "click 1080 48\n"
                     "wait-log \"看守位: 启用 1, 归位时间 30, 预置位 2 [OK]\" 30000\n"
                     "click 1080 13\n"
                     "wait-log \"巡航轨迹列表: 2 条\" 30000\n"
                     "inputs Number=1\n"
                     "click 1080 49\n"
                     "wait-log \"巡航轨迹 1 巡航1: 2 个点 [OK]\" 30000\n"
                     "click 1080 51\n"
                     "wait-log \"存储卡: 1 张\" 30000\n"
                     "inputs FrameMirror=2\n"
                     "click 1080 56\n"
                     "inputs ConfigType=FrameMirror\n"
                     "click 1080 8\n"
                     "wait-log \"配置: FrameMirror [OK]\" 30000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    EXPECT_NE(r.cam.find("moved to pan 120.50 tilt -10.00 zoom 2.00"), std::string::npos) << r.cam;
    EXPECT_NE(r.cam.find("FrameMirror kept"), std::string::npos) << r.cam;
    EXPECT_EQ(r.cam.find("ERROR"), std::string::npos) << r.cam;
}

// The rows the test above leaves out, from the window's handlers: card
// format (after its question) and target tracking, which the camera takes
// without an answer of its own, and the seven 2022 configuration types,
// kept and read back by one ConfigDownload whose readable line names them.
TEST(CameraGb2022, TheOtherControlsAndEveryConfigurationTypeFromTheRows) {
    ProgramRun r;
    r.Go("2022", std::string(kChain) +
                     "inputs FormatSDCard=1 confirm=1\n"
                     "click 1080 45\n"
                     "inputs TargetTrack=Auto\n"
                     "click 1080 46\n"
                     "inputs StreamNumber=0 VideoFormat=2 Resolution=1920x1080 FrameRate=25 "
                     "BitRateType=1 VideoBitRate=4096\n"
                     "click 1080 52\n"
                     "inputs RecordEnable=1 WeekDayNum=1 StartHour=8 StartMin=0 StartSec=0 StopHour=18 "
                     "StopMin=30 StopSec=0 StreamNumber=0\n"
                     "click 1080 53\n"
                     "inputs RecordEnable=1 RecordTime=30 PreRecordTime=5 StreamNumber=0\n"
                     "click 1080 54\n"
                     "inputs On=1 Point=0,0,100,100\n"
                     "click 1080 55\n"
                     "inputs FrameMirror=2\n"
                     "click 1080 56\n"
                     "inputs MotionDetection=1 FieldDetection=0\n"
                     "click 1080 57\n"
                     "inputs Length=1920 Width=1080 TimeEnable=1 TextEnable=1 Text=Gate X=10 Y=10\n"
                     "click 1080 58\n"
                     "sleep 500\n"
                     "inputs ConfigType=VideoParamAttribute/VideoRecordPlan/VideoAlarmRecord/PictureMask/"
                     "FrameMirror/AlarmReport/OSDConfig\n"
                     "click 1080 8\n"
                     "wait-log \"配置: VideoParamAttribute, VideoRecordPlan, VideoAlarmRecord, PictureMask, "
                     "FrameMirror, AlarmReport, OSDConfig [OK]\" 30000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out << r.cam;
    for (const char* line : {"card 1 formatted", "target tracking Auto", "VideoParamAttribute kept",
                             "VideoRecordPlan kept", "VideoAlarmRecord kept", "PictureMask kept",
                             "FrameMirror kept", "AlarmReport kept", "OSDConfig kept"})
        EXPECT_NE(r.cam.find(line), std::string::npos) << line << "\n" << r.cam;
    // Read back as configured, none of them left out.
    EXPECT_EQ(r.cam.find("never configured"), std::string::npos) << r.cam;
}

TEST(CameraGb2022, A2016DeviceRefusesThe2022Commands) {
    ProgramRun r;
    r.Go("2016", std::string(kChain) +
                     "inputs Pan=120.5 Tilt=-10 Zoom=2\n"
                     "click 1080 43\n"
                     "click 1080 50\n"
                     "wait-log \"PTZ 位置: Pan (无), Tilt (无), Zoom (无) [ERROR]\" 30000\n"
                     "click 1080 51\n"
                     "wait-log \"存储卡: ? 张 [ERROR]\" 30000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.cam.find("PTZPreciseCtrl: not a 2016 command; no answer"), std::string::npos) << r.cam;
    EXPECT_EQ(r.cam.find("moved to pan"), std::string::npos) << r.cam;
}


// Lines of text holding needle.
int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

std::string Probe(const TempDir& dir, const std::filesystem::path& f) {
    mt::Run("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + f.string() +
            "' > " + dir.File("probe.txt") + " 2>&1");
    std::string s = ReadFile(dir.File("probe.txt"));
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

TEST(CameraGb2022, SnapshotsAreUploadedSavedAsJpegAndMatchedToTheNotification) {
    ProgramRun r;
    r.Go("2022", std::string(kChain) +
                     "inputs SnapNum=3 Interval=1\n"
                     "click 1080 9\n"
                     "wait-log \"| 收到 3 张 (snapshots/34020000001320000001)\" 60000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out << r.cam;
    EXPECT_EQ(Count(r.cam, "bytes uploaded, HTTP 200"), 3) << r.cam;
    const std::filesystem::path dir = std::filesystem::path(r.dir.Path()) / "snapshots" / "34020000001320000001";
    int jpegs = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        ++jpegs;
        EXPECT_EQ(e.path().extension(), ".jpg");
        // The camera's pattern size, read by ffprobe as a JPEG picture.
        EXPECT_EQ(Probe(r.dir, e.path()), "mjpeg,640,360") << e.path();
    }
    EXPECT_EQ(jpegs, 3) << dir;
}

TEST(CameraGb2022, TheUpgradeFetchesTheFirmwareOnceReportsAndRegistersAgain) {
    ProgramRun r;
    std::string firmware(123457, '\0');
    for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i % 253);
    WriteFile(r.dir.File("ipc-v3.bin"), firmware);
    r.Go("2022", std::string(kChain) +
                     "inputs Manufacturer=Tarvex Firmware=V3.0 FirmwareFile=" + r.dir.File("ipc-v3.bin") +
                     " confirm=1\n"
                     "click 1080 44\n"
                     "wait-log \"结果 OK | 固件已下载 123457/123457 字节\" 60000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out << r.cam;
    EXPECT_NE(r.cam.find("firmware V3.0 downloaded, 123457 bytes"), std::string::npos) << r.cam;
    // Unregistered to install, registered again, and only then the result.
    const std::size_t unreg = r.cam.find("upgrade: unregistering to install");
    const std::size_t again = r.cam.find("upgrade done: registering again");
    const std::size_t sent = r.cam.find("DeviceUpgradeResult sent");
    ASSERT_NE(unreg, std::string::npos) << r.cam;
    ASSERT_NE(again, std::string::npos) << r.cam;
    ASSERT_NE(sent, std::string::npos) << r.cam;
    EXPECT_LT(unreg, again);
    EXPECT_LT(again, sent);
    EXPECT_EQ(Count(r.cam, "registered with"), 2) << r.cam;
}

TEST(CameraGb2022, A2016DeviceNeitherUploadsNorUpgrades) {
    ProgramRun r;
    WriteFile(r.dir.File("fw.bin"), "firmware");
    r.Go("2016", std::string(kChain) +
                     "inputs SnapNum=1 Interval=1\n"
                     "click 1080 9\n"
                     "wait-log \"DeviceConfig\" 30000\n"
                     "inputs Manufacturer=T Firmware=V3 FirmwareFile=" + r.dir.File("fw.bin") + " confirm=1\n"
                     "click 1080 44\n"
                     "sleep 3000\n"
                     "exit\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.cam.find("SnapShotConfig: not a 2016 configuration type; answered Result ERROR"),
              std::string::npos) << r.cam;
    EXPECT_NE(r.cam.find("DeviceUpgrade: not a 2016 command; no answer"), std::string::npos) << r.cam;
    EXPECT_EQ(r.cam.find("uploaded"), std::string::npos) << r.cam;
    EXPECT_EQ(r.cam.find("downloaded"), std::string::npos) << r.cam;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(r.dir.Path()) / "snapshots"));
}

} // namespace
} // namespace camtest
