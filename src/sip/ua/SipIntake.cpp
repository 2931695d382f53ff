// The intake of SipAgent: each datagram or framed stream message parsed,
// checked, counted when it cannot be SIP, shed under overload, and handed to
// its transaction.
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

// Counts bytes that cannot be a SIP message and reports them, rate-limited.
void SipAgent::Impl::Invalid(const Datagram& d, const char* why) {
    ++invalidTotal;
    const auto now = std::chrono::steady_clock::now();
    bool report = false;
    {
        std::lock_guard<std::mutex> g(invalidMu);
        std::string source = d.host + ":" + std::to_string(d.port);
        if (invalidBySource.size() >= 1024 && !invalidBySource.count(source)) source = "other";
        ++invalidBySource[source];
        if (now - invalidWindow >= std::chrono::seconds(1)) {
            invalidWindow = now;
            invalidInWindow = 0;
        }
        report = invalidInWindow < kInvalidEventsPerSecond;
        if (report) ++invalidInWindow;
    }
    if (trace) fprintf(stderr, "sipua << %s:%d invalid input: %s\n", d.host.c_str(), d.port, why);
    if (!report) return;
    auto e = std::make_unique<Event>();
    e->kind = EventKind::InvalidInput;
    e->text = why;
    e->sourceHost = d.host;
    e->sourcePort = d.port;
    e->datagramBody.assign(d.data, 0, std::min(d.data.size(), kInvalidBytesKept));
    Push(std::move(e));
}

bool SipAgent::Impl::QueueFull() {
    const std::size_t limit = queueLimit.load();
    if (limit == 0) return false;
    std::lock_guard<std::mutex> g(qmu);
    return queue.size() >= limit;
}

// 503 with Retry-After to a new request while the queue is full, sent at
// once without a transaction (a retransmission is judged again).
void SipAgent::Impl::Shed(osip_message_t* m, int connId) {
    ++shedTotal;
    osip_message_t* r = MakeResponse(m, 503, Hex(10));
    if (!r) return;
    osip_message_set_header(r, "Retry-After", std::to_string(kShedRetryAfterSeconds).c_str());
    SetUa(r);
    char* host = nullptr;
    int port = 5060;
    osip_response_get_destination(r, &host, &port);
    if (host) {
        SendRaw(r, host, port, connId);
        osip_free(host);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - shedWindow >= std::chrono::seconds(1)) {
        shedWindow = now;
        shedInWindow = 0;
    }
    if (shedInWindow < kInvalidEventsPerSecond) {
        ++shedInWindow;
        auto e = MakeEvent(EventKind::RequestShed, nullptr);
        e->request = Clone(m);
        e->response = Clone(r);
        Push(std::move(e));
    }
    osip_message_free(r);
}

void SipAgent::Impl::OnDatagram(Datagram& d) {
    if (d.invalid) {
        Invalid(d, d.invalid);
        return;
    }
    struct IntakeEnd {
        Intake& rx;
        ~IntakeEnd() {
            rx.active = false;
            rx.wholeBody.clear();
            rx.wire = nullptr;
        }
    } intakeEnd{rx};
    rx.active = true;
    rx.host = d.host;
    rx.port = d.port;
    rx.wholeBody.clear();
    std::string& s = d.data;
    if (trace)
        fprintf(stderr, "sipua << %s:%d (%d)\n%s\n", d.host.c_str(), d.port, d.connId,
                s.c_str());
    std::size_t start = s.find_first_not_of("\r\n");
    if (start == std::string::npos) return; // keep-alive
    if (start) s.erase(0, start);
    std::size_t he = s.find("\r\n\r\n");
    if (he == std::string::npos) return Invalid(d, "no end of the header section");
    if (he > kMaxHeaderBytes) return Invalid(d, "header section over 64 KiB");
    long cl = FindContentLength(s.data(), he + 2);
    std::size_t bodyAvail = s.size() - (he + 4);
    bool shortBody = false;
    if (cl == -2) return Invalid(d, "unreadable Content-Length");
    if (cl >= 0 && static_cast<std::size_t>(cl) < bodyAvail) {
        // RFC 3261 18.3: the body is what Content-Length says; the rest
        // is kept for an owner that finds the declared body unusable.
        rx.wholeBody.assign(s, he + 4, std::string::npos);
        s.resize(he + 4 + cl);
    }
    if (cl >= 0 && static_cast<std::size_t>(cl) > bodyAvail) shortBody = true;
    rx.wire = &s;
    if (shortBody) {
        Invalid(d, "body shorter than its Content-Length");
        // Parse the head alone to answer 400 to a request; drop a response.
        // The head alone, without its Content-Length, is enough to answer.
        std::string head;
        std::size_t pos = 0;
        while (pos < he + 2) {
            std::size_t e = s.find("\r\n", pos);
            std::string line = s.substr(pos, e - pos);
            pos = e + 2;
            std::size_t colon = line.find(':');
            std::string name = colon == std::string::npos ? "" : line.substr(0, colon);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.pop_back();
            if (!strcasecmp(name.c_str(), "Content-Length") || !strcasecmp(name.c_str(), "l"))
                continue;
            head += line + "\r\n";
        }
        head += "\r\n";
        osip_message_t* m = nullptr;
        if (osip_message_init(&m) == 0) {
            if (osip_message_parse(m, head.data(), head.size()) == 0 && m->sip_method &&
                strcmp(m->sip_method, "ACK") != 0 && m->call_id && m->cseq && m->from &&
                m->to) {
                osip_message_fix_last_via_header(m, d.host.c_str(), d.port);
                StatelessAnswer(m, 400, d.connId);
            }
            osip_message_free(m);
        }
        return;
    }
    osip_event_t* evt = osip_parse(s.data(), s.size());
    if (!evt) return Invalid(d, "not parsed as a SIP message");
    osip_message_t* m = evt->sip;
    bool request = m && m->sip_method != nullptr;
    bool complete = m && m->call_id && m->call_id->number && m->cseq && m->cseq->method &&
                    m->cseq->number && m->from && m->to && osip_list_size(&m->vias) > 0;
    if (!m || osip_list_size(&m->vias) == 0) {
        osip_event_free(evt);
        return Invalid(d, "no Via");
    }
    if (request) osip_message_fix_last_via_header(m, d.host.c_str(), d.port);
    if (!complete ||
        (request && (!m->req_uri || strcasecmp(m->cseq->method, m->sip_method) != 0))) {
        Invalid(d, "a mandatory header missing or unreadable");
        if (request && strcmp(m->sip_method, "ACK") != 0) StatelessAnswer(m, 400, d.connId);
        osip_event_free(evt);
        return;
    }
    if (request && d.connId > 0) {
        auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
        if (via && via->host)
            transport->AddAlias(d.connId, via->host, via->port ? atoi(via->port) : 5060);
    }
    std::string key = KeyOf(m, request);
    if (request && !key.empty() && strcmp(m->sip_method, "ACK") != 0) {
        auto done = answered.find(key);
        if (done != answered.end()) {
            SendBytes(done->second.bytes, done->second.host, done->second.port,
                      done->second.connId);
            osip_event_free(evt);
            return;
        }
    }
    osip_transaction_t* found = nullptr;
    if (!key.empty()) {
        auto it = index.find(key);
        if (it != index.end()) found = it->second;
    } else {
        found = __osip_find_transaction(osip, evt, 0);
    }
    if (found) {
        Run(found, evt);
        return;
    }
    if (!request) {
        StrayResponse(m);
        osip_event_free(evt);
        return;
    }
    if (!strcmp(m->sip_method, "ACK")) {
        DialogAck(m);
        osip_event_free(evt);
        return;
    }
    if (AnswerDirect(m, d, key)) {
        osip_event_free(evt);
        return;
    }
    if (strcmp(m->sip_method, "CANCEL") != 0 && TagOf(m->to).empty() && QueueFull()) {
        Shed(m, d.connId);
        osip_event_free(evt);
        return;
    }
    const bool invite = strcmp(m->sip_method, "INVITE") == 0;
    osip_transaction_t* tr = CreateFast(invite ? IST : NIST,
                                        [&] { return osip_create_transaction(osip, evt); },
                                        invite || key.empty());
    if (!tr) {
        osip_event_free(evt);
        return;
    }
    osip_transaction_set_in_socket(tr, d.connId);
    osip_transaction_set_out_socket(tr, d.connId);
    pendingRequest = m;
    TxRec& t = Register(tr, Scope::Incoming);
    pendingRequest = nullptr;
    t.localTag = Hex(10);
    Run(tr, evt);
}

bool SipAgent::Impl::AnswerDirect(osip_message_t* m, const Datagram& d, const std::string& key) {
    if (!direct || key.empty() || strcmp(m->sip_method, "MESSAGE") != 0 || !TagOf(m->to).empty())
        return false;
    {
        // Only with nothing before it on the owner's side: its rows and its
        // admission then keep the order of the wire.
        std::lock_guard<std::mutex> g(qmu);
        if (!queue.empty() || ownerBusy) return false;
    }
    SipAgent::DirectMessage dm;
    dm.request = m;
    dm.wire = rx.wire;
    dm.datagramBody = &rx.wholeBody;
    dm.sourceHost = d.host;
    dm.sourcePort = d.port;
    const int status = direct->Admit(dm);
    if (status < 200 || status > 699) return false;
    {
        std::lock_guard<std::mutex> g(qmu);
        directPending = true;
    }
    std::string bytes;
    if (osip_message_t* r = MakeResponse(m, status, Hex(10))) {
        char* buf = nullptr;
        size_t len = 0;
        char* host = nullptr;
        int port = 5060;
        osip_response_get_destination(r, &host, &port);
        if (osip_message_to_str(r, &buf, &len) == 0 && buf && host) {
            bytes.assign(buf, len);
            const int connId = d.connId > 0 ? d.connId : 0;
            // Absorbs the request's retransmissions as a transaction would.
            if (!transport->Reliable()) KeepAnswer(key, bytes, host, port, connId);
            SendBytes(bytes, host, port, connId);
        }
        if (buf) osip_free(buf);
        if (host) osip_free(host);
        osip_message_free(r);
    }
    directAnswers.push_back(std::move(bytes));
    return true;
}

bool SipAgent::Impl::DeliverDirect() {
    std::vector<std::string> answers;
    SipAgent::DirectMessages* handler = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        answers.swap(directAnswers);
        handler = direct;
    }
    if (answers.empty()) return false;
    if (handler)
        for (const std::string& a : answers)
            handler->Answered(a);
    std::lock_guard<std::mutex> g(qmu);
    directPending = false;
    return !queue.empty();
}

// A 2xx to an INVITE whose transaction is gone: our ACK was lost.
void SipAgent::Impl::StrayResponse(osip_message_t* m) {
    if (m->status_code < 200 || m->status_code >= 300 || !m->cseq || !m->cseq->method ||
        strcmp(m->cseq->method, "INVITE") != 0)
        return;
    for (auto& [id, dr] : dialogs)
        if (dr->ack && dr->d && osip_dialog_match_as_uac(dr->d, m) == 0)
            SendRaw(dr->ack.get(), dr->ackHost, dr->ackPort, 0);
}

void SipAgent::Impl::DialogAck(osip_message_t* m) {
    for (auto& [id, dr] : dialogs) {
        if (!dr->d || dr->d->type != CALLEE || osip_dialog_match_as_uas(dr->d, m) != 0)
            continue;
        dr->ok.bytes.clear();
        auto e = MakeEvent(EventKind::CallAckReceived, nullptr);
        e->did = dr->did;
        e->cid = dr->cid;
        e->request = Clone(m);
        Push(std::move(e));
        return;
    }
}

int SipAgent::InjectInput(const std::string& bytes, const char* host, int port) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    Impl& m = *impl_;
    if (!m.transport || !m.osip) return -1;
    std::string h = host ? host : "";
    if (m.transport->Reliable()) {
        m.transport->InjectStream(bytes, h, port, [&m](Datagram& d) { m.OnDatagram(d); });
    } else {
        Datagram d;
        d.data = bytes;
        d.host = h;
        d.port = port;
        m.OnDatagram(d);
    }
    return 0;
}

} // namespace sipua
