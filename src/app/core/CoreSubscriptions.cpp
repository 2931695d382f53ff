// The core's subscriptions: SUBSCRIBE to the selected channel or device, the
// answers and NOTIFYs that move each one's state, refreshes on the timer
// thread, Expires 0 at exit; the Alarm and MobilePosition bodies that devices
// send (in a NOTIFY or a MESSAGE) go into the event book, and so do the
// PTZPosition Notifys of 2022 devices. A PTZPosition SUBSCRIBE answered 489
// goes out once more with Event presence (SubscriptionBook::TakeRetries).
#include "app/core/CTarvexCore.h"

#include "base/TimeText.h"
#include "manscdp/gb2022/Gb2022Bodies.h"
#include "platform/subscriptions/EventCsv.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kRowAlarmSubscribe = 39;   // 报警描述
constexpr int kRowCatalogSubscribe = 40; // 分类描述

const char* SubscriptionTypeText(tvsub::Package p, int expires, bool refresh) {
    using tvsub::Package;
    if (p == Package::PTZPosition)
        return expires == 0 ? "PTZ位置取消订阅" : refresh ? "PTZ位置订阅刷新" : "PTZ位置订阅";
    if (expires == 0)
        return p == Package::Catalog ? "目录取消订阅" : p == Package::Alarm ? "报警取消订阅" : "移动位置取消订阅";
    if (refresh)
        return p == Package::Catalog ? "目录订阅刷新" : p == Package::Alarm ? "报警订阅刷新" : "移动位置订阅刷新";
    return p == Package::Catalog ? "目录订阅" : p == Package::Alarm ? "报警订阅" : "移动位置订阅";
}

std::string RowValue(const OperatorInputs& in, const char* key) {
    for (const auto& [k, v] : in.rowValues)
        if (k == key) return v;
    return {};
}

} // namespace

bool CTarvexCore::ClickSubscriptionRow(int list, int row, const OperatorInputs& in) {
    if (list != kListSignalling || (row != kRowAlarmSubscribe && row != kRowCatalogSubscribe)) return false;
    // In custom mode the row builds its body for editing, as every row does.
    if (in.customMode) return false;
    SubscribeInputs s;
    s.package = row == kRowAlarmSubscribe ? tvsub::Package::Alarm : tvsub::Package::Catalog;
    const std::string expires = RowValue(in, "Expires");
    if (!expires.empty()) s.expires = std::atoi(expires.c_str());
    if (s.expires < 0) s.expires = 3600;
    Subscribe(s);
    return true;
}

void CTarvexCore::SetEventNames(const tvsub::EventNames& names) {
    std::lock_guard<std::mutex> lk(mutex_);
    eventNames_ = names;
}

bool CTarvexCore::Subscribe(const SubscribeInputs& in) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    Outgoing out;
    SipRequest req;
    int key = 0;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const Target t = TargetLocked(out);
        if (t.device) {
            tvsub::Request r;
            r.deviceId = t.device->node->id;
            r.targetId = t.channel.empty() ? r.deviceId : t.channel;
            r.package = in.package;
            r.expires = in.expires;
            r.alarm = in.alarm;
            if (in.package == tvsub::Package::Alarm && r.alarm.startTime.empty()) {
                // Without a range of its own: today, as devices expect one.
                const std::string day = LocalTimeText(Now(wallClock_)).substr(0, 10);
                r.alarm.startTime = day + "T00:00:00";
                r.alarm.endTime = day + "T23:59:59";
            }
            r.interval = in.interval;
            const int sn = subscriptionSn_++;
            tvsub::Subscription* s = subs_.Open(r, sn, Now(clock_));
            if (!s) {
                out.messages.push_back("提示\r\n订阅已满");
            } else {
                key = s->key;
                req.kind = kKindSubscribe;
                req.to = t.device->Address();
                req.event = tvsub::EventHeader(r.package, sn, eventNames_);
                s->event = req.event;
                req.expires = r.expires;
                req.body = tvsub::QueryBody(r, sn);
                typeText_ = SubscriptionTypeText(r.package, r.expires, false);
            }
        }
        eventsVersion_++;
    }
    if (key) {
        const SendResult res = sip_->Send(req);
        std::lock_guard<std::mutex> lk(mutex_);
        subs_.Sent(key, res.sent ? res.subscriptionId : 0, Now(clock_));
        eventsVersion_++;
    }
    Deliver(out);
    return key != 0;
}

void CTarvexCore::SendSubscriptionRequest(const tvsub::Subscription& s, int expires,
                                          const char* typeText) {
    // commandMutex_ held, mutex_ not.
    SipRequest req;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const DeviceRecord* d = registry_.Find(s.request.deviceId);
        if (!d) return;
        req.kind = kKindSubscribe;
        req.to = d->Address();
        req.subscriptionId = s.sid;
        req.expires = expires;
        req.body = tvsub::QueryBody(s.request, subscriptionSn_++);
        typeText_ = typeText;
    }
    const SendResult r = sip_->Send(req);
    if (!r.sent) {
        std::lock_guard<std::mutex> lk(mutex_);
        // Not sent (no dialog): it ends here, as an unanswered one would.
        subs_.Answered(s.sid, 0, -1, {}, Now(clock_));
        if (tvsub::Subscription* x = subs_.BySid(s.sid)) x->reason = "not sent";
        eventsVersion_++;
    }
}

bool CTarvexCore::Unsubscribe(tvsub::Package package) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    Outgoing out;
    std::optional<tvsub::Subscription> s;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const Target t = TargetLocked(out);
        if (t.device) {
            const std::string target = t.channel.empty() ? std::string(t.device->node->id) : t.channel;
            if (tvsub::Subscription* x = subs_.BeginEnd(target, package)) s = *x;
            else out.messages.push_back("提示\r\n没有可取消的订阅");
            eventsVersion_++;
        }
    }
    if (s) SendSubscriptionRequest(*s, 0, SubscriptionTypeText(package, 0, false));
    Deliver(out);
    return s.has_value();
}

void CTarvexCore::RetryPtzSubscriptions() {
    // commandMutex_ held, mutex_ not.
    for (;;) {
        SipRequest req;
        int key = 0;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            const std::vector<int> keys = subs_.TakeRetries();
            if (keys.empty()) return;
            tvsub::Subscription* s = subs_.ByKey(keys.front());
            const DeviceRecord* d = s ? registry_.Find(s->request.deviceId) : nullptr;
            if (!d) {
                if (s) subs_.Terminate(s->key, "device unregistered");
                eventsVersion_++;
                continue;
            }
            key = s->key;
            s->sn = subscriptionSn_++;
            s->event = tvsub::kPtzFallbackEvent;
            req.kind = kKindSubscribe;
            req.to = d->Address();
            req.event = s->event;
            req.expires = s->request.expires;
            req.body = tvsub::QueryBody(s->request, s->sn);
            typeText_ = SubscriptionTypeText(s->request.package, s->request.expires, false);
            eventsVersion_++;
        }
        const SendResult res = sip_->Send(req);
        std::lock_guard<std::mutex> lk(mutex_);
        subs_.Sent(key, res.sent ? res.subscriptionId : 0, Now(clock_));
        eventsVersion_++;
    }
}

void CTarvexCore::RefreshSubscriptionsDue() {
    RetryPtzSubscriptions();
    std::vector<tvsub::Subscription> due;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        for (int key : subs_.TakeDue(Now(clock_)))
            if (const tvsub::Subscription* s = subs_.ByKey(key)) due.push_back(*s);
        eventsVersion_++;
    }
    for (const auto& s : due) SendSubscriptionRequest(s, s.request.expires, SubscriptionTypeText(s.request.package, 1, true));
}

void CTarvexCore::EndSubscriptions() {
    std::vector<tvsub::Subscription> open;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        for (const auto& s : subs_.Snapshot())
            if (s.state != tvsub::State::Terminated && s.sid)
                if (tvsub::Subscription* x = subs_.BeginEnd(s.request.targetId, s.request.package))
                    open.push_back(*x);
    }
    for (const auto& s : open) SendSubscriptionRequest(s, 0, SubscriptionTypeText(s.request.package, 0, false));
}

void CTarvexCore::DeviceLeftLocked(const std::string& deviceId) {
    for (int key : subs_.KeysOf(deviceId)) subs_.Terminate(key, "device unregistered");
    eventsVersion_++;
}

void CTarvexCore::OnSubscription(const SubscriptionReport& r) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (r.notify)
            subs_.Notified(r.subscriptionId, r.subscriptionState, Now(clock_));
        else
            subs_.Answered(r.subscriptionId, r.status, r.expires, r.phrase, Now(clock_));
        eventsVersion_++;
    }
    timerCv_.notify_all(); // a refresh may be due at another time now
}

bool CTarvexCore::ApplyEventLocked(const DeviceRecord& sender, const XMLNode& element) {
    const tvsub::Applied a =
        events_.Apply(std::string(sender.node->id), element, LocalTimeText(Now(wallClock_)));
    if (a == tvsub::Applied::None) return false;
    eventsVersion_++;
    return true;
}

bool CTarvexCore::AcknowledgeAlarm(std::uint64_t serial) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    SipRequest req;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const std::optional<tvsub::AlarmRecord> a = events_.Alarm(serial);
        if (!a) return false;
        const DeviceRecord* d = registry_.Find(a->device);
        if (!d) return false;
        // The 报警复位 row's body, for this alarm's source, method and type.
        XMLNode top = XMLNode::CreateTop("Control");
        top.AddTextChild("CmdType", "DeviceControl");
        top.AddIntChild("SN", subscriptionSn_++);
        top.AddTextChild("DeviceID", (a->channel.empty() ? a->device : a->channel).c_str());
        top.AddTextChild("AlarmCmd", "ResetAlarm");
        XMLNode info = top.AddChild("Info");
        info.AddTextChild("AlarmMethod", a->method.empty() ? "2" : a->method.c_str());
        if (!a->type.empty()) info.AddTextChild("AlarmType", a->type.c_str());
        req.kind = kKindControl;
        req.to = d->Address();
        req.body = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" + top.Serialize() + "\r\n";
        typeText_ = "报警复位";
        events_.Acknowledge(serial);
        eventsVersion_++;
    }
    return sip_->Send(req).sent;
}

std::vector<tvsub::Subscription> CTarvexCore::Subscriptions() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return subs_.Snapshot();
}

std::vector<tvsub::AlarmRecord> CTarvexCore::Alarms() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return events_.Alarms();
}

std::vector<std::string> CTarvexCore::PositionChannels() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return events_.Channels();
}

std::vector<tvsub::PositionRecord> CTarvexCore::Positions(const std::string& channel) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return events_.Positions(channel);
}

std::pair<std::uint64_t, std::uint64_t> CTarvexCore::EventsTaken() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return {events_.AlarmsTaken(), events_.PositionsTaken()};
}

bool CTarvexCore::TargetSpeaks2022() {
    std::lock_guard<std::mutex> lk(mutex_);
    Outgoing ignored; // nothing is shown for a question
    const Target t = TargetLocked(ignored);
    return t.device && EditionOfHeader(t.device->gbVersion) == GbEdition::Gb2022;
}

std::vector<std::string> CTarvexCore::PtzChannels() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return events_.PtzChannels();
}

std::vector<tvsub::PtzRecord> CTarvexCore::PtzPositions(const std::string& channel) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return events_.PtzPositions(channel);
}

std::vector<std::pair<int, tvsub::EventMark>> CTarvexCore::TreeEventMarks() const {
    std::lock_guard<std::mutex> lk(mutex_);
    const std::map<std::string, tvsub::EventMark> marks = tvsub::EventMarks(events_);
    std::vector<std::pair<int, tvsub::EventMark>> out;
    if (marks.empty()) return out;
    auto add = [&](const DeviceNode& n) {
        auto m = marks.find(n.id);
        if (m != marks.end() && n.treeItem > 0) out.emplace_back(n.treeItem, m->second);
    };
    for (const auto& r : registry_.Records()) {
        if (!r->registered || !r->node) continue;
        add(*r->node);
        for (const auto& c : r->node->children)
            if (c && c->kind == kNodeChannel) add(*c);
    }
    return out;
}

bool CTarvexCore::SaveEvents(const std::string& dir) const {
    std::vector<tvsub::AlarmRecord> alarms;
    std::map<std::string, std::vector<tvsub::PositionRecord>> tracks;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        alarms = events_.Alarms();
        for (const auto& c : events_.Channels()) tracks[c] = events_.Positions(c);
    }
    std::string error;
    if (tvsub::WriteEventCsv(dir.empty() ? "." : dir, alarms, tracks, error)) return true;
    std::fprintf(stderr, "tarvex: alarms and positions not saved: %s\n", error.c_str());
    return false;
}
