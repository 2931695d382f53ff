#pragma once
// The internals of SipAgent that its layers share: the records of
// transactions, dialogs, calls and subscriptions, and SipAgent::Impl. Not for
// use outside src/sip/ua.

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
#include "sip/ua/SipAgent.h"

namespace sipua {
namespace detail {

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
    std::string event;   // the Event header of the initial SUBSCRIBE, repeated on refreshes
    long remoteCseq = -1; // highest CSeq of the notifier's NOTIFYs (RFC 3261 12.2.2)
    bool ended = false;   // our Expires 0 was answered: only the final NOTIFY is taken
};

struct Credential {
    std::string user, userid, password, realm;
};

inline std::string Str(const char* s) {
    return s ? s : "";
}

inline std::string Trim(const char* t) {
    std::string s = Str(t);
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    std::size_t b = out.find_first_not_of(" \t");
    std::size_t e = out.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

inline std::string Md5Hex(const std::string& s) {
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

inline std::string Unquote(const char* s) {
    std::string v = Str(s);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
}

inline std::string CallIdText(const osip_message_t* m) {
    if (!m || !m->call_id) return "";
    std::string s = Str(m->call_id->number);
    if (m->call_id->host) s += "@" + Str(m->call_id->host);
    return s;
}

inline std::string TagOf(osip_from_t* f) {
    osip_generic_param_t* p = nullptr;
    // Not osip_from_get_tag: the macro passes a literal as char*.
    if (f && osip_generic_param_get_byname(&f->gen_params, const_cast<char*>("tag"), &p) == 0 &&
        p && p->gvalue)
        return p->gvalue;
    return "";
}

inline MessagePtr Clone(const osip_message_t* m) {
    osip_message_t* c = nullptr;
    if (m && osip_message_clone(m, &c) == 0) return MessagePtr(c);
    return nullptr;
}

inline std::string BodyText(const osip_message_t* m) {
    osip_body_t* b = nullptr;
    if (!m || osip_list_size(&m->bodies) == 0) return "";
    b = static_cast<osip_body_t*>(osip_list_get(&m->bodies, 0));
    if (!b || !b->body) return "";
    return std::string(b->body, b->length);
}

inline void QuietTrace(const char*, int, osip_trace_level_t, const char*, va_list) {}

inline bool IsInvite(const osip_message_t* m) {
    return m && m->sip_method && strcmp(m->sip_method, "INVITE") == 0;
}

} // namespace detail
using namespace detail;

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
    // While the worker takes a batch of datagrams in (under mu), Push only
    // notes that the consumer is to be woken; the worker wakes it once, with
    // mu released, so that it neither wakes per event nor then waits for mu.
    std::atomic<bool> batching{false};
    std::atomic<bool> notifyPending{false};
    // Under qmu: the owner took an event and has not called WaitEvent since
    // (it is handling it), and answers given on the worker whose Answered
    // calls are still to come (WaitEvent hands out nothing meanwhile).
    bool ownerBusy = false;
    bool directPending = false;
    SipAgent::DirectMessages* direct = nullptr;
    std::vector<std::string> directAnswers; // of this batch, for Answered

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
        const std::string* wire = nullptr; // the message's bytes as parsed
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
    // An answer SendAnswer serialised already: CbSend sends these bytes
    // instead of serialising the message again.
    const osip_message_t* presetMessage = nullptr;
    std::string presetBytes;
    long queued = 0;                                // events handed to the state machines

    std::map<int, TxRec> txs;
    std::vector<osip_transaction_t*> garbage;
    std::unordered_set<osip_transaction_t*> garbageSet;
    // Final answers of finished non-INVITE server transactions, sent again
    // when the request is retransmitted (RFC 3261 17.2.2, timer J).
    using Answered = KeptAnswer;
    std::unordered_map<std::string, Answered> answered;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> answeredOrder;
    // Keeps bytes as the answer to the request of transaction key for 32 s
    // (timer J), or less beyond kAnsweredLimit answers (the oldest go first).
    void KeepAnswer(const std::string& key, const std::string& bytes, const char* host, int port,
                    int connId);
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
    std::set<std::pair<std::string, std::string>> served; // notifier side: Call-ID, our tag
    std::vector<Credential> creds;
    std::set<std::string> redirected;

    ~Impl() = default;

    // ---------- helpers
    std::string Hex(int n);
    int NewId() { return nextId++; }

    void Push(EventPtr e);

    EventPtr MakeEvent(EventKind k, const TxRec* t);

    void Wake();

    // Hands one event to one transaction and runs that machine (and any that
    // its callbacks gave events to) until their queues are empty. Only the
    // touched transactions run, so the cost does not grow with the number of
    // transactions alive. Called from inside a state machine callback it only
    // queues: osip enters the next state after the callback returns, and the
    // outer run takes the event then.
    void Run(osip_transaction_t* tr, osip_event_t* ev);

    void Drain();

    // Index key of a transaction (RFC 3261 17.1.3 / 17.2.3): branch, method
    // and, on the server side, the sent-by of the top Via. Empty for peers
    // without the RFC 3261 branch cookie; those go through osip's own search.
    static std::string KeyOf(const osip_message_t* m, bool server);

    TxRec* TxOf(osip_transaction_t* tr);

    TxRec& Register(osip_transaction_t* tr, Scope s);

    DialogRec* Dialog(int did);

    // Local address used towards host (the kernel's route choice).
    std::string LocalAddressFor(const std::string& host);

    void SetUa(osip_message_t* m);

    // Puts a fresh top Via on a request going towards host.
    void AddVia(osip_message_t* m, const std::string& host);

    void ReplaceVia(osip_message_t* m, const std::string& host);

    std::string DestHostOf(osip_message_t* m);

    void AddContact(osip_message_t* m, const osip_from_t* self, const std::string& towards);

    // ---------- sending
    int SendRaw(osip_message_t* m, const std::string& host, int port, int connId);

    // Every send ends here, so that the wire hook sees each one.
    int SendBytes(std::string data, const std::string& host, int port, int connId);

    static int CbSend(osip_transaction_t* tr, osip_message_t* m, char* host, int port, int sock);

    // The timers of every transaction, then whatever they queued. Run by
    // the worker a few dozen times a second.
    void Tick();

    // Finished transactions leave osip's lists in one pass per tick rather
    // than one list walk each, then are freed.
    void FreeGarbage();

    void Discard(osip_transaction_t* tr);

    // Ends a non-INVITE transaction as soon as its final answer has passed:
    // what its Completed state would still do (absorb retransmissions) is
    // done by the answer cache on the server side and by dropping stray
    // answers on the client side. This keeps osip's lists, which it walks
    // on every timer tick, as short as the number of open transactions.
    void Finish(TxRec& t);

    osip_list_t* ListFor(osip_fsm_type_t t);

    // osip appends a new transaction by walking its whole list; with the list
    // set aside the append is immediate and the transaction is put in front.
    // Unlisted, it stays out of osip's lists altogether: for a server
    // transaction outside an INVITE found by its index key, whose events
    // Run hands over and which ends with its final answer (no timer), so
    // that the timer walks of every tick and the garbage pass do not grow
    // with the requests waiting for their answer.
    template <class Make>
    osip_transaction_t* CreateFast(osip_fsm_type_t type, Make make, bool listed = true) {
        osip_list_t* li = ListFor(type);
        osip_list_t saved = *li;
        osip_list_init(li);
        osip_transaction_t* tr = make();
        osip_list_t fresh = *li;
        *li = saved;
        osip_list_iterator_t it;
        void* el = osip_list_get_first(&fresh, &it);
        while (listed && osip_list_iterator_has_elem(it)) {
            osip_list_add(li, el, 0);
            el = osip_list_get_next(&it);
        }
        osip_list_special_free(&fresh, nullptr);
        return tr;
    }

    void SweepStale();

    // ---------- answers
    osip_message_t* MakeResponse(const osip_message_t* req, int status, const std::string& tag);

    // Answers a request that has no transaction (malformed ones) to its top Via.
    void StatelessAnswer(const osip_message_t* req, int status, int connId);

    int QueueAnswer(TxRec& t, MessagePtr answer);

    // ---------- incoming
    // Counts bytes that cannot be a SIP message and reports them, rate-limited.
    void Invalid(const Datagram& d, const char* why);

    bool QueueFull();

    // 503 with Retry-After to a new request while the queue is full, sent at
    // once without a transaction (a retransmission is judged again).
    void Shed(osip_message_t* m, int connId);

    void OnDatagram(Datagram& d);

    // A MESSAGE answered on the worker (SetDirectMessages); false when it
    // takes the usual way.
    bool AnswerDirect(osip_message_t* m, const Datagram& d, const std::string& key);

    // Hands the answers of the batch to Answered, then lets WaitEvent go on.
    // Called by the worker without mu; true when WaitEvent is to be woken.
    bool DeliverDirect();

    // A 2xx to an INVITE whose transaction is gone: our ACK was lost.
    void StrayResponse(osip_message_t* m);

    void DialogAck(osip_message_t* m);

    DialogRec* FindDialogAsUas(osip_message_t* req);

    void AutoAnswer(TxRec& t, int status);

    void ReleaseCall(int cid, osip_message_t* resp, const TxRec* t);

    void OnServerRequest(TxRec& t, osip_message_t* m);

    void OnCancel(TxRec& t, osip_message_t* m);

    // SipSubscriptionDialog.cpp: a NOTIFY of one of our subscriptions (answered
    // here; false when it is none of ours), and whether a SUBSCRIBE with a To
    // tag refreshes a subscription we serve.
    bool OnSubscriptionNotify(TxRec& t, osip_message_t* m);
    bool Serves(const osip_message_t* m) const;
    // Answers NOTIFY m with status and reports it (EventKind::NotifyRefused).
    void RefuseNotify(TxRec& t, osip_message_t* m, int status);
    // The final answer (status, 0 for none) to a SUBSCRIBE of ours in t.
    void SubscribeAnswered(const TxRec& t, const osip_message_t* req, int status);

    void OnInvite(TxRec& t, osip_message_t* m);

    // ---------- client side results
    void OnClientAnswer(TxRec& t, osip_message_t* resp, bool timeout);

    void OnInviteAnswer(TxRec& t, osip_message_t* resp, bool timeout);

    static Impl* Self(osip_transaction_t* tr);

    static void CbMessage(int type, osip_transaction_t* tr, osip_message_t* m);

    static void CbKill(int, osip_transaction_t* tr);

    // A request that could not be sent at all ends like one never answered.
    static void CbTransportError(int type, osip_transaction_t* tr, int);

    // ---------- starting client transactions
    int StartClient(osip_message_t* req, osip_fsm_type_t type, Scope scope, int cid, int did,
                    int sid);

    int BuildOutOfDialog(MessagePtr& out, const char* method, const char* to, const char* from,
                         const char* route);

    // A request inside dialog dr with the dialog's route set and remote target.
    int BuildInDialog(DialogRec& dr, const char* method, int cseqNum, MessagePtr& out);

    // Next hop of an in-dialog request: first Route, else the request URI.
    void NextHop(osip_message_t* m, std::string& host, int& port);

    // Retries req as a new transaction of the same kind with CSeq + 1.
    int Retry(const Event& ev, osip_message_t* req);

    int Authorize(const Event& ev);

    int Redirect(const Event& ev);
};

} // namespace sipua
