#include "platform/subscriptions/SubscriptionBook.h"

#include "manscdp/xml/XMLNode.h"

#include <algorithm>
#include <cctype>

namespace tvsub {

const char* PackageName(Package p) {
    switch (p) {
    case Package::Catalog: return "Catalog";
    case Package::Alarm: return "Alarm";
    case Package::MobilePosition: return "MobilePosition";
    case Package::PTZPosition: return "PTZPosition";
    }
    return "";
}

std::optional<Package> PackageFromName(std::string_view cmdType) {
    for (Package p : kAllPackages)
        if (cmdType == PackageName(p)) return p;
    return std::nullopt;
}

const char* StateName(State s) {
    switch (s) {
    case State::Pending: return "pending";
    case State::Active: return "active";
    case State::Terminated: return "terminated";
    }
    return "";
}

std::string EventHeader(Package p, int id, const EventNames& names) {
    switch (p) {
    case Package::Catalog: return names.catalog + ";id=" + std::to_string(id);
    case Package::Alarm: return names.alarm;
    case Package::MobilePosition: return names.mobilePosition;
    case Package::PTZPosition: return "PTZPosition";
    }
    return "";
}

std::string QueryBody(const Request& r, int sn) {
    XMLNode top = XMLNode::CreateTop("Query");
    top.AddTextChild("CmdType", PackageName(r.package));
    top.AddIntChild("SN", sn);
    top.AddTextChild("DeviceID", r.targetId.c_str());
    if (r.package == Package::Alarm) {
        top.AddIntChild("StartAlarmPriority", r.alarm.startPriority);
        top.AddIntChild("EndAlarmPriority", r.alarm.endPriority);
        top.AddIntChild("AlarmMethod", r.alarm.method);
        if (!r.alarm.type.empty()) top.AddTextChild("AlarmType", r.alarm.type.c_str());
        if (!r.alarm.startTime.empty()) top.AddTextChild("StartAlarmTime", r.alarm.startTime.c_str());
        if (!r.alarm.endTime.empty()) top.AddTextChild("EndAlarmTime", r.alarm.endTime.c_str());
    } else if (r.package == Package::MobilePosition) {
        top.AddIntChild("Interval", r.interval);
    }
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" + top.Serialize() + "\r\n";
}

Subscription* SubscriptionBook::Open(const Request& r, int sn, TimePoint now) {
    Subscription* s = Find(r.targetId, r.package);
    if (!s) {
        if (subs_.size() >= kMaxSubscriptions) {
            // Room is made from the terminated ones first.
            auto it = std::find_if(subs_.begin(), subs_.end(),
                                   [](const auto& kv) { return kv.second.state == State::Terminated; });
            if (it == subs_.end()) return nullptr;
            subs_.erase(it);
        }
        const int key = nextKey_++;
        s = &subs_[key];
        s->key = key;
    }
    const int key = s->key;
    *s = Subscription{};
    s->key = key;
    s->request = r;
    s->sn = sn;
    s->sentAt = now;
    return s;
}

void SubscriptionBook::Sent(int key, int sid, TimePoint now) {
    Subscription* s = ByKey(key);
    if (!s) return;
    if (sid <= 0) {
        s->state = State::Terminated;
        s->reason = "not sent";
        return;
    }
    s->sid = sid;
    auto e = early_.find(sid);
    if (e != early_.end()) {
        const std::vector<Early> held = std::move(e->second);
        early_.erase(e);
        for (const Early& h : held) {
            if (h.notify) Notified(sid, h.phrase, h.at);
            else Answered(sid, h.status, h.expires, h.phrase, h.at);
        }
    }
    (void)now;
}

void SubscriptionBook::Answered(int sid, int status, int expires, const std::string& phrase,
                                TimePoint now) {
    Subscription* s = BySid(sid);
    if (!s) {
        // The answer overtook Sent; a few are held, never without bound.
        Hold(sid, {false, status, expires, phrase, now});
        return;
    }
    if (status >= 100 && status < 200) return;
    // Ended already (the device's terminated NOTIFY overtook this answer):
    // a late 2xx does not bring it back.
    if (s->state == State::Terminated) return;
    const bool ok = status >= 200 && status < 300;
    if (s->ending) {
        s->ending = false;
        s->state = State::Terminated;
        s->reason = ok ? "unsubscribed" : status ? "unsubscribe answered " + std::to_string(status)
                                                 : "unsubscribe unanswered";
        return;
    }
    if (status == 489 && s->request.package == Package::PTZPosition && !s->fellBack && !s->refreshing) {
        // The device does not know the Event named after the CmdType: asked
        // once more with the other name the published platforms send.
        s->retryDue = true;
        s->sid = 0;
        return;
    }
    if (!ok) {
        s->state = State::Terminated;
        s->reason = status ? std::to_string(status) + (phrase.empty() ? "" : " " + phrase)
                           : std::string("no answer");
        if (s->fellBack) s->reason += std::string(" (Event ") + kPtzFallbackEvent + ", after 489 to PTZPosition)";
        if (s->refreshing) s->reason = "refresh answered " + s->reason;
        s->refreshing = false;
        return;
    }
    // RFC 6665 4.1.2.1: the 2xx's Expires is what counts; without one, what we asked.
    s->granted = expires >= 0 ? expires : s->request.expires;
    s->expiresAt = now + std::chrono::seconds(s->granted);
    if (s->refreshing) {
        s->refreshing = false;
        s->refreshedAt = now;
        ++s->refreshes;
    } else {
        s->activeAt = now;
    }
    s->state = State::Active;
    if (s->granted == 0) {
        s->state = State::Terminated;
        s->reason = "granted 0 s";
    }
}

void SubscriptionBook::Hold(int sid, Early e) {
    if (sid <= 0 || (!early_.count(sid) && early_.size() >= kMaxSubscriptions)) return;
    std::vector<Early>& held = early_[sid];
    if (held.size() < kMaxEarly) held.push_back(std::move(e));
}

void SubscriptionBook::Notified(int sid, const std::string& subscriptionState, TimePoint now) {
    Subscription* s = BySid(sid);
    if (!s) {
        // RFC 6665 4.1.2.4: the first NOTIFY may come before the 2xx, and so
        // before the SUBSCRIBE's Sent; held like an early answer.
        Hold(sid, {true, 0, -1, subscriptionState, now});
        return;
    }
    ++s->notifies;
    s->lastNotify = now;
    if (s->state == State::Terminated) return; // its reason stays
    std::string v;
    for (char c : subscriptionState) v += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t semi = v.find(';');
    std::string value = v.substr(0, semi);
    value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == ' ' || c == '\t'; }),
                value.end());
    if (value == "terminated") {
        s->state = State::Terminated;
        std::string reason;
        const std::size_t r = v.find("reason=");
        if (r != std::string::npos) reason = v.substr(r + 7, v.find(';', r) - r - 7);
        s->reason = "ended by the device" + (reason.empty() ? std::string() : " (" + reason + ")");
        s->ending = s->refreshing = false;
    } else if (value == "active" && s->state == State::Pending) {
        s->state = State::Active;
        s->activeAt = now;
        if (s->expiresAt == TimePoint{}) {
            s->granted = s->request.expires;
            s->expiresAt = now + std::chrono::seconds(s->granted);
        }
    }
}

Subscription* SubscriptionBook::BeginEnd(const std::string& targetId, Package p) {
    Subscription* s = Find(targetId, p);
    if (!s || !s->sid || s->state == State::Terminated || s->ending) return nullptr;
    s->ending = true;
    s->refreshing = false;
    return s;
}

TimePoint SubscriptionBook::RefreshAt(const Subscription& s) {
    const TimePoint from = s.refreshedAt > s.activeAt ? s.refreshedAt : s.activeAt;
    return from + std::chrono::milliseconds(static_cast<long long>(s.granted) * 750);
}

std::vector<int> SubscriptionBook::TakeRetries() {
    std::vector<int> due;
    for (auto& [key, s] : subs_)
        if (s.retryDue && s.state == State::Pending) {
            s.retryDue = false;
            s.fellBack = true;
            due.push_back(key);
        }
    return due;
}

std::vector<int> SubscriptionBook::TakeDue(TimePoint now) {
    std::vector<int> due;
    for (auto& [key, s] : subs_) {
        if (s.state != State::Active) continue;
        if (now >= s.expiresAt) {
            s.state = State::Terminated;
            s.reason = "expired";
            s.ending = s.refreshing = false;
            continue;
        }
        if (!s.ending && !s.refreshing && now >= RefreshAt(s)) {
            s.refreshing = true;
            due.push_back(key);
        }
    }
    return due;
}

std::optional<TimePoint> SubscriptionBook::NextDue() const {
    std::optional<TimePoint> next;
    for (const auto& [key, s] : subs_) {
        if (s.retryDue && s.state == State::Pending) return s.sentAt; // at once
        if (s.state != State::Active) continue;
        const TimePoint t = s.ending || s.refreshing ? s.expiresAt : RefreshAt(s);
        if (!next || t < *next) next = t;
    }
    return next;
}

void SubscriptionBook::Terminate(int key, const std::string& reason) {
    Subscription* s = ByKey(key);
    if (!s || s->state == State::Terminated) return;
    s->state = State::Terminated;
    s->reason = reason;
    s->ending = s->refreshing = false;
}

Subscription* SubscriptionBook::Find(const std::string& targetId, Package p) {
    for (auto& [key, s] : subs_)
        if (s.request.targetId == targetId && s.request.package == p) return &s;
    return nullptr;
}

Subscription* SubscriptionBook::ByKey(int key) {
    auto it = subs_.find(key);
    return it == subs_.end() ? nullptr : &it->second;
}

Subscription* SubscriptionBook::BySid(int sid) {
    if (sid <= 0) return nullptr;
    for (auto& [key, s] : subs_)
        if (s.sid == sid) return &s;
    return nullptr;
}

std::vector<Subscription> SubscriptionBook::Snapshot() const {
    std::vector<Subscription> out;
    out.reserve(subs_.size());
    for (const auto& [key, s] : subs_) out.push_back(s);
    return out;
}

std::vector<int> SubscriptionBook::KeysOf(const std::string& deviceId) const {
    std::vector<int> keys;
    for (const auto& [key, s] : subs_)
        if (s.request.deviceId == deviceId && s.state != State::Terminated) keys.push_back(key);
    return keys;
}

} // namespace tvsub
