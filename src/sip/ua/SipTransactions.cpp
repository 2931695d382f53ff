// The transaction layer of SipAgent: the event queue, the state machines
// and their callbacks, sending, timers, answers and client transactions.
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

std::string SipAgent::Impl::Hex(int n) {
    static const char* hx = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < n; ++i)
        s += hx[rng() & 15];
    return s;
}

void SipAgent::Impl::Push(EventPtr e) {
    {
        std::lock_guard<std::mutex> g(qmu);
        queue.push_back(std::move(e));
    }
    if (batching) {
        notifyPending = true;
        return;
    }
    qcv.notify_one();
}

EventPtr SipAgent::Impl::MakeEvent(EventKind k, const TxRec* t) {
    auto e = std::make_unique<Event>();
    e->kind = k;
    e->text = EventKindName(k);
    if (rx.active) {
        e->sourceHost = rx.host;
        e->sourcePort = rx.port;
        e->datagramBody = rx.wholeBody;
        if (rx.wire) e->wire = *rx.wire;
    }
    if (t) {
        e->tid = t->tid;
        e->cid = t->cid;
        e->did = t->did;
        e->sid = t->sid;
    }
    return e;
}

void SipAgent::Impl::Wake() {
    if (wakeFd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }
}

// Hands one event to one transaction and runs that machine (and any that
// its callbacks gave events to) until their queues are empty. Only the
// touched transactions run, so the cost does not grow with the number of
// transactions alive. Called from inside a state machine callback it only
// queues: osip enters the next state after the callback returns, and the
// outer run takes the event then.
void SipAgent::Impl::Run(osip_transaction_t* tr, osip_event_t* ev) {
    ++queued;
    osip_transaction_add_event(tr, ev);
    touched.push_back(tr);
    if (pumping) return;
    pumping = true;
    Drain();
    pumping = false;
}

void SipAgent::Impl::Drain() {
    while (!touched.empty()) {
        osip_transaction_t* t = touched.back();
        touched.pop_back();
        if (garbageSet.count(t)) continue;
        while (auto* se = static_cast<osip_event_t*>(osip_fifo_tryget(t->transactionff)))
            osip_transaction_execute(t, se);
    }
    for (int tid : finishing) {
        auto it = txs.find(tid);
        if (it != txs.end()) Finish(it->second);
    }
    finishing.clear();
}

// Index key of a transaction (RFC 3261 17.1.3 / 17.2.3): branch, method
// and, on the server side, the sent-by of the top Via. Empty for peers
// without the RFC 3261 branch cookie; those go through osip's own search.
std::string SipAgent::Impl::KeyOf(const osip_message_t* m, bool server) {
    auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
    if (!via || !m->cseq || !m->cseq->method) return "";
    osip_generic_param_t* br = nullptr;
    osip_via_param_get_byname(via, const_cast<char*>("branch"), &br);
    if (!br || !br->gvalue || strncmp(br->gvalue, "z9hG4bK", 7) != 0) return "";
    std::string method = m->cseq->method;
    if (server && method == "ACK") method = "INVITE";
    std::string k = std::string(server ? "S|" : "C|") + br->gvalue + "|" + method;
    if (server) k += "|" + Str(via->host) + ":" + Str(via->port);
    return k;
}

TxRec* SipAgent::Impl::TxOf(osip_transaction_t* tr) {
    auto id =
        static_cast<int>(reinterpret_cast<intptr_t>(osip_transaction_get_your_instance(tr)));
    auto it = txs.find(id);
    return it == txs.end() ? nullptr : &it->second;
}

TxRec& SipAgent::Impl::Register(osip_transaction_t* tr, Scope s) {
    int id = NewId();
    osip_transaction_set_your_instance(tr, reinterpret_cast<void*>(static_cast<intptr_t>(id)));
    TxRec& t = txs[id];
    t.tid = id;
    t.tr = tr;
    t.scope = s;
    if (tr->orig_request || pendingRequest) {
        bool server = tr->ctx_type == IST || tr->ctx_type == NIST;
        t.key = KeyOf(tr->orig_request ? tr->orig_request : pendingRequest, server);
        if (!t.key.empty()) index[t.key] = tr;
    }
    return t;
}

DialogRec* SipAgent::Impl::Dialog(int did) {
    auto it = dialogs.find(did);
    return it == dialogs.end() ? nullptr : it->second.get();
}

// Local address used towards host (the kernel's route choice).
std::string SipAgent::Impl::LocalAddressFor(const std::string& host) {
    if (!contactAddress.empty()) return contactAddress;
    auto it = localAddrCache.find(host);
    if (it != localAddrCache.end()) return it->second;
    std::string out = "127.0.0.1";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5060);
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1) {
        UniqueSocket s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (s.valid() && connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            sockaddr_in l{};
            socklen_t len = sizeof l;
            getsockname(s.get(), reinterpret_cast<sockaddr*>(&l), &len);
            char buf[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &l.sin_addr, buf, sizeof buf);
            out = buf;
        }
    }
    // Hosts come from peers' Contact and Route headers: keep the cache small.
    if (localAddrCache.size() >= 256) localAddrCache.clear();
    localAddrCache[host] = out;
    return out;
}

void SipAgent::Impl::SetUa(osip_message_t* m) {
    if (!userAgent.empty()) osip_message_set_user_agent(m, userAgent.c_str());
}

// Puts a fresh top Via on a request going towards host.
void SipAgent::Impl::AddVia(osip_message_t* m, const std::string& host) {
    std::string via = "SIP/2.0/" + Str(transport->ViaName()) + " " + LocalAddressFor(host) +
                      ":" + std::to_string(transport->BoundPort()) + ";rport;branch=z9hG4bK" +
                      Hex(16);
    osip_message_set_via(m, via.c_str());
}

void SipAgent::Impl::ReplaceVia(osip_message_t* m, const std::string& host) {
    while (osip_list_size(&m->vias) > 0) {
        auto* v = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
        osip_list_remove(&m->vias, 0);
        osip_via_free(v);
    }
    AddVia(m, host);
    osip_message_force_update(m);
}

std::string SipAgent::Impl::DestHostOf(osip_message_t* m) {
    osip_route_t* r = nullptr;
    osip_message_get_route(m, 0, &r);
    if (r && r->url && r->url->host) return r->url->host;
    if (m->req_uri && m->req_uri->host) return m->req_uri->host;
    return "";
}

void SipAgent::Impl::AddContact(osip_message_t* m, const osip_from_t* self, const std::string& towards) {
    std::string user = self && self->url && self->url->username ? self->url->username : "";
    std::string c = "<sip:" + (user.empty() ? "" : user + "@") + LocalAddressFor(towards) +
                    ":" + std::to_string(transport->BoundPort());
    if (transport->Reliable() || Str(transport->ViaName()) != "UDP")
        c += std::string(";transport=") + (transport->Reliable() ? "tcp" : "udp");
    c += ">";
    osip_message_set_contact(m, c.c_str());
}

int SipAgent::Impl::SendRaw(osip_message_t* m, const std::string& host, int port, int connId) {
    char* buf = nullptr;
    size_t len = 0;
    if (osip_message_to_str(m, &buf, &len) != 0 || !buf) return -1;
    std::string data(buf, len);
    osip_free(buf);
    return SendBytes(std::move(data), host, port, connId);
}

// Every send ends here, so that the wire hook sees each one.
int SipAgent::Impl::SendBytes(std::string data, const std::string& host, int port, int connId) {
    if (wireHook && !wireHook(data, host, port)) {
        if (trace)
            fprintf(stderr, "sipua >> %s:%d (%d) dropped by the wire hook\n", host.c_str(),
                    port, connId);
        return 0;
    }
    int rc = transport->Send(data, host, port, connId);
    if (trace)
        fprintf(stderr, "sipua >> %s:%d (%d) rc=%d\n%s\n", host.c_str(), port, connId, rc,
                data.c_str());
    // Over a stream or DTLS a send may open a connection the worker must
    // poll; a plain UDP send changes nothing the worker waits on, and waking
    // it for each answer cost a thread switch per message.
    if (!transport->PlainDatagrams()) Wake();
    return rc;
}

int SipAgent::Impl::CbSend(osip_transaction_t* tr, osip_message_t* m, char* host, int port, int sock) {
    auto* self =
        static_cast<Impl*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
    if (!host) return -1;
    if (port <= 0) port = 5060;
    // One serialisation for the wire and the answer cache (or none when
    // SendAnswer made the bytes already).
    std::string data;
    if (m == self->presetMessage) {
        data = self->presetBytes;
    } else {
        char* buf = nullptr;
        size_t len = 0;
        if (osip_message_to_str(m, &buf, &len) != 0 || !buf) return -1;
        data.assign(buf, len);
        osip_free(buf);
    }
    bool ist2xx = tr->ctx_type == IST && m->status_code >= 200 && m->status_code < 300;
    if ((tr->ctx_type == NIST && m->status_code >= 200) || ist2xx) {
        TxRec* t = self->TxOf(tr);
        // osip ends an INVITE server transaction with its 2xx; the 2xx is
        // then ours to repeat (RFC 3261 13.3.1.4) until the ACK comes,
        // and a repeated INVITE gets it again rather than a new call.
        if (t && ist2xx && !self->transport->Reliable()) {
            auto c = self->calls.find(t->cid);
            DialogRec* dr = c != self->calls.end() ? self->Dialog(c->second.did) : nullptr;
            if (dr) {
                dr->ok.bytes = data;
                dr->ok.host = host;
                dr->ok.port = port;
                dr->ok.connId = sock > 0 ? sock : 0;
                dr->okInterval = std::chrono::milliseconds(500);
                dr->okNext = std::chrono::steady_clock::now() + dr->okInterval;
                dr->ok.until = std::chrono::steady_clock::now() + std::chrono::seconds(32);
            }
        }
        if (t && !self->transport->Reliable() && !t->key.empty())
            self->KeepAnswer(t->key, data, host, port, sock > 0 ? sock : 0);
        if (t && !ist2xx) self->finishing.push_back(t->tid);
    }
    return self->SendBytes(std::move(data), host, port, sock > 0 ? sock : 0) == 0 ? 0 : -1;
}

// The timers of every transaction, then whatever they queued. Run by
// the worker a few dozen times a second.
void SipAgent::Impl::Tick() {
    if (pumping) return;
    pumping = true;
    osip_timers_ict_execute(osip);
    osip_timers_ist_execute(osip);
    osip_timers_nict_execute(osip);
    osip_timers_nist_execute(osip);
    osip_ict_execute(osip);
    osip_ist_execute(osip);
    osip_nict_execute(osip);
    osip_nist_execute(osip);
    Drain();
    pumping = false;
    FreeGarbage();
    auto now = std::chrono::steady_clock::now();
    for (auto& [did, dr] : dialogs) {
        if (dr->ok.bytes.empty() || now < dr->okNext) continue;
        if (now > dr->ok.until) {
            dr->ok.bytes.clear(); // no ACK within 64*T1
            continue;
        }
        SendBytes(dr->ok.bytes, dr->ok.host, dr->ok.port, dr->ok.connId);
        dr->okInterval = std::min(dr->okInterval * 2, std::chrono::milliseconds(4000));
        dr->okNext = now + dr->okInterval;
    }
}

// Finished transactions leave osip's lists in one pass per tick rather
// than one list walk each, then are freed.
void SipAgent::Impl::FreeGarbage() {
    if (garbage.empty()) return;
    const auto& dead = garbageSet;
    // Unlinked in place: no list is built again (a node allocated for each
    // living transaction on every pass).
    for (osip_list_t* li : {&osip->osip_ict_transactions, &osip->osip_ist_transactions,
                            &osip->osip_nict_transactions, &osip->osip_nist_transactions}) {
        osip_list_iterator_t it;
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get_first(li, &it));
        while (osip_list_iterator_has_elem(it)) {
            if (dead.count(tr))
                tr = static_cast<osip_transaction_t*>(osip_list_iterator_remove(&it));
            else
                tr = static_cast<osip_transaction_t*>(osip_list_get_next(&it));
        }
    }
    for (osip_transaction_t* tr : garbage)
        osip_transaction_free2(tr);
    garbage.clear();
    garbageSet.clear();
}

void SipAgent::Impl::Discard(osip_transaction_t* tr) {
    if (garbageSet.insert(tr).second) garbage.push_back(tr);
}

// Ends a non-INVITE transaction as soon as its final answer has passed:
// what its Completed state would still do (absorb retransmissions) is
// done by the answer cache on the server side and by dropping stray
// answers on the client side. This keeps osip's lists, which it walks
// on every timer tick, as short as the number of open transactions.
void SipAgent::Impl::Finish(TxRec& t) {
    if (!t.key.empty()) {
        auto it = index.find(t.key);
        if (it != index.end() && it->second == t.tr) index.erase(it);
    }
    Discard(t.tr);
    txs.erase(t.tid);
}

osip_list_t* SipAgent::Impl::ListFor(osip_fsm_type_t t) {
    switch (t) {
    case ICT:
        return &osip->osip_ict_transactions;
    case IST:
        return &osip->osip_ist_transactions;
    case NICT:
        return &osip->osip_nict_transactions;
    default:
        return &osip->osip_nist_transactions;
    }
}

void SipAgent::Impl::KeepAnswer(const std::string& key, const std::string& bytes, const char* host,
                                 int port, int connId) {
    Answered a;
    a.bytes = bytes;
    a.host = host;
    a.port = port;
    a.connId = connId;
    a.until = std::chrono::steady_clock::now() + std::chrono::seconds(32);
    answeredOrder.emplace_back(a.until, key);
    answered[key] = std::move(a);
    // A bound at any rate: what a request flood leaves is at most this many.
    while (answered.size() > kAnsweredLimit && !answeredOrder.empty()) {
        auto it = answered.find(answeredOrder.front().second);
        if (it != answered.end() && it->second.until == answeredOrder.front().first) answered.erase(it);
        answeredOrder.pop_front();
    }
}

void SipAgent::Impl::SweepStale() {
    auto nowc = std::chrono::steady_clock::now();
    while (!answeredOrder.empty() && answeredOrder.front().first <= nowc) {
        auto it = answered.find(answeredOrder.front().second);
        if (it != answered.end() && it->second.until <= nowc) answered.erase(it);
        answeredOrder.pop_front();
    }
    // A server transaction nobody answers stays in its first state for
    // ever in the state machines; drop it after 64*T1 as the peer gave up.
    auto now = std::chrono::steady_clock::now();
    for (auto it = txs.begin(); it != txs.end();) {
        TxRec& t = it->second;
        bool server = t.tr && (t.tr->ctx_type == NIST || t.tr->ctx_type == IST);
        if (server && !t.finalSent && t.tr->state != NIST_COMPLETED &&
            t.tr->state != IST_COMPLETED && now - t.born > std::chrono::seconds(40)) {
            Discard(t.tr);
            if (!t.key.empty()) index.erase(t.key);
            if (t.scope == Scope::Incoming && t.cid) {
                auto c = calls.find(t.cid);
                if (c != calls.end() && !c->second.answered) ReleaseCall(t.cid, nullptr, &t);
            }
            it = txs.erase(it);
        } else {
            ++it;
        }
    }
}

osip_message_t* SipAgent::Impl::MakeResponse(const osip_message_t* req, int status, const std::string& tag) {
    osip_message_t* r = nullptr;
    if (osip_message_init(&r) != 0) return nullptr;
    osip_message_set_version(r, osip_strdup("SIP/2.0"));
    osip_message_set_status_code(r, status);
    const char* reason = osip_message_get_reason(status);
    osip_message_set_reason_phrase(r, osip_strdup(reason ? reason : "Unknown"));
    osip_list_clone(&req->vias, &r->vias,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_via_clone));
    if (req->from) osip_from_clone(req->from, &r->from);
    if (req->to) osip_to_clone(req->to, &r->to);
    if (req->call_id) osip_call_id_clone(req->call_id, &r->call_id);
    if (req->cseq) osip_cseq_clone(req->cseq, &r->cseq);
    if (r->to && status > 100 && TagOf(r->to).empty() && !tag.empty())
        osip_to_set_tag(r->to, osip_strdup(tag.c_str()));
    if (status >= 180 && status < 300 && req->sip_method &&
        (!strcmp(req->sip_method, "INVITE") || !strcmp(req->sip_method, "SUBSCRIBE")))
        osip_list_clone(&req->record_routes, &r->record_routes,
                        reinterpret_cast<int (*)(void*, void**)>(&osip_record_route_clone));
    SetUa(r);
    return r;
}

// Answers a request that has no transaction (malformed ones) to its top Via.
void SipAgent::Impl::StatelessAnswer(const osip_message_t* req, int status, int connId) {
    if (!req || osip_list_size(&req->vias) == 0) return;
    osip_message_t* r = MakeResponse(req, status, Hex(10));
    if (!r) return;
    char* host = nullptr;
    int port = 5060;
    osip_response_get_destination(r, &host, &port);
    if (host) {
        SendRaw(r, host, port, connId);
        osip_free(host);
    }
    osip_message_free(r);
}

int SipAgent::Impl::QueueAnswer(TxRec& t, MessagePtr answer) {
    osip_message_t* a = answer.release();
    if (a->status_code >= 200) t.finalSent = true;
    osip_event_t* ev = osip_new_outgoing_sipmessage(a);
    if (!ev) {
        osip_message_free(a);
        return -1;
    }
    ev->transactionid = t.tr->transactionid;
    Run(t.tr, ev);
    return 0;
}

void SipAgent::Impl::OnClientAnswer(TxRec& t, osip_message_t* resp, bool timeout) {
    int st = timeout ? 0 : resp->status_code;
    osip_message_t* req = t.tr->orig_request;
    auto ev = [&](EventKind k) {
        auto e = MakeEvent(k, &t);
        e->request = Clone(req);
        if (resp) e->response = Clone(resp);
        return e;
    };
    switch (t.scope) {
    case Scope::OutOfCall: {
        EventKind k = timeout    ? EventKind::OutOfCallNoAnswer
                      : st < 200 ? EventKind::OutOfCallProceeding
                      : st < 300 ? EventKind::OutOfCallAnswered
                      : st < 400 ? EventKind::OutOfCallRedirected
                      : st < 500 ? EventKind::OutOfCallRejected
                      : st < 600 ? EventKind::OutOfCallServerFailure
                                 : EventKind::OutOfCallGlobalFailure;
        Push(ev(k));
        break;
    }
    case Scope::InCall: {
        EventKind k = timeout    ? EventKind::CallRequestNoAnswer
                      : st < 200 ? EventKind::CallRequestProceeding
                      : st < 300 ? EventKind::CallRequestAnswered
                                 : EventKind::CallRequestFailed;
        Push(ev(k));
        if ((timeout || st >= 200) && req && req->sip_method && !strcmp(req->sip_method, "BYE"))
            ReleaseCall(t.cid, resp, &t);
        break;
    }
    case Scope::Subscribe: {
        EventKind k = timeout    ? EventKind::SubscriptionNoAnswer
                      : st < 200 ? EventKind::SubscriptionProceeding
                      : st < 300 ? EventKind::SubscriptionAnswered
                      : st < 400 ? EventKind::SubscriptionRedirected
                                 : EventKind::SubscriptionFailed;
        if (k == EventKind::SubscriptionAnswered) {
            auto it = subs.find(t.sid);
            if (it != subs.end() && !it->second.did) {
                osip_dialog_t* d = nullptr;
                if (osip_dialog_init_as_uac(&d, resp) == 0) {
                    auto dr = std::make_unique<DialogRec>();
                    dr->did = NewId();
                    dr->sid = t.sid;
                    dr->d = d;
                    it->second.did = dr->did;
                    dialogs[dr->did] = std::move(dr);
                }
            }
            if (it != subs.end()) t.did = it->second.did;
        }
        if (timeout || st >= 200) SubscribeAnswered(t, req, st);
        Push(ev(k));
        break;
    }
    case Scope::Invite:
        OnInviteAnswer(t, resp, timeout);
        break;
    default:
        break;
    }
}

SipAgent::Impl* SipAgent::Impl::Self(osip_transaction_t* tr) {
    return static_cast<Impl*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
}

void SipAgent::Impl::CbMessage(int type, osip_transaction_t* tr, osip_message_t* m) {
    Impl* self = Self(tr);
    TxRec* t = self->TxOf(tr);
    if (!t) return;
    switch (type) {
    case OSIP_NIST_REGISTER_RECEIVED:
    case OSIP_NIST_BYE_RECEIVED:
    case OSIP_NIST_OPTIONS_RECEIVED:
    case OSIP_NIST_INFO_RECEIVED:
    case OSIP_NIST_CANCEL_RECEIVED:
    case OSIP_NIST_NOTIFY_RECEIVED:
    case OSIP_NIST_SUBSCRIBE_RECEIVED:
    case OSIP_NIST_UNKNOWN_REQUEST_RECEIVED:
        self->OnServerRequest(*t, m);
        break;
    case OSIP_IST_INVITE_RECEIVED:
        self->OnInvite(*t, m);
        break;
    case OSIP_ICT_STATUS_1XX_RECEIVED:
    case OSIP_ICT_STATUS_2XX_RECEIVED:
    case OSIP_ICT_STATUS_3XX_RECEIVED:
    case OSIP_ICT_STATUS_4XX_RECEIVED:
    case OSIP_ICT_STATUS_5XX_RECEIVED:
    case OSIP_ICT_STATUS_6XX_RECEIVED:
    case OSIP_NICT_STATUS_1XX_RECEIVED:
    case OSIP_NICT_STATUS_2XX_RECEIVED:
    case OSIP_NICT_STATUS_3XX_RECEIVED:
    case OSIP_NICT_STATUS_4XX_RECEIVED:
    case OSIP_NICT_STATUS_5XX_RECEIVED:
    case OSIP_NICT_STATUS_6XX_RECEIVED:
        self->OnClientAnswer(*t, m, false);
        if (type >= OSIP_NICT_STATUS_2XX_RECEIVED && type <= OSIP_NICT_STATUS_6XX_RECEIVED)
            self->finishing.push_back(t->tid);
        break;
    case OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN:
        self->StrayResponse(m);
        break;
    case OSIP_ICT_STATUS_TIMEOUT:
    case OSIP_NICT_STATUS_TIMEOUT:
        self->OnClientAnswer(*t, nullptr, true);
        break;
    default:
        break;
    }
}

void SipAgent::Impl::CbKill(int, osip_transaction_t* tr) {
    Impl* self = Self(tr);
    TxRec* t = self->TxOf(tr);
    if (t) {
        // An INVITE that ends without an answered dialog ends its call.
        if (t->scope == Scope::Invite) {
            auto c = self->calls.find(t->cid);
            if (c != self->calls.end() && c->second.inviteTid == t->tid && !c->second.answered)
                self->ReleaseCall(t->cid, tr->last_response, t);
        } else if (t->scope == Scope::Incoming && t->cid) {
            auto c = self->calls.find(t->cid);
            if (c != self->calls.end() && !c->second.answered)
                self->ReleaseCall(t->cid, nullptr, t);
        }
        if (!t->key.empty()) {
            auto it = self->index.find(t->key);
            if (it != self->index.end() && it->second == tr) self->index.erase(it);
        }
        self->txs.erase(t->tid);
    }
    self->Discard(tr);
}

// A request that could not be sent at all ends like one never answered.
void SipAgent::Impl::CbTransportError(int type, osip_transaction_t* tr, int) {
    if (type != OSIP_ICT_TRANSPORT_ERROR && type != OSIP_NICT_TRANSPORT_ERROR) return;
    Impl* self = Self(tr);
    if (TxRec* t = self->TxOf(tr)) self->OnClientAnswer(*t, nullptr, true);
}

int SipAgent::Impl::StartClient(osip_message_t* req, osip_fsm_type_t type, Scope scope, int cid, int did,
                int sid) {
    osip_transaction_t* tr = nullptr;
    int rc = 0;
    CreateFast(type, [&] {
        rc = osip_transaction_init(&tr, type, osip, req);
        return tr;
    });
    if (rc != 0) {
        osip_message_free(req);
        return -1;
    }
    pendingRequest = req;
    TxRec& t = Register(tr, scope);
    pendingRequest = nullptr;
    t.cid = cid;
    t.did = did;
    t.sid = sid;
    osip_event_t* ev = osip_new_outgoing_sipmessage(req);
    ev->transactionid = tr->transactionid;
    int tid = t.tid;
    Run(tr, ev);
    return tid;
}

int SipAgent::Impl::BuildOutOfDialog(MessagePtr& out, const char* method, const char* to, const char* from,
                     const char* route) {
    if (!transport || !method || !*method || !to || !from) return -2;
    osip_message_t* m = nullptr;
    if (osip_message_init(&m) != 0) return -1;
    MessagePtr hold(m);
    osip_message_set_method(m, osip_strdup(method));
    osip_message_set_version(m, osip_strdup("SIP/2.0"));
    if (osip_message_set_to(m, to) != 0 || !m->to || !m->to->url || !m->to->url->host)
        return -3;
    if (osip_message_set_from(m, from) != 0 || !m->from || !m->from->url) return -3;
    osip_uri_t* ru = nullptr;
    if (osip_uri_clone(m->to->url, &ru) != 0) return -1;
    osip_uri_header_freelist(&ru->url_headers);
    osip_message_set_uri(m, ru);
    osip_from_set_tag(m->from, osip_strdup(Hex(10).c_str()));
    std::string host = m->to->url->host;
    std::string cidText = Hex(24);
    osip_message_set_call_id(m, cidText.c_str());
    std::string cseq = "1 " + std::string(method);
    osip_message_set_cseq(m, cseq.c_str());
    if (route && *route) {
        if (osip_message_set_route(m, route) != 0) return -3;
        host = DestHostOf(m);
    }
    AddVia(m, host);
    osip_message_set_max_forwards(m, "70");
    SetUa(m);
    out = std::move(hold);
    return 0;
}

int SipAgent::BuildRequest(MessagePtr& out, const char* method, const char* to, const char* from,
                           const char* route) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (method &&
        (!strcmp(method, "INVITE") || !strcmp(method, "ACK") || !strcmp(method, "CANCEL")))
        return -2;
    return impl_->BuildOutOfDialog(out, method, to, from, route);
}

int SipAgent::SendRequest(MessagePtr request) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!request || !impl_->transport || IsInvite(request.get())) return -1;
    return impl_->StartClient(request.release(), NICT, Scope::OutOfCall, 0, 0, 0);
}

int SipAgent::BuildAnswer(int tid, int status, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->txs.find(tid);
    if (status < 100 || status > 699) return -2;
    if (it == impl_->txs.end() || !it->second.tr || !it->second.tr->orig_request) return -3;
    TxRec& t = it->second;
    if (t.tr->ctx_type != NIST || t.finalSent) return -3;
    osip_message_t* r = impl_->MakeResponse(t.tr->orig_request, status, t.localTag);
    if (!r) return -1;
    out.reset(r);
    return 0;
}

int SipAgent::SendAnswer(int tid, int status, MessagePtr answer, std::string* sent) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!answer) {
        if (int rc = BuildAnswer(tid, status, answer); rc != 0) return rc;
    }
    auto it = impl_->txs.find(tid);
    if (it == impl_->txs.end() || !it->second.tr || it->second.finalSent) return -3;
    if (status >= 100 && status <= 699 && answer->status_code != status) {
        answer->status_code = status;
        osip_free(answer->reason_phrase);
        const char* r = osip_message_get_reason(status);
        answer->reason_phrase = osip_strdup(r ? r : "Unknown");
        osip_message_force_update(answer.get());
    }
    if (!sent) return impl_->QueueAnswer(it->second, std::move(answer));
    char* buf = nullptr;
    size_t len = 0;
    if (osip_message_to_str(answer.get(), &buf, &len) != 0 || !buf) return -1;
    impl_->presetBytes.assign(buf, len);
    osip_free(buf);
    impl_->presetMessage = answer.get();
    const int rc = impl_->QueueAnswer(it->second, std::move(answer));
    impl_->presetMessage = nullptr;
    *sent = std::move(impl_->presetBytes);
    impl_->presetBytes.clear();
    return rc;
}

} // namespace sipua
