#include "sim/camera/Device.h"

#include "base/TextCodec.h"
#include "manscdp/xml/XMLNode.h"
#include "sim/camera/AnswerFaults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

namespace tvsim {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string Stamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

std::string BodyOf(const osip_message_t* m) {
    osip_body_t* b = nullptr;
    if (!m || osip_message_get_body(const_cast<osip_message_t*>(m), 0, &b) != 0 || !b || !b->body)
        return "";
    return std::string(b->body, b->length);
}

std::string Method(const osip_message_t* m) {
    return m && m->sip_method ? m->sip_method : "";
}

int CseqNumber(const osip_message_t* m) {
    return m && m->cseq && m->cseq->number ? std::atoi(m->cseq->number) : 0;
}

int ExpiresOf(const osip_message_t* m) {
    osip_header_t* h = nullptr;
    if (m && osip_message_get_expires(const_cast<osip_message_t*>(m), 0, &h) >= 0 && h && h->hvalue)
        return std::atoi(h->hvalue);
    return -1;
}

std::string HeaderValue(const osip_message_t* m, const char* name) {
    osip_header_t* h = nullptr;
    if (m && osip_message_header_get_byname(const_cast<osip_message_t*>(m), name, 0, &h) >= 0 && h &&
        h->hvalue)
        return h->hvalue;
    return "";
}

std::string ToUser(const osip_message_t* m) {
    return m && m->to && m->to->url && m->to->url->username ? m->to->url->username : "";
}

// The local address the kernel picks to reach ip.
std::string RouteAddress(const std::string& ip) {
    std::string out = "127.0.0.1";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9);
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return out;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return out;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        sockaddr_in l{};
        socklen_t len = sizeof l;
        getsockname(s, reinterpret_cast<sockaddr*>(&l), &len);
        char buf[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &l.sin_addr, buf, sizeof buf);
        out = buf;
    }
    close(s);
    return out;
}

// Whether something answers at ip:port over UDP: a CR LF keep-alive on a
// connected socket comes back as "connection refused" when nothing listens.
bool UdpRefused(const std::string& ip, int port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    bool refused = false;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, "\r\n\r\n", 4, 0) == 4) {
        pollfd p{s, POLLIN, 0};
        char b[64];
        if (poll(&p, 1, 200) > 0 && recv(s, b, sizeof b, MSG_DONTWAIT) < 0 && errno == ECONNREFUSED)
            refused = true;
    }
    close(s);
    return refused;
}

// Whether nothing else holds the port (so that the error can say why).
std::string PortError(bool tcp, const std::string& ip, int port) {
    int s = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = INADDR_ANY;
    int one = 1;
    if (tcp) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    std::string err;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) err = std::strerror(errno);
    close(s);
    return err;
}

std::string Fixed1(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

} // namespace

void EventPrinter::Line(const std::string& who, const std::string& text) {
    if (quiet_) return;
    std::lock_guard<std::mutex> g(m_);
    std::printf("%s %s %s\n", Stamp().c_str(), who.c_str(), text.c_str());
    std::fflush(stdout);
}

void EventPrinter::Error(const std::string& who, const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    std::printf("%s %s error: %s\n", Stamp().c_str(), who.c_str(), text.c_str());
    std::fflush(stdout);
}

Device::Device(const CameraOptions& o, int index, EventPrinter& out)
    : o_(o), index_(index), out_(out) {
    ident_.id = NthId(o.id, index);
    ident_.name = "模拟摄像机" + std::to_string(index + 1);
    ident_.address = o.localIp.empty() ? RouteAddress(o.serverIp) : o.localIp;
    ident_.serverId = o.serverId;
    ident_.serverAddress = o.serverIp;
    ident_.serverPort = o.serverPort;
    ident_.domain = o.domain;
    ident_.expires = o.expires;
    ident_.keepalive = o.keepalive;
    ident_.password = o.password;
    for (int c = 1; c <= o.channels; ++c)
        ident_.channels.push_back({ChannelId(ident_.id, c), "通道" + std::to_string(c)});
    std::vector<std::string> channelIds;
    for (const Channel& c : ident_.channels) channelIds.push_back(c.id);
    notifier_ = std::make_unique<Notifier>(
        agent_, o_, ident_.id, o.domain, channelIds,
        Notifier::Hooks{[this](const std::string& t) { Print(t); }, [this] { return sn_++; },
                        [this](const std::string& b) { SendMessage(ident_.id, b); },
                        [this] { return gb_.Position(); }});
    foreignId_ = o.foreignId.empty() ? NthId(ident_.id, 1000) : o.foreignId;
    if (foreignId_.empty()) foreignId_ = NthId(o.id, 0) == ident_.id ? NthId(ident_.id, 1) : NthId(o.id, 0);
    voice_ = std::make_unique<DeviceVoice>(agent_, o_, ident_.address, [this](const std::string& t) { Print(t); });
}

Device::~Device() {
    stop_ = true;
    Join();
    calls_.clear();
    agent_.Shutdown();
}

std::string Device::ServerText() const {
    return o_.serverIp + ":" + std::to_string(o_.serverPort) + (o_.tcp ? " over TCP" : " over UDP");
}

bool Device::Open(std::string& error) {
    int port = o_.localPort ? o_.localPort + index_ : 0;
    if (agent_.Init() != 0) {
        error = "cannot start the SIP user agent";
        return false;
    }
    const char* bindIp = o_.localIp.empty() ? nullptr : o_.localIp.c_str();
    if (agent_.Listen(o_.tcp ? IPPROTO_TCP : IPPROTO_UDP, bindIp, port, AF_INET, false) != 0) {
        std::string why = port ? PortError(o_.tcp, o_.localIp, port) : "";
        error = "cannot open SIP port " + std::to_string(port) + (o_.tcp ? "/tcp" : "/udp") +
                (why.empty() ? "" : ": " + why);
        return false;
    }
    if (o_.Has(Fault::ContentLengthChars))
        agent_.SetWireHook([](std::string& bytes, const std::string&, int) {
            if (bytes.rfind("MESSAGE ", 0) == 0) ContentLengthInCharacters(bytes);
            return true;
        });
    agent_.SetUserAgent("tarvex-camera");
    agent_.SetContactAddress(ident_.address.c_str());
    agent_.AddCredentials(ident_.id.c_str(), ident_.id.c_str(), o_.password.c_str(), nullptr);
    ident_.sipPort = agent_.BoundPort();
    return true;
}

void Device::Start() {
    thread_ = std::thread([this] { Run(); });
}

void Device::Join() {
    if (thread_.joinable()) thread_.join();
    for (std::thread& w : workers_)
        if (w.joinable()) w.join();
    workers_.clear();
}

void Device::StartSnapshots(const SnapShotOrder& order) {
    PatternOptions pattern = o_.pattern;
    pattern.label = ident_.id;
    workers_.emplace_back([this, order, pattern] {
        TransferLog log;
        const std::vector<std::string> ids = UploadSnapshots(ident_.id, order, pattern, stop_, log);
        Post([this, order, ids, lines = log.lines] {
            for (const auto& l : lines) Print(l);
            // The notification goes out also when no picture was taken: the
            // platform then sees an empty list for its session.
            SendMessage(ident_.id, Gb2022Device::SnapShotFinished(ident_.id, sn_++, order.sessionId, ids));
            Print("UploadSnapShotFinished sent: session " + order.sessionId + ", " +
                  std::to_string(ids.size()) + " of " + std::to_string(order.count) + " pictures");
        });
    });
}

void Device::StartUpgrade(const UpgradeOrder& order) {
    workers_.emplace_back([this, order] {
        std::string error;
        const long long bytes = DownloadFile(order.url, stop_, error);
        Post([this, order, bytes, error] {
            const bool ok = bytes > 0;
            const std::string what = ok ? "firmware " + order.firmware + " downloaded, " +
                                              std::to_string(bytes) + " bytes"
                                        : (bytes == 0 ? std::string("the firmware file is empty") : error);
            Print("upgrade: " + what);
            const std::string result = Gb2022Device::UpgradeResult(ident_.id, sn_++, order.sessionId,
                                                                   order.firmware, ok, ok ? "" : what);
            if (!ok || !registered_) {
                SendMessage(ident_.id, result);
                return;
            }
            // As devices do: unregister, install, register again, and only
            // then tell the result.
            upgradeResult_ = result;
            Print("upgrade: unregistering to install");
            Register(0);
            After(std::chrono::milliseconds(1000), [this] {
                if (stop_) return;
                unregistered_ = false;
                Print("upgrade done: registering again");
                Register(o_.expires);
            });
        });
    });
}

DeviceStats Device::Stats() {
    std::lock_guard<std::mutex> g(statsM_);
    return stats_;
}

void Device::After(std::chrono::milliseconds d, std::function<void()> fn) {
    timers_.push_back({Clock::now() + d, std::move(fn)});
}

void Device::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(postM_);
    posted_.push_back(std::move(fn));
}

void Device::Run() {
    Register(o_.expires);
    Clock::time_point leaveBy{};
    bool leaving = false;
    for (;;) {
        if (stop_ && !leaving) {
            leaving = true;
            EndAllCalls();
            notifier_->EndAll();
            if (registered_) {
                unregistering_ = true;
                Register(0);
            } else {
                unregistered_ = true;
            }
            leaveBy = Clock::now() + 3s;
        }
        if (leaving && (unregistered_ || Clock::now() > leaveBy)) break;
        sipua::EventPtr ev = agent_.WaitEvent(0, 50);
        if (ev) Handle(*ev);
        RunDue();
    }
    if (!unregistered_) out_.Error(ident_.id, "no answer to the unregistration");
}

void Device::RunDue() {
    std::vector<std::function<void()>> posted;
    {
        std::lock_guard<std::mutex> g(postM_);
        posted.swap(posted_);
    }
    for (auto& f : posted) f();
    auto now = Clock::now();
    for (std::size_t i = 0; i < timers_.size();) {
        if (timers_[i].when <= now) {
            auto fn = std::move(timers_[i].fn);
            timers_.erase(timers_.begin() + static_cast<long>(i));
            fn();
        } else {
            ++i;
        }
    }
    if (stop_) return;
    if (registered_) notifier_->Tick(now);
    if (registered_ && !registerPending_ && now >= refreshAt_) Register(o_.expires);
    if (!registered_ && !registerPending_ && retryAt_ != Clock::time_point{} && now >= retryAt_)
        Register(o_.expires);
    if (registered_ && now >= keepaliveAt_) {
        keepaliveAt_ = now + std::chrono::seconds(o_.keepalive);
        if (!o_.Has(Fault::MissKeepalives) || keepalivesSent_ < o_.keepalivesBeforeMiss)
            SendKeepalive();
        else if (keepalivesSent_++ == o_.keepalivesBeforeMiss)
            Print("keepalives stop after " + std::to_string(o_.keepalivesBeforeMiss) + " (miss-keepalives)");
    }
}

// ------------------------------------------------------------ registration

void Device::Register(int expires) {
    std::string ruri = "<sip:" + o_.serverId + "@" + o_.serverIp + ":" + std::to_string(o_.serverPort) + ">";
    std::string aor = "<sip:" + ident_.id + "@" + o_.domain + ">";
    sipua::MessagePtr m;
    if (agent_.BuildRequest(m, "REGISTER", ruri.c_str(), aor.c_str(), nullptr) != 0 || !m) {
        out_.Error(ident_.id, "cannot build a REGISTER");
        return;
    }
    // To is the device's own address of record; the request goes to the platform.
    osip_to_free(m->to);
    m->to = nullptr;
    osip_message_set_to(m.get(), aor.c_str());
    if (regCallId_.empty()) {
        char* cid = nullptr;
        osip_call_id_to_str(m->call_id, &cid);
        regCallId_ = cid ? cid : "";
        osip_free(cid);
    } else {
        osip_call_id_free(m->call_id);
        m->call_id = nullptr;
        osip_message_set_call_id(m.get(), regCallId_.c_str());
    }
    osip_cseq_free(m->cseq);
    m->cseq = nullptr;
    osip_message_set_cseq(m.get(), (std::to_string(++regCseq_) + " REGISTER").c_str());
    std::string contact = "<sip:" + ident_.id + "@" + ident_.address + ":" +
                          std::to_string(ident_.sipPort) + (o_.tcp ? ";transport=tcp" : "") + ">";
    osip_message_set_contact(m.get(), contact.c_str());
    osip_message_set_expires(m.get(), std::to_string(expires).c_str());
    if (o_.gb == 2022) osip_message_set_header(m.get(), "X-GB-Ver", "3.0");
    if (agent_.SendRequest(std::move(m)) <= 0) {
        out_.Error(ident_.id, "cannot send a REGISTER to " + ServerText());
        retryAt_ = Clock::now() + std::chrono::seconds(o_.retrySeconds);
        return;
    }
    registerPending_ = true;
    if (expires == 0) {
        Print("unregistering from " + ServerText());
        return;
    }
    Print("registering with " + ServerText() + ", expires " + std::to_string(expires));
    if (!o_.tcp && !registered_ && UdpRefused(o_.serverIp, o_.serverPort))
        out_.Error(ident_.id, "platform unreachable: nothing listens on " + ServerText() +
                                  " (the REGISTER is repeated as SIP does)");
}

void Device::OnRegisterResult(sipua::Event& ev, int defaultAction) {
    int st = ev.response ? ev.response->status_code : 0;
    bool unreg = ExpiresOf(ev.request.get()) == 0;
    regCseq_ = std::max(regCseq_, CseqNumber(ev.request.get()));
    if ((st == 401 || st == 407) && defaultAction == 0) {
        std::lock_guard<std::mutex> g(statsM_);
        stats_.challenges++;
        out_.Line(ident_.id, "challenged (" + std::to_string(st) + "), answering with digest");
        regCseq_++;
        return;
    }
    registerPending_ = false;
    auto now = Clock::now();
    if (st >= 200 && st < 300) {
        if (unreg) {
            unregistered_ = true;
            registered_ = false;
            std::lock_guard<std::mutex> g(statsM_);
            stats_.registered = false;
            Print("unregistered");
            return;
        }
        int expires = ExpiresOf(ev.response.get());
        if (expires <= 0) expires = o_.expires;
        registered_ = true;
        keepaliveMissed_ = 0;
        retryAt_ = {};
        refreshAt_ = now + std::chrono::milliseconds(std::max(1000, expires * 750));
        if (keepaliveAt_ == Clock::time_point{} || keepaliveAt_ < now)
            keepaliveAt_ = now + std::chrono::seconds(o_.keepalive);
        {
            std::lock_guard<std::mutex> g(statsM_);
            stats_.registrations++;
            stats_.registered = true;
            if (stats_.firstRegistered == Clock::time_point{}) stats_.firstRegistered = now;
        }
        std::string date = HeaderValue(ev.response.get(), "Date");
        Print("registered with " + ServerText() + ", expires " + std::to_string(expires) +
              (date.empty() ? "" : ", platform time " + date));
        if (!upgradeResult_.empty()) {
            SendMessage(ident_.id, std::exchange(upgradeResult_, {}));
            Print("DeviceUpgradeResult sent");
        }
        return;
    }
    std::string why = st == 0 ? (o_.tcp ? "cannot reach " : "no answer from ") + ServerText()
                              : std::to_string(st) + " " +
                                    (ev.response->reason_phrase ? ev.response->reason_phrase : "");
    if (st == 401 || st == 407) why += " (the password was not accepted)";
    if (unreg) {
        unregistered_ = true;
        out_.Error(ident_.id, "unregistration failed: " + why);
        return;
    }
    registered_ = false;
    {
        std::lock_guard<std::mutex> g(statsM_);
        stats_.registerFailures++;
        stats_.registered = false;
    }
    retryAt_ = now + std::chrono::seconds(o_.retrySeconds);
    out_.Error(ident_.id, "registration failed: " + why + "; trying again in " +
                              std::to_string(o_.retrySeconds) + " s");
}

void Device::SendKeepalive() {
    ++keepalivesSent_;
    SendMessage(ident_.id, KeepaliveNotify(ident_.id, sn_++, o_.Has(Fault::KeepaliveError) ? "ERROR" : "OK"));
}

void Device::SendMessage(const std::string& fromId, const std::string& utf8Body) {
    std::string ruri = "<sip:" + o_.serverId + "@" + o_.serverIp + ":" + std::to_string(o_.serverPort) + ">";
    std::string from = "<sip:" + fromId + "@" + o_.domain + ">";
    sipua::MessagePtr m;
    if (agent_.BuildRequest(m, "MESSAGE", ruri.c_str(), from.c_str(), nullptr) != 0 || !m) {
        out_.Error(ident_.id, "cannot build a MESSAGE");
        return;
    }
    osip_to_free(m->to);
    m->to = nullptr;
    osip_message_set_to(m.get(), ("<sip:" + o_.serverId + "@" + o_.domain + ">").c_str());
    std::string body = EncodeBody(utf8Body);
    osip_message_set_body(m.get(), body.data(), body.size());
    osip_message_set_content_type(m.get(), "Application/MANSCDP+xml");
    agent_.SendRequest(std::move(m));
}

void Device::OnMessageResult(sipua::Event& ev) {
    int st = ev.response ? ev.response->status_code : 0;
    std::string body = BodyOf(ev.request.get());
    XMLNode doc = XMLNode::Parse(body);
    const char* cmdText = doc.FindText("CmdType");
    std::string cmd = cmdText ? cmdText : "?";
    bool ok = st >= 200 && st < 300;
    std::string why = st ? std::to_string(st) : "no answer";
    if (cmd == "Keepalive") {
        std::lock_guard<std::mutex> g(statsM_);
        if (ok) {
            stats_.keepalives++;
            keepaliveMissed_ = 0;
            out_.Line(ident_.id, "keepalive answered " + std::to_string(st));
            return;
        }
        stats_.keepaliveFailures++;
        ++keepaliveMissed_;
        out_.Error(ident_.id, "keepalive failed: " + why);
    } else if (!ok) {
        {
            std::lock_guard<std::mutex> g(statsM_);
            stats_.answerFailures++;
        }
        out_.Error(ident_.id, cmd + " MESSAGE failed: " + why);
    } else {
        return;
    }
    if (cmd == "Keepalive" && keepaliveMissed_ >= 3 && registered_ && !stop_) {
        out_.Error(ident_.id, "3 keepalives unanswered: registering again");
        registered_ = false;
        keepaliveMissed_ = 0;
        Register(o_.expires);
    }
}

// ------------------------------------------------------------ events

void Device::Handle(sipua::Event& ev) {
    using K = sipua::EventKind;
    int da = agent_.DefaultAction(ev);
    std::string method = Method(ev.request.get());
    switch (ev.kind) {
    case K::OutOfCallRequest:
        OnRequest(ev);
        break;
    case K::OutOfCallAnswered:
    case K::OutOfCallRedirected:
    case K::OutOfCallRejected:
    case K::OutOfCallServerFailure:
    case K::OutOfCallGlobalFailure:
    case K::OutOfCallNoAnswer:
        if (method == "REGISTER") OnRegisterResult(ev, da);
        else if (method == "MESSAGE") OnMessageResult(ev);
        else if (method == "NOTIFY") notifier_->OnNotifyAnswer(ev);
        break;
    case K::CallIncoming:
        OnInvite(ev);
        break;
    case K::CallAnswered:
    case K::CallRejected:
    case K::CallServerFailure:
    case K::CallGlobalFailure:
    case K::CallRedirected:
        voice_->OnAnswer(ev);
        break;
    case K::CallAckReceived: {
        auto it = calls_.find(ev.cid);
        if (it != calls_.end() && !it->second.started) {
            it->second.started = true;
            it->second.stream->Start();
            Print("stream " + it->second.kind + " started: " + it->second.stream->SourceText());
        }
        break;
    }
    case K::CallRequest:
        OnCallRequest(ev);
        break;
    case K::CallClosed:
        if (calls_.count(ev.cid)) EndCall(ev.cid, "BYE received", false);
        voice_->OnClosed(ev.cid, "BYE received");
        break;
    case K::CallCancelled:
        if (calls_.count(ev.cid)) EndCall(ev.cid, "CANCEL received", false);
        break;
    case K::CallReleased:
        if (calls_.count(ev.cid)) EndCall(ev.cid, "call released", false);
        voice_->OnClosed(ev.cid, "call released");
        break;
    case K::CallRequestAnswered:
    case K::CallRequestFailed:
    case K::CallRequestNoAnswer:
        if (method == "BYE")
            Print("BYE answered " + (ev.response ? std::to_string(ev.response->status_code)
                                                 : std::string("(no answer)")));
        break;
    default:
        break;
    }
}

void Device::OnRequest(sipua::Event& ev) {
    std::string method = Method(ev.request.get());
    if (method == "MESSAGE") {
        std::string body = BodyOf(ev.request.get());
        if (o_.Has(Fault::SlowOk)) {
            Print("MESSAGE: 200 held back " + std::to_string(o_.slowMs) + " ms (slow-ok)");
            After(std::chrono::milliseconds(o_.slowMs), [this, tid = ev.tid, body] { AnswerMessage(tid, body); });
        } else {
            AnswerMessage(ev.tid, body);
        }
    } else if (method == "SUBSCRIBE") {
        notifier_->OnSubscribe(ev);
    } else if (method == "OPTIONS") {
        agent_.SendAnswer(ev.tid, 200, nullptr);
    } else {
        agent_.SendAnswer(ev.tid, 405, nullptr);
        Print(method + " answered 405");
    }
}

bool Device::Ours(const std::string& id) const {
    if (id == ident_.id) return true;
    for (const auto& c : ident_.channels)
        if (c.id == id) return true;
    return false;
}

void Device::AnswerMessage(int tid, const std::string& body) {
    // A request for a device or channel that is not ours is refused, as a
    // recorder refuses a channel it does not have.
    {
        XMLNode doc = XMLNode::Parse(TextCodec::BodyToUtf8(body));
        XMLNode root = doc.IsDeclaration() ? doc.ChildAt(0) : doc;
        XMLNode own = root.ChildByName("DeviceID");
        const char* target = own.IsEmpty() ? nullptr : own.Text(0);
        if (target && !Ours(target) && !o_.Has(Fault::ForeignId)) {
            agent_.SendAnswer(tid, 404, nullptr);
            Print(std::string("MESSAGE for ") + target + ", not one of ours: answered 404");
            return;
        }
    }
    if (o_.Has(Fault::NoPtz)) {
        XMLNode doc = XMLNode::Parse(TextCodec::BodyToUtf8(body));
        XMLNode root = doc.IsDeclaration() ? doc.ChildAt(0) : doc;
        const char* cmd = root.FindText("CmdType");
        const char* ptz = root.FindText("PTZCmd");
        if (std::string(root.Name()) == "Control" && cmd && std::string(cmd) == "DeviceControl" && ptz) {
            agent_.SendAnswer(tid, 501, nullptr);
            const char* sn = root.FindText("SN");
            Print("Control DeviceControl SN " + std::string(sn ? sn : "") + ": PTZ " + DescribePtz(ptz) +
                  "; answered 501 (no-ptz)");
            std::lock_guard<std::mutex> g(statsM_);
            stats_.queries["DeviceControl"]++;
            return;
        }
    }
    agent_.SendAnswer(tid, 200, nullptr);
    OnManscdp(body);
}

void Device::SendAnswers(const std::vector<std::string>& bodies, const std::string& fromId,
                         const std::string& what) {
    auto send = [this, bodies, fromId] {
        for (const auto& b : bodies) SendMessage(fromId, b);
        std::lock_guard<std::mutex> g(statsM_);
        stats_.answersSent += static_cast<int>(bodies.size());
    };
    std::string from = fromId != ident_.id ? " from " + fromId : "";
    if (o_.Has(Fault::LateAnswer)) {
        Print(what + from + ", " + std::to_string(o_.lateMs) + " ms late");
        After(std::chrono::milliseconds(o_.lateMs), send);
    } else {
        Print(what + from);
        send();
    }
}

void Device::OnManscdp(const std::string& raw) {
    std::string text = TextCodec::BodyToUtf8(raw);
    XMLNode doc = XMLNode::Parse(text);
    XMLNode root = doc.IsDeclaration() ? doc.ChildAt(0) : doc;
    auto find = [&](const char* name) {
        const char* t = root.FindText(name);
        return std::string(t ? t : "");
    };
    std::string cmd = find("CmdType"), querySn = find("SN"), target = find("DeviceID");
    // What the answers carry; the printed head keeps the query's.
    const std::string sn = o_.Has(Fault::WrongSn) ? OtherSn(querySn) : querySn;
    std::string rootName = root.Name();
    if (cmd.empty()) {
        Print("MESSAGE without CmdType answered 200");
        return;
    }
    {
        std::lock_guard<std::mutex> g(statsM_);
        stats_.queries[cmd]++;
    }
    const bool foreign = o_.Has(Fault::ForeignId);
    DeviceIdentity who = ident_;
    if (foreign) who.id = foreignId_;
    // A channel's command is answered by that channel, as real recorders do.
    const std::string answerer = foreign || target.empty() || !Ours(target) ? who.id : target;
    const std::string head = (rootName.empty() ? "MESSAGE" : rootName) + " " + cmd + " SN " + querySn +
                             (sn != querySn ? " (answered as SN " + sn + ")" : "");
    // The 2022 answers too come from the channel asked.
    DeviceIdentity asked = who;
    asked.id = answerer;
    if (Gb2022Reply r = gb_.Handle(rootName, cmd, root, asked, sn); r.handled) {
        if (r.bodies.empty()) Print(head + ": " + r.what);
        else SendAnswers(r.bodies, who.id, head + ": " + r.what);
        if (r.snapshot) StartSnapshots(r.snapshotOrder);
        if (r.upgrade) StartUpgrade(r.upgradeOrder);
        return;
    }
    if (rootName == "Query") {
        if (cmd == "Catalog") {
            auto b = CatalogAnswers(who, sn, o_.perMessage, !o_.Has(Fault::NoNum));
            SendAnswers(b, who.id,
                        head + ": " + std::to_string(ident_.channels.size()) + " channels in " +
                            std::to_string(b.size()) + " message(s)" +
                            (o_.Has(Fault::NoNum) ? ", DeviceList without Num" : ""));
        } else if (cmd == "DeviceInfo") {
            SendAnswers({DeviceInfoAnswer(who, sn)}, who.id, head + ": answered");
        } else if (cmd == "DeviceStatus") {
            SendAnswers({DeviceStatusAnswer(who, sn, guard_)}, who.id, head + ": answered");
            std::lock_guard<std::mutex> g(statsM_);
            if (stats_.statusAnswered == Clock::time_point{}) stats_.statusAnswered = Clock::now();
        } else if (cmd == "RecordInfo") {
            int64_t s = ParseLocalTime(find("StartTime")), e = ParseLocalTime(find("EndTime"));
            // A query for the device itself lists the recordings of its first channel.
            std::string channel = target;
            bool ours = false;
            for (const auto& c : ident_.channels) ours = ours || c.id == target;
            if (!ours) channel = ident_.channels.front().id;
            auto b = RecordInfoAnswers(who, sn, channel, s, e, find("Type"), o_.perMessage,
                                       o_.Has(Fault::BadRecordTimes));
            SendAnswers(b, who.id,
                        head + " " + find("StartTime") + " to " + find("EndTime") + ": " +
                            std::to_string(InventRecordings(s, e).size()) + " recordings of " +
                            channel + " in " + std::to_string(b.size()) + " message(s)" +
                            (o_.Has(Fault::BadRecordTimes) ? ", times malformed" : ""));
        } else if (cmd == "ConfigDownload") {
            std::string type = find("ConfigType");
            SendAnswers({ConfigDownloadAnswer(who, sn, type)}, who.id, head + " " + type + ": answered");
        } else if (cmd == "PresetQuery") {
            DeviceIdentity channel = who;
            channel.id = answerer;
            SendAnswers({PresetAnswer(channel, sn)}, who.id, head + ": 2 presets");
        } else {
            SendAnswers({ResultAnswer(cmd, sn, answerer)}, who.id, head + ": answered Result OK");
        }
        return;
    }
    if (rootName == "Control") {
        std::string what;
        if (cmd == "DeviceControl") {
            auto add = [&](const std::string& w) { what += (what.empty() ? "" : ", ") + w; };
            if (std::string p = find("PTZCmd"); !p.empty()) add("PTZ " + DescribePtz(p) + " (" + p + ")");
            if (root.FindText("TeleBoot")) add("reboot");
            if (std::string g = find("GuardCmd"); !g.empty()) {
                add("guard " + g);
                guard_ = g == "SetGuard";
            }
            if (std::string a = find("AlarmCmd"); !a.empty()) add("alarm " + a);
            if (std::string r = find("RecordCmd"); !r.empty()) add("record " + r);
            if (root.FindText("IFameCmd") || root.FindText("IFrameCmd")) {
                add("key frame");
                for (auto& [cid, c] : calls_) c.stream->ForceKeyFrame();
            }
            if (root.ChildByName("HomePosition"))
                add("home position enabled " + find("Enabled") + " preset " + find("PresetIndex"));
            for (const char* dz : {"DragZoomIn", "DragZoomOut"})
                if (XMLNode n = root.ChildByName(dz))
                    add(std::string(dz) + " mid " + (n.FindText("MidPointX") ? n.FindText("MidPointX") : "") +
                        "," + (n.FindText("MidPointY") ? n.FindText("MidPointY") : "") + " size " +
                        (n.FindText("LengthX") ? n.FindText("LengthX") : "") + "x" +
                        (n.FindText("LengthY") ? n.FindText("LengthY") : ""));
            if (std::string name = find("Name"); !name.empty()) add("name " + name);
            if (what.empty()) what = "no known command";
        } else if (cmd == "DeviceConfig") {
            if (XMLNode b = root.ChildByName("BasicParam")) {
                const char* hb = b.FindText("HeartBeatInterval");
                const char* ex = b.FindText("Expiration");
                what = "BasicParam name " + std::string(b.FindText("Name") ? b.FindText("Name") : "");
                if (hb && std::atoi(hb) > 0) {
                    o_.keepalive = std::atoi(hb);
                    ident_.keepalive = o_.keepalive;
                    keepaliveAt_ = Clock::now() + std::chrono::seconds(o_.keepalive);
                    what += ", keepalive " + std::string(hb) + " s";
                }
                if (ex && std::atoi(ex) >= 10) {
                    o_.expires = std::atoi(ex);
                    ident_.expires = o_.expires;
                    what += ", expires " + std::string(ex) + " s from the next registration";
                }
            } else {
                what = "no BasicParam";
            }
        } else {
            what = "not simulated";
        }
        SendAnswers({ResultAnswer(cmd, sn, answerer)}, who.id, head + ": " + what + "; answered Result OK");
        return;
    }
    if (rootName == "Notify" && cmd == "Broadcast") {
        // The audio output named must be ours; the answer comes before the INVITE.
        const std::string source = find("SourceID"), output = find("TargetID");
        if (output.empty() || !Ours(output)) {
            SendAnswers({ResultAnswer(cmd, sn, who.id, "ERROR")}, who.id,
                        head + ": TargetID " + output + " is not ours; answered Result ERROR");
            return;
        }
        if (o_.Has(Fault::NoBroadcast)) {
            SendAnswers({ResultAnswer(cmd, sn, output)}, who.id,
                        head + " from " + source + ": answered Result OK, no INVITE (no-broadcast)");
            return;
        }
        SendAnswers({ResultAnswer(cmd, sn, output)}, who.id, head + " from " + source + ": answered Result OK");
        voice_->OnBroadcast(source, output);
        return;
    }
    Print("received " + head + " (no answer needed)");
}

// ------------------------------------------------------------ calls

void Device::OnInvite(sipua::Event& ev) {
    std::string sdp = BodyOf(ev.request.get());
    std::string channel = ToUser(ev.request.get());
    if (!channel.empty() && !Ours(channel)) {
        agent_.SendCallAnswer(ev.tid, 404, nullptr);
        out_.Error(ident_.id, "INVITE for " + channel + ", not one of our channels: answered 404");
        return;
    }
    if (DeviceVoice::IsTalkOffer(sdp)) {
        voice_->OnTalk(ev, channel.empty() ? ident_.id : channel);
        return;
    }
    MediaOffer offer;
    std::string error;
    if (!ParseOffer(sdp, offer, error)) {
        agent_.SendCallAnswer(ev.tid, 488, nullptr);
        out_.Error(ident_.id, "INVITE for " + channel + " refused with 488: " + error);
        return;
    }
    if (o_.Has(Fault::RefuseMedia)) {
        agent_.SendCallAnswer(ev.tid, 488, nullptr);
        Print("INVITE " + offer.sessionName + " for " + channel + ": refused with 488 (refuse-media)");
        return;
    }
    std::string kind = offer.sessionName;
    if (kind != "Play" && kind != "Playback" && kind != "Download") kind = "Play";
    StreamParams p;
    p.source = o_.source;
    p.pattern = o_.pattern;
    p.pattern.label = channel.empty() ? ident_.id : channel;
    p.pattern.clockBase = kind == "Play" || offer.start <= 0 ? 0 : offer.start;
    if (kind != "Play") {
        double range = offer.end > offer.start ? static_cast<double>(offer.end - offer.start) : 0;
        p.length = range > 0 ? std::min(range, o_.clip) : o_.clip;
    }
    p.speed = kind == "Download" && offer.downloadSpeed > 0 ? offer.downloadSpeed : 1.0;
    if (o_.Has(Fault::FpsStamp)) p.sendFps = kFpsStampSent;
    p.bareKeys = o_.Has(Fault::PsBareKey);
    if (o_.Has(Fault::GopLong)) p.pattern.keySeconds = kGopLongSeconds;
    auto& s = p.sender;
    s.remoteIp = offer.address;
    s.remotePort = static_cast<uint16_t>(offer.port);
    s.localIp = o_.localIp;
    s.framing = o_.Has(Fault::DollarTcp) ? tvsend::TcpFraming::Dollar : tvsend::TcpFraming::Rfc4571;
    std::string ssrcText = offer.ssrc;
    if (ssrcText.empty()) {
        char b[16];
        std::snprintf(b, sizeof b, "%d%s%04d", kind == "Play" ? 0 : 1, o_.domain.substr(3, 5).c_str(),
                      (index_ * 10 + static_cast<int>(calls_.size())) % 10000);
        ssrcText = b;
    }
    s.ssrc = o_.Has(Fault::SsrcZero) ? 0 : SsrcFromText(ssrcText);
    s.skipEvery = o_.Has(Fault::RtpGaps) ? kRtpGapEvery : 0;
    s.payloadType = static_cast<uint8_t>(o_.payloadType);
    s.reorderEvery = static_cast<uint32_t>(o_.reorderEvery);
    s.lateEvery = static_cast<uint32_t>(o_.lateEvery);
    std::string role; // our TCP role
    if (offer.tcp) {
        bool deviceListens = offer.setup == "passive";
        if (o_.setupRfc4145) deviceListens = offer.setup == "active";
        role = deviceListens ? "passive" : "active";
        s.transport = deviceListens ? tvsend::MediaTransport::TcpListen : tvsend::MediaTransport::TcpConnect;
        // Listening at the offered port + 2 where free, where platforms of the old
        // reading look for it; the answer names the port either way.
        if (deviceListens && offer.port + 2 <= 65535 && PortError(true, o_.localIp, offer.port + 2).empty())
            s.localPort = static_cast<uint16_t>(offer.port + 2);
    }
    int cid = ev.cid;
    auto line = [this, kind](const std::string& t) { Print("stream " + kind + ": " + t); };
    auto end = [this, cid](bool finished, const std::string& err) {
        Post([this, cid, finished, err] {
            auto it = calls_.find(cid);
            if (it == calls_.end()) return;
            if (!finished) {
                out_.Error(ident_.id, "stream " + it->second.kind + " failed: " + err);
                EndCall(cid, "media failed", true);
                return;
            }
            if (!o_.Has(Fault::NoMediaStatus)) SendMessage(ident_.id, MediaStatusNotify(ident_.id, sn_++));
            if (it->second.kind == "Download") {
                EndCall(cid, "download finished, MediaStatus 121 sent", true);
            } else {
                Print("stream " + it->second.kind + " reached the end of the recording, MediaStatus 121 sent");
            }
        });
    };
    auto stream = std::make_unique<Stream>(p, line, end);
    if (!stream->Prepare(error)) {
        agent_.SendCallAnswer(ev.tid, 500, nullptr);
        out_.Error(ident_.id, "INVITE " + kind + " for " + channel + " answered 500: " + error);
        return;
    }
    MediaAnswer a;
    a.deviceId = channel.empty() ? ident_.id : channel;
    a.sessionName = kind;
    a.address = ident_.address;
    a.port = s.transport == tvsend::MediaTransport::TcpConnect ? 9 : stream->LocalPort();
    a.tcp = offer.tcp;
    a.setup = role;
    a.start = offer.start;
    a.end = offer.end;
    a.ssrc = o_.Has(Fault::BadSdp) ? "" : ssrcText;
    a.payloadType = o_.payloadType;
    a.format = o_.Has(Fault::FMismatch) ? std::string(kFMismatchFormat) : o_.format;
    sipua::MessagePtr ans;
    if (agent_.BuildCallAnswer(ev.tid, 200, ans) != 0 || !ans) {
        out_.Error(ident_.id, "cannot answer the INVITE");
        return;
    }
    std::string body = BuildAnswer(a);
    osip_message_set_body(ans.get(), body.data(), body.size());
    osip_message_set_content_type(ans.get(), "application/sdp");
    if (o_.Has(Fault::ContactBack)) BreakDialogAnswer(ans.get(), o_.serverId, o_.serverIp, o_.serverPort);
    agent_.SendCallAnswer(ev.tid, 200, std::move(ans));
    std::string how = !offer.tcp ? "UDP to " + offer.address + ":" + std::to_string(offer.port)
                      : role == "passive"
                          ? "TCP, listening on port " + std::to_string(stream->LocalPort())
                          : "TCP, connecting to " + offer.address + ":" + std::to_string(offer.port);
    std::string extra;
    if (kind != "Play")
        extra = ", " + LocalTime(offer.start) + " to " + LocalTime(offer.end) + ", " +
                std::to_string(static_cast<int>(p.length)) + " s" +
                (kind == "Download" ? " at speed " + Fixed1(p.speed) : "");
    Print("INVITE " + kind + " for " + channel + ": " + how + ", SSRC " +
          std::to_string(s.ssrc) + (o_.Has(Fault::DollarTcp) && offer.tcp ? ", '$' framing" : "") +
          (o_.Has(Fault::BadSdp) ? ", answer without y=" : "") +
          (o_.Has(Fault::FpsStamp) ? ", stamped at the source's rate, 12 pictures a second" : "") +
          (o_.Has(Fault::PsBareKey) ? ", key pictures without system header and map" : "") +
          (o_.Has(Fault::GopLong) ? ", key pictures " + std::to_string(kGopLongSeconds) + " s apart"
                                  : "") +
          (o_.Has(Fault::RtpGaps) ? ", a sequence number skipped every " +
                                        std::to_string(kRtpGapEvery) + " packets"
                                  : "") +
          extra + "; answered 200");
    Call c;
    c.cid = cid;
    c.kind = kind;
    c.channel = channel;
    c.stream = std::move(stream);
    // Devices that answer so send at once: the ACK would never reach them.
    if (o_.Has(Fault::ContactBack)) c.started = true, c.stream->Start();
    calls_[cid] = std::move(c);
    std::lock_guard<std::mutex> g(statsM_);
    stats_.calls++;
}

void Device::OnCallRequest(sipua::Event& ev) {
    std::string method = Method(ev.request.get());
    auto it = calls_.find(ev.cid);
    if (method != "INFO" || it == calls_.end()) {
        agent_.SendCallAnswer(ev.tid, 200, nullptr);
        Print(method + " in call answered 200");
        return;
    }
    PlaybackCommand c;
    std::string error;
    if (!ParsePlaybackCommand(BodyOf(ev.request.get()), c, error)) {
        agent_.SendCallAnswer(ev.tid, 400, nullptr);
        out_.Error(ident_.id, "INFO answered 400: " + error);
        return;
    }
    // The stream changes before the 200 goes out: nothing of the old pace
    // follows the answer.
    Stream& s = *it->second.stream;
    std::string what = c.method;
    if (c.method == "PAUSE") {
        s.Pause();
    } else if (c.method == "PLAY") {
        if (c.hasScale) {
            s.SetScale(c.scale);
            what += " scale " + Fixed1(c.scale) + (c.scale < 0 ? " (sent forward)" : "");
        }
        // npt=0- and npt=now- go on from where the stream is; a later start seeks.
        if (c.hasRange && c.rangeStart > 0) {
            s.Seek(c.rangeStart);
            what += " seek to " + Fixed1(c.rangeStart) + " s";
        }
        s.Resume();
    } else if (c.method == "TEARDOWN") {
        agent_.SendCallAnswer(ev.tid, 200, nullptr);
        EndCall(ev.cid, "TEARDOWN received", true);
        return;
    } else {
        what += " (not simulated)";
    }
    agent_.SendCallAnswer(ev.tid, 200, nullptr);
    Print("INFO " + what + " on " + it->second.kind + "; answered 200");
}

void Device::EndCall(int cid, const std::string& why, bool sendBye) {
    auto it = calls_.find(cid);
    if (it == calls_.end()) return;
    it->second.stream->Stop();
    StreamStats st = it->second.stream->Stats();
    std::string kind = it->second.kind;
    calls_.erase(it);
    {
        std::lock_guard<std::mutex> g(statsM_);
        stats_.frames += st.frames;
        stats_.bytes += st.bytes;
    }
    Print("stream " + kind + " ended (" + why + "): " + std::to_string(st.frames) + " frames, " +
          std::to_string(st.packets) + " packets, " + std::to_string(st.bytes) + " bytes");
    if (sendBye) {
        if (agent_.TerminateCall(cid, 0) == 0) Print("BYE sent");
        else out_.Error(ident_.id, "cannot send BYE");
    }
}

void Device::EndAllCalls() {
    std::vector<int> ids;
    for (auto& [cid, c] : calls_) ids.push_back(cid);
    for (int cid : ids) EndCall(cid, "leaving", true);
    voice_->EndAll();
}

} // namespace tvsim
