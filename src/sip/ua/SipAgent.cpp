#include "sip/ua/SipAgentImpl.h"
#include "sip/ua/OsipBlocks.h"

namespace sipua {

const char* EventKindName(EventKind k) {
    switch (k) {
    case EventKind::CallIncoming:
        return "call incoming";
    case EventKind::CallNoAnswer:
        return "call no answer";
    case EventKind::CallProceeding:
        return "call proceeding";
    case EventKind::CallRinging:
        return "call ringing";
    case EventKind::CallAnswered:
        return "call answered";
    case EventKind::CallRedirected:
        return "call redirected";
    case EventKind::CallRejected:
        return "call rejected";
    case EventKind::CallServerFailure:
        return "call server failure";
    case EventKind::CallGlobalFailure:
        return "call global failure";
    case EventKind::CallAckReceived:
        return "call ack received";
    case EventKind::CallCancelled:
        return "call cancelled";
    case EventKind::CallRequest:
        return "request in call";
    case EventKind::CallRequestProceeding:
        return "in-call request proceeding";
    case EventKind::CallRequestAnswered:
        return "in-call request answered";
    case EventKind::CallRequestFailed:
        return "in-call request failed";
    case EventKind::CallRequestNoAnswer:
        return "in-call request no answer";
    case EventKind::CallClosed:
        return "call closed";
    case EventKind::CallReleased:
        return "call released";
    case EventKind::OutOfCallRequest:
        return "request";
    case EventKind::OutOfCallProceeding:
        return "request proceeding";
    case EventKind::OutOfCallAnswered:
        return "request answered";
    case EventKind::OutOfCallRedirected:
        return "request redirected";
    case EventKind::OutOfCallRejected:
        return "request rejected";
    case EventKind::OutOfCallServerFailure:
        return "request server failure";
    case EventKind::OutOfCallGlobalFailure:
        return "request global failure";
    case EventKind::OutOfCallNoAnswer:
        return "request no answer";
    case EventKind::SubscriptionProceeding:
        return "subscription proceeding";
    case EventKind::SubscriptionAnswered:
        return "subscription answered";
    case EventKind::SubscriptionRedirected:
        return "subscription redirected";
    case EventKind::SubscriptionFailed:
        return "subscription failed";
    case EventKind::SubscriptionNoAnswer:
        return "subscription no answer";
    case EventKind::SubscriptionNotify:
        return "subscription notify";
    case EventKind::InvalidInput:
        return "invalid input";
    case EventKind::RequestShed:
        return "request shed";
    case EventKind::NotifyRefused:
        return "notify refused";
    }
    return "unknown";
}



// ====================================================================

SipAgent::SipAgent() : impl_(std::make_unique<Impl>()) {}

SipAgent::~SipAgent() {
    Shutdown();
    if (impl_->osip) osip_release(impl_->osip);
}

int SipAgent::Init() {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (impl_->osip) return 0;
    InstallOsipBlocks();
    osip_t* o = nullptr;
    // libosip2 prints every parse error of bad input; we count those as
    // ordinary events of the wire. Debian's build prints whatever the level
    // table says until a trace function of our own takes the lines.
    if (!impl_->trace) {
        osip_trace_initialize_func(END_TRACE_LEVEL, &QuietTrace);
        for (int l = 0; l < END_TRACE_LEVEL; ++l)
            osip_trace_disable_level(static_cast<osip_trace_level_t>(l));
    }
    if (osip_init(&o) != 0) return -1;
    impl_->osip = o;
    osip_set_application_context(o, impl_.get());
    osip_set_cb_send_message(o, &Impl::CbSend);
    for (int t = OSIP_ICT_INVITE_SENT; t < OSIP_MESSAGE_CALLBACK_COUNT; ++t)
        osip_set_message_callback(o, t, &Impl::CbMessage);
    for (int t = OSIP_ICT_KILL_TRANSACTION; t <= OSIP_NIST_KILL_TRANSACTION; ++t)
        osip_set_kill_transaction_callback(o, t, &Impl::CbKill);
    for (int t = OSIP_ICT_TRANSPORT_ERROR; t < OSIP_TRANSPORT_ERROR_CALLBACK_COUNT; ++t)
        osip_set_transport_error_callback(o, t, &Impl::CbTransportError);
    return 0;
}


int SipAgent::Listen(int protocol, const char* address, int port, int family, bool secure) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!impl_->osip || impl_->transport || family != AF_INET) return -1;
    if (port < 0 || port > 65535) return -1;
    // A peer that closes its TLS connection must not end the process when
    // OpenSSL writes to it (plain sockets use MSG_NOSIGNAL).
    if (secure && protocol == IPPROTO_TCP) signal(SIGPIPE, SIG_IGN);
    auto t = std::make_unique<Transport>(protocol, secure);
    t->SetTrace(impl_->trace);
    t->SetClock(impl_->connClock);
    t->SetLimits(impl_->maxConns, impl_->idleLimit);
    if (t->Open(address, port) != 0) return -1;
    impl_->transport = std::move(t);
    impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    impl_->stop = false;
    Impl* im = impl_.get();
    impl_->worker = std::thread([im] {
        auto lastSweep = std::chrono::steady_clock::now();
        auto lastTick = lastSweep;
        auto lastExpire = lastSweep;
        std::vector<pollfd> fds, ready;
        while (!im->stop) {
            fds.clear();
            {
                std::lock_guard<std::recursive_mutex> g2(im->mu);
                fds.push_back({im->wakeFd, POLLIN, 0});
                im->transport->CollectFds(fds);
            }
            poll(fds.data(), fds.size(), 20);
            if (im->stop) break;
            if (fds[0].revents) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = read(im->wakeFd, &v, sizeof v);
            }
            bool notify = false;
            {
                std::lock_guard<std::recursive_mutex> g2(im->mu);
                im->batching = true;
                ready.assign(fds.begin() + 1, fds.end());
                im->transport->HandleReady(ready, [im](Datagram& d) { im->OnDatagram(d); });
                auto now = std::chrono::steady_clock::now();
                if (now - lastTick >= std::chrono::milliseconds(20)) {
                    im->Tick();
                    lastTick = now;
                }
                if (now - lastSweep > std::chrono::seconds(5)) {
                    im->SweepStale();
                    lastSweep = now;
                }
                if (now - lastExpire >= std::chrono::milliseconds(250)) {
                    im->transport->ExpireIdle();
                    lastExpire = now;
                }
                im->batching = false;
                notify = im->notifyPending.exchange(false);
            }
            if (im->DeliverDirect()) notify = true;
            if (notify) im->qcv.notify_one();
        }
    });
    return 0;
}


void SipAgent::SetEventQueueLimit(std::size_t events) { impl_->queueLimit = events; }


std::uint64_t SipAgent::ShedCount() const { return impl_->shedTotal.load(); }


std::uint64_t SipAgent::InvalidInputCount() const { return impl_->invalidTotal.load(); }


std::map<std::string, std::uint64_t> SipAgent::InvalidInputBySource() const {
    std::lock_guard<std::mutex> g(impl_->invalidMu);
    return impl_->invalidBySource;
}


int SipAgent::BoundPort() const {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    return impl_->transport ? impl_->transport->BoundPort() : 0;
}


void SipAgent::Shutdown() {
    impl_->stop = true;
    if (impl_->worker.joinable()) {
        impl_->Wake();
        impl_->worker.join();
    }
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    Impl& m = *impl_;
    if (m.osip) {
        for (auto& [id, t] : m.txs)
            if (t.tr) m.Discard(t.tr);
        m.txs.clear();
        m.index.clear();
        m.answered.clear();
        m.answeredOrder.clear();
        m.FreeGarbage();
    }
    m.dialogs.clear();
    m.calls.clear();
    m.subs.clear();
    m.transport.reset();
    if (m.wakeFd >= 0) close(m.wakeFd);
    m.wakeFd = -1;
    m.directAnswers.clear();
    std::lock_guard<std::mutex> q(m.qmu);
    m.queue.clear();
    m.directPending = false;
}


void SipAgent::SetUserAgent(const char* text) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->userAgent = Trim(text);
}


void SipAgent::SetIdleLimit(int seconds) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->idleLimit = std::chrono::seconds(seconds > 0 ? seconds : 0);
    if (impl_->transport) impl_->transport->SetLimits(impl_->maxConns, impl_->idleLimit);
}


void SipAgent::SetConnectionLimit(int count) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->maxConns = count > 0 ? static_cast<std::size_t>(count) : 1;
    if (impl_->transport) impl_->transport->SetLimits(impl_->maxConns, impl_->idleLimit);
}


int SipAgent::ConnectionCount() const {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    return impl_->transport ? static_cast<int>(impl_->transport->Count()) : 0;
}


void SipAgent::SetConnectionClock(std::function<std::chrono::steady_clock::time_point()> clock) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->connClock = clock;
    if (impl_->transport) impl_->transport->SetClock(std::move(clock));
}


void SipAgent::SetWireHook(WireHook hook) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->wireHook = std::move(hook);
}



void SipAgent::SetContactAddress(const char* address) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->contactAddress = Trim(address);
}


EventPtr SipAgent::WaitEvent(int seconds, int milliseconds) {
    std::unique_lock<std::mutex> l(impl_->qmu);
    impl_->ownerBusy = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) +
                 std::chrono::milliseconds(milliseconds);
    // Answers the worker gave meanwhile are reported first (DeliverDirect).
    if (!impl_->qcv.wait_until(l, until, [this] {
            return !impl_->queue.empty() && !impl_->directPending;
        }))
        return nullptr;
    EventPtr e = std::move(impl_->queue.front());
    impl_->queue.pop_front();
    impl_->ownerBusy = true;
    return e;
}

void SipAgent::SetDirectMessages(DirectMessages* handler) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->direct = handler;
}


void SipAgent::Lock() {
    impl_->mu.lock();
}

void SipAgent::Unlock() {
    impl_->mu.unlock();
}




















} // namespace sipua
