#pragma once
// SIP user agent over libosip2: transports, transactions, dialogs and events.
//
// API overview
// ------------
//   sipua::SipAgent ua;                      // the context (freed by its destructor)
//   ua.Init();                               // 0 on success
//   ua.Listen(IPPROTO_UDP, nullptr, 5080, AF_INET, false);   // 0 on success
//        (protocol 17 UDP / 6 TCP; secure=true makes TLS over TCP, DTLS over UDP;
//         port 0 picks a free port, read it back with BoundPort())
//   ua.SetUserAgent("Tarvex\r\n");           // CR/LF and blanks are trimmed
//   while (running) {
//       sipua::EventPtr ev = ua.WaitEvent(0, 300);   // nullptr after the timeout
//       if (!ev) continue;
//       ua.Lock(); ua.DefaultAction(*ev); ... handle ev->kind ...; ua.Unlock();
//   }                                        // the event is freed with its EventPtr
//   ua.Shutdown();                           // closes sockets and ends the worker
//
// Build-and-send pairs: BuildXxx fills a MessagePtr that the caller may decorate
// with libosip2's own functions (osip_message_set_body, ..._set_content_type,
// ..._set_header), then hands it to the matching SendXxx, which always takes
// ownership, also when it fails. A built message that is not sent is simply
// dropped by its MessagePtr.
//   BuildRequest/SendRequest          a request outside any dialog (MESSAGE, OPTIONS...)
//   BuildAnswer/SendAnswer            answer to a server transaction outside a call
//   BuildInitialInvite/SendInitialInvite   new call; SendInitialInvite returns the call id
//   BuildInfo, BuildCallRequest/SendCallRequest   request within a call dialog
//   BuildAck/SendAck                  ACK of an answered INVITE (sent end to end)
//   BuildCallAnswer/SendCallAnswer    answer to a request within a call
//   BuildInitialSubscribe/SendInitialSubscribe   new subscription
//   BuildSubscribeRefresh/SendSubscribeRefresh   its refresh or end (Expires 0)
//   TerminateCall                     CANCEL before the answer, BYE after it
//   RemoteSdp                         the peer's SDP of a dialog
//
// Identifiers: every transaction, dialog, call and subscription gets a positive
// int that stays unique for the life of the context. Events carry them, and
// the packet source (sourceHost/sourcePort) of what was received: behind NAT
// that is where the device really is, whatever its Via and Contact say.
//
// Connections: TCP and TLS connections (and DTLS sessions) idle for 180 s are
// closed, and at 1,024 open ones a new one closes the idlest
// (SetIdleLimit, SetConnectionLimit). TARVEX_SIPUA_TRACE=1 prints every
// message, the limits and each connection opened or closed with the count.
//
// Hooks for simulators, tests and fuzzing, not for normal operation:
// SetWireHook rewrites or drops outgoing bytes; InjectInput feeds the intake
// without a socket.
//
// Threads: the context runs one worker thread that reads the sockets and drives
// the RFC 3261 transaction state machines and their timers. Every public call
// takes the context's lock itself (it is recursive), so callers may use the
// API from any thread; Lock/Unlock exist to hold the context across several
// calls (the worker does not process network input while someone holds it).

#include <sys/time.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <osip2/osip.h>
#include <osip2/osip_dialog.h>
#include <osipparser2/osip_message.h>
#include <osipparser2/sdp_message.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <string>

namespace sipua {

struct MessageDeleter {
    void operator()(osip_message_t* m) const { osip_message_free(m); }
};
// A libosip2 message owned by the caller.
using MessagePtr = std::unique_ptr<osip_message_t, MessageDeleter>;

struct SdpDeleter {
    void operator()(sdp_message_t* s) const { sdp_message_free(s); }
};
using SdpPtr = std::unique_ptr<sdp_message_t, SdpDeleter>;

// What happened. The numeric values are stable and may be logged.
enum class EventKind : int {
    // Calls (INVITE dialogs)
    CallIncoming = 1,      // new INVITE from a peer (outside any call)
    CallNoAnswer = 2,      // our INVITE timed out (timer B)
    CallProceeding = 3,    // 1xx other than 180 to our INVITE
    CallRinging = 4,       // 180 to our INVITE
    CallAnswered = 5,      // 2xx to our INVITE; dialog established
    CallRedirected = 6,    // 3xx to our INVITE
    CallRejected = 7,      // 4xx to our INVITE
    CallServerFailure = 8, // 5xx to our INVITE
    CallGlobalFailure = 9, // 6xx to our INVITE
    CallAckReceived = 10,  // ACK for a 2xx we sent
    CallCancelled = 11,    // the peer cancelled its INVITE
    CallRequest = 12,      // new request within a call (INFO, MESSAGE, BYE, ...)
    CallRequestProceeding = 13,
    CallRequestAnswered = 14, // 2xx to our request within a call
    CallRequestFailed = 15,   // 3xx-6xx to our request within a call
    CallRequestNoAnswer = 16, // our request within a call timed out (timer F)
    CallClosed = 17,          // the peer sent BYE
    CallReleased = 18,        // the call is over and its context is freed

    // Requests outside any dialog (REGISTER, MESSAGE, OPTIONS, ...)
    OutOfCallRequest = 30,       // new request from a peer
    OutOfCallProceeding = 31,    // 1xx to our request
    OutOfCallAnswered = 32,      // 2xx to our request
    OutOfCallRedirected = 33,    // 3xx
    OutOfCallRejected = 34,      // 4xx
    OutOfCallServerFailure = 35, // 5xx
    OutOfCallGlobalFailure = 36, // 6xx
    OutOfCallNoAnswer = 37,      // our request timed out (timer F)

    // Subscriptions we made
    SubscriptionProceeding = 50,
    SubscriptionAnswered = 51, // 2xx to our SUBSCRIBE
    SubscriptionRedirected = 52,
    SubscriptionFailed = 53,   // 4xx-6xx to our SUBSCRIBE
    SubscriptionNoAnswer = 54, // our SUBSCRIBE timed out
    SubscriptionNotify = 55,   // NOTIFY within one of our subscriptions

    // Input that cannot be a SIP message (a datagram, or the stream bytes
    // where framing was lost): text says why, datagramBody holds the bytes
    // (at most kInvalidBytesKept), sourceHost/sourcePort where they came from.
    // At most kInvalidEventsPerSecond such events a second; the rest are only
    // counted (InvalidInputCount).
    InvalidInput = 60,
    // A new request refused with 503 (Retry-After) because the event queue
    // was full: request and response hold both. Rate-limited like InvalidInput;
    // every one is counted (ShedCount).
    RequestShed = 61,
    // A NOTIFY the layer answered itself with an error: 481 when it belongs to
    // none of our subscriptions (no To tag, an unknown or ended dialog), 500
    // when out of order. request and response hold both; nothing is applied.
    NotifyRefused = 62,
};

// Answers kept for retransmitted requests: 32 s each (timer J), and at most
// this many (4,096 requests a second for 32 s); beyond it the oldest go first.
constexpr std::size_t kAnsweredLimit = 131072;

// Events waiting for WaitEvent beyond which new requests are refused.
constexpr std::size_t kDefaultEventQueueLimit = 2000;
constexpr int kShedRetryAfterSeconds = 5;

constexpr std::size_t kInvalidBytesKept = 2048;
constexpr int kInvalidEventsPerSecond = 20;

// TLS and DTLS read the server certificate (PEM, may hold a chain) and its
// private key (PEM) from these files in the working directory. When either is
// missing a self-signed pair is made at the first secure Listen and kept there.
extern const char* const kCertFileName; // "tarvex-sip.crt"
extern const char* const kKeyFileName;  // "tarvex-sip.key"

// Short English name of a kind, for logs ("call answered" ...).
const char* EventKindName(EventKind kind);

struct Event {
    EventKind kind{};
    std::string text;    // one line saying what happened
    MessagePtr request;  // the request concerned (ours or the peer's), may be null
    MessagePtr response; // the answer concerned, may be null
    MessagePtr ack;      // the ACK we sent for CallAnswered or a 3xx-6xx to our INVITE, else null
    int tid = 0;         // transaction
    int did = 0;         // dialog (0 outside a dialog)
    int cid = 0;         // call (0 outside a call)
    int sid = 0;         // subscription (0 outside one)

    // Where the packet that raised this event came from (the peer's request,
    // or the answer to ours): the datagram's sender over UDP and DTLS, the
    // connection's peer over TCP and TLS, whatever the message's Via or
    // Contact say; behind NAT they name a private address. Empty and 0 for
    // events raised by a timer or by the owner's own calls (a timeout, a
    // request that could not be sent, a call released after its timers).
    std::string sourceHost; // dotted IPv4
    int sourcePort = 0;

    // The whole body of that datagram, set only when a message arrived in one
    // datagram (UDP, DTLS) with more bytes after its header section than its
    // Content-Length declares. The message itself (request or response) keeps
    // the declared bytes, as RFC 3261 18.3 requires; this is what the sender
    // really put there, for a caller that finds the declared body unusable
    // (some devices count Content-Length in characters instead of bytes, and
    // cut XML at the first multi-byte character). On TCP and TLS the byte
    // stream is framed by Content-Length alone, so this stays empty.
    std::string datagramBody;
    // The bytes of the message that raised this event as they arrived (start
    // line, headers, the declared body), so that its log row needs no second
    // serialisation. Empty for events not raised by arriving input.
    std::string wire;
};
using EventPtr = std::unique_ptr<Event>;

class SipAgent {
public:
    SipAgent();
    virtual ~SipAgent(); // shuts down when still running
    SipAgent(const SipAgent&) = delete;
    SipAgent& operator=(const SipAgent&) = delete;

    // Prepares the transaction engine. 0 on success, negative otherwise.
    int Init();
    // Opens a listening socket and starts the worker. protocol is IPPROTO_UDP or
    // IPPROTO_TCP; secure selects DTLS resp. TLS. address null or "" or "0.0.0.0"
    // means any local address; family must be AF_INET. Only one listen per
    // context. 0 on success, negative otherwise.
    int Listen(int protocol, const char* address, int port, int family, bool secure);
    // The port really bound (useful with port 0), 0 before Listen.
    int BoundPort() const;
    // Ends the worker, closes every socket and drops every transaction, call
    // and queued event. Safe to call twice; the destructor calls it.
    void Shutdown();

    // User-Agent value of every message we send (leading/trailing blanks and
    // CR/LF dropped; an empty text sends no User-Agent header).
    void SetUserAgent(const char* text);
    // The address put into Via and Contact of our requests (default: the local
    // address the socket uses to reach the peer, found per destination).
    void SetContactAddress(const char* address);

    // --- TCP and TLS connections (and DTLS sessions)
    // A connection that carried nothing either way for this many seconds is
    // closed (default 180: three keep-alive periods of 60 s; 0 keeps idle
    // connections open). May be set before or after Listen.
    void SetIdleLimit(int seconds);
    // Most connections open at once (default 1,024). A new one at the limit
    // closes the idlest: first one that never carried a whole SIP message,
    // else the one whose last traffic is oldest. The limit is also kept under
    // the process's descriptor limit (whose soft value Listen raises towards
    // the hard one when it is too low), leaving 256 descriptors to the rest
    // of the process.
    void SetConnectionLimit(int count);
    // Connections and DTLS sessions open now.
    int ConnectionCount() const;
    // The clock that the idle limit reads (steady_clock by default): a test
    // moves it forward instead of waiting.
    void SetConnectionClock(std::function<std::chrono::steady_clock::time_point()> clock);

    // --- simulation and test hooks
    // Called with the bytes of every message just before they go on the wire
    // (first sends, retransmissions and repeated answers alike) and their
    // destination; it may change the bytes in place, for example to play a
    // device that counts Content-Length in characters. Returning false drops
    // that one send (the transaction goes on as if it had gone out). Runs on
    // the sending thread with the context lock held and must not call the
    // agent. An empty function removes the hook. Not for normal operation.
    using WireHook = std::function<bool(std::string& bytes, const std::string& host, int port)>;
    void SetWireHook(WireHook hook);
    // The intake without a socket, for fuzzing and tests: bytes as if a peer
    // at host:port had sent them. On UDP (and DTLS, as if decrypted) one
    // datagram; on TCP and TLS all that one connection carried before the
    // peer closed it, framed by Content-Length. Events follow as for network
    // input; answers go where they would for a peer that had gone. 0, or
    // negative before Listen.
    int InjectInput(const std::string& bytes, const char* host, int port);

    // Inputs that could not be a SIP message, since Listen: all of them, and
    // per source ("host:port"; at most 1,024 sources are told apart, the rest
    // are counted under "other").
    std::uint64_t InvalidInputCount() const;
    std::map<std::string, std::uint64_t> InvalidInputBySource() const;

    // Overload: while this many events wait for WaitEvent, a new request
    // outside a dialog (CANCEL and requests with a To tag excepted) is answered
    // 503 with Retry-After by the worker itself, without an event of its own
    // but the rate-limited RequestShed; transactions already open go on.
    // Default kDefaultEventQueueLimit; 0 never sheds.
    void SetEventQueueLimit(std::size_t events);
    // Requests refused so, since Listen.
    std::uint64_t ShedCount() const;

    // MESSAGEs answered on the worker. A MESSAGE outside a dialog (no To tag,
    // an RFC 3261 branch) that arrives while no event waits for WaitEvent and
    // none is being handled (the owner has called WaitEvent again since the
    // last one) is offered to Admit on the worker, with the context lock held.
    // A status it returns (200-699) is answered there and then, with no
    // transaction and no event: a keepalive then costs no thread switch and no
    // copy of the request. After that batch of input the answer's bytes go to
    // Answered (empty when it could not be built), in the order of the Admit
    // calls, without the lock, and before WaitEvent hands out any event raised
    // after the request. 0 takes the usual way (an OutOfCallRequest event).
    // Both must be quick; they may call the agent. A retransmission of the
    // request gets the same answer again without either.
    struct DirectMessage {
        const osip_message_t* request = nullptr; // valid during Admit only
        const std::string* wire = nullptr;       // its bytes as parsed
        const std::string* datagramBody = nullptr; // see Event::datagramBody
        std::string sourceHost;
        int sourcePort = 0;
    };
    class DirectMessages {
    public:
        virtual ~DirectMessages() = default;
        virtual int Admit(const DirectMessage& message) = 0;
        virtual void Answered(const std::string& answer) = 0;
    };
    // null ends it; the handler must outlive the agent's worker (Shutdown).
    void SetDirectMessages(DirectMessages* handler);

    // Next event, waiting at most seconds + milliseconds; nullptr when none.
    EventPtr WaitEvent(int seconds, int milliseconds);

    // The context lock (recursive).
    void Lock();
    void Unlock();

    // The context's own handling of an event's answer: a 3xx to one of our
    // requests is followed once (the request is sent again to the first
    // Contact); a 401/407 is answered with digest credentials when
    // AddCredentials was given some for its realm (or any realm), once per
    // request. 0 when something was sent, negative otherwise.
    int DefaultAction(const Event& event);
    // Credentials for digest challenges; realm null or "" matches any realm.
    int AddCredentials(const char* username, const char* userid, const char* password,
                       const char* realm);

    // --- outside a dialog
    // method e.g. "MESSAGE"; to/from are SIP addresses ("<sip:u@h:p>" or
    // "sip:u@h"); route may be null. 0 and out set, negative otherwise.
    int BuildRequest(MessagePtr& out, const char* method, const char* to, const char* from,
                     const char* route);
    // Sends; the transaction id (> 0), negative on failure.
    int SendRequest(MessagePtr request);
    // Answer to the server transaction tid (a request outside a call) with status.
    int BuildAnswer(int tid, int status, MessagePtr& out);
    // Sends answer (built by BuildAnswer); when answer is null a bare answer
    // with status is built and sent. 0 on success. With sent, the answer is
    // serialised once, and those bytes go on the wire, into the cache of
    // answers to retransmissions and into *sent (for the log).
    int SendAnswer(int tid, int status, MessagePtr answer, std::string* sent = nullptr);

    // --- calls
    int BuildInitialInvite(MessagePtr& out, const char* to, const char* from, const char* route,
                           const char* subject);
    // The call id (> 0), negative on failure.
    int SendInitialInvite(MessagePtr invite);
    // Request of the given method within dialog did (uses its route set, remote
    // target and next local CSeq).
    int BuildCallRequest(int did, const char* method, MessagePtr& out);
    int BuildInfo(int did, MessagePtr& out) { return BuildCallRequest(did, "INFO", out); }
    // The transaction id (> 0), negative on failure.
    int SendCallRequest(int did, MessagePtr request);
    // ACK for the 2xx that established dialog did.
    int BuildAck(int did, MessagePtr& out);
    int SendAck(int did, MessagePtr ack);
    // Answer to a request within a call (an INFO, MESSAGE, BYE, or an INVITE).
    int BuildCallAnswer(int tid, int status, MessagePtr& out);
    int SendCallAnswer(int tid, int status, MessagePtr answer);
    // Ends call cid (did may be 0): CANCEL while our INVITE is unanswered, BYE
    // once it is established, a 603 for an incoming INVITE not yet answered.
    int TerminateCall(int cid, int did);
    // A copy of the SDP body the peer sent in dialog did (its INVITE, its
    // answer or the latest), nullptr when there is none.
    SdpPtr RemoteSdp(int did);

    // --- subscriptions
    int BuildInitialSubscribe(MessagePtr& out, const char* to, const char* from, const char* route,
                              const char* event, int expires);
    // The subscription id (> 0), negative on failure.
    int SendInitialSubscribe(MessagePtr subscribe);
    // SipSubscriptionDialog.cpp. A refresh (expires > 0) or the end (expires
    // 0) of subscription sid, within the dialog its 2xx made, with its Event;
    // -3 before that 2xx. Its answer comes as a Subscription* event with sid.
    int BuildSubscribeRefresh(int sid, int expires, MessagePtr& out);
    // The transaction id (> 0), negative on failure.
    int SendSubscribeRefresh(int sid, MessagePtr request);
    // Forgets subscription sid and its dialog: later NOTIFYs in it get 481.
    // (A NOTIFY with Subscription-State terminated ends it by itself.)
    void ForgetSubscription(int sid);
    // Notifier side: SUBSCRIBEs within the dialog of Call-ID callId and our
    // tag localTag (the To tag of the 2xx we sent) come up as OutOfCallRequest
    // instead of being answered 481.
    void ServeSubscription(const std::string& callId, const std::string& localTag);
    void StopServing(const std::string& callId, const std::string& localTag);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// RAII holder of the context lock.
class AgentLock {
public:
    explicit AgentLock(SipAgent& a) : a_(a) { a_.Lock(); }
    ~AgentLock() { a_.Unlock(); }
    AgentLock(const AgentLock&) = delete;
    AgentLock& operator=(const AgentLock&) = delete;

private:
    SipAgent& a_;
};

} // namespace sipua
