#include "sip/ua/SipAgent.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <osipparser2/osip_parser.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sip/ua/Transport.h"

namespace sipua {

namespace {

enum class Scope { OutOfCall, Invite, InCall, Subscribe, Cancel, Incoming };

struct TxRec {
    int tid = 0;
    osip_transaction_t* tr = nullptr;
    Scope scope = Scope::OutOfCall;
    int cid = 0, did = 0, sid = 0;
    bool finalSent = false;
    std::string localTag; // To tag of our answers (server side)
    std::string key;      // in the transaction index
    std::chrono::steady_clock::time_point born = std::chrono::steady_clock::now();
};

// An answer kept to be sent again.
struct KeptAnswer {
    std::string bytes, host;
    int port = 0, connId = 0;
    std::chrono::steady_clock::time_point until;
};

struct DialogRec {
    int did = 0;
    KeptAnswer ok; // our 2xx to the peer's INVITE, repeated until its ACK
    std::chrono::milliseconds okInterval{0};
    std::chrono::steady_clock::time_point okNext;
    int cid = 0;
    int sid = 0;
    osip_dialog_t* d = nullptr;
    MessagePtr ack; // our ACK of the 2xx, sent again when the 2xx repeats
    std::string ackHost;
    int ackPort = 0;
    std::string remoteSdp;
    ~DialogRec() {
        if (d) osip_dialog_free(d);
    }
};

struct CallRec {
    int cid = 0;
    int inviteTid = 0;
    int did = 0;
    bool outgoing = true;
    bool answered = false; // 2xx seen (outgoing) or sent (incoming)
    bool finalSeen = false;
    MessagePtr invite; // copy of our last INVITE (for CANCEL)
};

struct SubRec {
    int sid = 0;
    std::string callId;
    std::string localTag;
    int did = 0;
};

struct Credential {
    std::string user, userid, password, realm;
};

std::string Str(const char* s) {
    return s ? s : "";
}

std::string Trim(const char* t) {
    std::string s = Str(t);
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    std::size_t b = out.find_first_not_of(" \t");
    std::size_t e = out.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

std::string Md5Hex(const std::string& s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), md, &n, EVP_md5(), nullptr);
    static const char* hx = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += hx[md[i] >> 4];
        out += hx[md[i] & 15];
    }
    return out;
}

std::string Unquote(const char* s) {
    std::string v = Str(s);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
}

std::string CallIdText(const osip_message_t* m) {
    if (!m || !m->call_id) return "";
    std::string s = Str(m->call_id->number);
    if (m->call_id->host) s += "@" + Str(m->call_id->host);
    return s;
}

std::string TagOf(osip_from_t* f) {
    osip_generic_param_t* p = nullptr;
    // Not osip_from_get_tag: the macro passes a literal as char*.
    if (f && osip_generic_param_get_byname(&f->gen_params, const_cast<char*>("tag"), &p) == 0 &&
        p && p->gvalue)
        return p->gvalue;
    return "";
}

MessagePtr Clone(const osip_message_t* m) {
    osip_message_t* c = nullptr;
    if (m && osip_message_clone(m, &c) == 0) return MessagePtr(c);
    return nullptr;
}

std::string BodyText(const osip_message_t* m) {
    osip_body_t* b = nullptr;
    if (!m || osip_list_size(&m->bodies) == 0) return "";
    b = static_cast<osip_body_t*>(osip_list_get(&m->bodies, 0));
    if (!b || !b->body) return "";
    return std::string(b->body, b->length);
}

void QuietTrace(const char*, int, osip_trace_level_t, const char*, va_list) {}

bool IsInvite(const osip_message_t* m) {
    return m && m->sip_method && strcmp(m->sip_method, "INVITE") == 0;
}

} // namespace

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
    }
    return "unknown";
}

struct SipAgent::Impl {
    std::recursive_mutex mu;
    osip_t* osip = nullptr;
    std::unique_ptr<Transport> transport;
    std::thread worker;
    std::atomic<bool> stop{false};
    int wakeFd = -1;

    std::mutex qmu;
    std::condition_variable qcv;
    std::deque<EventPtr> queue;

    std::string userAgent;
    // TARVEX_SIPUA_TRACE=1 prints every message sent and received on stderr,
    // and the connection limits, openings and closings with their counts.
    bool trace = getenv("TARVEX_SIPUA_TRACE") != nullptr;
    SipAgent::WireHook wireHook;
    std::size_t maxConns = kMaxConnections;
    std::chrono::milliseconds idleLimit{std::chrono::seconds(kDefaultIdleSeconds)};
    SteadyClock connClock;
    // The packet being taken in: events raised meanwhile name its source.
    struct Intake {
        bool active = false;
        std::string host;
        int port = 0;
        std::string wholeBody; // the datagram's body when longer than declared
    } rx;
    std::string contactAddress;
    std::map<std::string, std::string> localAddrCache;
    std::mt19937_64 rng{std::random_device{}()};
    int nextId = 1;
    bool pumping = false;
    std::vector<osip_transaction_t*> touched;
    std::vector<int> finishing; // transactions to end once the run is over
    std::unordered_map<std::string, osip_transaction_t*> index;
    const osip_message_t* pendingRequest = nullptr; // request of the transaction being registered
    long queued = 0;                                // events handed to the state machines

    std::map<int, TxRec> txs;
    std::vector<osip_transaction_t*> garbage;
    std::unordered_set<osip_transaction_t*> garbageSet;
    // Final answers of finished non-INVITE server transactions, sent again
    // when the request is retransmitted (RFC 3261 17.2.2, timer J).
    using Answered = KeptAnswer;
    std::unordered_map<std::string, Answered> answered;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> answeredOrder;
    // Input that could not be a SIP message: counts, and the rate limit of
    // the events that report it.
    std::atomic<std::uint64_t> invalidTotal{0};
    mutable std::mutex invalidMu; // a leaf
    std::map<std::string, std::uint64_t> invalidBySource;
    std::chrono::steady_clock::time_point invalidWindow{};
    int invalidInWindow = 0;
    // Overload: the event queue's bound and the requests refused beyond it.
    std::atomic<std::size_t> queueLimit{kDefaultEventQueueLimit};
    std::atomic<std::uint64_t> shedTotal{0};
    std::chrono::steady_clock::time_point shedWindow{};
    int shedInWindow = 0;
    std::map<int, std::unique_ptr<DialogRec>> dialogs;
    std::map<int, CallRec> calls;
    std::map<int, SubRec> subs;
    std::vector<Credential> creds;
    std::set<std::string> redirected;

    ~Impl() = default;

    // ---------- helpers
    std::string Hex(int n) {
        static const char* hx = "0123456789abcdef";
        std::string s;
        for (int i = 0; i < n; ++i)
            s += hx[rng() & 15];
        return s;
    }
    int NewId() { return nextId++; }

    void Push(EventPtr e) {
        {
            std::lock_guard<std::mutex> g(qmu);
            queue.push_back(std::move(e));
        }
        qcv.notify_one();
    }

    EventPtr MakeEvent(EventKind k, const TxRec* t) {
        auto e = std::make_unique<Event>();
        e->kind = k;
        e->text = EventKindName(k);
        if (rx.active) {
            e->sourceHost = rx.host;
            e->sourcePort = rx.port;
            e->datagramBody = rx.wholeBody;
        }
        if (t) {
            e->tid = t->tid;
            e->cid = t->cid;
            e->did = t->did;
            e->sid = t->sid;
        }
        return e;
    }

    void Wake() {
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
    void Run(osip_transaction_t* tr, osip_event_t* ev) {
        ++queued;
        osip_transaction_add_event(tr, ev);
        touched.push_back(tr);
        if (pumping) return;
        pumping = true;
        Drain();
        pumping = false;
    }

    void Drain() {
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
    static std::string KeyOf(const osip_message_t* m, bool server) {
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

    TxRec* TxOf(osip_transaction_t* tr) {
        auto id =
            static_cast<int>(reinterpret_cast<intptr_t>(osip_transaction_get_your_instance(tr)));
        auto it = txs.find(id);
        return it == txs.end() ? nullptr : &it->second;
    }

    TxRec& Register(osip_transaction_t* tr, Scope s) {
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

    DialogRec* Dialog(int did) {
        auto it = dialogs.find(did);
        return it == dialogs.end() ? nullptr : it->second.get();
    }

    // Local address used towards host (the kernel's route choice).
    std::string LocalAddressFor(const std::string& host) {
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

    void SetUa(osip_message_t* m) {
        if (!userAgent.empty()) osip_message_set_user_agent(m, userAgent.c_str());
    }

    // Puts a fresh top Via on a request going towards host.
    void AddVia(osip_message_t* m, const std::string& host) {
        std::string via = "SIP/2.0/" + Str(transport->ViaName()) + " " + LocalAddressFor(host) +
                          ":" + std::to_string(transport->BoundPort()) + ";rport;branch=z9hG4bK" +
                          Hex(16);
        osip_message_set_via(m, via.c_str());
    }

    void ReplaceVia(osip_message_t* m, const std::string& host) {
        while (osip_list_size(&m->vias) > 0) {
            auto* v = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
            osip_list_remove(&m->vias, 0);
            osip_via_free(v);
        }
        AddVia(m, host);
        osip_message_force_update(m);
    }

    std::string DestHostOf(osip_message_t* m) {
        osip_route_t* r = nullptr;
        osip_message_get_route(m, 0, &r);
        if (r && r->url && r->url->host) return r->url->host;
        if (m->req_uri && m->req_uri->host) return m->req_uri->host;
        return "";
    }

    void AddContact(osip_message_t* m, const osip_from_t* self, const std::string& towards) {
        std::string user = self && self->url && self->url->username ? self->url->username : "";
        std::string c = "<sip:" + (user.empty() ? "" : user + "@") + LocalAddressFor(towards) +
                        ":" + std::to_string(transport->BoundPort());
        if (transport->Reliable() || Str(transport->ViaName()) != "UDP")
            c += std::string(";transport=") + (transport->Reliable() ? "tcp" : "udp");
        c += ">";
        osip_message_set_contact(m, c.c_str());
    }

    // ---------- sending
    int SendRaw(osip_message_t* m, const std::string& host, int port, int connId) {
        char* buf = nullptr;
        size_t len = 0;
        if (osip_message_to_str(m, &buf, &len) != 0 || !buf) return -1;
        std::string data(buf, len);
        osip_free(buf);
        return SendBytes(std::move(data), host, port, connId);
    }

    // Every send ends here, so that the wire hook sees each one.
    int SendBytes(std::string data, const std::string& host, int port, int connId) {
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
        Wake();
        return rc;
    }

    static int CbSend(osip_transaction_t* tr, osip_message_t* m, char* host, int port, int sock) {
        auto* self =
            static_cast<Impl*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
        if (!host) return -1;
        if (port <= 0) port = 5060;
        int rc = self->SendRaw(m, host, port, sock > 0 ? sock : 0) == 0 ? 0 : -1;
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
                    char* b2 = nullptr;
                    size_t l2 = 0;
                    if (osip_message_to_str(m, &b2, &l2) == 0 && b2) {
                        dr->ok.bytes.assign(b2, l2);
                        dr->ok.host = host;
                        dr->ok.port = port;
                        dr->ok.connId = sock > 0 ? sock : 0;
                        dr->okInterval = std::chrono::milliseconds(500);
                        dr->okNext = std::chrono::steady_clock::now() + dr->okInterval;
                        dr->ok.until = std::chrono::steady_clock::now() + std::chrono::seconds(32);
                        osip_free(b2);
                    }
                }
            }
            if (t && !self->transport->Reliable() && !t->key.empty()) {
                char* buf = nullptr;
                size_t len = 0;
                if (osip_message_to_str(m, &buf, &len) == 0 && buf) {
                    Answered a;
                    a.bytes.assign(buf, len);
                    a.host = host;
                    a.port = port;
                    a.connId = sock > 0 ? sock : 0;
                    a.until = std::chrono::steady_clock::now() + std::chrono::seconds(32);
                    self->answeredOrder.emplace_back(a.until, t->key);
                    self->answered[t->key] = std::move(a);
                    osip_free(buf);
                }
            }
            if (t && !ist2xx) self->finishing.push_back(t->tid);
        }
        return rc;
    }

    // The timers of every transaction, then whatever they queued. Run by
    // the worker a few dozen times a second.
    void Tick() {
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
    void FreeGarbage() {
        if (garbage.empty()) return;
        const auto& dead = garbageSet;
        for (osip_list_t* li : {&osip->osip_ict_transactions, &osip->osip_ist_transactions,
                                &osip->osip_nict_transactions, &osip->osip_nist_transactions}) {
            osip_list_t keep;
            osip_list_init(&keep);
            osip_list_iterator_t it;
            auto* tr = static_cast<osip_transaction_t*>(osip_list_get_first(li, &it));
            while (osip_list_iterator_has_elem(it)) {
                if (!dead.count(tr)) osip_list_add(&keep, tr, 0);
                tr = static_cast<osip_transaction_t*>(osip_list_get_next(&it));
            }
            osip_list_special_free(li, nullptr);
            *li = keep;
        }
        for (osip_transaction_t* tr : garbage)
            osip_transaction_free2(tr);
        garbage.clear();
        garbageSet.clear();
    }

    void Discard(osip_transaction_t* tr) {
        if (garbageSet.insert(tr).second) garbage.push_back(tr);
    }

    // Ends a non-INVITE transaction as soon as its final answer has passed:
    // what its Completed state would still do (absorb retransmissions) is
    // done by the answer cache on the server side and by dropping stray
    // answers on the client side. This keeps osip's lists, which it walks
    // on every timer tick, as short as the number of open transactions.
    void Finish(TxRec& t) {
        if (!t.key.empty()) {
            auto it = index.find(t.key);
            if (it != index.end() && it->second == t.tr) index.erase(it);
        }
        Discard(t.tr);
        txs.erase(t.tid);
    }

    osip_list_t* ListFor(osip_fsm_type_t t) {
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

    // osip appends a new transaction by walking its whole list; with the list
    // set aside the append is immediate and the transaction is put in front.
    template <class Make> osip_transaction_t* CreateFast(osip_fsm_type_t type, Make make) {
        osip_list_t* li = ListFor(type);
        osip_list_t saved = *li;
        osip_list_init(li);
        osip_transaction_t* tr = make();
        osip_list_t fresh = *li;
        *li = saved;
        osip_list_iterator_t it;
        void* el = osip_list_get_first(&fresh, &it);
        while (osip_list_iterator_has_elem(it)) {
            osip_list_add(li, el, 0);
            el = osip_list_get_next(&it);
        }
        osip_list_special_free(&fresh, nullptr);
        return tr;
    }

    void SweepStale() {
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

    // ---------- answers
    osip_message_t* MakeResponse(const osip_message_t* req, int status, const std::string& tag) {
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
    void StatelessAnswer(const osip_message_t* req, int status, int connId) {
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

    int QueueAnswer(TxRec& t, MessagePtr answer) {
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

    // ---------- incoming
    // Counts bytes that cannot be a SIP message and reports them, rate-limited.
    void Invalid(const Datagram& d, const char* why) {
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

    bool QueueFull() {
        const std::size_t limit = queueLimit.load();
        if (limit == 0) return false;
        std::lock_guard<std::mutex> g(qmu);
        return queue.size() >= limit;
    }

    // 503 with Retry-After to a new request while the queue is full, sent at
    // once without a transaction (a retransmission is judged again).
    void Shed(osip_message_t* m, int connId) {
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

    void OnDatagram(Datagram& d) {
        if (d.invalid) {
            Invalid(d, d.invalid);
            return;
        }
        struct IntakeEnd {
            Intake& rx;
            ~IntakeEnd() {
                rx.active = false;
                rx.wholeBody.clear();
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
        if (strcmp(m->sip_method, "CANCEL") != 0 && TagOf(m->to).empty() && QueueFull()) {
            Shed(m, d.connId);
            osip_event_free(evt);
            return;
        }
        osip_transaction_t* tr = CreateFast(strcmp(m->sip_method, "INVITE") ? NIST : IST,
                                            [&] { return osip_create_transaction(osip, evt); });
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

    // A 2xx to an INVITE whose transaction is gone: our ACK was lost.
    void StrayResponse(osip_message_t* m) {
        if (m->status_code < 200 || m->status_code >= 300 || !m->cseq || !m->cseq->method ||
            strcmp(m->cseq->method, "INVITE") != 0)
            return;
        for (auto& [id, dr] : dialogs)
            if (dr->ack && dr->d && osip_dialog_match_as_uac(dr->d, m) == 0)
                SendRaw(dr->ack.get(), dr->ackHost, dr->ackPort, 0);
    }

    void DialogAck(osip_message_t* m) {
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

    DialogRec* FindDialogAsUas(osip_message_t* req) {
        for (auto& [id, dr] : dialogs)
            if (dr->d && osip_dialog_match_as_uas(dr->d, req) == 0) return dr.get();
        return nullptr;
    }

    void AutoAnswer(TxRec& t, int status) {
        osip_message_t* r = MakeResponse(t.tr->orig_request, status, t.localTag);
        if (r) QueueAnswer(t, MessagePtr(r));
    }

    void ReleaseCall(int cid, osip_message_t* resp, const TxRec* t) {
        auto it = calls.find(cid);
        if (it == calls.end()) return;
        auto e = MakeEvent(EventKind::CallReleased, t);
        e->cid = cid;
        e->did = it->second.did;
        if (resp) e->response = Clone(resp);
        if (it->second.did) dialogs.erase(it->second.did);
        calls.erase(it);
        Push(std::move(e));
    }

    void OnServerRequest(TxRec& t, osip_message_t* m) {
        const char* method = m->sip_method;
        std::string toTag = TagOf(m->to);
        if (!strcmp(method, "CANCEL")) {
            OnCancel(t, m);
            return;
        }
        if (!toTag.empty()) {
            DialogRec* dr = FindDialogAsUas(m);
            if (dr && dr->cid) {
                t.scope = Scope::InCall;
                t.cid = dr->cid;
                t.did = dr->did;
                osip_dialog_update_osip_cseq_as_uas(dr->d, m);
                if (!strcmp(method, "BYE")) {
                    auto e = MakeEvent(EventKind::CallClosed, &t);
                    e->request = Clone(m);
                    Push(std::move(e));
                    AutoAnswer(t, 200);
                    ReleaseCall(dr->cid, nullptr, &t);
                    return;
                }
                auto e = MakeEvent(EventKind::CallRequest, &t);
                e->request = Clone(m);
                Push(std::move(e));
                return;
            }
            if (!strcmp(method, "NOTIFY")) {
                for (auto& [sid, s] : subs) {
                    if (s.callId == CallIdText(m) && s.localTag == toTag) {
                        t.scope = Scope::Subscribe;
                        t.sid = sid;
                        t.did = s.did;
                        auto e = MakeEvent(EventKind::SubscriptionNotify, &t);
                        e->request = Clone(m);
                        Push(std::move(e));
                        // The subscription is ours: acknowledge each notification.
                        AutoAnswer(t, 200);
                        return;
                    }
                }
            }
            if (strcmp(method, "MESSAGE") != 0 && strcmp(method, "REGISTER") != 0 &&
                strcmp(method, "OPTIONS") != 0) {
                AutoAnswer(t, 481);
                return;
            }
        } else if (!strcmp(method, "BYE") || !strcmp(method, "NOTIFY") || !strcmp(method, "INFO") ||
                   !strcmp(method, "PRACK")) {
            AutoAnswer(t, 481);
            return;
        }
        t.scope = Scope::OutOfCall;
        auto e = MakeEvent(EventKind::OutOfCallRequest, &t);
        e->request = Clone(m);
        Push(std::move(e));
    }

    void OnCancel(TxRec& t, osip_message_t* m) {
        auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
        osip_generic_param_t* br = nullptr;
        if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &br);
        for (auto& [cid, c] : calls) {
            if (c.outgoing || c.answered) continue;
            auto it = txs.find(c.inviteTid);
            if (it == txs.end() || !it->second.tr || !it->second.tr->orig_request) continue;
            auto* iv =
                static_cast<osip_via_t*>(osip_list_get(&it->second.tr->orig_request->vias, 0));
            osip_generic_param_t* ib = nullptr;
            if (iv) osip_via_param_get_byname(iv, const_cast<char*>("branch"), &ib);
            if (!br || !ib || !br->gvalue || !ib->gvalue || strcmp(br->gvalue, ib->gvalue) != 0)
                continue;
            AutoAnswer(t, 200);
            if (!it->second.finalSent) AutoAnswer(it->second, 487);
            auto e = MakeEvent(EventKind::CallCancelled, &it->second);
            e->request = Clone(m);
            Push(std::move(e));
            return;
        }
        AutoAnswer(t, 481);
    }

    void OnInvite(TxRec& t, osip_message_t* m) {
        if (!TagOf(m->to).empty()) {
            DialogRec* dr = FindDialogAsUas(m);
            if (!dr) {
                AutoAnswer(t, 481);
                return;
            }
            t.scope = Scope::InCall;
            t.cid = dr->cid;
            t.did = dr->did;
            std::string sdp = BodyText(m);
            if (!sdp.empty()) dr->remoteSdp = sdp;
            auto e = MakeEvent(EventKind::CallRequest, &t);
            e->request = Clone(m);
            Push(std::move(e));
            return;
        }
        CallRec c;
        c.cid = NewId();
        c.inviteTid = t.tid;
        c.outgoing = false;
        t.scope = Scope::Incoming;
        t.cid = c.cid;
        calls[c.cid] = std::move(c);
        // Tell the peer we are on it so that it stops retransmitting.
        osip_message_t* r = MakeResponse(m, 100, t.localTag);
        if (r) {
            osip_event_t* ev = osip_new_outgoing_sipmessage(r);
            ev->transactionid = t.tr->transactionid;
            Run(t.tr, ev);
        }
        auto e = MakeEvent(EventKind::CallIncoming, &t);
        e->request = Clone(m);
        Push(std::move(e));
    }

    // ---------- client side results
    void OnClientAnswer(TxRec& t, osip_message_t* resp, bool timeout) {
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

    void OnInviteAnswer(TxRec& t, osip_message_t* resp, bool timeout) {
        auto cit = calls.find(t.cid);
        if (cit == calls.end()) return;
        CallRec& c = cit->second;
        int st = timeout ? 0 : resp->status_code;
        auto e = MakeEvent(EventKind::CallNoAnswer, &t);
        e->request = Clone(t.tr->orig_request);
        if (resp) e->response = Clone(resp);
        if (timeout) {
            Push(std::move(e));
            c.finalSeen = true;
            ReleaseCall(c.cid, nullptr, &t);
            return;
        }
        if (st < 300 && !TagOf(resp->to).empty()) {
            DialogRec* dr = Dialog(c.did);
            if (dr && dr->d) {
                if (st >= 200) {
                    osip_dialog_update_route_set_as_uac(dr->d, resp);
                    osip_dialog_update_tag_as_uac(dr->d, resp);
                    osip_dialog_set_state(dr->d, DIALOG_CONFIRMED);
                }
            } else {
                osip_dialog_t* d = nullptr;
                if (osip_dialog_init_as_uac(&d, resp) == 0) {
                    auto n = std::make_unique<DialogRec>();
                    n->did = NewId();
                    n->cid = c.cid;
                    n->d = d;
                    c.did = n->did;
                    dr = n.get();
                    dialogs[n->did] = std::move(n);
                }
            }
            if (dr) {
                std::string sdp = BodyText(resp);
                if (!sdp.empty()) dr->remoteSdp = sdp;
            }
            e->did = t.did = c.did;
        }
        if (st < 200) {
            e->kind = st == 180 ? EventKind::CallRinging : EventKind::CallProceeding;
        } else if (st < 300) {
            e->kind = EventKind::CallAnswered;
            c.answered = true;
            c.finalSeen = true;
        } else {
            c.finalSeen = true;
            // An early dialog (from a 1xx with a tag) dies with the INVITE.
            if (c.did) {
                dialogs.erase(c.did);
                c.did = 0;
            }
            e->kind = st < 400   ? EventKind::CallRedirected
                      : st < 500 ? EventKind::CallRejected
                      : st < 600 ? EventKind::CallServerFailure
                                 : EventKind::CallGlobalFailure;
        }
        e->text = EventKindName(e->kind);
        Push(std::move(e));
    }

    static Impl* Self(osip_transaction_t* tr) {
        return static_cast<Impl*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
    }

    static void CbMessage(int type, osip_transaction_t* tr, osip_message_t* m) {
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

    static void CbKill(int, osip_transaction_t* tr) {
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
    static void CbTransportError(int type, osip_transaction_t* tr, int) {
        if (type != OSIP_ICT_TRANSPORT_ERROR && type != OSIP_NICT_TRANSPORT_ERROR) return;
        Impl* self = Self(tr);
        if (TxRec* t = self->TxOf(tr)) self->OnClientAnswer(*t, nullptr, true);
    }

    // ---------- starting client transactions
    int StartClient(osip_message_t* req, osip_fsm_type_t type, Scope scope, int cid, int did,
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

    int BuildOutOfDialog(MessagePtr& out, const char* method, const char* to, const char* from,
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

    // A request inside dialog dr with the dialog's route set and remote target.
    int BuildInDialog(DialogRec& dr, const char* method, int cseqNum, MessagePtr& out) {
        osip_dialog_t* d = dr.d;
        if (!d || !d->remote_uri || !d->local_uri || !d->call_id) return -1;
        osip_message_t* m = nullptr;
        if (osip_message_init(&m) != 0) return -1;
        MessagePtr hold(m);
        osip_message_set_method(m, osip_strdup(method));
        osip_message_set_version(m, osip_strdup("SIP/2.0"));
        osip_to_clone(d->remote_uri, &m->to);
        osip_from_clone(d->local_uri, &m->from);
        if (!m->to || !m->from) return -1;
        if (TagOf(m->from).empty() && d->local_tag)
            osip_from_set_tag(m->from, osip_strdup(d->local_tag));
        if (TagOf(m->to).empty() && d->remote_tag)
            osip_to_set_tag(m->to, osip_strdup(d->remote_tag));
        osip_message_set_call_id(m, d->call_id);
        std::string cseq = std::to_string(cseqNum) + " " + method;
        osip_message_set_cseq(m, cseq.c_str());
        osip_uri_t* target = nullptr;
        if (d->remote_contact_uri && d->remote_contact_uri->url)
            osip_uri_clone(d->remote_contact_uri->url, &target);
        else
            osip_uri_clone(d->remote_uri->url, &target);
        if (!target) return -1;
        // Loose routing only: the route set goes into Route headers in order.
        int n = osip_list_size(&d->route_set);
        for (int i = 0; i < n; ++i) {
            auto* r = static_cast<osip_route_t*>(osip_list_get(&d->route_set, i));
            osip_route_t* rc = nullptr;
            if (osip_route_clone(r, &rc) == 0) osip_list_add(&m->routes, rc, -1);
        }
        osip_message_set_uri(m, target);
        AddVia(m, DestHostOf(m));
        osip_message_set_max_forwards(m, "70");
        SetUa(m);
        out = std::move(hold);
        return 0;
    }

    // Next hop of an in-dialog request: first Route, else the request URI.
    void NextHop(osip_message_t* m, std::string& host, int& port) {
        osip_route_t* r = nullptr;
        osip_message_get_route(m, 0, &r);
        osip_uri_t* u = r && r->url ? r->url : m->req_uri;
        host = u && u->host ? u->host : "";
        port = u && u->port ? atoi(u->port) : 5060;
    }

    // Retries req as a new transaction of the same kind with CSeq + 1.
    int Retry(const Event& ev, osip_message_t* req) {
        if (req->cseq && req->cseq->number) {
            int n = atoi(req->cseq->number) + 1;
            osip_free(req->cseq->number);
            req->cseq->number = osip_strdup(std::to_string(n).c_str());
        }
        ReplaceVia(req, DestHostOf(req));
        if (IsInvite(req)) {
            auto c = calls.find(ev.cid);
            if (c == calls.end()) {
                osip_message_free(req);
                return -1;
            }
            c->second.invite = Clone(req);
            int tid = StartClient(req, ICT, Scope::Invite, ev.cid, 0, 0);
            if (tid > 0) c->second.inviteTid = tid;
            return tid > 0 ? 0 : -1;
        }
        Scope s = ev.sid ? Scope::Subscribe : ev.did ? Scope::InCall : Scope::OutOfCall;
        if (s == Scope::InCall) {
            DialogRec* dr = Dialog(ev.did);
            if (dr && dr->d) dr->d->local_cseq = atoi(req->cseq->number);
        }
        return StartClient(req, NICT, s, ev.cid, ev.did, ev.sid) > 0 ? 0 : -1;
    }

    int Authorize(const Event& ev) {
        const osip_message_t* resp = ev.response.get();
        bool proxy = resp->status_code == 407;
        const osip_list_t* list = proxy ? &resp->proxy_authenticates : &resp->www_authenticates;
        auto* wa = static_cast<osip_www_authenticate_t*>(osip_list_get(list, 0));
        if (!wa || !wa->nonce) return -1;
        std::string realm = Unquote(wa->realm);
        const Credential* cr = nullptr;
        for (const auto& c : creds)
            if (c.realm.empty() || c.realm == realm) {
                cr = &c;
                break;
            }
        if (!cr) return -1;
        // Only one attempt per request: a request that already carries our
        // credentials and is challenged again is not retried.
        const osip_list_t* had =
            proxy ? &ev.request->proxy_authorizations : &ev.request->authorizations;
        osip_header_t* generic = nullptr;
        if (osip_list_size(had) > 0 ||
            osip_message_header_get_byname(ev.request.get(),
                                           proxy ? "Proxy-Authorization" : "Authorization", 0,
                                           &generic) >= 0)
            return -1;
        std::string alg = Unquote(wa->algorithm);
        if (!alg.empty() && strcasecmp(alg.c_str(), "MD5") != 0) return -1;
        MessagePtr req = Clone(ev.request.get());
        if (!req) return -1;
        char* uriStr = nullptr;
        osip_uri_to_str(req->req_uri, &uriStr);
        std::string uri = Str(uriStr);
        osip_free(uriStr);
        std::string nonce = Unquote(wa->nonce);
        std::string qop = Unquote(wa->qop_options);
        std::string ha1 = Md5Hex(cr->userid + ":" + realm + ":" + cr->password);
        std::string ha2 = Md5Hex(Str(req->sip_method) + ":" + uri);
        std::string hdr = "Digest username=\"" + cr->userid + "\", realm=\"" + realm +
                          "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\"";
        if (qop.find("auth") != std::string::npos) {
            std::string cnonce = Hex(16), nc = "00000001";
            std::string resp2 =
                Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
            hdr +=
                ", response=\"" + resp2 + "\", cnonce=\"" + cnonce + "\", nc=" + nc + ", qop=auth";
        } else {
            hdr += ", response=\"" + Md5Hex(ha1 + ":" + nonce + ":" + ha2) + "\"";
        }
        hdr += ", algorithm=MD5";
        if (wa->opaque) hdr += ", opaque=\"" + Unquote(wa->opaque) + "\"";
        if (proxy)
            osip_message_set_proxy_authorization(req.get(), hdr.c_str());
        else
            osip_message_set_authorization(req.get(), hdr.c_str());
        return Retry(ev, req.release());
    }

    int Redirect(const Event& ev) {
        const osip_message_t* resp = ev.response.get();
        auto* ct = static_cast<osip_contact_t*>(osip_list_get(&resp->contacts, 0));
        if (!ct || !ct->url || !ct->url->host) return -1;
        // Follow once per request: a redirected request is not redirected again.
        std::string key = CallIdText(ev.request.get()) + "|" + Str(ev.request->sip_method);
        if (!redirected.insert(key).second) return -1;
        MessagePtr req = Clone(ev.request.get());
        if (!req) return -1;
        osip_uri_t* u = nullptr;
        if (osip_uri_clone(ct->url, &u) != 0) return -1;
        osip_uri_free(req->req_uri);
        req->req_uri = u;
        return Retry(ev, req.release());
    }
};

// ====================================================================

SipAgent::SipAgent() : impl_(std::make_unique<Impl>()) {}

SipAgent::~SipAgent() {
    Shutdown();
    if (impl_->osip) osip_release(impl_->osip);
}

int SipAgent::Init() {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (impl_->osip) return 0;
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
        std::vector<pollfd> fds;
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
            std::lock_guard<std::recursive_mutex> g2(im->mu);
            std::vector<pollfd> ready(fds.begin() + 1, fds.end());
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
    std::lock_guard<std::mutex> q(m.qmu);
    m.queue.clear();
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

void SipAgent::SetContactAddress(const char* address) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->contactAddress = Trim(address);
}

EventPtr SipAgent::WaitEvent(int seconds, int milliseconds) {
    std::unique_lock<std::mutex> l(impl_->qmu);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) +
                 std::chrono::milliseconds(milliseconds);
    if (!impl_->qcv.wait_until(l, until, [this] { return !impl_->queue.empty(); })) return nullptr;
    EventPtr e = std::move(impl_->queue.front());
    impl_->queue.pop_front();
    return e;
}

void SipAgent::Lock() {
    impl_->mu.lock();
}
void SipAgent::Unlock() {
    impl_->mu.unlock();
}

int SipAgent::DefaultAction(const Event& event) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!impl_->transport || !event.response || !event.request) return -1;
    int st = event.response->status_code;
    if (st >= 300 && st < 400) return impl_->Redirect(event);
    if (st == 401 || st == 407) return impl_->Authorize(event);
    return -1;
}

int SipAgent::AddCredentials(const char* username, const char* userid, const char* password,
                             const char* realm) {
    if (!username || !password) return -1;
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    Credential c{username, userid && *userid ? userid : username, password, Str(realm)};
    impl_->creds.push_back(std::move(c));
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

int SipAgent::SendAnswer(int tid, int status, MessagePtr answer) {
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
    return impl_->QueueAnswer(it->second, std::move(answer));
}

int SipAgent::BuildInitialInvite(MessagePtr& out, const char* to, const char* from,
                                 const char* route, const char* subject) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    int rc = impl_->BuildOutOfDialog(out, "INVITE", to, from, route);
    if (rc != 0) return rc;
    if (subject && *subject) osip_message_set_subject(out.get(), subject);
    impl_->AddContact(out.get(), out->from, impl_->DestHostOf(out.get()));
    return 0;
}

int SipAgent::SendInitialInvite(MessagePtr invite) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!invite || !impl_->transport || !IsInvite(invite.get())) return -1;
    CallRec c;
    c.cid = impl_->NewId();
    c.invite = Clone(invite.get());
    int cid = c.cid;
    impl_->calls[cid] = std::move(c);
    int tid = impl_->StartClient(invite.release(), ICT, Scope::Invite, cid, 0, 0);
    if (tid <= 0) {
        impl_->calls.erase(cid);
        return -1;
    }
    auto it = impl_->calls.find(cid);
    if (it != impl_->calls.end()) it->second.inviteTid = tid;
    return cid;
}

int SipAgent::BuildCallRequest(int did, const char* method, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || !dr->cid || !method || !strcmp(method, "ACK") || !strcmp(method, "INVITE") ||
        !strcmp(method, "CANCEL"))
        return -3;
    // Requests within a call wait for its answer (RFC 3261 15: CANCEL, not
    // BYE, ends an unanswered call).
    if (!dr->d || dr->d->state != DIALOG_CONFIRMED) return -3;
    return impl_->BuildInDialog(*dr, method, dr->d->local_cseq + 1, out);
}

int SipAgent::SendCallRequest(int did, MessagePtr request) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!request || !dr || !impl_->transport) return -3;
    if (request->cseq && request->cseq->number) {
        int n = atoi(request->cseq->number);
        if (n > dr->d->local_cseq) dr->d->local_cseq = n;
    }
    return impl_->StartClient(request.release(), NICT, Scope::InCall, dr->cid, did, 0);
}

int SipAgent::BuildAck(int did, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || !dr->cid || !dr->d || dr->d->type != CALLER) return -3;
    auto c = impl_->calls.find(dr->cid);
    if (c == impl_->calls.end() || !c->second.answered || !c->second.invite) return -3;
    int inviteCseq = atoi(c->second.invite->cseq->number);
    int rc = impl_->BuildInDialog(*dr, "ACK", inviteCseq, out);
    if (rc != 0) return rc;
    // The ACK carries the same credentials as the INVITE (RFC 3261 17.1.1.3).
    osip_list_clone(&c->second.invite->authorizations, &out->authorizations,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_authorization_clone));
    osip_list_clone(&c->second.invite->proxy_authorizations, &out->proxy_authorizations,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_authorization_clone));
    return 0;
}

int SipAgent::SendAck(int did, MessagePtr ack) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!ack || !dr || !impl_->transport) return -3;
    std::string host;
    int port = 5060;
    impl_->NextHop(ack.get(), host, port);
    int rc = impl_->SendRaw(ack.get(), host, port, 0);
    dr->ack = std::move(ack);
    dr->ackHost = host;
    dr->ackPort = port;
    return rc == 0 ? 0 : -1;
}

int SipAgent::BuildCallAnswer(int tid, int status, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->txs.find(tid);
    if (status < 100 || status > 699) return -2;
    if (it == impl_->txs.end() || !it->second.tr || !it->second.tr->orig_request) return -3;
    TxRec& t = it->second;
    if (t.finalSent || (!t.cid && t.scope != Scope::InCall)) return -3;
    osip_message_t* r = impl_->MakeResponse(t.tr->orig_request, status, t.localTag);
    if (!r) return -1;
    if (t.tr->ctx_type == IST && status < 300)
        impl_->AddContact(r, r->to, impl_->DestHostOf(t.tr->orig_request));
    out.reset(r);
    return 0;
}

int SipAgent::SendCallAnswer(int tid, int status, MessagePtr answer) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!answer) {
        if (int rc = BuildCallAnswer(tid, status, answer); rc != 0) return rc;
    }
    auto it = impl_->txs.find(tid);
    if (it == impl_->txs.end() || !it->second.tr || it->second.finalSent) return -3;
    TxRec& t = it->second;
    if (answer->status_code != status && status >= 100 && status <= 699) {
        answer->status_code = status;
        osip_free(answer->reason_phrase);
        const char* r = osip_message_get_reason(status);
        answer->reason_phrase = osip_strdup(r ? r : "Unknown");
        osip_message_force_update(answer.get());
    }
    if (t.tr->ctx_type == IST && status >= 200 && status < 300) {
        auto c = impl_->calls.find(t.cid);
        if (c != impl_->calls.end() && !c->second.did) {
            osip_dialog_t* d = nullptr;
            if (osip_dialog_init_as_uas(&d, t.tr->orig_request, answer.get()) == 0) {
                auto dr = std::make_unique<DialogRec>();
                dr->did = impl_->NewId();
                dr->cid = t.cid;
                dr->d = d;
                dr->remoteSdp = BodyText(t.tr->orig_request);
                c->second.did = dr->did;
                impl_->dialogs[dr->did] = std::move(dr);
            }
            c->second.answered = true;
        }
    }
    return impl_->QueueAnswer(t, std::move(answer));
}

int SipAgent::TerminateCall(int cid, int did) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->calls.find(cid);
    if (it == impl_->calls.end() && did) {
        DialogRec* dr = impl_->Dialog(did);
        if (dr) it = impl_->calls.find(dr->cid);
    }
    if (it == impl_->calls.end() || !impl_->transport) return -3;
    CallRec& c = it->second;
    if (c.did && c.answered) {
        MessagePtr bye;
        if (BuildCallRequest(c.did, "BYE", bye) != 0) return -1;
        return SendCallRequest(c.did, std::move(bye)) > 0 ? 0 : -1;
    }
    if (!c.outgoing) return SendCallAnswer(c.inviteTid, 603, nullptr);
    if (c.finalSeen || !c.invite) return -1;
    // CANCEL: same request URI, Call-ID, From, To, top Via and route as the INVITE.
    osip_message_t* inv = c.invite.get();
    osip_message_t* m = nullptr;
    if (osip_message_init(&m) != 0) return -1;
    osip_message_set_method(m, osip_strdup("CANCEL"));
    osip_message_set_version(m, osip_strdup("SIP/2.0"));
    osip_uri_t* u = nullptr;
    osip_uri_clone(inv->req_uri, &u);
    osip_message_set_uri(m, u);
    osip_to_clone(inv->to, &m->to);
    osip_from_clone(inv->from, &m->from);
    osip_call_id_clone(inv->call_id, &m->call_id);
    std::string cseq = Str(inv->cseq->number) + " CANCEL";
    osip_message_set_cseq(m, cseq.c_str());
    auto* v = static_cast<osip_via_t*>(osip_list_get(&inv->vias, 0));
    osip_via_t* vc = nullptr;
    if (v && osip_via_clone(v, &vc) == 0) osip_list_add(&m->vias, vc, -1);
    osip_list_clone(&inv->routes, &m->routes,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_route_clone));
    osip_message_set_max_forwards(m, "70");
    impl_->SetUa(m);
    return impl_->StartClient(m, NICT, Scope::Cancel, cid, 0, 0) > 0 ? 0 : -1;
}

SdpPtr SipAgent::RemoteSdp(int did) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || dr->remoteSdp.empty()) return nullptr;
    sdp_message_t* s = nullptr;
    if (sdp_message_init(&s) != 0) return nullptr;
    // libosip2's parser refuses line types it does not know, such as the
    // y= (SSRC) and f= (media format) lines that GB/T 28181 devices add.
    std::string text;
    std::size_t pos = 0;
    const std::string& in = dr->remoteSdp;
    while (pos < in.size()) {
        std::size_t e = in.find('\n', pos);
        std::string line = in.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? in.size() : e + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 2 && line[1] == '=' && strchr("vosiuepcbtrzkam", line[0]))
            text += line + "\r\n";
    }
    if (sdp_message_parse(s, text.c_str()) != 0) {
        sdp_message_free(s);
        return nullptr;
    }
    return SdpPtr(s);
}

int SipAgent::BuildInitialSubscribe(MessagePtr& out, const char* to, const char* from,
                                    const char* route, const char* event, int expires) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    int rc = impl_->BuildOutOfDialog(out, "SUBSCRIBE", to, from, route);
    if (rc != 0) return rc;
    if (event && *event) osip_message_set_header(out.get(), "Event", event);
    osip_message_set_expires(out.get(), std::to_string(expires < 0 ? 0 : expires).c_str());
    impl_->AddContact(out.get(), out->from, impl_->DestHostOf(out.get()));
    return 0;
}

int SipAgent::SendInitialSubscribe(MessagePtr subscribe) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!subscribe || !impl_->transport || !subscribe->sip_method ||
        strcmp(subscribe->sip_method, "SUBSCRIBE") != 0)
        return -1;
    SubRec s;
    s.sid = impl_->NewId();
    s.callId = CallIdText(subscribe.get());
    s.localTag = TagOf(subscribe->from);
    int sid = s.sid;
    impl_->subs[sid] = std::move(s);
    int tid = impl_->StartClient(subscribe.release(), NICT, Scope::Subscribe, 0, 0, sid);
    if (tid <= 0) {
        impl_->subs.erase(sid);
        return -1;
    }
    return sid;
}

} // namespace sipua
