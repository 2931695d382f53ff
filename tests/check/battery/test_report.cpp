// The whole battery over one camera's exchange, the report files it writes
// (JSON read back by Python, HTML searched for every check), and the reading
// of log rows into observations.
#include "CheckKit.h"

#include "ChildProcess.h"
#include "Files.h"
#include "base/TimeText.h"
#include "check/battery/Report.h"
#include "check/battery/ReportDiff.h"
#include "check/battery/SipText.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

using namespace checkkit;

namespace {

const std::string kGbkName = "\xC7\xB0\xC3\xC5"; // 前门

// A camera that does everything right, watched for four minutes: REGISTER,
// keepalives, the query chain, a recording search, pan-tilt-zoom, a live view
// over UDP ended by BYE.
Wire WellBehavedCamera() {
    Wire w;
    w.obs.settings.keepaliveIntervalS = 60;
    w.Register();
    w.After(1000).Query(
        "Catalog", 10,
        CatalogAnswer(kDevice, 2, {kChannel, "34020000001310000002"}, true, kGbkName));
    w.After(1000).Query(
        "DeviceInfo", 11,
        SimpleAnswer("DeviceInfo", kDevice,
                     "<DeviceName>IPC</DeviceName>\r\n<Manufacturer>Acme</Manufacturer>\r\n"
                     "<Model>X1</Model>\r\n<Firmware>1.0</Firmware>\r\n<Channel>1</Channel>\r\n"));
    w.After(1000).Query("DeviceStatus", 12,
                        SimpleAnswer("DeviceStatus", kDevice,
                                     "<Online>ONLINE</Online>\r\n<Status>OK</Status>\r\n"));
    w.After(1000).Query("RecordInfo", 13, RecordAnswer(kDevice, kChannel, 2), 300,
                        " <StartTime>2024-05-05T12:00:00</StartTime>\r\n "
                        "<EndTime>2024-05-06T12:00:00</EndTime>\r\n",
                        kChannel);
    const std::int64_t reg = w.obs.messages.front().timeMs;
    for (int s = 60; s <= 240; s += 60) {
        w.now = reg + s * 1000;
        w.FromDevice(KeepaliveNotify(kDevice));
    }
    w.After(2000).ToDevice("Control", "DeviceControl", 14,
                           " <PTZCmd>A50F0108C000007D</PTZCmd>\r\n");
    const MediaObservation& m = w.obs.media.emplace_back(Invite(w, kMediaUdp, Answer(kMediaUdp)));
    const int bye = w.After(10000).Add(Direction::Sent, w.TarvexHead("BYE", m.callId, 2, "", 0));
    w.After(20).Reply(bye);
    w.obs.endMs = reg + 260000;
    return w;
}

TEST(Battery, AWellBehavedCameraPassesWhatItWasAsked) {
    const Wire w = WellBehavedCamera();
    const std::set<std::string> notRun = {"register.digest", "live.tcp_passive", "live.tcp_active",
                                          "playback.control", "download.status", "bye.device",
                                          "media.tcp_framing", "media.ps_structure", "media.key_interval", "media.format",
                                          // No subscription in this exchange.
                                          "subscribe.catalog", "subscribe.alarm",
                                          "subscribe.position", "subscribe.end", "broadcast.audio"};
    for (const CheckResult& r : RunBattery(w.obs)) {
        // Its REGISTER declares no edition: the 2022 rows are not supported.
        const bool gb2022 = r.id.rfind("gb2022.", 0) == 0;
        EXPECT_EQ(r.verdict, gb2022 ? Verdict::NotSupported
                             : notRun.count(r.id) ? Verdict::NotRun : Verdict::Pass)
            << r.id << ": " << r.reason;
        EXPECT_FALSE(r.title.empty() || r.reason.empty()) << r.id;
        for (const Evidence& e : r.evidence)
            EXPECT_LT(e.message, static_cast<int>(w.obs.messages.size())) << r.id;
    }
    std::set<std::string> ids;
    for (const CheckDef& d : Battery())
        EXPECT_TRUE(ids.insert(d.id).second) << "twice: " << d.id;
}

TEST(Battery, OddInputGivesVerdictsNotCrashes) {
    Wire w = WellBehavedCamera();
    const std::string binary("\0\xff\xfe<\x01>", 6);
    for (const auto& [head, body] : std::vector<std::pair<std::string, std::string>>{
             {"", ""},
             {binary, binary},
             {"SIP/2.0 abc\r\nCSeq: x\r\n", ""},
             {"MESSAGE sip:x SIP/2.0\r\nFrom: <sip:" + kDevice + "@h>\r\nCSeq: 9 MESSAGE\r\n",
              "<Response><CmdType>Catalog"},
             {"MESSAGE sip:x SIP/2.0\r\nFrom: <sip:" + kDevice + "@h>\r\n",
              WithSn(CatalogAnswer(kDevice, 1, {kChannel}), "10") +
                  "<SumNum>99999999999999999999</SumNum>"},
             {"MESSAGE sip:x SIP/2.0\r\nFrom: <sip:" + kDevice + "@h>\r\n",
              "<Response><CmdType>Catalog</CmdType><SN>10</SN><SumNum>-1</SumNum><DeviceList "
              "Num=\"-5\"><Item/></DeviceList></Response>"},
             {"MESSAGE sip:x SIP/2.0\r\n",
              "<Response><CmdType>ConfigDownload</CmdType><HeartBeatInterval>99999999999</"
              "HeartBeatInterval></Response>"},
         })
        w.Add(Direction::Received, head, body);
    w.obs.settings.keepaliveIntervalS = 0;
    MediaObservation odd = w.obs.media.front();
    odd.transport = kMediaTcpActive;
    odd.answer = "y=99999999999\r\nm=\r\n=\r\n";
    odd.windowMs = 0;
    w.obs.media.push_back(odd);
    const std::vector<CheckResult> results = RunBattery(w.obs);
    ASSERT_EQ(results.size(), Battery().size());
    for (const CheckResult& r : results)
        EXPECT_FALSE(r.reason.empty()) << r.id;
    EXPECT_EQ(
        results[static_cast<std::size_t>(FindCheck("live.tcp_active") - Battery().data())].verdict,
        Verdict::Fail);
    EXPECT_EQ(Judge("message.framing", w.obs).verdict, Verdict::Fail);
    EXPECT_FALSE(ReportJson(w.obs, results).empty());
}

TEST(Report, JsonReadsBackAndHtmlShowsEveryCheck) {
    Wire w = WellBehavedCamera();
    w.obs.settings.password = "secret-password"; // set, though no REGISTER was challenged
    const int lost = w.Add(Direction::Sent, w.TarvexHead("BYE", "gone", 3, "", 0));
    w.After(20).Reply(lost, 481);
    const std::vector<CheckResult> results = RunBattery(w.obs);
    TempDir dir;
    const ReportFiles files =
        WriteReport(dir.File("out"), w.obs, results,
                    ReportInfo{"2024-05-20T10:40:00.000", "Tarvex 2.0", {}, "en", {}, {}});
    ASSERT_EQ(files.error, "");

    // Python's json module reads it; the GBK catalog body comes back byte for byte.
    WriteFile(dir / "read.py", "import base64, json, sys\n"
                               "r = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                               "assert r['format'] == 'tarvex-device-check' and r['version'] == 1\n"
                               "import html.parser\n"
                               "class Nesting(html.parser.HTMLParser):\n"
                               "    stack = []\n"
                               "    def handle_starttag(self, tag, attrs):\n"
                               "        if tag not in ('br', 'meta'): self.stack.append(tag)\n"
                               "    def handle_endtag(self, tag):\n"
                               "        assert self.stack.pop() == tag, tag\n"
                               "n = Nesting(); n.feed(open(sys.argv[2], encoding='utf-8').read()); "
                               "assert not n.stack, n.stack\n"
                               "print('device', r['device']['id'], r['device']['manufacturer'], "
                               "r['device']['catalogItems'])\n"
                               "print('summary', *[f'{k}={v}' for k, v in r['summary'].items()])\n"
                               "for c in r['checks']:\n"
                               "    assert c['severity'] in ('error', 'warning', 'info'), c\n"
                               "    assert c['clause']['gbt28181'] or c['clause']['rfc'], c\n"
                               "    print('check', c['id'], c['verdict'], len(c['evidence']))\n"
                               "    for e in c['evidence']:\n"
                               "        if e['kind'] == 'message' and 'bodyBase64' in e:\n"
                               "            print('gbk', base64.b64decode(e['bodyBase64']).hex(), "
                               "e['body'].count('\u524d\u95e8'))\n");
    ASSERT_EQ(testsupport::RunIn(
                  dir.Path(),
                  {"/usr/bin/python3", dir / "read.py", files.json.string(), files.html.string()},
                  dir / "py.log", 60000),
              0)
        << ReadFile(dir / "py.log");
    std::istringstream out(ReadFile(dir / "py.log"));
    std::map<std::string, std::string> verdicts;
    std::set<std::string> gbk;
    std::string line, word;
    while (std::getline(out, line)) {
        std::istringstream l(line);
        l >> word;
        if (word == "device") {
            EXPECT_EQ(line, "device " + kDevice + " Acme 2");
        }
        if (word == "summary") {
            EXPECT_EQ(line, "summary pass=18 fail=1 not_supported=9 not_run=15");
        }
        if (word == "check") {
            std::string id, verdict;
            l >> id >> verdict;
            verdicts[id] = verdict;
        }
        if (word == "gbk") gbk.insert(line);
    }
    ASSERT_EQ(verdicts.size(), results.size());
    for (const CheckResult& r : results)
        EXPECT_EQ(verdicts[r.id], VerdictKey(r.verdict)) << r.id;
    EXPECT_EQ(verdicts["register.digest"], "not_run");
    EXPECT_EQ(verdicts["bye.answered"], "fail");

    std::string catalogHex;
    for (const ObservedMessage& m : w.obs.messages)
        if (m.manscdp.Is("Response", "Catalog"))
            for (unsigned char c : m.body) {
                catalogHex += "0123456789abcdef"[c >> 4];
                catalogHex += "0123456789abcdef"[c & 15];
            }
    EXPECT_TRUE(gbk.count("gbk " + catalogHex + " 1")) << "the GBK body is decoded and kept";

    const std::string html = ReadFile(files.html.string());
    for (const CheckResult& r : results) {
        EXPECT_NE(html.find("<b>" + r.title + "</b> <span class=\"cid\">" + r.id + "</span>"),
                  std::string::npos)
            << r.id;
        EXPECT_NE(html.find("\">" + std::string(VerdictText(r.verdict)) +
                            "</span> <span class=\"sev s-" + SeverityKey(r.severity) + "\">" +
                            SeverityKey(r.severity) + "</span> <b>" + r.title),
                  std::string::npos)
            << r.id;
    }
    // Every check names what it rests on, shown under its reason.
    for (const CheckResult& r : results) {
        EXPECT_FALSE(r.clause.gbZh.empty() && r.clause.rfc.empty()) << r.id;
        if (!r.clause.rfc.empty()) {
            EXPECT_NE(html.find(r.clause.rfc + "</span></summary>"), std::string::npos) << r.id;
        }
    }
    EXPECT_NE(html.find("<details class=\"check\" id=\"bye.answered\" open>"), std::string::npos)
        << "failures unfolded";
    EXPECT_NE(html.find("&lt;CmdType&gt;Catalog&lt;/CmdType&gt;"), std::string::npos)
        << "bodies are escaped";
    EXPECT_NE(html.find("\xE5\x89\x8D\xE9\x97\xA8"), std::string::npos)
        << "GBK names shown as UTF-8";
    for (const char* external :
         {"<script", "<link", "src=", "href=", "http://", "https://", "@import"})
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    EXPECT_EQ(ReadFile(files.json.string()).find("secret-password"), std::string::npos);
    EXPECT_EQ(html.find("secret-password"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.File("out/.report.json.tmp")));
}

TEST(Observation, LogRowsReadIntoHeadsAndEnvelopes) {
    const ObservedMessage m =
        ObserveLogRow(2, "2024-05-20T10:30:05.042",
                      "MESSAGE sip:" + kPlatform +
                          "@127.0.0.1:5080 SIP/2.0\r\nv: SIP/2.0/UDP 127.0.0.1:5060;rport\r\n"
                          "f: <sip:" +
                          kDevice +
                          "@127.0.0.1:5060>;tag=1\r\nSubject: two\r\n  lines\r\ni: abc@host\r\n"
                          "CSeq: 7 MESSAGE\r\nl: 3\r\n\r\n\n",
                      KeepaliveNotify(kDevice));
    EXPECT_TRUE(m.Received() && m.IsRequest("MESSAGE"));
    EXPECT_EQ(m.sip.Value("Call-ID"), "abc@host");
    EXPECT_EQ(m.sip.Value("subject"), "two lines");
    EXPECT_EQ(m.sip.Value("Content-Length"), "3");
    EXPECT_EQ(m.sip.cseq, 7);
    EXPECT_EQ(ParseSipAddress(m.sip.Value("From")).user, kDevice);
    EXPECT_TRUE(m.manscdp.Is("Notify", "Keepalive"));
    EXPECT_EQ(m.manscdp.sn, "77");
    EXPECT_EQ(LocalTimeMsText(m.timeMs), "2024-05-20T10:30:05.042");

    const ObservedMessage ok = ObserveLogRow(
        1, "2024-05-20T10:30:05.043", "SIP/2.0 200 OK\r\nCSeq: 7 MESSAGE\r\n\r\n\n", "No Body!\n");
    EXPECT_TRUE(ok.Sent() && ok.IsResponse());
    EXPECT_EQ(ok.sip.status, 200);
    EXPECT_EQ(ok.body, "");
    EXPECT_FALSE(ok.manscdp.present);

    struct Address {
        const char* text;
        const char* user;
        const char* host;
        int port;
        const char* tag;
    };
    for (const Address& a :
         {Address{"\"Cam\" <sip:34020000001320000001@10.0.0.5:5060;transport=udp>;tag=9",
                  "34020000001320000001", "10.0.0.5", 5060, "9"},
          Address{"sip:3402000000@3402000000;tag=x", "3402000000", "3402000000", 0, "x"},
          Address{"<sips:10.0.0.6>", "", "10.0.0.6", 0, ""}}) {
        const SipAddress s = ParseSipAddress(a.text);
        EXPECT_TRUE(s.ok) << a.text;
        EXPECT_EQ(s.user, a.user);
        EXPECT_EQ(s.host, a.host);
        EXPECT_EQ(s.port, a.port);
        EXPECT_EQ(s.params.count("tag") ? s.params.at("tag") : "", a.tag);
    }
    EXPECT_FALSE(ParseSipAddress("<tel:123>").ok);

    // Another device's REGISTER in the same log is not this device's concern.
    Wire two;
    two.Register();
    two.Register("Contact: <sip:3402000000132000001@127.0.0.1:5062>\r\nExpires: 3600\r\n",
                 "3402000000132000001");
    EXPECT_EQ(Judge("register.form", two.obs).verdict, Verdict::Fail);
    const Observation mine = OnlyDevice(two.obs, kDevice);
    EXPECT_EQ(mine.messages.size(), 2u);
    EXPECT_EQ(Judge("register.form", mine).verdict, Verdict::Pass);
    EXPECT_FALSE(ParseLocalTimeMs("2024-05-20 10:30:05").has_value());
}

// The log's times, read back to milliseconds; anything not of its exact form is no time.
TEST(Report, LogTimesReadBackExactly) {
    std::chrono::system_clock::time_point at;
    ASSERT_TRUE(ParseLocalTimeText("2024-05-20T10:30:05", at));
    const std::int64_t base =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const struct {
        const char* text;
        std::optional<std::int64_t> ms;
    } cases[] = {
        {"2024-05-20T10:30:05", base},         {"2024-05-20T10:30:05.123", base + 123},
        {"2024-05-20T10:30:05.5", base + 500}, {"2024-05-20T10:30:05.", std::nullopt},
        {"2024-5-20T10:30:05", std::nullopt},  {"2024-05-20T10:30:05Z", std::nullopt},
        {"9999-05-20T10:30:05", std::nullopt}, {"2024-05-20T10:30", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLocalTimeMs(c.text), c.ms) << c.text;
    EXPECT_EQ(LocalTimeMsText(base + 123), "2024-05-20T10:30:05.123");
}

} // namespace

// The page in either language, with the tool's version, the command line and
// the settings the run used; report.json is the same whatever the language.
TEST(Report, HtmlInChineseOrEnglishWithVersionAndSettings) {
    Wire w = WellBehavedCamera();
    w.obs.settings.keepaliveIntervalS = 30;
    const std::vector<CheckResult> results = RunBattery(w.obs);
    struct Row {
        const char* language;
        std::vector<std::string> has, hasNot;
    };
    const Row rows[] = {
        {"zh",
         {"<html lang=\"zh-CN\">", "设备检查：" + kDevice, "所用设置", "心跳周期</th><td>30 s",
          "<b>REGISTER 格式正确</b>", ">通过</span>", ">错误</span>", "GB/T 28181 注册和注销",
          "Tarvex 9.9.9", "tarvex --check --lang zh", "windowS</th><td>2.0"},
         {"Settings used", "<b>REGISTER well formed</b>"}},
        {"en",
         {"<html lang=\"en\">", "Device check: " + kDevice, "Settings used",
          "Keepalive interval</th><td>30 s", "<b>REGISTER well formed</b>", ">pass</span>",
          ">error</span>", "GB/T 28181 registration", "Tarvex 9.9.9"},
         {"所用设置", "<b>REGISTER 格式正确</b>"}},
    };
    std::string json;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.language);
        ReportInfo info{"2024-05-20T10:40:00.000",
                        "Tarvex",
                        "9.9.9",
                        row.language,
                        "tarvex --check --lang " + std::string(row.language),
                        {{"windowS", "2.0"}}};
        const std::string html = ReportHtml(w.obs, results, info);
        for (const std::string& h : row.has)
            EXPECT_NE(html.find(h), std::string::npos) << h;
        for (const std::string& h : row.hasNot)
            EXPECT_EQ(html.find(h), std::string::npos) << h;
        info.commandLine.clear();
        const std::string j = ReportJson(w.obs, results, info);
        EXPECT_NE(j.find("\"toolVersion\": \"9.9.9\""), std::string::npos);
        EXPECT_NE(j.find("\"run\": {\"windowS\": \"2.0\"}"), std::string::npos);
        if (!json.empty()) {
            EXPECT_EQ(j, json) << "the JSON does not depend on the language";
        }
        json = j;
    }
}

// Two runs compared: device fields that moved, each verdict that changed with
// both reasons, checks only one run has, and the counts.
TEST(ReportDiff, SaysWhatChangedBetweenTwoRuns) {
    using C = ReportDigest::Check;
    ReportDigest a;
    a.toolVersion = "1.0";
    a.device = {{"id", kDevice}, {"firmware", "V1.0"}};
    a.checks = {C{"catalog.answer", "", "pass", "error", "SumNum 2"},
                C{"live.udp", "", "pass", "error", "25.0 fps"},
                C{"answers.delay", "", "pass", "warning", "in time"},
                C{"old.check", "", "pass", "info", "gone in B"}};
    struct Row {
        const char* name;
        std::function<void(ReportDigest&)> change;
        int changes;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"same",
         [](ReportDigest&) {},
         0,
         {"0 checks changed their verdict; pass 4, fail 0, not_supported 0, not_run 0"}},
        {"reason only", [](ReportDigest& b) { b.checks[1].reason = "24.9 fps"; }, 0, {}},
        {"firmware and one verdict",
         [](ReportDigest& b) {
             b.device[1].second = "V1.1";
             b.checks[1].verdict = "fail";
             b.checks[1].reason = "12.0 fps received, the device stamps 25.0";
         },
         1,
         {"device firmware: \"V1.0\" -> \"V1.1\"", "live.udp (error): pass -> fail",
          "    A: 25.0 fps", "    B: 12.0 fps received, the device stamps 25.0",
          "1 check changed its verdict; pass 4 -> 3, fail 0 -> 1, not_supported 0, not_run 0"}},
        {"checks came and went",
         [](ReportDigest& b) {
             b.checks.pop_back();
             b.checks.push_back(C{"media.framing", "", "fail", "warning", "$ framing"});
         },
         2,
         {"old.check: pass -> (not in B)", "media.framing: (not in A) -> fail",
          "    B: $ framing"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReportDigest b = a;
        row.change(b);
        const ReportDiff d = DiffReports(a, b);
        EXPECT_EQ(d.verdictChanges, row.changes);
        for (const std::string& l : row.lines)
            EXPECT_NE(std::find(d.lines.begin(), d.lines.end(), l), d.lines.end())
                << l << "\n"
                << testing::PrintToString(d.lines);
        if (std::string(row.name) == "reason only") {
            EXPECT_EQ(d.lines.size(), 1u) << testing::PrintToString(d.lines);
        }
    }
}

// The device's edition, from the X-GB-Ver of its REGISTER, in the identity.
TEST(Report, IdentityShowsTheDevicesVersionHeader) {
    struct Row {
        const char* header;   // "" sends none
        const char* version;  // IdentifyDevice
        const char* htmlCell; // "" when the row is left out
    } rows[] = {{"3.0", "3.0", "X-GB-Ver (国标版本)</th><td>3.0 (2022)"},
                {"2.0", "2.0", "X-GB-Ver (国标版本)</th><td>2.0 (2016)"},
                {"", "", ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.header);
        Wire w;
        std::string extra = "Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: 3600\r\n";
        if (*row.header) extra += "X-GB-Ver: " + std::string(row.header) + "\r\n";
        w.Register(extra);
        w.obs.endMs = w.now + 1000;
        EXPECT_EQ(IdentifyDevice(w.obs).gbVersion, row.version);
        ReportInfo info;
        info.language = "zh";
        const std::string html = ReportHtml(w.obs, {}, info);
        if (*row.htmlCell) EXPECT_NE(html.find(row.htmlCell), std::string::npos) << html;
        else EXPECT_EQ(html.find("X-GB-Ver"), std::string::npos);
        EXPECT_NE(ReportJson(w.obs, {}, info).find("\"gbVersion\": \"" + std::string(row.version) + "\""),
                  std::string::npos);
    }
}
