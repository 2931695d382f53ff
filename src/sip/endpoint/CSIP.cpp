#include "sip/endpoint/CSIP.h"


#include <arpa/inet.h>

#include <algorithm>
#include <random>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kNoBody = "No Body!\n";

// Header values go out without surrounding blanks and line ends.
std::string Trimmed(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    return std::string(text);
}

const char* ViaParam(osip_via_t* via, const char* name) {
    osip_generic_param_t* p = nullptr;
    if (!via || osip_via_param_get_byname(via, const_cast<char*>(name), &p) != 0 || !p) return nullptr;
    return p->gvalue;
}

std::string UserOf(osip_from_t* addr) {
    osip_uri_t* url = addr ? osip_from_get_url(addr) : nullptr;
    return url && url->username ? url->username : "";
}

// The device's side of a message: From of the requests it sends and of our
// answers to them, To of our requests and of its answers to them.
std::string PeerUser(const osip_message_t* m, int direction) {
    auto* msg = const_cast<osip_message_t*>(m);
    const bool request = MSG_IS_REQUEST(msg);
    const bool fromSide = request == (direction == kLogReceived);
    return fromSide ? UserOf(osip_message_get_from(msg)) : UserOf(osip_message_get_to(msg));
}

// The version header of the 2022 edition (absent from 2016 devices); the
// device's own is read from its logged REGISTER.
constexpr const char* kGbVersionHeader = "X-GB-Ver";

std::string FirstBody(const osip_message_t* m) {
    osip_body_t* body = nullptr;
    osip_message_get_body(const_cast<osip_message_t*>(m), 0, &body);
    return body && body->body ? std::string(body->body, body->length) : std::string();
}

// The received message being handled on this thread: where it came from and
// the answer decided for it, for its log row.
struct IncomingInfo {
    std::string host;
    int port = 0;
    int status = 0;
    const std::string* wire = nullptr; // the bytes as they arrived
};
thread_local const IncomingInfo* tIncoming = nullptr;

} // namespace

// Marks the event being handled on this thread for the rows it logs.
struct CSIP::Incoming {
    Incoming(CSIP&, const sipua::Event& ev, int status)
        : info{ev.sourceHost, ev.sourcePort, status, ev.wire.empty() ? nullptr : &ev.wire} {
        saved = tIncoming;
        tIncoming = &info;
    }
    ~Incoming() { tIncoming = saved; }
    Incoming(const Incoming&) = delete;
    Incoming& operator=(const Incoming&) = delete;
    IncomingInfo info;
    const IncomingInfo* saved;
};

std::uint16_t PortFromText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10u + static_cast<std::uint32_t>(text[i] - '0'); // wraps like the C conversion
    if (negative) v = 0u - v;
    return static_cast<std::uint16_t>(v);
}

LogTexts ExtractLogTexts(const osip_message_t* message) {
    LogTexts t;
    char* dest = nullptr;
    size_t len = 0;
    int r = message ? osip_message_to_str(const_cast<osip_message_t*>(message), &dest, &len) : -1;
    if (r != 0 || !dest) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "osip_message_to_str Error nRet =%d", r);
        t.error = buf;
        if (dest) osip_free(dest);
        return t;
    }
    std::string_view whole(dest, len);
    osip_body_t* body = nullptr;
    osip_message_get_body(const_cast<osip_message_t*>(message), 0, &body);
    std::string_view head = whole;
    if (!body || !body->body) {
        t.body = kNoBody;
    } else {
        t.body.assign(body->body, body->length);
        head = whole.substr(0, whole.size() >= body->length ? whole.size() - body->length : 0);
    }
    // The whole head is logged (a received one is at most 64 KiB); only the
    // workbook cuts a cell, at its 32,767-character limit.
    t.head.reserve(head.size() + 1);
    t.head.assign(head);
    t.head += '\n';
    osip_free(dest);
    t.ok = true;
    return t;
}

bool LogTextsFromWire(std::string_view wire, const osip_message_t* message, LogTexts& t) {
    auto* m = const_cast<osip_message_t*>(message);
    const std::size_t he = wire.find("\r\n\r\n");
    if (!m || he == std::string_view::npos) return false;
    // The bytes must be this message's: a request's or an answer's, with its Call-ID.
    if ((wire.compare(0, 4, "SIP/") == 0) != MSG_IS_RESPONSE(m)) return false;
    if (!m->call_id || !m->call_id->number || wire.substr(0, he).find(m->call_id->number) == std::string_view::npos)
        return false;
    // One body, as osip read it (a multipart body is shown as osip splits it).
    const std::string_view rest = wire.substr(he + 4);
    const int bodies = osip_list_size(&m->bodies);
    osip_body_t* body = nullptr;
    if (bodies > 1 || (m->content_type && m->content_type->type &&
                       osip_strcasecmp(m->content_type->type, "multipart") == 0))
        return false;
    if (bodies == 1) {
        osip_message_get_body(m, 0, &body);
        if (!body || !body->body || body->length != rest.size() ||
            std::memcmp(body->body, rest.data(), rest.size()) != 0)
            return false;
        t.body.assign(rest);
    } else {
        if (!rest.empty()) return false;
        t.body = kNoBody;
    }
    const std::string_view head = wire.substr(0, he + 4);
    t.head.reserve(head.size() + 1);
    t.head.assign(head);
    t.head += '\n';
    t.ok = true;
    return true;
}

bool LogTextsFromSent(std::string_view wire, LogTexts& t) {
    const std::size_t he = wire.find("\r\n\r\n");
    if (he == std::string_view::npos) return false;
    const std::string_view body = wire.substr(he + 4);
    if (body.empty()) t.body = kNoBody;
    else t.body.assign(body);
    t.head.reserve(he + 5);
    t.head.assign(wire.substr(0, he + 4));
    t.head += '\n';
    t.ok = true;
    return true;
}

void FillDeviceFromRegister(const osip_message_t* request, DeviceAddress& device,
                            const std::string& sourceHost, int sourcePort) {
    auto* req = const_cast<osip_message_t*>(request);
    osip_from_t* from = osip_message_get_from(req);
    osip_uri_t* url = from ? osip_from_get_url(from) : nullptr;
    const char* host = url ? url->host : nullptr;
    const char* user = url ? url->username : nullptr;
    const char* portText = url ? url->port : nullptr;
    char field[32];
    auto cut = [&](const char* text) {
        // Identifiers and hosts are kept to 31 bytes, as the tree stores them.
        std::snprintf(field, sizeof field, "%s", text ? text : "");
        return std::string(field);
    };
    device.id = cut(user);
    // Requests go back where the packets come from (RFC 3581 received and
    // rport): a From or Via behind NAT names an address nobody can reach.
    if (!sourceHost.empty() && sourcePort > 0) {
        device.address = cut(sourceHost.c_str());
        device.port = sourcePort;
        return;
    }
    device.address = cut(host);
    device.port = portText ? PortFromText(portText) : 0;
    osip_via_t* via = nullptr;
    osip_message_get_via(req, 0, &via);
    const char* rport = ViaParam(via, "rport");
    if (device.port == 0 && rport && *rport) device.port = PortFromText(rport);
}

int RegisterExpires(const osip_message_t* request) {
    auto* req = const_cast<osip_message_t*>(request);
    osip_header_t* h = nullptr;
    if (osip_message_header_get_byname(req, "expires", 0, &h) >= 0 && h && h->hvalue)
        return std::atoi(h->hvalue);
    osip_contact_t* contact = nullptr;
    if (osip_message_get_contact(req, 0, &contact) >= 0 && contact) {
        osip_generic_param_t* p = nullptr;
        if (osip_contact_param_get_byname(contact, const_cast<char*>("expires"), &p) >= 0 && p &&
            p->gvalue)
            return std::atoi(p->gvalue);
    }
    return -1;
}

CSIP::CSIP() {
    thread_.routine = &CSIP::EventLoop;
    endWorker_ = std::thread([this] { CallEndWorker(); });
}

CSIP::~CSIP() {
    Stop();
    {
        std::lock_guard<std::mutex> lk(endMutex_);
        endQuit_ = true;
    }
    endCv_.notify_all();
    if (endWorker_.joinable()) endWorker_.join();
}

void CSIP::SetContentType(const std::string& contentType) { contentType_ = Trimmed(contentType); }

int CSIP::Start(int transport, const SipSettings& settings, ISipEvents& events) {
    if (context_) return 0;
    settings_ = settings;
    events_ = &events;
    registrar_ = std::make_unique<tarvex::sipauth::DigestRegistrar>(settings_.domain, clock);
    if (!settings_.digestAlgorithm.empty() &&
        !registrar_->SetChallengeAlgorithm(settings_.digestAlgorithm))
        std::fprintf(stderr, "digest algorithm %s is not available; REGISTER is challenged with MD5\n",
                     settings_.digestAlgorithm.c_str());
    registeredFrom_.clear();
    auto ctx = std::make_unique<sipua::SipAgent>();
    if (ctx->Init() != 0) return -1;
    int protocol = 0;
    bool secure = false;
    switch (transport) {
    case 0: protocol = IPPROTO_UDP; break;
    case 1: protocol = IPPROTO_TCP; break;
    case 2: protocol = IPPROTO_TCP; secure = true; break;
    case 3: protocol = IPPROTO_UDP; secure = true; break;
    default: break; // listens nowhere
    }
    if (protocol != 0) {
        if (ctx->Listen(protocol, nullptr, settings_.port, AF_INET, secure) != 0) {
            ctx->Shutdown();
            return -1;
        }
        if (settings_.port == 0) settings_.port = ctx->BoundPort();
    }
    ctx->SetUserAgent("Tarvex\r\n");
    directRows_.clear();
    ctx->SetDirectMessages(this);
    if (!settings_.address.empty()) ctx->SetContactAddress(settings_.address.c_str());
    {
        std::lock_guard<std::mutex> lk(endMutex_);
        context_ = std::move(ctx);
    }
    thread_.Start("m_hThread", this);
    return 0;
}

void CSIP::Stop() {
    if (!context_) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainLimitMs);
    drainUntil_ = until.time_since_epoch().count();
    // The thread sees the flag clear, handles what is queued and returns.
    thread_.Stop();
    {
        // Calls ended just before (exit) leave before the stack goes.
        std::unique_lock<std::mutex> lk(endMutex_);
        endCv_.wait(lk, [this] { return ends_.empty() && !endBusy_; });
    }
    context_->Shutdown();
    context_->SetDirectMessages(nullptr);
    directRows_.clear();
    std::lock_guard<std::mutex> lk(endMutex_);
    context_.reset();
}

int CSIP::BoundPort() const { return context_ ? context_->BoundPort() : 0; }

std::uint64_t CSIP::ShedCount() const { return context_ ? context_->ShedCount() : 0; }

std::uint64_t CSIP::InvalidInputCount() const {
    return context_ ? context_->InvalidInputCount() : 0;
}

std::map<std::string, std::uint64_t> CSIP::InvalidInputBySource() const {
    return context_ ? context_->InvalidInputBySource() : std::map<std::string, std::uint64_t>{};
}

std::string EscapeBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n\n"; // the line break kept, for reading
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void CSIP::LogInvalid(const sipua::Event& ev) {
    if (!events_) return;
    LoggedMessage m;
    m.direction = kLogReceived;
    m.role = LoggedMessage::Role::Invalid;
    m.deviceId = ev.sourceHost + ":" + std::to_string(ev.sourcePort);
    m.peerUser.clear();
    m.head = ev.text + ", from " + m.deviceId + "\n";
    m.body = EscapeBytes(ev.datagramBody) + "\n";
    events_->OnMessageLogged(m);
}

void CSIP::EventLoop(CThread* t) {
    auto* self = static_cast<CSIP*>(t->argument);
    sipua::SipAgent* ctx = self->Agent();
    for (;;) {
        const bool stopping = !t->IsRunning();
        if (stopping && std::chrono::steady_clock::now().time_since_epoch().count() >
                            self->drainUntil_.load())
            break;
        sipua::EventPtr ev = ctx->WaitEvent(0, stopping ? kDrainQuietMs : 300);
        if (!ev) {
            if (stopping) break; // nothing more arrived: the backlog is done
            continue;
        }
        ctx->DefaultAction(*ev);
        self->HandleEvent(*ev);
    }
}

void CSIP::Log(const osip_message_t* message, int direction, LoggedMessage::Role role,
               const std::string& deviceId, const std::string& datagramBody) {
    if (!events_) return;
    LoggedMessage m;
    if (MakeRow(message, direction, role, deviceId, datagramBody, m)) events_->OnMessageLogged(m);
}

bool CSIP::MakeRow(const osip_message_t* message, int direction, LoggedMessage::Role role,
                   const std::string& deviceId, const std::string& datagramBody,
                   LoggedMessage& m) {
    // A received message is logged from its own bytes when they are at hand.
    LogTexts texts;
    if (direction != kLogReceived || !tIncoming || !tIncoming->wire ||
        !LogTextsFromWire(*tIncoming->wire, message, texts))
        texts = ExtractLogTexts(message);
    if (!texts.ok) return false;
    m.direction = direction;
    m.role = role;
    m.deviceId = deviceId;
    m.peerUser = PeerUser(message, direction);
    if (direction == kLogReceived && tIncoming) {
        m.sourceHost = tIncoming->host;
        m.sourcePort = tIncoming->port;
        m.answerStatus = tIncoming->status;
    }
    m.head = std::move(texts.head);
    m.body = std::move(texts.body);
    m.datagramBody = datagramBody;
    return true;
}

void CSIP::HandleEvent(sipua::Event& ev) {
    using K = sipua::EventKind;
    Incoming from(*this, ev, 0);
    osip_message_t* req = ev.request.get();
    osip_message_t* resp = ev.response.get();
    const char* method = req ? osip_message_get_method(req) : nullptr;
    auto is = [&](const char* m) { return method && std::strcmp(method, m) == 0; };
    switch (ev.kind) {
    case K::InvalidInput: LogInvalid(ev); break;
    case K::RequestShed:
        // The layer answered 503 at once; the request itself is not handled
        // (the device sends it again), so only the answer is logged.
        if (resp) Log(resp, kLogSent);
        break;
    case K::CallAnswered: {
        if (resp) Log(resp, kLogReceived);
        if (ev.ack) {
            // The layer acknowledged the 2xx end to end already.
            Log(ev.ack.get(), kLogSent);
        } else {
            sipua::AgentLock lock(*Agent());
            sipua::MessagePtr ack;
            if (Agent()->BuildAck(ev.did, ack) == 0 && ack) {
                Log(ack.get(), kLogSent);
                Agent()->SendAck(ev.did, std::move(ack));
            }
        }
        if (events_) events_->OnCallAnswered(ev.cid, ev.did, resp ? FirstBody(resp) : std::string());
        break;
    }
    case K::CallIncoming: OnCallIncoming(ev); break;
    case K::CallRedirected:
    case K::CallRejected:
    case K::CallServerFailure:
    case K::CallGlobalFailure:
        // A refused INVITE (488, say) is the device's answer as much as a 200,
        // and so is the ACK the transaction layer sent for it.
        if (resp) Log(resp, kLogReceived);
        if (ev.ack) Log(ev.ack.get(), kLogSent);
        // The call is over now; its release comes when the transaction ends.
        if (events_) events_->OnCallClosed(ev.cid, ev.did);
        break;
    case K::CallAckReceived:
        if (req) Log(req, kLogReceived);
        break;
    case K::CallRequest:
        if (is("INFO")) AnswerInCall(ev.tid);
        break;
    case K::OutOfCallRequest:
        if (is("REGISTER")) {
            OnRegister(ev);
        } else if (is("MESSAGE")) {
            // The core decides the answer first (a sender that is not
            // registered is refused, so that it registers again; with a
            // register password, one from another address than its accepted
            // registration's too); the row says which answer it got.
            const int status = DecideMessage(req, ev.sourceHost, ev.sourcePort);
            Incoming decided(*this, ev, status);
            AnswerMessageFirst(ev, status);
        }
        break;
    case K::OutOfCallAnswered:
    case K::OutOfCallRedirected:
    case K::OutOfCallRejected:
    case K::OutOfCallServerFailure:
    case K::OutOfCallGlobalFailure:
        // A refusal (a 501 to a PTZ command, say) is as much the device's answer as a 200.
        if (registered_ && resp) Log(resp, kLogReceived);
        break;
    case K::CallRequestAnswered:
    case K::CallRequestFailed:
        // The answer to an INFO of ours; a BYE's answer comes with CallReleased.
        if (resp && !is("BYE")) Log(resp, kLogReceived);
        break;
    case K::CallClosed:
        // The device's BYE; the layer answers it.
        if (resp) Log(resp, kLogReceived);
        else if (req) Log(req, kLogReceived);
        break;
    case K::CallReleased: {
        // The answer a BYE of ours got; an unanswered INVITE's final answer
        // was logged when it came (above).
        const osip_cseq_t* cseq = resp ? osip_message_get_cseq(resp) : nullptr;
        const bool invite = cseq && cseq->method && std::strcmp(cseq->method, "INVITE") == 0;
        if (resp && !invite) Log(resp, kLogReceived);
        if (events_) events_->OnCallClosed(ev.cid, ev.did);
        break;
    }
    case K::SubscriptionAnswered:
    case K::SubscriptionRedirected:
    case K::SubscriptionFailed:
    case K::SubscriptionNoAnswer:
        if (resp) Log(resp, kLogReceived);
        ReportSubscription(ev);
        break;
    case K::NotifyRefused: {
        // Answered by the layer already; logged as refused, so never applied.
        Incoming refused(*this, ev, resp ? resp->status_code : 481);
        if (req) Log(req, kLogReceived);
        if (resp) Log(resp, kLogSent);
        break;
    }
    case K::SubscriptionNotify:
        // A NOTIFY of our subscription is shown; the layer answers it.
        if (resp) Log(resp, kLogReceived);
        else if (req) Log(req, kLogReceived);
        ReportSubscription(ev);
        break;
    default: break;
    }
}

void CSIP::OnRegister(sipua::Event& ev) {
    DeviceAddress device;
    FillDeviceFromRegister(ev.request.get(), device, ev.sourceHost, ev.sourcePort);
    const std::string& id = device.id;
    const bool leaving = RegisterExpires(ev.request.get()) == 0;
    IncomingRequest in{"REGISTER", id, ev.sourceHost, ev.sourcePort, nullptr};
    // A new device beyond the registry's room is refused before anything else.
    const int admitted = leaving || !events_ ? 200 : events_->AdmitRequest(in);
    Incoming from(*this, ev, admitted);
    Log(ev.request.get(), kLogReceived, LoggedMessage::Role::Register, id);
    if (admitted != 200) {
        AnswerRegister(ev.tid, admitted, id, {});
        return;
    }
    if (!settings_.registerPassword.empty() && ChallengeRegister(ev, id) != 0) return;
    registered_ = true;
    const std::string date = LocalTimeText(Now(clock));
    AnswerMessage(ev.tid, &date, id);
    if (!events_) return;
    if (leaving)
        events_->OnDeviceUnregistered(id);
    else
        events_->OnDeviceRegistered(device);
}

int CSIP::ChallengeRegister(sipua::Event& ev, const std::string& deviceId) {
    using tarvex::sipauth::DigestVerdict;
    osip_message_t* req = ev.request.get();
    osip_authorization_t* auth = nullptr;
    osip_message_get_authorization(req, 0, &auth);
    char* text = nullptr;
    std::string authorization;
    if (auth && osip_authorization_to_str(auth, &text) == 0 && text) authorization = text;
    if (text) osip_free(text);
    char* uriText = nullptr;
    std::string requestUri;
    if (req->req_uri && osip_uri_to_str(req->req_uri, &uriText) == 0 && uriText) requestUri = uriText;
    if (uriText) osip_free(uriText);
    tarvex::sipauth::DigestRequest r;
    r.authorization = authorization;
    r.method = "REGISTER";
    r.requestUri = requestUri;
    const std::string fromUser = UserOf(osip_message_get_from(req));
    r.fromUser = fromUser;
    r.sourceHost = ev.sourceHost;
    r.sourcePort = ev.sourcePort;
    const tarvex::sipauth::DigestOutcome out = registrar_->Verify(r, settings_.registerPassword);
    switch (out.verdict) {
    case DigestVerdict::Accepted:
        registeredFrom_[fromUser] = {ev.sourceHost, ev.sourcePort};
        return 0;
    case DigestVerdict::Refused:
        std::fprintf(stderr, "tarvex: REGISTER of %s refused: %s (from %s:%d)\n", deviceId.c_str(),
                     out.reason.c_str(), ev.sourceHost.c_str(), ev.sourcePort);
        AnswerRegister(ev.tid, 403, deviceId, {});
        return 403;
    case DigestVerdict::Stale:
    case DigestVerdict::Challenge: break;
    }
    AnswerRegister(ev.tid, 401, deviceId,
                   registrar_->Challenge(ev.sourceHost, ev.sourcePort,
                                         out.verdict == DigestVerdict::Stale));
    return 401;
}

bool CSIP::KnownAddress(const std::string& user, const std::string& host, int port) const {
    const auto it = registeredFrom_.find(user);
    return it != registeredFrom_.end() && it->second.first == host && it->second.second == port;
}

int CSIP::DecideMessage(const osip_message_t* req, const std::string& sourceHost, int sourcePort) {
    const std::string body = FirstBody(req);
    const std::string user = UserOf(osip_message_get_from(const_cast<osip_message_t*>(req)));
    IncomingRequest in{"MESSAGE", user, sourceHost, sourcePort, &body};
    int status = events_ ? events_->AdmitRequest(in) : 200;
    if (status == 200 && !settings_.registerPassword.empty() && !KnownAddress(user, sourceHost, sourcePort))
        status = 403;
    return status;
}

int CSIP::Admit(const sipua::SipAgent::DirectMessage& dm) {
    if (!events_) return 0;
    const int status = DecideMessage(dm.request, dm.sourceHost, dm.sourcePort);
    IncomingInfo info{dm.sourceHost, dm.sourcePort, status, dm.wire};
    const IncomingInfo* saved = tIncoming;
    tIncoming = &info;
    LoggedMessage row;
    const bool shown = MakeRow(dm.request, kLogReceived, LoggedMessage::Role::Plain, {},
                               dm.datagramBody ? *dm.datagramBody : std::string(), row);
    tIncoming = saved;
    // A request that cannot be shown takes the usual way, which logs what it can.
    if (!shown) return 0;
    directRows_.push_back(std::move(row));
    return status;
}

void CSIP::Answered(const std::string& answer) {
    if (directRows_.empty()) return;
    LoggedMessage request = std::move(directRows_.front());
    directRows_.pop_front();
    if (!events_) return;
    events_->OnMessageLogged(request);
    // The device's From, in the answer as in the request.
    LoggedMessage row;
    if (SentRow(answer, request.peerUser, row)) events_->OnMessageLogged(row);
}

bool CSIP::SentRow(const std::string& bytes, const std::string& peerUser, LoggedMessage& row) {
    LogTexts texts;
    if (bytes.empty() || !LogTextsFromSent(bytes, texts)) return false;
    row.direction = kLogSent;
    row.peerUser = peerUser;
    row.head = std::move(texts.head);
    row.body = std::move(texts.body);
    return true;
}

void CSIP::AnswerMessageFirst(sipua::Event& ev, int status) {
    // The 200 goes out before the rows are logged and the body dispatched, so
    // that the device's wait does not include them. The rows still come in
    // wire order: the request's, then its answer's (made from the answer
    // before it was sent).
    LoggedMessage answerRow;
    bool answered = false;
    {
        sipua::AgentLock lock(*Agent());
        sipua::MessagePtr answer;
        if (Agent()->BuildAnswer(ev.tid, status, answer) == 0 && answer) {
            const std::string peer = PeerUser(answer.get(), kLogSent);
            // Serialised once: the row is made from the bytes that were sent.
            std::string sent;
            Agent()->SendAnswer(ev.tid, status, std::move(answer), &sent);
            answered = SentRow(sent, peer, answerRow);
        }
    }
    Log(ev.request.get(), kLogReceived, LoggedMessage::Role::Plain, {}, ev.datagramBody);
    if (answered && events_) events_->OnMessageLogged(answerRow);
}

void CSIP::AnswerRegister(int tid, int status, const std::string& deviceId,
                          const std::string& wwwAuthenticate) {
    sipua::AgentLock lock(*Agent());
    sipua::MessagePtr answer;
    if (Agent()->BuildAnswer(tid, status, answer) != 0 || !answer) return;
    if (!wwwAuthenticate.empty())
        osip_message_set_www_authenticate(answer.get(), wwwAuthenticate.c_str());
    if (!settings_.gbVersion.empty())
        osip_message_set_header(answer.get(), kGbVersionHeader, settings_.gbVersion.c_str());
    Log(answer.get(), kLogSent, LoggedMessage::Role::RegisterAnswer, deviceId);
    Agent()->SendAnswer(tid, status, std::move(answer));
}

void CSIP::AnswerMessage(int tid, const std::string* date, const std::string& deviceId,
                         int status) {
    sipua::AgentLock lock(*Agent());
    sipua::MessagePtr answer;
    if (Agent()->BuildAnswer(tid, status, answer) != 0 || !answer) return;
    if (date) osip_message_set_header(answer.get(), "Date", Trimmed(*date).c_str());
    if (date && !settings_.gbVersion.empty())
        osip_message_set_header(answer.get(), kGbVersionHeader, settings_.gbVersion.c_str());
    Log(answer.get(), kLogSent,
        date ? LoggedMessage::Role::RegisterAnswer : LoggedMessage::Role::Plain, deviceId);
    Agent()->SendAnswer(tid, status, std::move(answer));
}

void CSIP::AnswerInCall(int tid) {
    sipua::AgentLock lock(*Agent());
    sipua::MessagePtr answer;
    if (Agent()->BuildCallAnswer(tid, 200, answer) != 0 || !answer) {
        Agent()->SendCallAnswer(tid, 400, nullptr);
        return;
    }
    Log(answer.get(), kLogSent);
    Agent()->SendCallAnswer(tid, 200, std::move(answer));
}

SendResult CSIP::Send(const SipRequest& r) {
    SendResult result;
    sipua::SipAgent* ua = Agent();
    if (!ua) return result;
    char to[160], from[160];
    std::snprintf(to, sizeof to, "<sip:%s@%s:%d>", r.to.id.c_str(), r.to.address.c_str(), r.to.port);
    std::snprintf(from, sizeof from, "<sip:%s@%s:%d>", settings_.id.c_str(),
                  settings_.address.c_str(), settings_.port);
    // Held from building to sending, so that the row of the request comes
    // before the row of any answer to it.
    sipua::AgentLock lock(*ua);
    sipua::MessagePtr msg;
    int built = -1;
    switch (r.kind) {
    case 1:
    case 4: built = ua->BuildRequest(msg, "MESSAGE", to, from, nullptr); break;
    case 5:
        built = ua->BuildInitialInvite(msg, to, from, nullptr,
                                       r.subject.empty() ? "INVITE" : r.subject.c_str());
        break;
    case 6: built = ua->BuildInfo(r.dialogId, msg); break;
    case 7:
        built = r.subscriptionId > 0
                    ? ua->BuildSubscribeRefresh(r.subscriptionId, r.expires, msg)
                    : ua->BuildInitialSubscribe(msg, to, from, nullptr, r.event.c_str(), r.expires);
        break;
    default: return result; // NOTIFY and unknown kinds: nothing is built or sent
    }
    if (built != 0 || !msg) return result;
    if (!settings_.gbVersion.empty())
        osip_message_set_header(msg.get(), kGbVersionHeader, settings_.gbVersion.c_str());
    if (!r.body.empty()) {
        osip_message_set_body(msg.get(), r.body.data(), r.body.size());
        const std::string type = r.kind == 5            ? std::string("application/sdp")
                                 : r.contentType.empty() ? contentType_
                                                         : Trimmed(r.contentType);
        osip_message_set_content_type(msg.get(), type.c_str());
    }
    Log(msg.get(), kLogSent);
    int id = 0;
    switch (r.kind) {
    case 5: id = ua->SendInitialInvite(std::move(msg)); break;
    case 6: id = ua->SendCallRequest(r.dialogId, std::move(msg)); break;
    case 7:
        id = r.subscriptionId > 0 ? ua->SendSubscribeRefresh(r.subscriptionId, std::move(msg))
                                  : ua->SendInitialSubscribe(std::move(msg));
        break;
    default: id = ua->SendRequest(std::move(msg)); break;
    }
    result.sent = id > 0;
    if (r.kind == 5 && id > 0) result.callId = id;
    if (r.kind == 7 && id > 0) result.subscriptionId = r.subscriptionId > 0 ? r.subscriptionId : id;
    return result;
}

void CSIP::EndCall(int callId, int dialogId) {
    {
        std::lock_guard<std::mutex> lk(endMutex_);
        ends_.push_back({callId, dialogId});
    }
    endCv_.notify_all();
}

void CSIP::EndOneCall(sipua::SipAgent& ua, const CallEnd& e) {
    // An answered call's BYE is built here rather than by TerminateCall, so
    // that it is logged like every request we send, before it goes out.
    sipua::AgentLock lock(ua);
    sipua::MessagePtr bye;
    if (e.dialogId > 0 && ua.BuildCallRequest(e.dialogId, "BYE", bye) == 0 && bye) {
        Log(bye.get(), kLogSent);
        ua.SendCallRequest(e.dialogId, std::move(bye));
        return;
    }
    ua.TerminateCall(e.callId, e.dialogId);
}

void CSIP::CallEndWorker() {
    std::unique_lock<std::mutex> lk(endMutex_);
    for (;;) {
        endCv_.wait(lk, [this] { return endQuit_ || !ends_.empty(); });
        if (ends_.empty()) return;
        CallEnd e = ends_.front();
        ends_.pop_front();
        endBusy_ = true;
        // Stop waits for this worker before the context goes.
        sipua::SipAgent* ua = Agent();
        lk.unlock();
        if (ua) EndOneCall(*ua, e);
        lk.lock();
        endBusy_ = false;
        endCv_.notify_all();
    }
}

void CSIP::ReportSubscription(const sipua::Event& ev) {
    if (!events_) return;
    SubscriptionReport r;
    r.subscriptionId = ev.sid;
    r.notify = ev.kind == sipua::EventKind::SubscriptionNotify;
    auto header = [](const osip_message_t* m, const char* name) {
        osip_header_t* h = nullptr;
        return m && osip_message_header_get_byname(m, name, 0, &h) >= 0 && h && h->hvalue
                   ? std::string(h->hvalue)
                   : std::string();
    };
    if (r.notify) {
        r.subscriptionState = header(ev.request.get(), "Subscription-State");
    } else if (const osip_message_t* a = ev.response.get()) {
        r.status = a->status_code;
        if (a->reason_phrase) r.phrase = a->reason_phrase;
        osip_header_t* e = nullptr;
        if (osip_message_get_expires(a, 0, &e) >= 0 && e && e->hvalue) r.expires = std::atoi(e->hvalue);
    }
    events_->OnSubscription(r);
}
