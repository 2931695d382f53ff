// The core's subscriptions on the wire: tarvex-camera notifies alarms,
// positions and a channel's status through the core's real endpoint; a
// short Expires is refreshed in time; unsubscribing ends the dialog; the
// camera's subscription faults show as the states and answers they should;
// and a SIPp device that does it its own way (a NOTIFY before the 200, less
// time granted, an alarm MESSAGE, its own end) is followed too.

#include "app/core/CoreRig.h"
#include "sip/endpoint/CSIP.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "support/common/Sipp.h"
#include "media/MediaTestUtil.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using tvsub::Package;
using tvsub::State;
using namespace std::chrono_literals;

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kCameraId = "34020000001320000001";
const std::string kCamera = std::string(TARVEX_BINARY_DIR) + "/tools/tarvex-camera/tarvex-camera";

bool Eventually(const std::function<bool()>& f, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return f();
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class LiveSubscriptions : public ::testing::Test {
public:
    void SetUp() override {
        auto data = std::make_shared<MemoryStore::Data>();
        data->values = {{"本地服务器/协议", "0"}, {"本地服务器/ID", kLocalId},
                        {"本地服务器/端口", "0"}, {"本地服务器/地址", "127.0.0.1"}};
        auto sip = std::make_unique<CSIP>();
        sip_ = sip.get();
        CTarvexCore::Parts p;
        p.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(data));
        p.sip = std::move(sip);
        p.searchIni = dir.File("Search.ini");
        core = std::make_unique<CTarvexCore>(std::move(p));
        core->SetView(&view);
        testing::internal::CaptureStdout();
        core->Initialise();
        testing::internal::GetCapturedStdout();
        port = sip_->BoundPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override { core->Stop(); }

    std::unique_ptr<mt::Proc> Camera(std::vector<std::string> extra) {
        std::vector<std::string> a = {kCamera, "--server", "127.0.0.1:" + std::to_string(port), "--local-ip",
                                      "127.0.0.1", "--channels", "2"};
        a.insert(a.end(), extra.begin(), extra.end());
        auto p = std::make_unique<mt::Proc>(a, dir.File("cam.out"), dir.File("cam.err"));
        EXPECT_TRUE(Eventually([&] { return core->Registered() && Channels() == 2; }, 30))
            << ReadFile(dir.File("cam.out")) << ReadFile(dir.File("cam.err"));
        return p;
    }
    int Channels() {
        int n = 0;
        core->VisitDevices([&](const DeviceNode& d) { n += static_cast<int>(d.children.size()); });
        return n;
    }
    std::string ChannelStatus() {
        std::string s;
        core->VisitDevices([&](const DeviceNode& d) {
            if (!d.children.empty()) s = d.children.front()->status;
        });
        return s;
    }
    std::optional<tvsub::Subscription> Sub(Package p) {
        for (const auto& s : core->Subscriptions())
            if (s.request.package == p) return s;
        return std::nullopt;
    }
    bool WaitState(Package p, State st, double seconds = 15) {
        return Eventually([&] { auto s = Sub(p); return s && s->state == st; }, seconds);
    }
    bool CameraSaid(const std::string& text, int count = 1, double seconds = 15) {
        return Eventually([&] { return Count(ReadFile(dir.File("cam.out")), text) >= count; }, seconds);
    }
    CTarvexCore::SubscribeInputs In(Package p, int expires = 3600, int interval = 1) {
        CTarvexCore::SubscribeInputs in;
        in.package = p;
        in.expires = expires;
        in.interval = interval;
        return in;
    }

    TempDir dir;
    RecordingView view;
    CSIP* sip_ = nullptr;
    std::unique_ptr<CTarvexCore> core;
    int port = 0;
};

TEST_F(LiveSubscriptions, CameraNotifiesCatalogAlarmsAndPositionsUntilUnsubscribed) {
    auto cam = Camera({"--alarm-every", "1", "--move", "--catalog-change", "2"});
    ASSERT_TRUE(core->Subscribe(In(Package::Catalog)));
    ASSERT_TRUE(core->Subscribe(In(Package::Alarm)));
    ASSERT_TRUE(core->Subscribe(In(Package::MobilePosition, 3600, 1)));
    for (Package p : tvsub::kPackages) EXPECT_TRUE(WaitState(p, State::Active)) << tvsub::PackageName(p);
    EXPECT_EQ(Sub(Package::Catalog)->granted, 3600);
    // A channel goes OFF in the tree from a Catalog NOTIFY.
    EXPECT_TRUE(Eventually([&] { return ChannelStatus() == "OFF"; }, 10)) << ReadFile(dir.File("cam.out"));
    EXPECT_TRUE(Eventually([&] { return core->EventsTaken().first >= 3; }, 15));
    EXPECT_TRUE(Eventually([&] { return core->EventsTaken().second >= 10; }, 25));
    const auto alarms = core->Alarms();
    ASSERT_GE(alarms.size(), 3u);
    EXPECT_EQ(alarms[0].device, kCameraId);
    EXPECT_EQ(alarms[0].method, "5");
    EXPECT_EQ(alarms[0].type, "2");
    EXPECT_EQ(alarms[0].description, "移动侦测"); // GB2312 on the wire, UTF-8 here
    ASSERT_EQ(core->PositionChannels(), std::vector<std::string>{kCameraId});
    const auto track = core->Positions(kCameraId);
    ASSERT_GE(track.size(), 10u);
    EXPECT_NE(track[0].longitude, track[5].longitude); // it moves
    EXPECT_NEAR(track[0].latitude, 39.909, 0.02);
    EXPECT_TRUE(CameraSaid("NOTIFY Alarm answered 200", 3));
    EXPECT_EQ(Count(ReadFile(dir.File("cam.out")), "answered 481"), 0);

    // The 报警复位 of one alarm goes to its source with its method and type.
    EXPECT_TRUE(core->AcknowledgeAlarm(alarms[0].serial));
    EXPECT_TRUE(core->Alarms()[0].acknowledged);

    ASSERT_TRUE(core->Unsubscribe(Package::Alarm));
    EXPECT_TRUE(WaitState(Package::Alarm, State::Terminated));
    EXPECT_EQ(Sub(Package::Alarm)->reason, "unsubscribed");
    EXPECT_TRUE(CameraSaid("SUBSCRIBE Alarm ended (Expires 0), answered 200"));
    // No alarm is notified in that dialog any more: they come as MESSAGEs.
    EXPECT_TRUE(CameraSaid("alarm sent in a MESSAGE", 1, 5));
    EXPECT_EQ(Sub(Package::MobilePosition)->state, State::Active);
}

TEST_F(LiveSubscriptions, AShortExpiresIsRefreshedBeforeItRunsOut) {
    auto cam = Camera({});
    ASSERT_TRUE(core->Subscribe(In(Package::Catalog, 4)));
    ASSERT_TRUE(WaitState(Package::Catalog, State::Active));
    // Refreshed at 3 s of 4, twice, and never expired on either side.
    EXPECT_TRUE(CameraSaid("SUBSCRIBE Catalog refreshed (Expires 4), answered 200", 2, 15));
    const auto s = Sub(Package::Catalog);
    EXPECT_EQ(s->state, State::Active);
    EXPECT_GE(s->refreshes, 2);
    EXPECT_LT(s->refreshedAt, s->expiresAt);
    EXPECT_EQ(Count(ReadFile(dir.File("cam.out")), "expired"), 0);
    MessageLog::RowText r;
    int refreshRows = 0;
    for (std::size_t i = 0; core->Log().Row(i, r); ++i)
        if (r.direction == kLogSent && r.typeText == "目录订阅刷新") ++refreshRows;
    EXPECT_GE(refreshRows, 2);
}

TEST_F(LiveSubscriptions, CameraFaultsShowAsTheirStatesAndAnswers) {
    struct Case {
        const char* fault;
        std::function<void(LiveSubscriptions&)> check;
    } cases[] = {
        {"no-subscribe",
         [](LiveSubscriptions& t) {
             ASSERT_TRUE(t.WaitState(Package::Alarm, State::Terminated));
             EXPECT_EQ(t.Sub(Package::Alarm)->reason, "489 Bad Event");
             // Without a subscription its alarms come in MESSAGEs, taken all the same.
             const auto before = t.core->EventsTaken().first;
             EXPECT_TRUE(t.CameraSaid("alarm sent in a MESSAGE", 2));
             EXPECT_TRUE(Eventually([&] { return t.core->EventsTaken().first > before; }, 5));
         }},
        {"notify-outside-dialog",
         [](LiveSubscriptions& t) {
             ASSERT_TRUE(t.WaitState(Package::Alarm, State::Active));
             const auto before = t.core->EventsTaken().first; // MESSAGEs before the subscription
             EXPECT_TRUE(t.CameraSaid("NOTIFY Alarm answered 481", 2));
             EXPECT_EQ(t.core->EventsTaken().first, before); // none taken
             // The log shows them and their 481.
             MessageLog::RowText r;
             int notifies = 0, refusals = 0;
             for (std::size_t i = 0; t.core->Log().Row(i, r); ++i) {
                 if (r.direction == kLogReceived && r.head.rfind("NOTIFY ", 0) == 0 &&
                     r.body.find("<CmdType>Alarm</CmdType>") != std::string::npos)
                     ++notifies;
                 if (r.direction == kLogSent && r.head.rfind("SIP/2.0 481", 0) == 0) ++refusals;
             }
             EXPECT_GE(notifies, 2);
             EXPECT_GE(refusals, notifies);
         }},
        {"stale-notify",
         [](LiveSubscriptions& t) {
             ASSERT_TRUE(t.WaitState(Package::Alarm, State::Active));
             EXPECT_TRUE(t.CameraSaid("NOTIFY Alarm answered 200"));
             ASSERT_TRUE(t.core->Unsubscribe(Package::Alarm));
             ASSERT_TRUE(t.WaitState(Package::Alarm, State::Terminated));
             const auto before = t.core->EventsTaken().first;
             EXPECT_TRUE(t.CameraSaid("NOTIFY Alarm answered 481"));
             EXPECT_EQ(t.core->EventsTaken().first, before); // the stale one is not taken
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        auto cam = Camera({"--alarm-every", "1", "--fault", c.fault});
        ASSERT_TRUE(core->Subscribe(In(Package::Alarm)));
        c.check(*this);
    }
}

// PTZPosition from the window's handlers (Subscribe as its 订阅 button, row
// 43 PTZ精准控制 as the command row): a 2022 camera takes Event PTZPosition,
// notifies where it stands at once and where PTZPreciseCtrl moved it; a 2016
// camera answers 489 to it and to the presence retry, which ends it.
TEST_F(LiveSubscriptions, PtzPositionNotifiedOnEachMoveBy2022CamerasOnly) {
    struct Case {
        const char* edition;
        State state;
        const char* reason;
        int refusals; // SUBSCRIBEs the camera answered 489
    } cases[] = {
        {"2022", State::Active, "", 0},
        {"2016", State::Terminated, "489 Bad Event (Event presence, after 489 to PTZPosition)", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edition);
        TearDown();
        SetUp();
        auto cam = Camera({"--gb", c.edition});
        ASSERT_TRUE(core->Subscribe(In(Package::PTZPosition, 600)));
        ASSERT_TRUE(WaitState(Package::PTZPosition, c.state)) << ReadFile(dir.File("cam.out"));
        EXPECT_EQ(Sub(Package::PTZPosition)->reason, c.reason);
        EXPECT_TRUE(CameraSaid("CmdType PTZPosition) answered 489", c.refusals, c.refusals ? 5 : 0.2));
        std::vector<std::string> events;
        MessageLog::RowText r;
        for (std::size_t i = 0; core->Log().Row(i, r); ++i)
            if (r.direction == kLogSent && r.typeText == "PTZ位置订阅") {
                const auto e = r.head.find("Event: ");
                events.push_back(r.head.substr(e + 7, r.head.find("\r\n", e) - e - 7));
            }
        const std::vector<std::string> want =
            c.refusals ? std::vector<std::string>{"PTZPosition", "presence"} : std::vector<std::string>{"PTZPosition"};
        EXPECT_EQ(events, want);
        if (c.refusals) {
            EXPECT_TRUE(core->PtzPositions(kCameraId).empty());
            continue;
        }
        // Where it stands at the start, then where the command row moved it.
        ASSERT_TRUE(Eventually([&] { return !core->PtzPositions(kCameraId).empty(); }, 5));
        EXPECT_DOUBLE_EQ(core->PtzPositions(kCameraId)[0].zoom, 1.0);
        OperatorInputs move;
        move.rowValues = {{"Pan", "120.50"}, {"Tilt", "-15"}, {"Zoom", "4"}};
        core->ClickCommand(kListSignalling, 43, move); // PTZ精准控制
        ASSERT_TRUE(Eventually([&] { return core->PtzPositions(kCameraId).size() >= 2; }, 5))
            << ReadFile(dir.File("cam.out"));
        const auto track = core->PtzPositions(kCameraId);
        EXPECT_EQ(track.size(), 2u); // one NOTIFY a change, none while it stands
        EXPECT_DOUBLE_EQ(track.back().pan, 120.5);
        EXPECT_DOUBLE_EQ(track.back().tilt, -15);
        EXPECT_DOUBLE_EQ(track.back().zoom, 4);
        // Counted once its row is logged and applied, a moment later.
        EXPECT_TRUE(Eventually([&] { return Sub(Package::PTZPosition)->notifies == 2; }, 2)) << Sub(Package::PTZPosition)->notifies;
        EXPECT_TRUE(CameraSaid("NOTIFY PTZPosition answered 200", 2, 5));
        ASSERT_TRUE(core->Unsubscribe(Package::PTZPosition));
        EXPECT_TRUE(WaitState(Package::PTZPosition, State::Terminated));
        EXPECT_EQ(Sub(Package::PTZPosition)->reason, "unsubscribed");
    }
}

// SIPp plays a device that knows PTZPosition only as "presence": our
// SUBSCRIBE named after the CmdType gets 489, the retry with Event presence
// 200; its two PTZ positions in the dialog are taken, its NOTIFY in a dialog
// of none of ours gets 481 and is not; Expires 0 ends it.
TEST_F(LiveSubscriptions, SippDeviceTakesPtzPositionOnlyAsPresence) {
    DeviceScript script;
    script.deviceId = "34010000001320000001";
    script.holdMs = 5000;
    WriteFile(dir.File("dev.xml"), MainScenario(script));
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("dev.xml"), "-oocsf",
                            std::string(TARVEX_SOURCE_DIR) + "/tests/system/subscriptions/scenarios/device_subscription_uas.xml",
                            "-set", "flow", "notify", "-i", "127.0.0.1", "-p", std::to_string(FreePort(SOCK_DGRAM)), "-m",
                            "1", "-t", "u1", "-nostdin", "-timeout", "30s", "-trace_err", "-error_file",
                            dir.File("sipp.err")},
                           dir.File("sipp.out")));
    ASSERT_TRUE(Eventually([&] { return core->Registered(); }, 15));
    ASSERT_TRUE(core->Subscribe(In(Package::PTZPosition, 600)));
    ASSERT_TRUE(WaitState(Package::PTZPosition, State::Active, 10)) << ReadFile(dir.File("sipp.err"));
    EXPECT_TRUE(Sub(Package::PTZPosition)->fellBack);
    EXPECT_EQ(Sub(Package::PTZPosition)->event, "presence");
    const std::string dev = "34010000001320000001";
    ASSERT_TRUE(Eventually([&] { return core->PtzPositions(dev).size() >= 2; }, 10));
    // The refused one (its 481 is logged) never joins them.
    ASSERT_TRUE(Eventually(
        [&] {
            MessageLog::RowText r;
            for (std::size_t i = 0; core->Log().Row(i, r); ++i)
                if (r.direction == kLogSent && r.head.rfind("SIP/2.0 481", 0) == 0) return true;
            return false;
        },
        5));
    const auto track = core->PtzPositions(dev);
    ASSERT_EQ(track.size(), 2u);
    EXPECT_DOUBLE_EQ(track[0].pan, 45.5);
    EXPECT_DOUBLE_EQ(track[0].tilt, 10);
    EXPECT_DOUBLE_EQ(track[0].zoom, 3);
    EXPECT_DOUBLE_EQ(track[1].pan, 200);
    EXPECT_DOUBLE_EQ(track[1].tilt, -20);
    EXPECT_DOUBLE_EQ(track[1].zoom, 8);
    ASSERT_TRUE(core->Unsubscribe(Package::PTZPosition));
    EXPECT_TRUE(WaitState(Package::PTZPosition, State::Terminated, 10));
    EXPECT_EQ(Sub(Package::PTZPosition)->reason, "unsubscribed");
    // SIPp ends 0 only when every answer it expects came: 200, 200, 481 and the end's.
    EXPECT_EQ(sipp.Wait(30000), 0) << ReadFile(dir.File("sipp.out")) << ReadFile(dir.File("sipp.err"));
}

TEST_F(LiveSubscriptions, SippDeviceServesItsOwnWay) {
    // SIPp registers the device and, 3 s on, sends an alarm in a MESSAGE of
    // its own; its out-of-call scenario serves the subscription.
    DeviceScript script;
    script.deviceId = "34010000001320000001";
    script.messages = {{3000,
                        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType>Alarm</CmdType>\r\n"
                        "<SN>9</SN>\r\n<DeviceID>34010000001340000002</DeviceID>\r\n<AlarmPriority>3</AlarmPriority>\r\n"
                        "<AlarmMethod>1</AlarmMethod>\r\n<AlarmDescription>unsolicited</AlarmDescription>\r\n</Notify>\r\n",
                        true, 200},
                       // A position without a subscription: answered 200 (SIPp checks) and taken.
                       {3500,
                        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType>MobilePosition</CmdType>\r\n"
                        "<SN>10</SN>\r\n<DeviceID>34010000001320000001</DeviceID>\r\n<Time>2026-12-09T01:00:00</Time>\r\n"
                        "<Longitude>121.47</Longitude>\r\n<Latitude>31.23</Latitude>\r\n</Notify>\r\n",
                        true, 200}};
    script.holdMs = 6000;
    WriteFile(dir.File("dev.xml"), MainScenario(script));
    const int sippPort = FreePort(SOCK_DGRAM);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("dev.xml"), "-oocsf",
                            std::string(TARVEX_SOURCE_DIR) + "/tests/system/subscriptions/scenarios/device_subscription_uas.xml",
                            "-set", "flow", "own-way", "-i", "127.0.0.1", "-p", std::to_string(sippPort), "-m", "1", "-t", "u1", "-nostdin",
                            "-timeout", "40s", "-trace_err", "-error_file", dir.File("sipp.err")},
                           dir.File("sipp.out")));
    ASSERT_TRUE(Eventually([&] { return core->Registered(); }, 15));
    ASSERT_TRUE(core->Subscribe(In(Package::Alarm, 3600)));
    ASSERT_TRUE(WaitState(Package::Alarm, State::Terminated, 20));
    const auto s = Sub(Package::Alarm);
    EXPECT_EQ(s->reason, "ended by the device (noresource)");
    EXPECT_EQ(s->granted, 60); // less than asked: the device's answer counts
    EXPECT_TRUE(Eventually([&] { return core->EventsTaken().first >= 2; }, 10));
    const auto alarms = core->Alarms();
    ASSERT_EQ(alarms.size(), 2u); // the NOTIFY's and the MESSAGE's; not the one out of order
    EXPECT_EQ(alarms[0].description, "door");
    EXPECT_EQ(alarms[0].type, "1");
    EXPECT_EQ(alarms[0].channel, "34010000001340000001");
    EXPECT_EQ(alarms[1].description, "unsolicited");
    ASSERT_TRUE(Eventually([&] { return core->EventsTaken().second >= 1; }, 10));
    ASSERT_EQ(core->Positions("34010000001320000001").size(), 1u);
    EXPECT_DOUBLE_EQ(core->Positions("34010000001320000001")[0].longitude, 121.47);
    // SIPp ends 0 only when every answer it expects came: 200, 500, 200, 481.
    EXPECT_EQ(sipp.Wait(40000), 0) << ReadFile(dir.File("sipp.out")) << ReadFile(dir.File("sipp.err"));
    // Our SUBSCRIBE as logged: its type, Event, Expires and the alarm Query.
    MessageLog::RowText r;
    bool seen = false;
    for (std::size_t i = 0; core->Log().Row(i, r); ++i)
        if (r.direction == kLogSent && r.typeText == "报警订阅") {
            seen = true;
            EXPECT_NE(r.head.find("Event: presence"), std::string::npos) << r.head;
            EXPECT_NE(r.head.find("Expires: 3600"), std::string::npos) << r.head;
            EXPECT_NE(r.body.find("<StartAlarmPriority>1</StartAlarmPriority>"), std::string::npos) << r.body;
        }
    EXPECT_TRUE(seen);
}

} // namespace
