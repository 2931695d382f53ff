// The core's subscriptions with a recording endpoint and a clock stepped by
// hand: what goes out for a subscribe, a refresh, an unsubscribe and at exit,
// how answers move the state, and a notification storm on another thread
// while the view keeps reading.

#include "app/core/CoreRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using tvsub::Package;
using tvsub::State;

constexpr const char* kDev = "34020000001320000001";
constexpr const char* kChannel = "34020000001310000002";

class CoreSubscriptions : public ::testing::Test {
protected:
    void SetUp() override {
        Log(kLogReceived, "REGISTER sip:x SIP/2.0\r\n\r\n\n", "No Body!\n", LoggedMessage::Role::Register);
        Log(kLogSent, "SIP/2.0 200 OK\r\n\r\n\n", "No Body!\n", LoggedMessage::Role::RegisterAnswer);
        rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    }
    void Log(int dir, const std::string& head, const std::string& body,
             LoggedMessage::Role role = LoggedMessage::Role::Plain) {
        LoggedMessage m;
        m.direction = dir;
        m.role = role;
        m.deviceId = role == LoggedMessage::Role::Plain ? "" : kDev;
        m.peerUser = kDev;
        m.sourceHost = "127.0.0.1";
        m.head = head;
        m.body = body;
        rig.core->OnMessageLogged(m);
    }
    std::vector<SipRequest> Subscribes() {
        std::vector<SipRequest> out;
        for (const auto& r : rig.Sent())
            if (r.kind == 7) out.push_back(r);
        return out;
    }
    tvsub::Subscription Only() {
        const auto all = rig.core->Subscriptions();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? tvsub::Subscription{} : all[0];
    }
    void Answer(int sid, int status, int expires) {
        SubscriptionReport r;
        r.subscriptionId = sid;
        r.status = status;
        r.expires = expires;
        rig.core->OnSubscription(r);
    }
    CoreRig rig;
};

TEST_F(CoreSubscriptions, SubscribeRefreshUnsubscribeAndExit) {
    CTarvexCore::SubscribeInputs in;
    in.package = Package::MobilePosition;
    in.expires = 100;
    in.interval = 3;
    ASSERT_TRUE(rig.core->Subscribe(in));
    auto subs = Subscribes();
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].event, "presence");
    EXPECT_EQ(subs[0].expires, 100);
    EXPECT_EQ(subs[0].subscriptionId, 0);
    EXPECT_NE(subs[0].body.find("<Interval>3</Interval>"), std::string::npos);
    EXPECT_NE(subs[0].body.find(std::string("<DeviceID>") + kDev), std::string::npos);
    const int sid = Only().sid;
    ASSERT_GT(sid, 0);
    EXPECT_EQ(Only().state, State::Pending);
    Answer(sid, 200, 80); // granted less than asked
    EXPECT_EQ(Only().state, State::Active);
    rig.Advance(59999);
    EXPECT_EQ(Subscribes().size(), 1u);
    rig.Advance(1);
    subs = Subscribes();
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(subs[1].subscriptionId, sid); // within the dialog
    EXPECT_EQ(subs[1].expires, 100);        // asking again what the operator asked
    Answer(sid, 200, 80);
    EXPECT_EQ(Only().refreshes, 1);
    ASSERT_TRUE(rig.core->Unsubscribe(Package::MobilePosition));
    subs = Subscribes();
    ASSERT_EQ(subs.size(), 3u);
    EXPECT_EQ(subs[2].expires, 0);
    EXPECT_EQ(subs[2].subscriptionId, sid);
    EXPECT_FALSE(rig.core->Unsubscribe(Package::MobilePosition)); // on its way already
    Answer(sid, 200, 0);
    EXPECT_EQ(Only().state, State::Terminated);
    EXPECT_EQ(Only().reason, "unsubscribed");

    // A second one, still active at exit, gets its Expires 0 then.
    in.package = Package::Catalog;
    ASSERT_TRUE(rig.core->Subscribe(in));
    subs = Subscribes();
    ASSERT_EQ(subs.size(), 4u);
    EXPECT_EQ(subs[3].event.rfind("Catalog;id=", 0), 0u) << subs[3].event;
    const int sid2 = rig.core->Subscriptions()[1].sid;
    Answer(sid2, 200, 3600);
    rig.core->Stop();
    subs = Subscribes();
    ASSERT_EQ(subs.size(), 5u);
    EXPECT_EQ(subs[4].subscriptionId, sid2);
    EXPECT_EQ(subs[4].expires, 0);
}

TEST_F(CoreSubscriptions, ADeviceThatLeavesHasNoSubscriptionsLeft) {
    CTarvexCore::SubscribeInputs in;
    in.package = Package::Alarm;
    ASSERT_TRUE(rig.core->Subscribe(in));
    Answer(Only().sid, 200, 3600);
    ASSERT_EQ(Only().state, State::Active);
    rig.core->OnDeviceUnregistered(kDev);
    EXPECT_EQ(Only().state, State::Terminated);
    EXPECT_EQ(Only().reason, "device unregistered");
    rig.Advance(3000 * 1000); // past its refresh time: none goes out
    EXPECT_EQ(Subscribes().size(), 1u);
}

TEST_F(CoreSubscriptions, RowsFollowTheSelectedChannelAndCustomModeBuildsAsBefore) {
    // The channel's catalog, then the channel selected: rows 39 and 40 subscribe for it.
    Log(kLogReceived, "MESSAGE sip:p SIP/2.0\r\n\r\n\n",
        std::string("<?xml version=\"1.0\"?>\r\n<Response><CmdType>Catalog</CmdType><SN>10</SN><DeviceID>") + kDev +
            "</DeviceID><SumNum>1</SumNum><DeviceList Num=\"1\"><Item><DeviceID>" + kChannel +
            "</DeviceID><Name>c</Name></Item></DeviceList></Response>\r\n");
    int channelItem = -1;
    for (const auto& d : rig.core->TreeSnapshot().children)
        for (const auto& c : d.children) channelItem = c.item;
    ASSERT_GE(channelItem, 0);
    rig.core->TreeClicked(channelItem);
    OperatorInputs in;
    in.rowValues = {{"Expires", "120"}};
    rig.core->ClickCommand(kListSignalling, 39, in);
    rig.core->ClickCommand(kListSignalling, 40, in);
    auto subs = Subscribes();
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(subs[0].expires, 120);
    EXPECT_NE(subs[0].body.find("<CmdType>Alarm</CmdType>"), std::string::npos);
    EXPECT_NE(subs[0].body.find(std::string("<DeviceID>") + kChannel), std::string::npos);
    EXPECT_EQ(subs[0].to.id, kDev); // the SUBSCRIBE goes to the device
    EXPECT_NE(subs[1].body.find("<CmdType>Catalog</CmdType>"), std::string::npos);
    for (const auto& s : rig.core->Subscriptions()) EXPECT_EQ(s.request.targetId, kChannel);
    in.customMode = true;
    rig.core->ClickCommand(kListSignalling, 39, in); // built and held, as every row in custom mode
    EXPECT_EQ(Subscribes().size(), 2u);
}

TEST_F(CoreSubscriptions, AStormOfNotificationsKeepsItsBoundsAndTheViewReading) {
    constexpr int kStorm = 3000;
    std::atomic<bool> done{false};
    std::thread sip([&] {
        for (int i = 0; i < kStorm; ++i) {
            const bool alarm = i % 2 == 0;
            const std::string body =
                std::string("<?xml version=\"1.0\"?>\r\n<Notify><CmdType>") + (alarm ? "Alarm" : "MobilePosition") +
                "</CmdType><SN>" + std::to_string(i) + "</SN><DeviceID>" + kDev +
                "</DeviceID><Longitude>116." + std::to_string(i) + "</Longitude><Latitude>39.9</Latitude></Notify>\r\n";
            Log(kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n", body);
        }
        done = true;
    });
    // The view's side: snapshots while the storm goes on.
    std::uint64_t seen = 0;
    int reads = 0;
    while (!done) {
        const std::uint64_t v = rig.core->EventsVersion();
        if (v != seen) {
            seen = v;
            EXPECT_LE(rig.core->Alarms().size(), tvsub::EventBook::kMaxAlarms);
            EXPECT_LE(rig.core->Positions(kDev).size(), tvsub::EventBook::kMaxPositions);
            ++reads;
        }
    }
    sip.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(rig.core->EventsTaken(), (std::pair<std::uint64_t, std::uint64_t>{kStorm / 2, kStorm / 2}));
    EXPECT_EQ(rig.core->Alarms().size(), tvsub::EventBook::kMaxAlarms);
    EXPECT_EQ(rig.core->Positions(kDev).size(), tvsub::EventBook::kMaxPositions);
    EXPECT_EQ(rig.core->Alarms().back().serial, static_cast<std::uint64_t>(kStorm / 2));
}

// PTZPosition (2022 devices only): the Event named after the CmdType, and
// after a 489 Bad Event one more SUBSCRIBE with Event presence; what the
// device answers to each decides the state.
TEST(CorePtzSubscriptions, EventFallbackAfter489AndTheStateItLeaves) {
    struct Case {
        const char* name;
        const char* version;         // the REGISTER's X-GB-Ver, "" without (the window's offer)
        std::vector<int> answers;    // to each SUBSCRIBE in turn
        std::size_t subscribes;      // SUBSCRIBEs that went out
        State state;
        const char* reason;
        const char* event;           // of the subscription at the end
    } cases[] = {
        {"accepted", "3.0", {200}, 1, State::Active, "", "PTZPosition"},
        {"489 then presence", "3.0", {489, 200}, 2, State::Active, "", "presence"},
        {"489 to both", "3.0", {489, 489}, 2, State::Terminated,
         "489 Bad Event (Event presence, after 489 to PTZPosition)", "presence"},
        {"other refusal: no second try", "3.0", {403}, 1, State::Terminated, "403 Forbidden", "PTZPosition"},
        // Not offered by the window, but the device's answer decides when asked.
        {"2016 device", "2.0", {489, 489}, 2, State::Terminated,
         "489 Bad Event (Event presence, after 489 to PTZPosition)", "presence"},
        {"no version", "", {200}, 1, State::Active, "", "PTZPosition"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreRig rig;
        LoggedMessage reg;
        reg.direction = kLogReceived;
        reg.role = LoggedMessage::Role::Register;
        reg.deviceId = reg.peerUser = kDev;
        reg.sourceHost = "127.0.0.1";
        reg.head = std::string("REGISTER sip:x SIP/2.0\r\n") + (*c.version ? "X-GB-Ver: " + std::string(c.version) + "\r\n" : "") + "\r\n\n";
        reg.body = "No Body!\n";
        rig.core->OnMessageLogged(reg);
        rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
        EXPECT_EQ(rig.core->TargetSpeaks2022(), std::string(c.version) == "3.0");
        CTarvexCore::SubscribeInputs in;
        in.package = Package::PTZPosition;
        in.expires = 600;
        EXPECT_TRUE(rig.core->Subscribe(in));
        auto subscribes = [&] {
            std::vector<SipRequest> out;
            for (const auto& r : rig.Sent())
                if (r.kind == 7) out.push_back(r);
            return out;
        };
        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            rig.Advance(0); // a second SUBSCRIBE goes out on the timer's turn
            const auto subs = subscribes();
            ASSERT_EQ(subs.size(), i + 1);
            const auto all = rig.core->Subscriptions();
            ASSERT_EQ(all.size(), 1u);
            SubscriptionReport r;
            r.subscriptionId = all[0].sid;
            r.status = c.answers[i];
            r.phrase = c.answers[i] == 489 ? "Bad Event" : c.answers[i] == 403 ? "Forbidden" : "OK";
            r.expires = c.answers[i] == 200 ? 600 : -1;
            rig.core->OnSubscription(r);
        }
        rig.Advance(0);
        const auto subs = subscribes();
        ASSERT_EQ(subs.size(), c.subscribes);
        EXPECT_EQ(subs[0].event, "PTZPosition");
        for (const auto& r : subs) {
            EXPECT_EQ(r.subscriptionId, 0); // each a new dialog
            EXPECT_EQ(r.expires, 600);
            EXPECT_NE(r.body.find("<CmdType>PTZPosition</CmdType>"), std::string::npos) << r.body;
            EXPECT_NE(r.body.find(std::string("<DeviceID>") + kDev + "</DeviceID>"), std::string::npos);
            EXPECT_EQ(r.body.find("<Interval>"), std::string::npos);
        }
        if (subs.size() > 1) {
            EXPECT_EQ(subs[1].event, "presence");
        }
        const auto s = rig.core->Subscriptions()[0];
        EXPECT_EQ(s.state, c.state);
        EXPECT_EQ(s.reason, c.reason);
        EXPECT_EQ(s.event, c.event);
        EXPECT_EQ(s.fellBack, c.subscribes > 1);
    }
}

// A PTZPosition Notify (in a NOTIFY or a MESSAGE) moves the channel's PTZ
// position; the query's Response and a Notify without its three numbers do not.
TEST(CorePtzSubscriptions, NotifyAppliedToTheChannelsPtzPosition) {
    CoreRig rig;
    auto log = [&](const std::string& head, const std::string& body) {
        LoggedMessage m;
        m.direction = kLogReceived;
        m.role = head.rfind("REGISTER", 0) == 0 ? LoggedMessage::Role::Register : LoggedMessage::Role::Plain;
        m.deviceId = m.role == LoggedMessage::Role::Plain ? "" : kDev;
        m.peerUser = kDev;
        m.sourceHost = "127.0.0.1";
        m.head = head;
        m.body = body;
        rig.core->OnMessageLogged(m);
    };
    log("REGISTER sip:x SIP/2.0\r\nX-GB-Ver: 3.0\r\n\r\n\n", "No Body!\n");
    rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    auto body = [](const char* root, const char* id, const std::string& fields) {
        return std::string("<?xml version=\"1.0\"?>\r\n<") + root + "><CmdType>PTZPosition</CmdType><SN>3</SN><DeviceID>" +
               id + "</DeviceID>" + fields + "</" + root + ">\r\n";
    };
    struct Case {
        const char* name;
        const char* head;
        std::string body;
        std::size_t kept; // PTZ positions of kChannel after it
    } cases[] = {
        {"NOTIFY", "NOTIFY sip:p SIP/2.0\r\n\r\n\n", body("Notify", kChannel, "<Pan>120.50</Pan><Tilt>-15</Tilt><Zoom>4</Zoom>"), 1},
        {"MESSAGE", "MESSAGE sip:p SIP/2.0\r\n\r\n\n", body("Notify", kChannel, "<Pan>90</Pan><Tilt>10</Tilt><Zoom>2.5</Zoom>"), 2},
        {"the query's answer", "MESSAGE sip:p SIP/2.0\r\n\r\n\n", body("Response", kChannel, "<Pan>1</Pan><Tilt>1</Tilt><Zoom>1</Zoom>"), 2},
        {"no zoom", "NOTIFY sip:p SIP/2.0\r\n\r\n\n", body("Notify", kChannel, "<Pan>1</Pan><Tilt>1</Tilt>"), 2},
        {"pan not a number", "NOTIFY sip:p SIP/2.0\r\n\r\n\n", body("Notify", kChannel, "<Pan>left</Pan><Tilt>1</Tilt><Zoom>1</Zoom>"), 2},
        {"another channel", "NOTIFY sip:p SIP/2.0\r\n\r\n\n", body("Notify", kDev, "<Pan>5</Pan><Tilt>6</Tilt><Zoom>7</Zoom>"), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log(c.head, c.body);
        EXPECT_EQ(rig.core->PtzPositions(kChannel).size(), c.kept);
    }
    const auto track = rig.core->PtzPositions(kChannel);
    ASSERT_EQ(track.size(), 2u);
    EXPECT_DOUBLE_EQ(track[0].pan, 120.5);
    EXPECT_DOUBLE_EQ(track[0].tilt, -15);
    EXPECT_DOUBLE_EQ(track[1].zoom, 2.5);
    EXPECT_EQ(rig.core->PtzChannels(), (std::vector<std::string>{kChannel, kDev}));
    // The tooltip's text for the channel; none of it is an alarm or a position.
    bool marked = false;
    for (const auto& [item, mark] : rig.core->TreeEventMarks()) {
        (void)item;
        if (mark.lastPtz.rfind("Pan 5.00, Tilt 6.00, Zoom 7.00 (", 0) == 0) marked = true;
    }
    EXPECT_TRUE(marked);
    EXPECT_EQ(rig.core->EventsTaken(), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
}

} // namespace
