// The subscription model and the event book: states through answers,
// notifications, refreshes and ends; the Query bodies; the bounds.
#include "platform/subscriptions/EventBook.h"
#include "platform/subscriptions/SubscriptionBook.h"

#include <gtest/gtest.h>

using namespace tvsub;
using namespace std::chrono_literals;

namespace {

Request Req(Package p, int expires = 3600, const std::string& target = "34020000001320000001") {
    Request r;
    r.deviceId = "34020000001320000001";
    r.targetId = target;
    r.package = p;
    r.expires = expires;
    return r;
}

const TimePoint t0 = TimePoint{} + 1000s;

} // namespace

TEST(SubscriptionBook, AnswersMoveTheStateAsRfc6665Says) {
    struct Case {
        int status, expires;
        State state;
        const char* reason;
        int granted;
    } cases[] = {
        {200, -1, State::Active, "", 3600},          // no Expires: what we asked
        {200, 60, State::Active, "", 60},            // the device may grant less
        {202, 120, State::Active, "", 120},
        {489, -1, State::Terminated, "489 Bad Event", 0},
        {403, -1, State::Terminated, "403 Bad Event", 0},
        {0, -1, State::Terminated, "no answer", 0},
        {200, 0, State::Terminated, "granted 0 s", 0},
        {180, -1, State::Pending, "", 0},            // provisional: still waiting
    };
    for (const Case& c : cases) {
        SubscriptionBook book;
        Subscription* s = book.Open(Req(Package::Alarm), 7, t0);
        ASSERT_NE(s, nullptr);
        const int key = s->key;
        book.Sent(key, 11, t0);
        book.Answered(11, c.status, c.expires, "Bad Event", t0 + 1s);
        s = book.ByKey(key);
        SCOPED_TRACE(c.status);
        EXPECT_EQ(s->state, c.state);
        EXPECT_EQ(s->reason, c.reason);
        EXPECT_EQ(s->granted, c.granted);
    }
}

TEST(SubscriptionBook, AnAnswerBeforeSentIsHeldUntilItsSid) {
    SubscriptionBook book;
    const int key = book.Open(Req(Package::Catalog), 1, t0)->key;
    book.Answered(5, 200, 90, "OK", t0 + 10ms);
    EXPECT_EQ(book.ByKey(key)->state, State::Pending);
    book.Sent(key, 5, t0 + 20ms);
    EXPECT_EQ(book.ByKey(key)->state, State::Active);
    EXPECT_EQ(book.ByKey(key)->expiresAt, t0 + 10ms + 90s);
}

// The first NOTIFY may overtake the 2xx and the SUBSCRIBE's Sent: it is
// held with the answers and replayed in the order they came.
TEST(SubscriptionBook, NotifiesBeforeSentAreHeldInOrder) {
    struct Case {
        const char* name;
        bool notifyFirst;
        const char* state;
        State after;
        const char* reason;
    } cases[] = {
        {"active NOTIFY, then 200", true, "active;expires=90", State::Active, ""},
        {"200, then active NOTIFY", false, "active", State::Active, ""},
        // A late 200 does not bring back what the device ended.
        {"terminated NOTIFY, then 200", true, "terminated;reason=rejected", State::Terminated,
         "ended by the device (rejected)"},
        {"200, then terminated NOTIFY", false, "terminated;reason=rejected", State::Terminated,
         "ended by the device (rejected)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SubscriptionBook book;
        const int key = book.Open(Req(Package::PTZPosition), 1, t0)->key;
        if (c.notifyFirst) book.Notified(5, c.state, t0 + 5ms);
        book.Answered(5, 200, 90, "OK", t0 + 10ms);
        if (!c.notifyFirst) book.Notified(5, c.state, t0 + 15ms);
        EXPECT_EQ(book.ByKey(key)->notifies, 0);
        book.Sent(key, 5, t0 + 20ms);
        EXPECT_EQ(book.ByKey(key)->notifies, 1);
        EXPECT_EQ(book.ByKey(key)->state, c.after);
        EXPECT_EQ(book.ByKey(key)->reason, c.reason);
    }
}

TEST(SubscriptionBook, RefreshIsDueAtThreeQuartersAndExpiryEndsAnUnansweredOne) {
    SubscriptionBook book;
    const int key = book.Open(Req(Package::MobilePosition, 8), 1, t0)->key;
    book.Sent(key, 3, t0);
    book.Answered(3, 200, 8, "OK", t0);
    ASSERT_TRUE(book.NextDue());
    EXPECT_EQ(*book.NextDue(), t0 + 6s);
    EXPECT_TRUE(book.TakeDue(t0 + 5999ms).empty());
    ASSERT_EQ(book.TakeDue(t0 + 6s), std::vector<int>{key});
    EXPECT_TRUE(book.TakeDue(t0 + 6500ms).empty()); // one refresh on its way at a time
    book.Answered(3, 200, 8, "OK", t0 + 6100ms);
    const Subscription* s = book.ByKey(key);
    EXPECT_EQ(s->refreshes, 1);
    EXPECT_EQ(s->refreshedAt, t0 + 6100ms);
    EXPECT_EQ(s->expiresAt, t0 + 14100ms);
    // The next refresh goes unanswered: at expiry the subscription is over.
    ASSERT_EQ(book.TakeDue(t0 + 12100ms).size(), 1u);
    EXPECT_TRUE(book.TakeDue(t0 + 14100ms).empty());
    EXPECT_EQ(s->state, State::Terminated);
    EXPECT_EQ(s->reason, "expired");
    EXPECT_FALSE(book.NextDue());
}

TEST(SubscriptionBook, RefusedRefreshAndOurEndAndTheDevicesEnd) {
    SubscriptionBook book;
    auto activeOne = [&](Package p, int sid) {
        const int key = book.Open(Req(p), 1, t0)->key;
        book.Sent(key, sid, t0);
        book.Answered(sid, 200, 100, "OK", t0);
        return key;
    };
    const int a = activeOne(Package::Alarm, 1);
    book.TakeDue(t0 + 75s);
    book.Answered(1, 481, -1, "Call/Transaction Does Not Exist", t0 + 76s);
    EXPECT_EQ(book.ByKey(a)->reason, "refresh answered 481 Call/Transaction Does Not Exist");

    const int c = activeOne(Package::Catalog, 2);
    ASSERT_NE(book.BeginEnd("34020000001320000001", Package::Catalog), nullptr);
    EXPECT_EQ(book.BeginEnd("34020000001320000001", Package::Catalog), nullptr); // once
    book.Answered(2, 200, 0, "OK", t0 + 1s);
    EXPECT_EQ(book.ByKey(c)->state, State::Terminated);
    EXPECT_EQ(book.ByKey(c)->reason, "unsubscribed");
    EXPECT_EQ(book.BeginEnd("34020000001320000001", Package::Catalog), nullptr);

    const int m = activeOne(Package::MobilePosition, 3);
    book.Notified(3, "active;expires=90", t0 + 1s);
    EXPECT_EQ(book.ByKey(m)->state, State::Active);
    book.Notified(3, "Terminated;reason=noresource", t0 + 2s);
    EXPECT_EQ(book.ByKey(m)->state, State::Terminated);
    EXPECT_EQ(book.ByKey(m)->reason, "ended by the device (noresource)");
    EXPECT_EQ(book.ByKey(m)->notifies, 2);
    // Subscribing again reuses the record, pending afresh.
    Subscription* again = book.Open(Req(Package::MobilePosition), 9, t0 + 3s);
    EXPECT_EQ(again->key, m);
    EXPECT_EQ(again->state, State::Pending);
    EXPECT_EQ(again->notifies, 0);
}

TEST(SubscriptionBook, BoundedButTerminatedOnesMakeRoom) {
    SubscriptionBook book;
    for (std::size_t i = 0; i < SubscriptionBook::kMaxSubscriptions; ++i)
        ASSERT_NE(book.Open(Req(Package::Alarm, 60, std::to_string(i)), 1, t0), nullptr);
    EXPECT_EQ(book.Open(Req(Package::Alarm, 60, "one more"), 1, t0), nullptr);
    book.Sent(book.Find("7", Package::Alarm)->key, 0, t0); // not sent: terminated
    EXPECT_NE(book.Open(Req(Package::Alarm, 60, "one more"), 1, t0), nullptr);
    EXPECT_EQ(book.Find("7", Package::Alarm), nullptr);
}

TEST(QueryBody, CarriesEachPackagesConditions) {
    Request alarm = Req(Package::Alarm);
    alarm.alarm = {2, 3, 5, "1", "2026-12-09T00:00:00", "2026-12-09T23:59:59"};
    Request position = Req(Package::MobilePosition);
    position.interval = 7;
    struct Case {
        Request r;
        std::vector<std::pair<const char*, const char*>> want;
        std::vector<const char*> absent;
    } cases[] = {
        {Req(Package::Catalog), {{"CmdType", "Catalog"}, {"SN", "42"}, {"DeviceID", "34020000001320000001"}},
         {"Interval", "StartAlarmPriority"}},
        {alarm,
         {{"CmdType", "Alarm"}, {"StartAlarmPriority", "2"}, {"EndAlarmPriority", "3"}, {"AlarmMethod", "5"},
          {"AlarmType", "1"}, {"StartAlarmTime", "2026-12-09T00:00:00"}, {"EndAlarmTime", "2026-12-09T23:59:59"}},
         {"Interval"}},
        {position, {{"CmdType", "MobilePosition"}, {"Interval", "7"}}, {"AlarmMethod"}},
    };
    for (const Case& c : cases) {
        const std::string body = QueryBody(c.r, 42);
        XMLNode doc = XMLNode::Parse(body);
        ASSERT_TRUE(doc.IsDeclaration()) << body;
        XMLNode q = doc.ChildAt(0);
        EXPECT_STREQ(q.Name(), "Query");
        for (const auto& [name, value] : c.want) {
            ASSERT_NE(q.FindText(name), nullptr) << name << "\n" << body;
            EXPECT_STREQ(q.FindText(name), value) << name;
        }
        for (const char* name : c.absent) EXPECT_EQ(q.FindText(name), nullptr) << name;
    }
    EXPECT_EQ(EventHeader(Package::Catalog, 42), "Catalog;id=42");
    EXPECT_EQ(EventHeader(Package::Alarm, 42), "presence");
    EventNames named{"Catalog", "Alarm", "MobilePosition"};
    EXPECT_EQ(EventHeader(Package::MobilePosition, 1, named), "MobilePosition");
}

namespace {
XMLNode Element(const std::string& xml) {
    static std::vector<XMLNode> keep;
    keep.push_back(XMLNode::Parse("<?xml version=\"1.0\"?>\r\n" + xml));
    return keep.back().ChildAt(0);
}
} // namespace

TEST(EventBook, TakesAlarmsAndPositionsAndNothingElse) {
    EventBook book;
    struct Case {
        std::string xml;
        Applied want;
    } cases[] = {
        {"<Notify><CmdType>Alarm</CmdType><SN>1</SN><DeviceID>34020000001340000001</DeviceID>"
         "<AlarmPriority>1</AlarmPriority><AlarmMethod>5</AlarmMethod><AlarmTime>2026-12-09T01:00:00</AlarmTime>"
         "<AlarmDescription>motion</AlarmDescription><Longitude>116.3</Longitude><Latitude>39.9</Latitude>"
         "<Info><AlarmType>2</AlarmType></Info></Notify>",
         Applied::Alarm},
        {"<Notify><CmdType>MobilePosition</CmdType><DeviceID>34020000001320000001</DeviceID>"
         "<Time>2026-12-09T01:00:00</Time><Longitude>116.336</Longitude><Latitude>39.942</Latitude>"
         "<Speed>0.0</Speed></Notify>",
         Applied::Position},
        {"<Notify><CmdType>MobilePosition</CmdType><Longitude>east</Longitude><Latitude>39</Latitude></Notify>",
         Applied::None},
        {"<Notify><CmdType>MobilePosition</CmdType><Longitude>nan</Longitude><Latitude>39</Latitude></Notify>",
         Applied::None},
        {"<Notify><CmdType>Keepalive</CmdType></Notify>", Applied::None},
    };
    for (const Case& c : cases) EXPECT_EQ(book.Apply("34020000001320000001", Element(c.xml), "now"), c.want) << c.xml;
    ASSERT_EQ(book.AlarmCount(), 1u);
    const AlarmRecord a = book.Alarms()[0];
    EXPECT_EQ(a.channel, "34020000001340000001");
    EXPECT_EQ(a.type, "2");
    EXPECT_EQ(a.method, "5");
    EXPECT_EQ(a.description, "motion");
    EXPECT_FALSE(a.acknowledged);
    EXPECT_TRUE(book.Acknowledge(a.serial));
    EXPECT_TRUE(book.Alarm(a.serial)->acknowledged);
    EXPECT_FALSE(book.Acknowledge(a.serial + 100));
    ASSERT_EQ(book.Positions("34020000001320000001").size(), 1u);
    EXPECT_DOUBLE_EQ(book.Positions("34020000001320000001")[0].latitude, 39.942);
}

TEST(EventBook, BoundsKeepTheNewest) {
    EventBook book;
    const std::size_t n = EventBook::kMaxAlarms + 25;
    for (std::size_t i = 0; i < n; ++i)
        book.Apply("d", Element("<Notify><CmdType>Alarm</CmdType><SN>" + std::to_string(i) + "</SN></Notify>"), "");
    EXPECT_EQ(book.AlarmCount(), EventBook::kMaxAlarms);
    EXPECT_EQ(book.AlarmsTaken(), n);
    EXPECT_EQ(book.Alarms().front().serial, 26u);
    for (std::size_t i = 0; i < EventBook::kMaxPositions + 3; ++i)
        book.Apply("d", Element("<Notify><CmdType>MobilePosition</CmdType><DeviceID>c</DeviceID><Longitude>" +
                                std::to_string(i) + "</Longitude><Latitude>1</Latitude></Notify>"), "");
    const auto track = book.Positions("c");
    ASSERT_EQ(track.size(), EventBook::kMaxPositions);
    EXPECT_DOUBLE_EQ(track.front().longitude, 3.0);
    // Channels beyond the bound: the one heard from longest ago goes.
    for (std::size_t i = 0; i < EventBook::kMaxChannels; ++i)
        book.Apply("d", Element("<Notify><CmdType>MobilePosition</CmdType><DeviceID>x" + std::to_string(i) +
                                "</DeviceID><Longitude>1</Longitude><Latitude>1</Latitude></Notify>"), "");
    EXPECT_EQ(book.Channels().size(), EventBook::kMaxChannels);
    EXPECT_TRUE(book.Positions("c").empty());
    EXPECT_EQ(book.Positions("x0").size(), 1u);
}
