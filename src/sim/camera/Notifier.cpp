#include "sim/camera/Notifier.h"

#include "manscdp/xml/XMLNode.h"
#include "sim/camera/Bodies.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tvsim {

namespace {

std::string Header(const osip_message_t* m, const char* name) {
    osip_header_t* h = nullptr;
    if (m && osip_message_header_get_byname(m, name, 0, &h) >= 0 && h && h->hvalue) return h->hvalue;
    return "";
}

std::string Body(const osip_message_t* m) {
    osip_body_t* b = nullptr;
    if (!m || osip_list_size(&m->bodies) == 0) return "";
    b = static_cast<osip_body_t*>(osip_list_get(&m->bodies, 0));
    return b && b->body ? std::string(b->body, b->length) : "";
}

std::string CallId(const osip_message_t* m) {
    if (!m || !m->call_id || !m->call_id->number) return "";
    std::string s = m->call_id->number;
    if (m->call_id->host) s += std::string("@") + m->call_id->host;
    return s;
}

std::string Tag(osip_from_t* f) {
    osip_generic_param_t* p = nullptr;
    if (f && osip_generic_param_get_byname(&f->gen_params, const_cast<char*>("tag"), &p) == 0 && p &&
        p->gvalue)
        return p->gvalue;
    return "";
}

std::string UriText(const osip_uri_t* u) {
    char* t = nullptr;
    if (!u || osip_uri_to_str(u, &t) != 0 || !t) return "";
    std::string s = t;
    osip_free(t);
    return s;
}

int Expires(const osip_message_t* m) {
    osip_header_t* e = nullptr;
    if (m && osip_message_get_expires(m, 0, &e) >= 0 && e && e->hvalue) return std::atoi(e->hvalue);
    return -1;
}

std::string NowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tm);
    return b;
}

std::string Xml(const XMLNode& top) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" + top.Serialize() + "\r\n";
}

} // namespace

Notifier::Notifier(sipua::SipAgent& agent, const CameraOptions& o, std::string deviceId, std::string domain,
                   std::vector<std::string> channels, Hooks hooks)
    : agent_(agent), o_(o), deviceId_(std::move(deviceId)), domain_(std::move(domain)),
      channels_(std::move(channels)), hooks_(std::move(hooks)) {
    const auto now = Clock::now();
    if (o_.alarmEvery > 0) nextAlarm_ = now + std::chrono::seconds(o_.alarmEvery);
    if (o_.catalogChange > 0) nextCatalog_ = now + std::chrono::seconds(o_.catalogChange);
}

const char* Notifier::Name(Package p) {
    switch (p) {
    case Package::Catalog: return "Catalog";
    case Package::Alarm: return "Alarm";
    case Package::MobilePosition: return "MobilePosition";
    case Package::PTZPosition: return "PTZPosition";
    }
    return "";
}

void Notifier::OnSubscribe(const sipua::Event& ev) {
    const osip_message_t* req = ev.request.get();
    const std::string event = Header(req, "Event");
    const int asked = Expires(req);
    const std::string callId = CallId(req);
    const std::string toTag = Tag(req->to);
    if (!toTag.empty()) {
        // Within a dialog we serve: a refresh or the end.
        for (std::size_t i = 0; i < subs_.size(); ++i) {
            Sub& s = subs_[i];
            if (s.callId != callId || s.localTag != toTag) continue;
            sipua::MessagePtr a;
            if (agent_.BuildAnswer(ev.tid, 200, a) == 0 && a) {
                osip_message_set_expires(a.get(), std::to_string(asked < 0 ? 0 : asked).c_str());
                agent_.SendAnswer(ev.tid, 200, std::move(a));
            }
            if (asked == 0) {
                hooks_.print("SUBSCRIBE " + std::string(Name(s.package)) + " ended (Expires 0), answered 200");
                if (o_.Has(Fault::StaleNotify)) {
                    s.stale = true;
                    hooks_.print("its notifications go on in the ended dialog (stale-notify)");
                } else {
                    End(i, "timeout");
                }
            } else {
                s.expiresAt = Clock::now() + std::chrono::seconds(asked < 0 ? 3600 : asked);
                hooks_.print("SUBSCRIBE " + std::string(Name(s.package)) + " refreshed (Expires " +
                             std::to_string(asked) + "), answered 200");
            }
            return;
        }
        agent_.SendAnswer(ev.tid, 481, nullptr);
        hooks_.print("SUBSCRIBE in an unknown dialog answered 481");
        return;
    }
    const std::string body = Body(req);
    XMLNode doc = XMLNode::Parse(body);
    const char* cmd = doc.IsEmpty() ? nullptr : doc.FindText("CmdType");
    const char* id = doc.IsEmpty() ? nullptr : doc.FindText("DeviceID");
    Sub s;
    std::string cmdType = cmd ? cmd : "";
    if (cmdType == "Catalog") s.package = Package::Catalog;
    else if (cmdType == "Alarm") s.package = Package::Alarm;
    else if (cmdType == "MobilePosition") s.package = Package::MobilePosition;
    // A 2016 device knows no PTZPosition event.
    else if (cmdType == "PTZPosition" && o_.gb == 2022 && hooks_.ptzPosition) s.package = Package::PTZPosition;
    else cmdType.clear();
    if (o_.Has(Fault::NoSubscribe) || cmdType.empty() || asked == 0) {
        sipua::MessagePtr a;
        const int status = asked == 0 ? 481 : 489;
        if (agent_.BuildAnswer(ev.tid, status, a) == 0 && a) {
            if (status == 489) osip_message_set_header(a.get(), "Allow-Events", "presence, Catalog");
            agent_.SendAnswer(ev.tid, status, std::move(a));
        }
        hooks_.print("SUBSCRIBE (Event " + event + ", CmdType " + (cmd ? cmd : "none") + ") answered " +
                     std::to_string(status) + (o_.Has(Fault::NoSubscribe) ? " (no-subscribe)" : ""));
        return;
    }
    sipua::MessagePtr a;
    if (agent_.BuildAnswer(ev.tid, 200, a) != 0 || !a) return;
    const int granted = asked < 0 ? 3600 : asked;
    osip_message_set_expires(a.get(), std::to_string(granted).c_str());
    if (req->req_uri) {
        const std::string contact = "<" + UriText(req->req_uri) + ">";
        osip_message_set_contact(a.get(), contact.c_str());
    }
    s.callId = callId;
    s.localTag = Tag(a->to);
    char* from = nullptr;
    if (osip_from_to_str(req->from, &from) == 0 && from) {
        s.subscriberFrom = from;
        osip_free(from);
    }
    s.subscriberUri = "<" + UriText(req->from ? req->from->url : nullptr) + ">";
    osip_contact_t* c = nullptr;
    osip_message_get_contact(req, 0, &c);
    s.target = c && c->url ? UriText(c->url) : UriText(req->from ? req->from->url : nullptr);
    s.event = event;
    s.id = id ? id : deviceId_;
    if (s.package == Package::MobilePosition) {
        const char* iv = doc.FindText("Interval");
        s.interval = iv && std::atoi(iv) > 0 ? std::atoi(iv) : 5;
    }
    const auto now = Clock::now();
    s.expiresAt = now + std::chrono::seconds(granted);
    s.nextPosition = now + std::chrono::seconds(s.interval);
    agent_.SendAnswer(ev.tid, 200, std::move(a));
    agent_.ServeSubscription(s.callId, s.localTag);
    hooks_.print("SUBSCRIBE " + std::string(Name(s.package)) + " (Event " + event + ", Expires " +
                 std::to_string(granted) + ") answered 200");
    subs_.push_back(std::move(s));
    // RFC 6665 4.2.1.2: the first NOTIFY follows the 2xx at once; a PTZ
    // position's carries the position it starts from.
    Sub& added = subs_.back();
    std::string first;
    if (added.package == Package::PTZPosition) {
        added.ptz = hooks_.ptzPosition();
        first = PtzBody(added, added.ptz);
    }
    Notify(added, first, "active;expires=" + std::to_string(granted));
}

void Notifier::Notify(Sub& s, const std::string& utf8Body, const std::string& state) {
    const std::string from = "<sip:" + deviceId_ + "@" + domain_ + ">";
    sipua::MessagePtr m;
    if (agent_.BuildRequest(m, "NOTIFY", ("<" + s.target + ">").c_str(), from.c_str(), nullptr) != 0 || !m)
        return;
    if (o_.Has(Fault::NotifyOutsideDialog)) {
        // A Call-ID and From tag of its own (as built), and no To tag.
        osip_to_free(m->to);
        m->to = nullptr;
        osip_message_set_to(m.get(), s.subscriberUri.c_str());
    } else {
        osip_call_id_free(m->call_id);
        m->call_id = nullptr;
        osip_message_set_call_id(m.get(), s.callId.c_str());
        osip_from_free(m->from);
        m->from = nullptr;
        osip_message_set_from(m.get(), (from + ";tag=" + s.localTag).c_str());
        osip_to_free(m->to);
        m->to = nullptr;
        osip_message_set_to(m.get(), s.subscriberFrom.c_str());
        osip_cseq_free(m->cseq);
        m->cseq = nullptr;
        osip_message_set_cseq(m.get(), (std::to_string(++s.cseq) + " NOTIFY").c_str());
    }
    osip_message_set_header(m.get(), "Event", s.event.c_str());
    osip_message_set_header(m.get(), "Subscription-State", state.c_str());
    if (!utf8Body.empty()) {
        const std::string body = EncodeBody(utf8Body);
        osip_message_set_body(m.get(), body.data(), body.size());
        osip_message_set_content_type(m.get(), "Application/MANSCDP+xml");
    }
    agent_.SendRequest(std::move(m));
}

void Notifier::OnNotifyAnswer(const sipua::Event& ev) {
    const std::string body = Body(ev.request.get());
    XMLNode doc = XMLNode::Parse(body);
    const char* cmd = doc.IsEmpty() ? nullptr : doc.FindText("CmdType");
    hooks_.print("NOTIFY " + std::string(cmd ? cmd : "(no body)") + " answered " +
                 (ev.response ? std::to_string(ev.response->status_code) : std::string("(no answer)")));
}

void Notifier::End(std::size_t index, const char* reason) {
    Sub s = subs_[index];
    subs_.erase(subs_.begin() + static_cast<long>(index));
    Notify(s, "", std::string("terminated;reason=") + reason);
    agent_.StopServing(s.callId, s.localTag);
}

void Notifier::EndAll() {
    while (!subs_.empty()) End(subs_.size() - 1, "noresource");
}

std::string Notifier::AlarmBody(const std::string& id) {
    XMLNode top = XMLNode::CreateTop("Notify");
    top.AddTextChild("CmdType", "Alarm");
    top.AddIntChild("SN", hooks_.nextSn());
    top.AddTextChild("DeviceID", id.c_str());
    top.AddTextChild("AlarmPriority", "1");
    top.AddTextChild("AlarmMethod", "5"); // video alarm
    top.AddTextChild("AlarmTime", NowText().c_str());
    top.AddTextChild("AlarmDescription", "移动侦测");
    top.AddTextChild("Longitude", "116.397");
    top.AddTextChild("Latitude", "39.909");
    XMLNode info = top.AddChild("Info");
    info.AddTextChild("AlarmType", "2"); // motion detection
    return Xml(top);
}

std::string Notifier::PositionBody(const Sub& s) {
    // A small circle around one point, one step per notification.
    const double a = step_ * 0.3;
    char lon[32], lat[32], dir[32];
    std::snprintf(lon, sizeof lon, "%.6f", 116.397 + 0.01 * std::cos(a));
    std::snprintf(lat, sizeof lat, "%.6f", 39.909 + 0.01 * std::sin(a));
    std::snprintf(dir, sizeof dir, "%.1f", std::fmod(90.0 + a * 57.2958, 360.0));
    XMLNode top = XMLNode::CreateTop("Notify");
    top.AddTextChild("CmdType", "MobilePosition");
    top.AddIntChild("SN", hooks_.nextSn());
    top.AddTextChild("DeviceID", s.id.c_str());
    top.AddTextChild("Time", NowText().c_str());
    top.AddTextChild("Longitude", lon);
    top.AddTextChild("Latitude", lat);
    top.AddTextChild("Speed", "36.0");
    top.AddTextChild("Direction", dir);
    top.AddTextChild("Altitude", "50");
    return Xml(top);
}

std::string Notifier::PtzBody(const Sub& s, const PtzPosition& p) {
    // The fields of the PTZPosition query's answer (Gb2022Device).
    char pan[32], tilt[32], zoom[32];
    std::snprintf(pan, sizeof pan, "%.2f", p.pan);
    std::snprintf(tilt, sizeof tilt, "%.2f", p.tilt);
    std::snprintf(zoom, sizeof zoom, "%.2f", p.zoom);
    XMLNode top = XMLNode::CreateTop("Notify");
    top.AddTextChild("CmdType", "PTZPosition");
    top.AddIntChild("SN", hooks_.nextSn());
    top.AddTextChild("DeviceID", s.id.c_str());
    top.AddTextChild("Pan", pan);
    top.AddTextChild("Tilt", tilt);
    top.AddTextChild("Zoom", zoom);
    return Xml(top);
}

std::string Notifier::CatalogBody(const std::string& channel, const char* event) {
    XMLNode top = XMLNode::CreateTop("Notify");
    top.AddTextChild("CmdType", "Catalog");
    top.AddIntChild("SN", hooks_.nextSn());
    top.AddTextChild("DeviceID", deviceId_.c_str());
    top.AddTextChild("SumNum", "1");
    XMLNode list = top.AddChild("DeviceList");
    list.AddAttribute("Num", "1");
    XMLNode item = list.AddChild("Item");
    item.AddTextChild("DeviceID", channel.c_str());
    item.AddTextChild("Event", event);
    return Xml(top);
}

void Notifier::Tick(Clock::time_point now) {
    for (std::size_t i = 0; i < subs_.size();) {
        if (!subs_[i].stale && now >= subs_[i].expiresAt) {
            hooks_.print(std::string("subscription ") + Name(subs_[i].package) + " expired");
            End(i, "timeout");
        } else {
            ++i;
        }
    }
    if (o_.alarmEvery > 0 && now >= nextAlarm_) {
        nextAlarm_ = now + std::chrono::seconds(o_.alarmEvery);
        bool notified = false;
        for (Sub& s : subs_)
            if (s.package == Package::Alarm) {
                Notify(s, AlarmBody(s.id), s.stale ? "active" : "active;expires=" + std::to_string(std::max<long>(0,
                    std::chrono::duration_cast<std::chrono::seconds>(s.expiresAt - now).count())));
                notified = true;
            }
        if (!notified && hooks_.sendMessage) hooks_.sendMessage(AlarmBody(channels_.empty() ? deviceId_ : channels_[0]));
        hooks_.print(notified ? "alarm notified" : "alarm sent in a MESSAGE");
    }
    // A device reports its position at the interval asked, moving or not.
    if (o_.move || !o_.quietStill)
        for (Sub& s : subs_)
            if (s.package == Package::MobilePosition && now >= s.nextPosition) {
                s.nextPosition = now + std::chrono::seconds(s.interval);
                if (o_.move) ++step_;
                Notify(s, PositionBody(s), "active");
            }
    // The PTZ position whenever it moved since the last one notified.
    bool anyPtz = false;
    for (const Sub& s : subs_) anyPtz |= s.package == Package::PTZPosition;
    if (anyPtz) {
        const PtzPosition p = hooks_.ptzPosition();
        for (Sub& s : subs_)
            if (s.package == Package::PTZPosition &&
                (p.pan != s.ptz.pan || p.tilt != s.ptz.tilt || p.zoom != s.ptz.zoom)) {
                s.ptz = p;
                Notify(s, PtzBody(s, p), "active");
                hooks_.print("PTZ position notified");
            }
    }
    if (o_.catalogChange > 0 && now >= nextCatalog_ && !channels_.empty()) {
        nextCatalog_ = now + std::chrono::seconds(o_.catalogChange);
        channelOff_ = !channelOff_;
        const char* event = channelOff_ ? "OFF" : "ON";
        for (Sub& s : subs_)
            if (s.package == Package::Catalog) Notify(s, CatalogBody(channels_[0], event), "active");
        hooks_.print(std::string("channel ") + channels_[0] + " " + event);
    }
}

} // namespace tvsim
