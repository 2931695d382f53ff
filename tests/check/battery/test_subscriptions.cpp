// The subscription checks against exchanges that pass and the device faults
// they exist to catch: refusals, silence, NOTIFYs outside the dialog,
// positions at the wrong pace, notifications after the end.
#include "CheckKit.h"

#include <functional>

using namespace checkkit;

namespace {

const std::string kTo = "<sip:" + kDevice + "@127.0.0.1:5060>";
const std::string kFrom = "<sip:" + kPlatform + "@127.0.0.1:5080>";

// One subscription as Tarvex and a device play it on the wire.
class Sub {
public:
    Sub(Wire& w, const std::string& package, std::string callId, const std::string& event)
        : w_(w), package_(package), callId_(std::move(callId)), event_(event) {}

    // Tarvex's SUBSCRIBE (in the dialog with Expires 0 when ending); its index.
    int Subscribe(int expires = 3600, int interval = 1) {
        const std::string body =
            "<?xml version=\"1.0\"?>\r\n<Query>\r\n<CmdType>" + package_ +
            "</CmdType>\r\n<SN>3</SN>\r\n<DeviceID>" + kDevice + "</DeviceID>\r\n" +
            (package_ == "MobilePosition" ? "<Interval>" + std::to_string(interval) + "</Interval>\r\n"
                                          : "") +
            "</Query>\r\n";
        const bool inDialog = expires == 0;
        const std::string head =
            "SUBSCRIBE sip:" + kDevice + "@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP "
            "127.0.0.1:5080;branch=z9hG4bK" + std::to_string(w_.now) + "\r\nFrom: " + kFrom +
            ";tag=ours\r\nTo: " + kTo + (inDialog ? ";tag=99" : "") + "\r\nCall-ID: " + callId_ +
            "\r\nCSeq: " + std::to_string(++cseq_) + " SUBSCRIBE\r\nEvent: " + event_ +
            "\r\nExpires: " + std::to_string(expires) +
            "\r\nContent-Type: Application/MANSCDP+xml\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n";
        const int i = w_.Add(Direction::Sent, head, body);
        w_.After(10);
        return i;
    }
    // The device's answer (Reply gives its To the tag 99).
    Sub& Answer(int request, int status = 200) {
        w_.Reply(request, status, status < 300 ? "Expires: 3600\r\n" : "");
        w_.After(5);
        return *this;
    }
    // A NOTIFY of the device with Tarvex's answer; callId and tag other than
    // the dialog's make one outside it.
    Sub& Notify(const std::string& body, const std::string& state = "active",
                int ourAnswer = 200, std::string callId = {}, const std::string& tag = "99") {
        if (callId.empty()) callId = callId_;
        const std::string head =
            "NOTIFY sip:" + kPlatform + "@127.0.0.1:5080 SIP/2.0\r\nVia: SIP/2.0/UDP "
            "127.0.0.1:5060;branch=z9hG4bKn" + std::to_string(w_.now) + "\r\nFrom: " + kTo +
            ";tag=" + tag + "\r\nTo: " + kFrom + ";tag=ours\r\nCall-ID: " + callId +
            "\r\nCSeq: " + std::to_string(++notifies_) + " NOTIFY\r\nEvent: " + event_ +
            "\r\nSubscription-State: " + state + "\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n";
        const int n = w_.Add(Direction::Received, head, body);
        w_.After(1);
        w_.Reply(n, ourAnswer);
        return *this;
    }
    // The usual opening: accepted, the first NOTIFY without a body.
    Sub& Open(int interval = 1) {
        Answer(Subscribe(3600, interval));
        return Notify("", "active;expires=3600");
    }
    Sub& End(bool final = true) {
        Answer(Subscribe(0));
        if (final) Notify("", "terminated;reason=timeout");
        return *this;
    }

private:
    Wire& w_;
    std::string package_, callId_, event_;
    int cseq_ = 0, notifies_ = 0;
};

struct Row {
    Case c;
    std::function<void(Wire&)> exchange;
};

void RunRows(const char* id, std::initializer_list<Row> rows) {
    for (const Row& row : rows) {
        Wire w;
        w.Register();
        row.exchange(w);
        ExpectVerdict(Judge(id, w.obs), row.c);
    }
}

const std::string kOff = EventNotify(
    "Catalog", kDevice,
    "<SumNum>1</SumNum>\r\n<DeviceList Num=\"1\">\r\n<Item>\r\n<DeviceID>" + kChannel +
        "</DeviceID>\r\n<Event>OFF</Event>\r\n</Item>\r\n</DeviceList>\r\n");

std::string Position(int step) {
    return EventNotify("MobilePosition", kDevice,
                       "<Time>2024-05-20T10:31:0" + std::to_string(step) +
                           "</Time>\r\n<Longitude>116.39" + std::to_string(step) +
                           "</Longitude>\r\n<Latitude>39.909</Latitude>\r\n");
}

TEST(SubscribeCatalog, AcceptedAndNotifiedWithinItsDialog) {
    RunRows(
        "subscribe.catalog",
        {{{"a change notified", Verdict::Pass,
           "accepted (200 OK, 3600 s granted); 1 Catalog NOTIFY in the dialog"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Open();
              w.After(2000);
              s.Notify(kOff).End();
          }},
         {{"no change", Verdict::NotRun, "; the catalog did not change within the 2.0"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Open();
              w.After(2000);
              s.End();
          }},
         {{"489 Bad Event", Verdict::Fail, "the catalog SUBSCRIBE was answered 489"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Answer(s.Subscribe(), 489);
          }},
         {{"unanswered", Verdict::Fail, "got no answer"},
          [](Wire& w) { Sub(w, "Catalog", "c1", "Catalog;id=3").Subscribe(); }},
         // notify-outside-dialog: a Call-ID of its own (Tarvex answers 481).
         {{"outside the dialog", Verdict::Fail,
           "outside the subscription's dialog (Call-ID other, the dialog's is c1), answered 481"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Answer(s.Subscribe());
              s.Notify(kOff, "active", 481, "other", "x1");
          }},
         {{"another From tag", Verdict::Fail, "From tag \"x1\", the 2xx gave \"99\""},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Answer(s.Subscribe());
              s.Notify(kOff, "active", 481, "c1", "x1");
          }},
         {{"refused in the dialog", Verdict::Fail, "in the dialog, answered 500"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Open();
              s.Notify(kOff, "active", 500);
          }},
         {{"never subscribed", Verdict::NotRun, "Tarvex sent no catalog SUBSCRIBE"}, [](Wire&) {}}});
}

TEST(SubscribeAlarm, AnAlarmNotifiedOrNotRun) {
    RunRows("subscribe.alarm",
            {{{"an alarm", Verdict::Pass, "1 Alarm NOTIFY in the dialog"},
              [](Wire& w) {
                  Sub s(w, "Alarm", "a1", "presence");
                  s.Open();
                  w.After(900);
                  s.Notify(AlarmNotify(kChannel)).End();
              }},
             {{"no alarm came", Verdict::NotRun, "the device gave no alarm within the 5.0 s"},
              [](Wire& w) {
                  Sub s(w, "Alarm", "a1", "presence");
                  s.Open();
                  w.After(5000);
                  s.End();
              }},
             // An alarm subscription refused is a fail, not a feature declined.
             {{"489", Verdict::Fail, "the alarm SUBSCRIBE was answered 489"},
              [](Wire& w) {
                  Sub s(w, "Alarm", "a1", "presence");
                  s.Answer(s.Subscribe(), 489);
              }},
             // The alarm body names its package though the Event says presence.
             {{"alarm outside the dialog", Verdict::Fail, "outside the subscription's dialog"},
              [](Wire& w) {
                  Sub s(w, "Alarm", "a1", "presence");
                  s.Answer(s.Subscribe());
                  s.Notify(AlarmNotify(kChannel), "active", 481, "elsewhere", "t");
              }}});
}

TEST(SubscribePosition, PositionsAtTheIntervalAsked) {
    const auto every = [](std::int64_t gapMs, int count, int interval = 1) {
        return [=](Wire& w) {
            Sub s(w, "MobilePosition", "p1", "presence");
            s.Open(interval);
            for (int i = 0; i < count; ++i) {
                w.After(gapMs);
                s.Notify(Position(i));
            }
            w.After(gapMs);
            s.End();
        };
    };
    RunRows(
        "subscribe.position",
        {{{"every second", Verdict::Pass, "6 positions notified in the dialog within 7.0"
                                          " s, every 1.0 s (median), asked every 1.0 s"},
          every(1000, 6)},
         {{"a little late", Verdict::Pass, "every 1.4 s (median)"}, every(1400, 6)},
         {{"its own pace", Verdict::Fail, "every 5.0 s (median), asked every 1.0 s"},
          every(5000, 4)},
         {{"too fast", Verdict::Fail, "every 0.2 s (median), asked every 1.0 s"}, every(200, 8)},
         {{"one only", Verdict::Fail, "but 1 position notified in 10.0 s, asked every 1.0 s"},
          every(5000, 1)},
         {{"watched too short", Verdict::NotRun, "less than two intervals (asked every 5.0 s)"},
          every(1000, 1, 5)},
         // 2.3 s watched at 1 s: two positions were due.
         {{"one in time for two", Verdict::Fail, "but 1 position notified in 2.3 s"},
          every(1140, 1)},
         // A fixed camera has no positions to give.
         {{"489", Verdict::NotSupported, "answered 489"}, [](Wire& w) {
              Sub s(w, "MobilePosition", "p1", "presence");
              s.Answer(s.Subscribe(), 489);
          }}});
}

TEST(SubscribeEnd, AnsweredAndNothingAfter) {
    RunRows(
        "subscribe.end",
        {{{"final NOTIFY", Verdict::Pass,
           "2 unsubscribes (Expires 0) answered 2xx, 2 of them followed by a terminated NOTIFY"},
          [](Wire& w) {
              Sub a(w, "Catalog", "c1", "Catalog;id=3"), b(w, "Alarm", "a1", "presence");
              a.Open();
              b.Open();
              a.End();
              b.End();
          }},
         {{"no final NOTIFY", Verdict::Pass, "1 unsubscribe (Expires 0) answered 2xx, 0 of them"},
          [](Wire& w) { Sub(w, "Catalog", "c1", "Catalog;id=3").Open().End(false); }},
         // stale-notify: notifications go on in the ended dialog.
         {{"stale", Verdict::Fail,
           "notified again in the ended dialog at 2024-05-20T"},
          [](Wire& w) {
              Sub s(w, "MobilePosition", "p1", "presence");
              s.Open().End(false);
              w.After(1000);
              s.Notify(Position(1), "active", 481);
          }},
         {{"refused", Verdict::Fail, "was answered 481"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Open();
              s.Answer(s.Subscribe(0), 481);
          }},
         {{"unanswered", Verdict::Fail, "unsubscribe (Expires 0) at 2024-05-20T"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Open();
              s.Subscribe(0);
          }},
         {{"nothing accepted", Verdict::NotRun, "no accepted subscription was ended by Tarvex"},
          [](Wire& w) {
              Sub s(w, "Catalog", "c1", "Catalog;id=3");
              s.Answer(s.Subscribe(), 489);
          }}});
}

} // namespace
