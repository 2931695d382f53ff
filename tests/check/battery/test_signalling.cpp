// The checks of registration, keepalives and message framing, each against
// exchanges that pass and the faults it exists to catch.
#include "CheckKit.h"

#include "check/battery/Digest.h"
#include "check/battery/SipText.h"

#include <functional>

using namespace checkkit;

namespace {

const std::string kContact = "Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\n";

TEST(RegisterForm, JudgesTheHeadersAndTheIdentifier) {
    struct Row {
        Case c;
        std::string extra;
        std::string from = kDevice;
    };
    const Row rows[] = {
        {{"well formed", Verdict::Pass, "1 REGISTER well formed, identifier " + kDevice},
         kContact + "Expires: 3600\r\n"},
        {{"expires on Contact", Verdict::Pass, "well formed"},
         "Contact: <sip:" + kDevice + "@127.0.0.1:5060>;expires=3600\r\n"},
        {{"no Expires", Verdict::Fail, "no Expires (neither header nor Contact parameter)"},
         kContact},
        {{"no Contact", Verdict::Fail, ": no Contact"}, "Expires: 3600\r\n"},
        {{"bad Expires", Verdict::Fail, "Expires \"soon\" is not a number"},
         kContact + "Expires: soon\r\n"},
        {{"19 digits", Verdict::Fail,
          "From user \"3402000000132000001\" is not a 20-digit identifier"},
         kContact + "Expires: 3600\r\n",
         "3402000000132000001"},
    };
    for (const Row& row : rows) {
        Wire w;
        w.Register(row.extra, row.from);
        ExpectVerdict(Judge("register.form", w.obs), row.c);
    }
    ExpectVerdict(Judge("register.form", Wire().obs),
                  (Case{"none", Verdict::NotRun, "no REGISTER"}));
}

TEST(Digest, MatchesRfc2617Example) {
    // RFC 2617 section 3.5.
    const std::map<std::string, std::string> challenge = {
        {"realm", "testrealm@host.com"},
        {"qop", "auth,auth-int"},
        {"nonce", "dcd98b7102dd2f0e8b11d0f600bfb0c093"}};
    std::map<std::string, std::string> cred = challenge;
    cred.erase("qop");
    cred.insert({{"username", "Mufasa"},
                 {"uri", "/dir/index.html"},
                 {"qop", "auth"},
                 {"nc", "00000001"},
                 {"cnonce", "0a4f113b"},
                 {"response", "6629fae49393a05397450978507c4ef1"}});
    EXPECT_EQ(ExpectedDigestResponse(challenge, cred, "GET", "Circle Of Life"),
              "6629fae49393a05397450978507c4ef1");
    EXPECT_EQ(DigestProblem(challenge, cred, "GET", "Circle Of Life"), "");
}

TEST(RegisterDigest, VerifiesTheDeviceCredentials) {
    // Responses computed with Python's hashlib for the device, realm 3402000000,
    // nonce 9bd055, the platform's URI and password 12345678.
    const std::string uri = "uri=\"sip:" + kPlatform + "@127.0.0.1:5080\"";
    const std::string base =
        "Digest username=\"" + kDevice + "\", realm=\"3402000000\", nonce=\"9bd055\", " + uri;
    const std::string qop = ", qop=auth, nc=00000001, cnonce=\"0a4f113b\"";
    struct Row {
        Case c;
        std::string password, challenge, authorization;
    };
    const std::string plain = "Digest realm=\"3402000000\", nonce=\"9bd055\", algorithm=MD5";
    const std::string withQop = plain + ", qop=\"auth\"";
    const Row rows[] = {
        {{"MD5 without qop", Verdict::Pass, "1 challenge (MD5, no qop)"},
         "12345678",
         plain,
         base + ", response=\"5b971ec3321dd9872ca51e3a37de36f2\", algorithm=MD5"},
        {{"MD5 with qop", Verdict::Pass, "qop auth"},
         "12345678",
         withQop,
         base + ", response=\"c6aa85450ae41c3aa97bdc53de39bbc7\", algorithm=MD5" + qop},
        {{"MD5-sess", Verdict::Pass, "MD5-sess"},
         "12345678",
         "Digest realm=\"3402000000\", nonce=\"9bd055\", algorithm=MD5-sess, qop=\"auth\"",
         base + ", response=\"f0c91aa7ed32f95e701074032653ab1b\", algorithm=MD5-sess" + qop},
        {{"SHA-256", Verdict::Pass, "SHA-256"},
         "12345678",
         "Digest realm=\"3402000000\", nonce=\"9bd055\", algorithm=SHA-256, qop=\"auth\"",
         base +
             ", response=\"e2af8e7716233c613a8be03b95263b36daa1e70fb2907c502cfbe4d79756c824\", "
             "algorithm=SHA-256" +
             qop},
        {{"other password", Verdict::Fail, "does not match the password"},
         "87654321",
         plain,
         base + ", response=\"5b971ec3321dd9872ca51e3a37de36f2\""},
        {{"qop dropped", Verdict::Fail, "qop missing although the challenge offered \"auth\""},
         "12345678",
         withQop,
         base + ", response=\"5b971ec3321dd9872ca51e3a37de36f2\""},
        {{"stale nonce", Verdict::Fail, "nonce \"1111\" is not the challenge's"},
         "12345678",
         plain,
         "Digest username=\"" + kDevice + "\", realm=\"3402000000\", nonce=\"1111\", " + uri +
             ", response=\"00\""},
        {{"Basic", Verdict::Fail, "scheme \"Basic\" is not Digest"},
         "12345678",
         plain,
         "Basic MzQwMjA="},
        {{"no second REGISTER", Verdict::Fail, "no REGISTER with credentials followed"},
         "12345678",
         plain,
         ""},
        {{"no password set", Verdict::NotRun, "no 验证密码"}, "", plain, ""},
    };
    for (const Row& row : rows) {
        Wire w;
        w.obs.settings.password = row.password;
        const int first = w.Add(Direction::Received,
                                w.DeviceHead("REGISTER", 1, kContact + "Expires: 3600\r\n", 0));
        w.Reply(first, 401, "WWW-Authenticate: " + row.challenge + "\r\n");
        if (!row.authorization.empty())
            w.Register(kContact + "Expires: 3600\r\nAuthorization: " + row.authorization + "\r\n");
        ExpectVerdict(Judge("register.digest", w.obs), row.c);
    }
    Wire unchallenged;
    unchallenged.obs.settings.password = "12345678";
    unchallenged.Register();
    ExpectVerdict(Judge("register.digest", unchallenged.obs),
                  (Case{"no 401", Verdict::NotRun, "no challenge"}));
}

// Keepalives of the device at these seconds after its REGISTER; the observation
// ends at endS.
Wire Keepalives(const std::vector<int>& seconds, int endS, int intervalS = 60) {
    Wire w;
    w.obs.settings.keepaliveIntervalS = intervalS;
    w.Register();
    const std::int64_t reg = w.obs.messages.front().timeMs;
    for (int s : seconds) {
        w.now = reg + s * 1000LL;
        w.FromDevice(KeepaliveNotify(kDevice));
    }
    w.obs.endMs = reg + endS * 1000LL;
    return w;
}

TEST(Keepalive, IntervalAndMissesAgainstTheConfiguredInterval) {
    struct Row {
        const char* name;
        std::vector<int> at;
        int endS;
        Case interval, missed;
    };
    const Row rows[] = {
        {"regular",
         {60, 120, 180, 240, 300},
         330,
         {"", Verdict::Pass,
          "keepalives every 60.0 s (median of 4 intervals), expected 60.0 s (configured)"},
         {"", Verdict::Pass, "no keepalive missed in 330.0 s"}},
        {"late within tolerance",
         {64, 125, 183, 246},
         280,
         {"", Verdict::Pass, "every 61"},
         {"", Verdict::Pass, "no keepalive missed"}},
        {"twice as often",
         {30, 60, 90, 120, 150},
         170,
         {"", Verdict::Fail, "keepalives every 30.0 s"},
         {"", Verdict::Pass, ""}},
        {"one missed",
         {60, 120, 240, 300},
         330,
         {"", Verdict::Pass, "every 60.0 s"},
         {"", Verdict::Fail, "1 keepalive missed, longest silence 120.0 s"}},
        {"silent to the end",
         {60},
         400,
         {"", Verdict::Fail, "1 keepalive in 400.0 s"},
         {"", Verdict::Fail, "3 keepalives missed in a row: offline from "}},
        {"too short",
         {},
         50,
         {"", Verdict::NotRun, "less than two keepalive intervals"},
         {"", Verdict::NotRun, "less than one keepalive interval"}},
    };
    for (const Row& row : rows) {
        Wire w = Keepalives(row.at, row.endS);
        ExpectVerdict(Judge("keepalive.interval", w.obs),
                      (Case{row.name, row.interval.verdict, row.interval.reasonHas}));
        ExpectVerdict(Judge("keepalive.missed", w.obs),
                      (Case{row.name, row.missed.verdict, row.missed.reasonHas}));
    }
}

TEST(Keepalive, SaysWhenTheDeviceWentOfflineAndCameBack) {
    Wire w = Keepalives({60, 120, 420, 480}, 500);
    const std::int64_t reg = w.obs.messages.front().timeMs;
    // Three due at 180, 240 and 300 s, each forgiven 6 s: offline from 306 s.
    const CheckResult r = Judge("keepalive.missed", w.obs);
    EXPECT_EQ(r.verdict, Verdict::Fail);
    EXPECT_EQ(r.reason, "3 keepalives missed in a row: offline from " +
                            LocalTimeMsText(reg + 306000) + ", back at " +
                            LocalTimeMsText(reg + 420000));
}

TEST(Keepalive, TakesTheDeviceIntervalFromItsConfiguration) {
    Wire w = Keepalives({30, 60, 90, 120}, 130, 0);
    w.Query("ConfigDownload", 30,
            SimpleAnswer(
                "ConfigDownload", kDevice,
                "<BasicParam>\r\n<HeartBeatInterval>30</HeartBeatInterval>\r\n<HeartBeatCount>3</"
                "HeartBeatCount>\r\n</BasicParam>\r\n"));
    ExpectVerdict(
        Judge("keepalive.interval", w.obs),
        (Case{"device's own", Verdict::Pass, "expected 30.0 s (the device's HeartBeatInterval)"}));
}

TEST(MessageFraming, CatchesCutBodiesAndWrongLengths) {
    const std::string body =
        WithSn(CatalogAnswer(kDevice, 1, {kChannel}, true, "\xC7\xB0\xC3\xC5"), "11");
    struct Row {
        Case c;
        std::function<void(Wire&)> send;
    };
    // Sent with a Content-Length of its size plus delta.
    const auto raw = [](const std::string& sent, long delta = 0,
                        const std::string& type = "Application/MANSCDP+xml") {
        return [=](Wire& w) {
            w.Add(Direction::Received,
                  w.DeviceHead("MESSAGE", 5, "Content-Type: " + type + "\r\n",
                               static_cast<std::size_t>(sent.size() + delta)),
                  sent);
        };
    };
    const std::string noSn =
        body.substr(0, body.find("<SN>")) + body.substr(body.find("</SN>") + 7);
    const Row rows[] = {
        {{"whole", Verdict::Pass, "1 body complete"}, raw(body)},
        // The GBK name is 2 characters in 4 bytes.
        {{"length in characters", Verdict::Fail,
          "Content-Length " + std::to_string(body.size() - 2) + " but the body has"},
         raw(body, -2)},
        {{"cut at the length", Verdict::Fail, "the body is not whole XML: an end tag is missing"},
         raw(body.substr(0, body.size() - 12))},
        {{"wrong type", Verdict::Fail, "Content-Type \"text/plain\" for a MANSCDP body"},
         raw(body, 0, "text/plain")},
        {{"no SN", Verdict::Fail, "SN \"\" is not a number"}, raw(noSn)},
        {{"nothing", Verdict::NotRun, "no message with a body"}, [](Wire& w) { w.Register(); }},
    };
    for (const Row& row : rows) {
        Wire w;
        row.send(w);
        ExpectVerdict(Judge("message.framing", w.obs), row.c);
    }
    Wire tcp;
    tcp.obs.settings.sipTransport = "tcp";
    std::string head = tcp.DeviceHead("MESSAGE", 5, "Content-Type: Application/MANSCDP+xml\r\n", 0);
    head.erase(head.find("Content-Length"));
    tcp.Add(Direction::Received, head, body);
    ExpectVerdict(Judge("message.framing", tcp.obs),
                  (Case{"tcp", Verdict::Fail, "no Content-Length over TCP"}));
}

TEST(MessageAnswerTime, WantsA2xxWithinOneSecond) {
    struct Row {
        Case c;
        std::int64_t okMs;
        int status = 200;
    };
    const Row rows[] = {
        {{"quick", Verdict::Pass, "1 MESSAGE answered 2xx, slowest after 20 ms (limit 1000 ms)"},
         20},
        {{"late", Verdict::Fail, "answered after 1500 ms, limit 1000 ms"}, 1500},
        {{"silent", Verdict::Fail, "got no final answer"}, -1},
        {{"refused", Verdict::Fail, "answered 403 Error"}, 30, 403},
        // A feature declined in time is the feature's check's business.
        {{"declined", Verdict::Pass, "1 MESSAGE answered in time (1 declined with 405 or 501)"},
         30,
         501},
        {{"declined late", Verdict::Fail, "answered after 1500 ms"}, 1500, 501},
    };
    for (const Row& row : rows) {
        Wire w;
        const int q = w.ToDevice("Query", "Catalog", 11, {}, -1);
        if (row.okMs >= 0) w.After(row.okMs).Reply(q, row.status);
        ExpectVerdict(Judge("message.answer_time", w.obs), row.c);
    }
    ExpectVerdict(Judge("message.answer_time", Wire().obs),
                  (Case{"none", Verdict::NotRun, "no MESSAGE"}));
}

} // namespace

// A device that never registered: the registration rows say why, every other
// row is not run, whatever else the device sent (keepalives, answers).
TEST(Battery, UnregisteredDeviceJudgesOnlyTheRegistration) {
    struct Row {
        const char* name;
        bool registers; // sends a REGISTER, refused with 403
        Verdict form, digest;
        std::string formHas, digestHas;
    };
    const Row rows[] = {
        {"no REGISTER", false, Verdict::Fail, Verdict::Fail,
         "no REGISTER was received within 4.0 s", "no REGISTER came to be challenged"},
        {"refused", true, Verdict::Pass, Verdict::Fail, "1 REGISTER well formed",
         "no REGISTER with credentials followed the challenge"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Wire w;
        w.obs.settings.password = "12345678";
        if (row.registers) {
            const int r = w.Add(Direction::Received,
                                w.DeviceHead("REGISTER", 1, kContact + "Expires: 3600\r\n", 0));
            w.After(2);
            w.Reply(r, 401, "WWW-Authenticate: Digest realm=\"3402000000\", nonce=\"abc\"\r\n");
        }
        for (int k = 0; k < 4; ++k)
            w.After(1000).FromDevice("<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive"
                                     "</CmdType>\r\n<SN>" +
                                     std::to_string(k) + "</SN>\r\n<DeviceID>" + kDevice +
                                     "</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n");
        w.obs.registered = false;
        w.obs.registerWaitMs = 4000;
        for (const CheckResult& r : RunBattery(w.obs)) {
            if (r.id == "register.form") {
                EXPECT_EQ(r.verdict, row.form) << r.reason;
                EXPECT_NE(r.reason.find(row.formHas), std::string::npos) << r.reason;
            } else if (r.id == "register.digest") {
                EXPECT_EQ(r.verdict, row.digest) << r.reason;
                EXPECT_NE(r.reason.find(row.digestHas), std::string::npos) << r.reason;
            } else {
                EXPECT_EQ(r.verdict, Verdict::NotRun) << r.id << ": " << r.reason;
                EXPECT_EQ(r.reason, "the device did not register") << r.id;
            }
        }
    }
}

TEST(KeepaliveStatus, WantsStatusOkInEveryKeepalive) {
    struct Row2 {
        Case c;
        std::vector<std::string> bodies;
    };
    const std::string ok = KeepaliveNotify(kDevice);
    const Row2 rows[] = {
        {{"all OK", Verdict::Pass, "3 keepalives with Status OK"}, {ok, ok, ok}},
        {{"one ERROR", Verdict::Fail, "carries Status ERROR"},
         {ok, Replace(ok, "<Status>OK</Status>", "<Status>ERROR</Status>"), ok}},
        {{"no Status", Verdict::Fail, "has no Status"}, {Replace(ok, "<Status>OK</Status>", "")}},
        {{"none", Verdict::NotRun, "no keepalive observed"}, {}},
    };
    for (const Row2& row : rows) {
        Wire w;
        w.Register();
        for (const std::string& k : row.bodies)
            w.After(1000).FromDevice(k);
        ExpectVerdict(Judge("keepalive.status", w.obs), row.c);
    }
}
