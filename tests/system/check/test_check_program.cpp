// The device check end to end: the real build/tarvex --check (no window)
// against the real tarvex-camera on 127.0.0.1, well behaved and with each of
// its --fault switches; report.json read back with python3, report.html
// opened in headless Chromium.
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "system/program/Harness.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using systest::Program;

const std::string kCamera = TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera";

struct Verdict {
    std::string verdict, reason;
};

struct CheckRun {
    std::unique_ptr<TempDir> dir = std::make_unique<TempDir>();
    int status = -99;
    std::string out;                       // tarvex's standard output and error
    std::map<std::string, Verdict> checks; // by id, from report.json
    std::string Report() const { return dir->File("report"); }
};

// report.json's checks as "id\x1everdict\x1ereason" lines.
std::map<std::string, Verdict> ReadVerdicts(const TempDir& dir, const std::string& json) {
    WriteFile(
        dir.File("verdicts.py"),
        "import json, sys\n"
        "r = json.load(open(sys.argv[1], encoding='utf-8'))\n"
        "assert r['format'] == 'tarvex-device-check'\n"
        "with open(sys.argv[2], 'w', encoding='utf-8') as out:\n"
        "    for c in r['checks']:\n"
        "        out.write(c['id'] + '\\x1e' + c['verdict'] + '\\x1e' + c['reason'] + '\\n')\n");
    std::map<std::string, Verdict> v;
    const std::string cmd = "/usr/bin/python3 " + dir.File("verdicts.py") + " " + json + " " +
                            dir.File("verdicts.txt") + " 2>" + dir.File("verdicts.err");
    if (std::system(cmd.c_str()) != 0) return v;
    const std::string all = ReadFile(dir.File("verdicts.txt"));
    std::size_t p = 0;
    while (p < all.size()) {
        const std::size_t e = all.find('\n', p);
        const std::string line = all.substr(p, e - p);
        p = e == std::string::npos ? all.size() : e + 1;
        const std::size_t a = line.find('\x1e'), b = line.find('\x1e', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        v[line.substr(0, a)] = {line.substr(a + 1, b - a - 1), line.substr(b + 1)};
    }
    return v;
}

// tarvex --check with a camera (cameraArgs added to its own; no camera when
// withCamera is false). Keepalives every second, expected every second;
// localKeys (UTF-8 "key=value\r\n" lines) go into the 本地服务器 section.
CheckRun RunCheck(const std::vector<std::string>& cameraArgs, bool withCamera = true,
                  const std::vector<std::string>& checkArgs = {"--timeout", "60", "--window", "2"},
                  const std::string& localKeys = {}) {
    CheckRun run;
    const TempDir& dir = *run.dir;
    const int port = FreePort(SOCK_DGRAM);
    const int mediaPort = FreeMediaPorts();
    std::string config =
        systest::MediaConfig(port, 0, mediaPort, "\r\n[互联系统]\r\n心跳周期=1\r\n");
    config.insert(config.find("\r\n\r\n") + 2, TextCodec::Utf8ToGbk(localKeys));
    WriteFile(dir.File("config.ini"), config);
    std::vector<std::string> args = {"--check", "--here", "--out", run.Report()};
    args.insert(args.end(), checkArgs.begin(), checkArgs.end());
    Program tarvex(dir.Path(), args);
    std::unique_ptr<Program> camera;
    if (withCamera) {
        EXPECT_TRUE(WaitPortBound(port, false, 30000));
        std::vector<std::string> cam = {"--server", "127.0.0.1:" + std::to_string(port),
                                        "--keepalive", "1", "--channels", "2", "--retry", "1",
                                        // Eight-second recordings: downloads end soon.
                                        "--clip", "8",
                                        // Something to notify while subscribed.
                                        "--alarm-every", "1", "--move", "--catalog-change", "1"};
        cam.insert(cam.end(), cameraArgs.begin(), cameraArgs.end());
        camera = std::make_unique<Program>(dir.Path(), cam, kCamera, std::vector<std::string>{},
                                           dir.File("camera.out"));
    }
    run.status = tarvex.Wait(300000);
    run.out = tarvex.Out();
    if (camera) {
        camera->Signal(SIGTERM);
        camera->Wait(10000);
    }
    if (std::filesystem::exists(run.Report() + "/report.json"))
        run.checks = ReadVerdicts(dir, run.Report() + "/report.json");
    return run;
}

std::string Describe(const CheckRun& r) {
    std::string s = "tarvex exit " + std::to_string(r.status) + "\n" + r.out + "\n" +
                    "---- camera:\n" + ReadFile(r.dir->File("camera.out")) + "\n";
    for (const auto& [id, v] : r.checks)
        s += id + ": " + v.verdict + ": " + v.reason + "\n";
    return s;
}

// The well-behaved camera's run, shared by the cases that compare with it.
const CheckRun& Baseline() {
    static const CheckRun run = RunCheck({});
    return run;
}

TEST(CheckProgram, WellBehavedCameraPassesEveryCheckItCanBeJudgedOn) {
    const CheckRun& r = Baseline();
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_NE(r.out.find("report: " + r.Report() + "/report.html"), std::string::npos) << r.out;
    for (const char* f : {"report.html", "report.json", "MsgXml.xls"})
        EXPECT_TRUE(std::filesystem::exists(r.Report() + "/" + f)) << f;
    ASSERT_EQ(r.checks.size(), 43u) << Describe(r);
    for (const auto& [id, v] : r.checks) {
        if (id == "register.digest") {
            // No 验证密码 configured: Tarvex does not challenge.
            EXPECT_EQ(v.verdict, "not_run") << v.reason;
            EXPECT_NE(v.reason.find("no 验证密码 configured"), std::string::npos) << v.reason;
        } else if (id == "media.format") {
            // The camera answers f= empty, as most devices do.
            EXPECT_EQ(v.verdict, "not_run") << v.reason;
            EXPECT_NE(v.reason.find("state no video format (f= empty"), std::string::npos)
                << v.reason;
        } else {
            EXPECT_EQ(v.verdict, "pass") << id << ": " << v.reason;
        }
    }
    // Every stream was measured over the shortened window, its RTP sequence
    // counted: over TCP nothing can be missing (over UDP the loopback might
    // drop a packet on a busy machine, which the 1 % allowance covers).
    for (const char* id : {"live.udp", "live.tcp_passive", "live.tcp_active"}) {
        const std::string& reason = r.checks.at(id).reason;
        EXPECT_NE(reason.find("over 2."), std::string::npos) << id << ": " << reason;
        // The camera's 25 fps by its own clock (90 kHz, 3600 ticks a picture).
        EXPECT_NE(reason.find(", 25.0 fps by the device's clock"), std::string::npos) << reason;
        EXPECT_NE(reason.find(std::string(id) == "live.udp"
                                  ? " skipped)"
                                  : ", 0 sequence gaps (0 packets skipped)"),
                  std::string::npos)
            << reason;
    }
    // The subscriptions ran beside the streams: a catalog change, alarms and
    // positions every second came in their dialogs; each ended with its final NOTIFY.
    for (const auto& [id, piece] : std::map<std::string, std::string>{
             {"subscribe.catalog", "Catalog NOTIFY"},
             {"subscribe.alarm", "Alarm NOTIFY"},
             {"subscribe.position", "asked every 1.0 s"},
             {"subscribe.end", "3 unsubscribes (Expires 0) answered 2xx, 3 of them followed by a "
                               "terminated NOTIFY"}})
        EXPECT_NE(r.checks.at(id).reason.find(piece), std::string::npos)
            << id << ": " << r.checks.at(id).reason;
    EXPECT_NE(r.checks.at("media.tcp_framing").reason.find("2 streams over TCP framed as RFC 4571"),
              std::string::npos)
        << r.checks.at("media.tcp_framing").reason;
    EXPECT_NE(r.checks.at("media.ps_structure")
                  .reason.find(" over 5 streams, each after a pack header, a system header and a "
                               "program stream map naming 0x1B (H.264)"),
              std::string::npos)
        << r.checks.at("media.ps_structure").reason;
    // One key picture a second by the camera's timestamps, the download's
    // eight-second recording among the streams.
    EXPECT_NE(r.checks.at("media.key_interval").reason.find("key pictures at most 1.00 s apart"),
              std::string::npos)
        << r.checks.at("media.key_interval").reason;
    EXPECT_NE(r.checks.at("media.key_interval").reason.find("over 5 streams"), std::string::npos)
        << r.checks.at("media.key_interval").reason;
    // The broadcast's second of 1 kHz tone as the camera decoded it when
    // Tarvex's BYE ended the call (its own count, printed on its output).
    const std::string cam = ReadFile(r.dir->File("camera.out"));
    const std::size_t ended = cam.find("voice ended (");
    ASSERT_NE(ended, std::string::npos) << cam;
    const std::size_t tone = cam.find(" tone ", ended);
    ASSERT_NE(tone, std::string::npos) << cam;
    EXPECT_NEAR(std::atof(cam.c_str() + tone + 6), 1000.0, 10.0) << cam.substr(ended, 200);
    EXPECT_GE(std::atoi(cam.c_str() + cam.find("): ", ended) + 3), 40) << cam.substr(ended, 200);
}

// Each fault moves exactly its own checks, to fail (or not supported where the
// device declines an optional feature) with its reason; every other check comes
// out as on the well-behaved camera. One check run per row, over the shortest
// window.
TEST(CheckProgram, EachFaultFailsExactlyItsChecks) {
    const CheckRun& base = Baseline();
    ASSERT_EQ(base.status, 0) << Describe(base);
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, Verdict> moved; // check id -> verdict and a piece of its reason
    };
    const Verdict noY{"fail", "SDP answer: no y= line (SSRC)"};
    const Case cases[] = {
        {{"--fault", "no-num"}, {{"catalog.answer", {"fail", "DeviceList without Num attribute"}}}},
        {{"--fault", "late-answer", "--late-ms", "3600"},
         {{"answers.delay", {"fail", "limit 3000 ms"}}}},
        // Answers from another device's identifier are refused and applied to
        // nobody: the chain stops at the catalog, so the rest is not run.
        {{"--fault", "foreign-id"},
         {{"answers.device", {"fail", "the query asked 34020000001320000001"}},
          {"deviceinfo.fields", {"not_run", "no DeviceInfo query"}},
          {"devicestatus.fields", {"not_run", "no DeviceStatus query"}},
          {"recordinfo.answer", {"not_run", "no RecordInfo query"}},
          {"live.udp", {"not_run", "no live view over UDP"}},
          {"live.tcp_passive", {"not_run", "no live view over TCP passive"}},
          {"live.tcp_active", {"not_run", "no live view over TCP active"}},
          {"playback.control", {"not_run", "no playback"}},
          {"ptz.accepted", {"not_run", "no pan-tilt-zoom command"}},
          {"bye.answered", {"not_run", "no BYE"}},
          {"bye.device", {"not_run", "the device sent no BYE"}},
          {"download.status", {"not_run", "no download was attempted"}},
          {"invite.answer", {"not_run", "no INVITE was answered"}},
          {"media.tcp_framing", {"not_run", "no media over TCP was attempted"}},
          {"media.ps_structure", {"not_run", "no key picture was received"}},
          {"media.key_interval", {"not_run", "no key picture was received"}},
          {"media.format", {"not_run", "no INVITE was answered 2xx"}}}},
        {{"--fault", "wrong-sn"}, {{"answers.sn", {"fail", "carries SN 1010, the query's SN is 10"}}}},
        {{"--fault", "bad-sdp"},
         {{"live.udp", noY},
          {"live.tcp_passive", noY},
          {"live.tcp_active", noY},
          {"playback.control", noY}}},
        {{"--fault", "no-ptz"}, {{"ptz.accepted", {"not_supported", "answered 501"}}}},
        {{"--fault", "bad-record-times"},
         {{"recordinfo.answer", {"fail", "recording 1: StartTime"}}}},
        // 1500 ms late answers fail the 1000 ms limit and stay below the 3000 ms
        // of the query answers that follow them.
        {{"--fault", "slow-ok", "--slow-ms", "1500"},
         {{"message.answer_time", {"fail", "limit 1000 ms"}}}},
        {{"--fault", "ssrc-zero"},
         {{"live.udp", {"fail", "RTP SSRC 0 is not the answer's y= 100000001"}},
          {"live.tcp_passive", {"fail", "RTP SSRC 0 is not the answer's y= 100000001"}},
          {"live.tcp_active", {"fail", "RTP SSRC 0 is not the answer's y= 100000001"}},
          {"playback.control", {"fail", "RTP SSRC 0 is not the answer's y= 1100000001"}}}},
        // One sequence number skipped every 10 packets: the live views fail,
        // over UDP by the share skipped (about 9 %, the limit is 1 %), over TCP
        // by any gap. Playback judges no sequence: it stays as it was.
        {{"--fault", "rtp-gaps"},
         {{"live.udp", {"fail", "% of the RTP packets skipped"}},
          {"live.tcp_passive", {"fail", "RTP sequence gap"}},
          {"live.tcp_active", {"fail", "RTP sequence gap"}}}},
        // Interleaved framing over TCP: read and shown, but named as a warning.
        {{"--fault", "dollar-tcp"},
         {{"media.tcp_framing",
           {"fail", "Play over TCP passive: RTP framed as RTSP interleaved data ('$'"}}}},
        // Stamped 25 fps, sent 12: every measured stream fails by its own clock.
        {{"--fault", "fps-stamp"},
         {{"live.udp", {"fail", "the device sends fewer pictures than it stamps"}},
          {"live.tcp_passive", {"fail", "the device sends fewer pictures than it stamps"}},
          {"live.tcp_active", {"fail", "the device sends fewer pictures than it stamps"}},
          {"playback.control", {"fail", "playback: the device sends fewer pictures than it"}}}},
        // No To tag and a Contact naming Tarvex: the answer is flagged; the
        // camera streams without the ACK, but Tarvex's BYEs and INFOs (to its
        // own Contact) never reach it.
        // The rows that need Tarvex's in-dialog requests (ACK, INFO, BYE) to
        // reach the device come out as the timing falls ("*": not compared).
        {{"--fault", "contact-back"},
         {{"invite.answer", {"fail", "To without a tag"}},
          {"bye.answered", {"*", ""}},
          {"bye.device", {"*", ""}},
          {"download.status", {"*", ""}},
          {"playback.control", {"*", ""}}}},
        // Key pictures in a bare pack: they still decode, the structure fails.
        {{"--fault", "ps-bare-key"},
         {{"media.ps_structure",
           {"fail", "without a program stream map before their video"}}}},
        {{"--fault", "keepalive-error"}, {{"keepalive.status", {"fail", "carries Status ERROR"}}}},
        // Key pictures 6 s apart: the one-second live windows see one each,
        // the download's eight-second recording two.
        // The answers' f= says H.264 1080P; the pattern is 640x360.
        {{"--fault", "f-mismatch"},
         {{"media.format",
           {"fail", "Play over UDP: f=v/2/6 says 1080P/I (1920x1080), the pictures are 640x360"}}}},
        {{"--fault", "gop-long"},
         {{"media.key_interval",
           {"fail", "Download over UDP: key pictures 6.00 s apart (the longest of 1 interval)"}}}},
        // Every INVITE refused with 488: the media rows are not supported, said
        // with the device's answer (its row is in the log, with our ACK); what
        // needs an answered call is not run.
        {{"--fault", "refuse-media"},
         {{"live.udp", {"not_supported", "the device answered 488"}},
          {"live.tcp_passive", {"not_supported", "the device answered 488"}},
          {"live.tcp_active", {"not_supported", "the device answered 488"}},
          {"playback.control", {"not_supported", "the device answered 488"}},
          {"bye.answered", {"*", ""}},
          {"bye.device", {"*", ""}},
          {"download.status", {"*", ""}},
          {"invite.answer", {"*", ""}},
          {"media.ps_structure", {"not_run", ""}},
          {"media.key_interval", {"not_run", ""}},
          {"media.tcp_framing", {"not_run", ""}},
          {"ptz.accepted", {"*", ""}}}},
        // The Broadcast notification answered Result OK, no INVITE follows.
        {{"--fault", "no-broadcast"},
         {{"broadcast.audio", {"not_supported", "Result OK, but the device sent no INVITE for the audio"}}}},
        {{"--fault", "no-media-status"},
         {{"download.status", {"fail", "without MediaStatus 121"}}}},
        {{"--fault", "content-length-chars"},
         {{"message.framing", {"fail", "Content-Length 1207 but the body has 1219 bytes"}}}},
        // Three keepalives a second apart, then silence while the camera goes
        // on answering: the interval is still measured, the silence fails.
        {{"--fault", "miss-keepalives", "--keepalives", "3"},
         {{"keepalive.missed", {"fail", "3 keepalives missed in a row: offline from "}}}},
        // A 2016 device (no X-GB-Ver): the 2022 exchange is not made, its
        // rows are not supported, nothing else moves.
        {{"--gb", "2016"},
         {{"gb2022.version", {"not_supported", "no X-GB-Ver on 1 REGISTER"}},
          {"gb2022.home_position", {"not_supported", "declares no X-GB-Ver, not the 2022 edition"}},
          {"gb2022.cruise_list", {"not_supported", "CruiseTrackListQuery query not sent"}},
          {"gb2022.cruise_track", {"not_supported", "CruiseTrackQuery query not sent"}},
          {"gb2022.ptz_position", {"not_supported", "PTZPosition query not sent"}},
          {"gb2022.sd_card", {"not_supported", "SDCardStatus query not sent"}},
          {"gb2022.ptz_precise", {"not_supported", "PTZPreciseCtrl not sent"}},
          {"gb2022.snapshot", {"not_supported", "SnapShotConfig not sent"}},
          {"gb2022.upgrade", {"not_supported", "DeviceUpgrade not sent"}}}},
        // Subscriptions: refused with 489 (positions are optional: not
        // supported; nothing to end), NOTIFYs outside the dialog (the
        // unsubscribe is still answered), notifications after the end.
        {{"--fault", "no-subscribe"},
         {{"subscribe.catalog", {"fail", "the catalog SUBSCRIBE was answered 489"}},
          {"subscribe.alarm", {"fail", "the alarm SUBSCRIBE was answered 489"}},
          {"subscribe.position", {"not_supported", "answered 489"}},
          {"subscribe.end", {"not_run", "no accepted subscription was ended by Tarvex"}}}},
        {{"--fault", "notify-outside-dialog"},
         {{"subscribe.catalog", {"fail", "outside the subscription's dialog (Call-ID "}},
          {"subscribe.alarm", {"fail", "outside the subscription's dialog (Call-ID "}},
          {"subscribe.position", {"fail", "outside the subscription's dialog (Call-ID "}}}},
        {{"--fault", "stale-notify"},
         {{"subscribe.end", {"fail", "yet the device notified again in the ended dialog"}}}},
    };
    for (const Case& c : cases) {
        const CheckRun r = RunCheck(c.args, true, {"--timeout", "60", "--window", "1"});
        SCOPED_TRACE(c.args[1]);
        ASSERT_EQ(r.status, 0) << Describe(r);
        ASSERT_EQ(r.checks.size(), base.checks.size()) << Describe(r);
        for (const auto& [id, v] : r.checks) {
            auto m = c.moved.find(id);
            if (m == c.moved.end()) {
                EXPECT_EQ(v.verdict, base.checks.at(id).verdict) << id << ": " << Describe(r);
                continue;
            }
            if (m->second.verdict == "*") continue;
            EXPECT_EQ(v.verdict, m->second.verdict) << id << ": " << v.reason;
            EXPECT_NE(v.reason.find(m->second.reason), std::string::npos) << id << ": " << v.reason;
        }
    }
}

// The pictures a second each stream of the camera sent by its own count: from
// its INVITE answered 200 to the end of that stream (its output lines, in order).
std::vector<double> CameraPaces(const std::string& out) {
    static const std::regex invite(R"((\d\d):(\d\d):(\d\d\.\d+) \d+ INVITE (Play|Playback) .*answered 200)");
    static const std::regex ended(R"((\d\d):(\d\d):(\d\d\.\d+) \d+ stream (Play|Playback) ended \(BYE received\): (\d+) frames)");
    auto seconds = [](const std::smatch& m) {
        return std::stoi(m[1]) * 3600.0 + std::stoi(m[2]) * 60.0 + std::stod(m[3]);
    };
    std::vector<double> paces;
    double start = -1;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, invite)) {
            start = seconds(m);
        } else if (std::regex_search(line, m, ended) && start >= 0) {
            paces.push_back(std::stod(m[5]) / std::max(0.1, seconds(m) - start));
            start = -1;
        }
    }
    return paces;
}

// Large pictures: the camera at 2560x1440 and 3840x2160, H.264 and H.265,
// serving its pattern as a one-second loop encoded once (this machine cannot
// encode 4K live at 25 fps; the loops are kept in the build tree, so that a
// second run finds them), f= stating the size. The media rows pass: three
// live views and playback decode their first picture at the camera's 25 fps
// by its own clock, key pictures a second apart, the pictures of the size f=
// states, the program stream naming the codec. A 2016 camera: the 2022
// exchange (its 4K snapshot) is not what these cases are about. The
// download's eight seconds at 下载速度 4 bring key pictures even to a receiver
// that lags (below).
//
// The receive thread also decodes: on a machine too busy to give it a core's
// half, a 4K stream reaches it slower than it was sent. The pictures are timed
// where the poll thread read their packets, so the clock rows still pass; a
// row the check leaves "not judged: Tarvex was behind (…)" (its receiver's own
// measures) is let through with a note. The device is never blamed for it:
// every other row and reason is asserted as it stands.
void ExpectLargePicturePasses(const std::string& size, bool hevc) {
    const std::string loops = TARVEX_BINARY_DIR "/tests/system/check/picture-loops";
    const std::string format = std::string(hevc ? "v//" : "v/2/") + size + "/25/1/4000a///";
    const CheckRun r = RunCheck({"--gb", "2016", "--size", size, "--codec", hevc ? "h265" : "h264",
                                 "--bitrate", "4000", "--loop", "1", "--loop-dir", loops,
                                 "--format", format},
                                true, {"--timeout", "60", "--window", "1"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    const std::string camera = ReadFile(r.dir->File("camera.out"));
    EXPECT_NE(camera.find(size + " 25 fps H.26" + (hevc ? "5" : "4") + " (libx26" +
                          (hevc ? "5" : "4") + "), a 1.0 s loop"),
              std::string::npos)
        << Describe(r);
    const std::vector<double> paces = CameraPaces(camera);
    EXPECT_EQ(paces.size(), 4u) << camera; // three live views and the playback
    const bool cameraKeptPace =
        paces.size() == 4 && std::all_of(paces.begin(), paces.end(), [](double p) { return p >= 22.5; });
    const std::string type = hevc ? "0x24 (H.265)" : "0x1B (H.264)";
    const std::map<std::string, std::vector<std::string>> rows = {
        {"live.udp", {", 25.0 fps by the device's clock"}},
        {"live.tcp_passive", {", 25.0 fps by the device's clock"}},
        {"live.tcp_active", {", 25.0 fps by the device's clock"}},
        {"playback.control", {"25.0 fps by the device's clock"}},
        {"download.status", {}},
        {"invite.answer", {}},
        {"media.tcp_framing", {}},
        {"media.ps_structure", {"naming " + type}},
        {"media.key_interval", {"key pictures at most 1.00 s apart"}},
        {"media.format", {"as their answers' f= state, pictures " + size}},
    };
    for (const auto& [id, pieces] : rows) {
        ASSERT_EQ(r.checks.count(id), 1u) << id << ": " << Describe(r);
        const Verdict& v = r.checks.at(id);
        if (v.verdict == "not_run" &&
            v.reason.find("not judged: Tarvex was behind (") != std::string::npos) {
            std::printf("note: %s: Tarvex's receiver lagged on this busy machine (camera kept "
                        "pace: %s): %s\n",
                        id.c_str(), cameraKeptPace ? "yes" : "no", v.reason.c_str());
            continue;
        }
        EXPECT_EQ(v.verdict, "pass") << id << ": " << v.reason << "\n" << Describe(r);
        for (const std::string& piece : pieces)
            EXPECT_NE(v.reason.find(piece), std::string::npos) << id << ": " << v.reason;
        if (id.rfind("live.", 0) == 0) {
            EXPECT_EQ(v.reason.find("first picture after "), 0u) << id << ": " << v.reason;
        }
    }
}

TEST(CheckProgram, LargePicture2560x1440H264PassesTheMediaChecks) {
    ExpectLargePicturePasses("2560x1440", false);
}
TEST(CheckProgram, LargePicture2560x1440H265PassesTheMediaChecks) {
    ExpectLargePicturePasses("2560x1440", true);
}
TEST(CheckProgram, LargePicture3840x2160H264PassesTheMediaChecks) {
    ExpectLargePicturePasses("3840x2160", false);
}
TEST(CheckProgram, LargePicture3840x2160H265PassesTheMediaChecks) {
    ExpectLargePicturePasses("3840x2160", true);
}

// "验证密码": Tarvex challenges REGISTER; the camera's digest verifies with the
// right password and is refused (403, no device) with a wrong one.
TEST(CheckProgram, RegisterChallengeWithThePassword) {
    const std::string keys = "密码=12345678\r\n验证密码=1\r\n";
    // A 2016 camera: the 2022 upgrade would register it twice more.
    const CheckRun good = RunCheck({"--gb", "2016"}, true, {"--timeout", "60", "--window", "1"}, keys);
    ASSERT_EQ(good.status, 0) << Describe(good);
    ASSERT_EQ(good.checks.count("register.digest"), 1u) << Describe(good);
    EXPECT_EQ(good.checks.at("register.digest").verdict, "pass") << Describe(good);
    EXPECT_NE(good.checks.at("register.digest").reason.find("verified against the password"),
              std::string::npos)
        << Describe(good);
    EXPECT_EQ(good.checks.at("register.form").reason.find("2 REGISTERs well formed"), 0u)
        << Describe(good);
    // The password is never written into the report.
    EXPECT_EQ(ReadFile(good.Report() + "/report.json").find("12345678"), std::string::npos);
    EXPECT_EQ(ReadFile(good.Report() + "/report.html").find("12345678"), std::string::npos);

    const CheckRun bad =
        RunCheck({"--password", "wrong"}, true, {"--timeout", "4", "--lang", "zh"}, keys);
    EXPECT_EQ(bad.status, 4) << bad.out;
    EXPECT_NE(bad.out.find("REGISTER of 34020000001320000001 refused: "), std::string::npos)
        << bad.out;
    EXPECT_NE(ReadFile(bad.dir->File("camera.out")).find("403"), std::string::npos)
        << ReadFile(bad.dir->File("camera.out"));
    // Still a report: the refused digest fails, every row after the
    // registration's is not run.
    EXPECT_NE(bad.out.find("report: " + bad.Report() + "/report.html"), std::string::npos)
        << bad.out;
    ASSERT_EQ(bad.checks.size(), good.checks.size()) << Describe(bad);
    for (const auto& [id, v] : bad.checks) {
        if (id == "register.digest") {
            EXPECT_NE(v.reason.find("does not match the password"), std::string::npos) << v.reason;
        } else if (id != "register.form") {
            EXPECT_EQ(v.reason, "the device did not register") << id;
        }
        EXPECT_EQ(v.verdict, id == "register.form"     ? "pass"
                             : id == "register.digest" ? "fail"
                                                       : "not_run")
            << id;
    }
    // In Chinese, as asked, with the command line that started it.
    const std::string html = ReadFile(bad.Report() + "/report.html");
    EXPECT_NE(html.find("<html lang=\"zh-CN\">"), std::string::npos);
    EXPECT_NE(html.find("摘要认证应答正确"), std::string::npos);
    EXPECT_NE(html.find("--lang zh"), std::string::npos);
}

// --check-diff: the baseline against itself changes nothing (exit 0); against
// a copy with another firmware and a failed Catalog check it says so (exit 1).
TEST(CheckProgram, CheckDiffSaysWhatChangedBetweenTwoReports) {
    const CheckRun& base = Baseline();
    ASSERT_EQ(base.status, 0) << Describe(base);
    const TempDir dir;
    const std::string a = base.Report() + "/report.json", b = dir.File("b.json");
    WriteFile(dir.File("edit.py"),
              "import json, sys\n"
              "r = json.load(open(sys.argv[1], encoding='utf-8'))\n"
              "r['device']['firmware'] = 'V9.9'\n"
              "for c in r['checks']:\n"
              "    if c['id'] == 'catalog.answer':\n"
              "        c['verdict'] = 'fail'; c['reason'] = 'SumNum 3 but 2 items arrived'\n"
              "json.dump(r, open(sys.argv[2], 'w', encoding='utf-8'), ensure_ascii=False)\n");
    ASSERT_EQ(std::system(("/usr/bin/python3 " + dir.File("edit.py") + " " + a + " " + b).c_str()),
              0);
    {
        Program same(dir.Path(), {"--check-diff", a, a}, TARVEX_BINARY_DIR "/tarvex", {},
                     dir.File("same.out"));
        EXPECT_EQ(same.Wait(30000), 0) << same.Out();
        EXPECT_NE(same.Out().find("0 checks changed their verdict"), std::string::npos)
            << same.Out();
    }
    Program diff(dir.Path(), {"--check-diff", a, b}, TARVEX_BINARY_DIR "/tarvex", {},
                 dir.File("diff.out"));
    EXPECT_EQ(diff.Wait(30000), 1) << diff.Out();
    for (const char* line :
         {"catalog.answer (error): pass -> fail", "    B: SumNum 3 but 2 items arrived",
          "-> \"V9.9\"", "1 check changed its verdict; pass "})
        EXPECT_NE(diff.Out().find(line), std::string::npos) << line << "\n" << diff.Out();
    Program missing(dir.Path(), {"--check-diff", a, dir.File("none.json")},
                    TARVEX_BINARY_DIR "/tarvex", {}, dir.File("missing.out"));
    EXPECT_EQ(missing.Wait(30000), 2) << missing.Out();
    EXPECT_NE(missing.Out().find("cannot read"), std::string::npos) << missing.Out();
}

// SIGINT ends the waits: what was observed is judged and written.
TEST(CheckProgram, InterruptedCheckWritesWhatItSaw) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, FreeMediaPorts()));
    Program tarvex(dir.Path(),
                   {"--check", "--here", "--out", dir.File("report"), "--timeout", "60"});
    ASSERT_TRUE(WaitPortBound(port, false, 30000));
    Program camera(dir.Path(), {"--server", "127.0.0.1:" + std::to_string(port), "--retry", "1"},
                   kCamera, {}, dir.File("camera.out"));
    ASSERT_TRUE(tarvex.WaitOut("check 4/8: live view over UDP", 60000)) << tarvex.Out();
    tarvex.Signal(SIGINT);
    EXPECT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
    EXPECT_NE(tarvex.Out().find("not run (interrupted)"), std::string::npos) << tarvex.Out();
    const auto checks = ReadVerdicts(dir, dir.File("report/report.json"));
    ASSERT_EQ(checks.size(), 43u) << tarvex.Out();
    EXPECT_EQ(checks.at("catalog.answer").verdict, "pass");
    EXPECT_EQ(checks.at("live.tcp_active").verdict, "not_run");
    EXPECT_EQ(checks.at("playback.control").verdict, "not_run");
}

TEST(CheckProgram, NoDeviceWithinTheTimeoutExitsNonZeroAndSaysSo) {
    const CheckRun r = RunCheck({}, false, {"--timeout", "1"});
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("tarvex --check: no device registered within 1 s on port"),
              std::string::npos)
        << r.out;
    // The report says so too: no REGISTER came, nothing else was judged.
    EXPECT_TRUE(std::filesystem::exists(r.Report() + "/report.html"));
    ASSERT_EQ(r.checks.count("register.form"), 1u) << Describe(r);
    EXPECT_EQ(r.checks.at("register.form").verdict, "fail");
    EXPECT_NE(r.checks.at("register.form").reason.find("no REGISTER was received within 1."),
              std::string::npos)
        << r.checks.at("register.form").reason;
    EXPECT_EQ(r.checks.at("catalog.answer").verdict, "not_run");
}

TEST(CheckProgram, PortInUseExitsOneAndSaysSo) {
    TempDir dir;
    const int held = LoopbackBound(SOCK_DGRAM);
    const int port = LocalPortOf(held);
    WriteFile(dir.File("config.ini"), systest::Config(port));
    Program tarvex(dir.Path(),
                   {"--check", "--here", "--out", dir.File("report"), "--timeout", "5"});
    EXPECT_EQ(tarvex.Wait(60000), 1) << tarvex.Out();
    EXPECT_NE(tarvex.Out().find("tarvex --check: cannot listen for SIP on port " +
                                std::to_string(port) + "/udp"),
              std::string::npos)
        << tarvex.Out();
    close(held);
}

// The page opens in a real browser: headless Chromium's DOM holds every check
// with its verdict, and a screenshot of it is a picture.
TEST(CheckProgram, ReportOpensInHeadlessChromium) {
    const CheckRun& r = Baseline();
    ASSERT_EQ(r.status, 0) << Describe(r);
    const TempDir& dir = *r.dir;
    const std::string page = "file://" + r.Report() + "/report.html";
    const std::string profile = dir.File("chromium-profile");
    const std::string common =
        "chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + profile + " ";
    ASSERT_EQ(std::system((common + "--dump-dom " + page + " > " + dir.File("dom.html") + " 2>" +
                           dir.File("chromium.err"))
                              .c_str()),
              0)
        << ReadFile(dir.File("chromium.err"));
    const std::string dom = ReadFile(dir.File("dom.html"));
    for (const auto& [id, v] : r.checks)
        EXPECT_NE(dom.find(id), std::string::npos) << id;
    EXPECT_NE(dom.find("34020000001320000001"), std::string::npos);
    ASSERT_EQ(std::system((common + "--screenshot=" + dir.File("report.png") +
                           " --window-size=1200,1600 " + page + " 2>>" + dir.File("chromium.err"))
                              .c_str()),
              0)
        << ReadFile(dir.File("chromium.err"));
    const std::string png = ReadFile(dir.File("report.png"));
    ASSERT_GT(png.size(), 10000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
}

} // namespace
