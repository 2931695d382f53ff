#include "sip/endpoint/CSIP.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kHeadLimit = 2047;
constexpr const char* kNoBody = "No Body!\n";

// Header values go out without surrounding blanks and line ends.
std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.back())) s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && blank(s[i])) ++i;
    return s.substr(i);
}

bool IsIPv4(const char* host) {
    in_addr a{};
    return host && *host && inet_pton(AF_INET, host, &a) == 1;
}

const char* ViaParam(osip_via_t* via, const char* name) {
    osip_generic_param_t* p = nullptr;
    if (!via || osip_via_param_get_byname(via, const_cast<char*>(name), &p) != 0 || !p) return nullptr;
    return p->gvalue;
}

} // namespace

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
    std::string whole(dest, len);
    osip_free(dest);
    osip_body_t* body = nullptr;
    osip_message_get_body(const_cast<osip_message_t*>(message), 0, &body);
    std::string head;
    if (!body || !body->body) {
        t.body = kNoBody;
        head = whole;
    } else {
        t.body.assign(body->body, body->length);
        head = whole.substr(0, whole.size() >= body->length ? whole.size() - body->length : 0);
    }
    // The head buffer holds 2047 bytes; a longer head is cut.
    if (head.size() > kHeadLimit) head.resize(kHeadLimit);
    t.head = head + "\n";
    t.ok = true;
    return t;
}

void FillDeviceFromRegister(const osip_message_t* request, EXOSIP2INFO& node) {
    auto* req = const_cast<osip_message_t*>(request);
    osip_from_t* from = osip_message_get_from(req);
    osip_uri_t* url = from ? osip_from_get_url(from) : nullptr;
    const char* host = url ? url->host : nullptr;
    const char* user = url ? url->username : nullptr;
    const char* portText = url ? url->port : nullptr;
    EXOSIP2INFO::SetField(node.address, host ? host : "");
    EXOSIP2INFO::SetField(node.id, user ? user : "");
    node.port = portText ? PortFromText(portText) : 0;

    osip_via_t* via = nullptr;
    osip_message_get_via(req, 0, &via);
    const char* rport = ViaParam(via, "rport");
    bool haveRport = rport && *rport;
    if (node.port == 0 && haveRport) node.port = PortFromText(rport);

    // A From host that is no IPv4 address (a domain code), or a port that
    // neither the URI nor rport gives, cannot be sent to: use the source of
    // the packet as the transport recorded it in the top Via.
    bool missingPort = (!portText || !*portText) && !haveRport;
    if (!IsIPv4(host) || missingPort) {
        const char* received = ViaParam(via, "received");
        const char* viaHost = via ? via_get_host(via) : nullptr;
        const char* source = received && *received ? received : viaHost;
        const char* viaPort = via ? via_get_port(via) : nullptr;
        if (source && *source) EXOSIP2INFO::SetField(node.address, source);
        if (haveRport)
            node.port = PortFromText(rport);
        else if (viaPort && *viaPort)
            node.port = PortFromText(viaPort);
        else
            node.port = 5060;
    }
}

std::string DateHeaderText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

CSIP::CSIP() {
    thread.routine = &CSIP::EventLoop;
    worker_ = std::thread([this] { SendWorker(); });
}

CSIP::~CSIP() {
    {
        std::lock_guard<std::mutex> lk(queueMutex_);
        workerQuit_ = true;
    }
    queueCv_.notify_all();
    if (worker_.joinable()) worker_.join();
    Stop();
}

int CSIP::Start(int transport, ISipOwner* o, const SipSettings& settings) {
    if (o) {
        owner = o;
        localPort = settings.port;
        localAddress = settings.address;
        localId = settings.id;
        localDomain = settings.domain;
    }
    if (!context) {
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
            if (ctx->Listen(protocol, nullptr, localPort, AF_INET, secure) != 0) {
                ctx->Shutdown();
                return -1;
            }
            if (localPort == 0) localPort = ctx->BoundPort();
        }
        ctx->SetUserAgent("Tarvex\r\n");
        if (!localAddress.empty()) ctx->SetContactAddress(localAddress.c_str());
        context = std::move(ctx);
        {
            std::lock_guard<std::mutex> lk(stopMutex_);
            stopping_ = false;
        }
        thread.Start("m_hThread", this);
    }
    active = o ? 1 : 0;
    return 0;
}

void CSIP::Stop() {
    {
        std::lock_guard<std::mutex> lk(stopMutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
    if (thread.IsRunning()) thread.Stop();
    FlushSends();
    if (context) {
        context->Shutdown();
        context.reset();
    }
    active = 0;
}

int CSIP::BoundPort() const { return context ? context->BoundPort() : 0; }

void CSIP::PauseMs(int ms) {
    std::unique_lock<std::mutex> lk(stopMutex_);
    stopCv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

bool CSIP::OnEventThread() const { return eventThreadId_.load() == std::this_thread::get_id(); }

void CSIP::EventLoop(CThread* t) {
    auto* self = static_cast<CSIP*>(t->argument);
    self->eventThreadId_ = std::this_thread::get_id();
    while (t->IsRunning()) {
        sipua::SipAgent* ctx = self->context.get();
        if (!self->active || !ctx) {
            // Nothing is handled while inactive; wait like an empty pass would.
            self->PauseMs(100);
            continue;
        }
        sipua::EventPtr ev = ctx->WaitEvent(0, 300);
        if (!ev) continue;
        ctx->Lock();
        ctx->DefaultAction(*ev);
        self->transactionId = ev->tid;
        self->HandleEvent(*ev);
        ev.reset();
        self->PauseMs(200);
        ctx->Unlock();
    }
    self->eventThreadId_ = std::thread::id();
}

void CSIP::HandleEvent(sipua::Event& ev) {
    using K = sipua::EventKind;
    osip_message_t* req = ev.request.get();
    osip_message_t* resp = ev.response.get();
    const char* method = req ? osip_message_get_method(req) : nullptr;
    auto is = [&](const char* m) { return method && std::strcmp(method, m) == 0; };
    switch (ev.kind) {
    case K::CallAnswered: {
        callId = ev.cid;
        dialogId = ev.did;
        if (resp) LogMessage(resp, 2);
        if (ev.ack) {
            // The layer acknowledged the 2xx end to end already.
            LogMessage(ev.ack.get(), 1);
        } else {
            sipua::MessagePtr ack;
            if (context->BuildAck(ev.did, ack) == 0 && ack) {
                LogTexts texts = ExtractLogTexts(ack.get());
                context->SendAck(ev.did, std::move(ack));
                if (texts.ok && owner) owner->AddLogRow(1, texts.body, texts.head, nullptr);
            }
        }
        if (onCallAnswered) onCallAnswered(ev, *context);
        break;
    }
    case K::CallAckReceived:
        if (req) LogMessage(req, 2);
        break;
    case K::CallRequest:
        if (is("INFO")) AnswerRequest(1);
        break;
    case K::OutOfCallRequest:
        if (is("REGISTER")) {
            OnRegister(ev);
        } else if (is("MESSAGE") && registered == 1) {
            LogMessage(req, 2);
            AnswerRequest(0);
        }
        break;
    case K::OutOfCallAnswered:
        if (registered == 1 && resp) LogMessage(resp, 2);
        break;
    case K::CallClosed:
    case K::CallReleased:
    case K::SubscriptionAnswered:
        if (resp) LogMessage(resp, 2);
        break;
    case K::SubscriptionNotify:
        // A NOTIFY of our subscription is shown; the layer answers it.
        if (resp) LogMessage(resp, 2);
        else if (req) LogMessage(req, 2);
        break;
    default: break;
    }
}

void CSIP::OnRegister(sipua::Event& ev) {
    auto node = std::make_unique<EXOSIP2INFO>();
    device = node.get();
    FillDeviceFromRegister(ev.request.get(), *node);
    node->kind = kNodeDevice;
    {
        std::lock_guard<std::mutex> lk(targetMutex_);
        target_ = Target{node->id, node->address, node->port};
    }
    if (owner) owner->SetTypeText("注册信息");
    LogMessage(ev.request.get(), 2, node->id);
    registered = 1;
    std::string date = DateHeaderText();
    AnswerRequest(0, date.c_str(), node->id);
    if (owner) owner->OnDeviceRegistered(std::move(node));
}

int CSIP::AnswerRequest(int kind, const char* text, const char* registeringId) {
    if (!context) return -1;
    sipua::AgentLock lock(*context);
    int tid = transactionId;
    sipua::MessagePtr answer;
    if (kind == 0) {
        int r = context->BuildAnswer(tid, 200, answer);
        if (r != 0 || !answer) return r != 0 ? r : -1;
        if (text) osip_message_set_header(answer.get(), "Date", Trimmed(text).c_str());
        LogTexts texts = ExtractLogTexts(answer.get());
        context->SendAnswer(tid, 200, std::move(answer));
        if (owner) {
            std::lock_guard<std::mutex> lk(textMutex_);
            receivedBody_.clear();
            sentBody_ = texts.ok ? texts.body : "";
            headerText_ = texts.ok ? texts.head : texts.error;
        }
        if (owner && texts.ok) owner->AddLogRow(1, texts.body, texts.head, registeringId);
        return 0;
    }
    if (kind == 1) {
        if (context->BuildCallAnswer(tid, 200, answer) != 0 || !answer) {
            context->SendCallAnswer(tid, 400, nullptr);
            return -1;
        }
        if (text) {
            osip_message_set_body(answer.get(), text, std::strlen(text));
            osip_message_set_content_type(answer.get(), "application/sdp");
        }
        LogTexts texts = ExtractLogTexts(answer.get());
        context->SendCallAnswer(tid, 200, std::move(answer));
        if (owner && texts.ok) owner->AddLogRow(1, texts.body, texts.head, nullptr);
        return 0;
    }
    return -1;
}

void CSIP::LogMessage(const osip_message_t* message, int direction, const char* registeringId) {
    LogTexts texts = ExtractLogTexts(message);
    {
        std::lock_guard<std::mutex> lk(textMutex_);
        receivedBody_.clear();
        sentBody_.clear();
        headerText_ = texts.ok ? texts.head : texts.error;
        if (texts.ok) (direction == 2 ? receivedBody_ : sentBody_) = texts.body;
    }
    if (texts.ok && owner) owner->AddLogRow(direction, texts.body, texts.head, registeringId);
}

std::string CSIP::ReceivedBody() const {
    std::lock_guard<std::mutex> lk(textMutex_);
    return receivedBody_;
}
std::string CSIP::SentBody() const {
    std::lock_guard<std::mutex> lk(textMutex_);
    return sentBody_;
}
std::string CSIP::HeaderText() const {
    std::lock_guard<std::mutex> lk(textMutex_);
    return headerText_;
}

int CSIP::SendRequest(const char* body) { return Send(requestKind, body ? body : ""); }

int CSIP::Send(int kind, const std::string& body) {
    requestKind = kind;
    if (registered != 1) {
        if (owner) owner->ShowMessageBox(kNotRegisteredText);
        return -1;
    }
    if (!OnEventThread()) {
        // The event thread holds the layer during its pauses: the operator's
        // thread never waits for it. Its sends go through one worker, in order.
        {
            std::lock_guard<std::mutex> lk(queueMutex_);
            queue_.push_back(Job{kind, body});
        }
        queueCv_.notify_all();
        return 0;
    }
    int r = DoSend(kind, body);
    active = 1;
    return r;
}

void CSIP::SendWorker() {
    std::unique_lock<std::mutex> lk(queueMutex_);
    for (;;) {
        queueCv_.wait(lk, [this] { return workerQuit_ || !queue_.empty(); });
        if (queue_.empty() && workerQuit_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        workerBusy_ = true;
        lk.unlock();
        DoSend(job.kind, job.body);
        active = 1;
        lk.lock();
        workerBusy_ = false;
        queueCv_.notify_all();
    }
}

void CSIP::FlushSends() {
    std::unique_lock<std::mutex> lk(queueMutex_);
    queueCv_.wait(lk, [this] { return (queue_.empty() && !workerBusy_) || workerQuit_; });
}

int CSIP::DoSend(int kind, const std::string& body) {
    if (!context) return 0;
    Target t;
    {
        std::lock_guard<std::mutex> lk(targetMutex_);
        t = target_;
    }
    char to[128], from[128];
    std::snprintf(to, sizeof to, "<sip:%s@%s:%d>", t.id.c_str(), t.address.c_str(), t.port);
    std::snprintf(from, sizeof from, "<sip:%s@%s:%d>", localId.c_str(), localAddress.c_str(),
                  localPort);
    sipua::AgentLock lock(*context);
    sipua::MessagePtr msg;
    int r = -1;
    int did = dialogId;
    switch (kind) {
    case 1:
    case 4: r = context->BuildRequest(msg, "MESSAGE", to, from, nullptr); break;
    case 5: r = context->BuildInitialInvite(msg, to, from, nullptr, "INVITE"); break;
    case 6: r = context->BuildInfo(did, msg); break;
    case 7: r = context->BuildInitialSubscribe(msg, to, from, nullptr, "presence", 90); break;
    default: return 0; // NOTIFY and unknown kinds: nothing is built or sent
    }
    if (r != 0 || !msg) return 0;
    if (!body.empty()) {
        osip_message_set_body(msg.get(), body.data(), body.size());
        osip_message_set_content_type(msg.get(),
                                      kind == 5 ? "application/sdp" : Trimmed(contentType).c_str());
    }
    LogTexts texts = ExtractLogTexts(msg.get());
    switch (kind) {
    case 5: context->SendInitialInvite(std::move(msg)); break;
    case 6: context->SendCallRequest(did, std::move(msg)); break;
    case 7: context->SendInitialSubscribe(std::move(msg)); break;
    default: context->SendRequest(std::move(msg)); break;
    }
    {
        std::lock_guard<std::mutex> lk(textMutex_);
        receivedBody_.clear();
        sentBody_ = texts.ok ? texts.body : "";
        headerText_ = texts.ok ? texts.head : texts.error;
    }
    if (owner && texts.ok) owner->AddLogRow(1, texts.body, texts.head, nullptr);
    return 0;
}
