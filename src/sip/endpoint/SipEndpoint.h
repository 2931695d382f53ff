#pragma once
// The two seams between the SIP endpoint (CSIP) and the core that drives it.
//
//   down, ISipEndpoint: start, stop, send a kind and a text, end a call;
//   up, ISipEvents:     a message was logged, a device registered, a call was
//                       answered with its SDP, a call was closed.
//
// Threads and locks: up-calls come from the endpoint's event thread, and
// OnMessageLogged also from whichever thread sends. OnMessageLogged runs with the
// user agent's lock held, just before the message goes out or just after it came
// in, so that the rows of one endpoint arrive in the order of the wire. One
// exception: the 200 to a MESSAGE goes out first, then the MESSAGE's row and the
// 200's row are reported (without the lock), so that a request another thread
// sends meanwhile may be logged before that 200. An
// up-call never calls back down and never waits for the GUI thread. The core
// holds none of its own locks while it calls down.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

struct SipSettings {
    int port = 5080;     // "端口"; 0 picks a free port (read back with BoundPort)
    std::string address; // "地址": Via, Contact and From of our requests
    std::string id;      // "ID"
    std::string domain;  // "域"
    // "验证密码": every REGISTER is challenged (401, Digest MD5, realm = domain)
    // and only credentials that verify with this password get the 200; others
    // get 403. Empty: every REGISTER is answered 200 at once.
    std::string registerPassword;
    // X-GB-Ver of our REGISTER answers and our requests ("3.0" for the 2022
    // edition, "2.0" for 2016); empty sends none.
    std::string gbVersion = "3.0";
    // The digest algorithm REGISTER is challenged with: "MD5", "SHA-256" or
    // "SM3" (where OpenSSL has it; else MD5 and a line on standard error).
    std::string digestAlgorithm = "MD5";
};

// Where requests to one device go.
struct DeviceAddress {
    std::string id;      // user part of its From URI (at most 31 characters)
    std::string address; // host
    int port = 0;
};

// A request from a device, before it is answered: what the core needs to
// decide the answer (AdmitRequest).
struct IncomingRequest {
    std::string method;     // "MESSAGE", "REGISTER", "NOTIFY", "INFO"
    std::string fromUser;   // user of its From URI
    std::string sourceHost; // where the packet came from
    int sourcePort = 0;
    const std::string* body = nullptr; // the body as received (may be null)
};

// Decimal value of the leading digits, cut to 16 bits as port fields are.
std::uint16_t PortFromText(std::string_view text);

enum LogDirection : int { kLogSent = 1, kLogReceived = 2 };

// One message as the log keeps it.
struct LoggedMessage {
    // Invalid: bytes that could not be a SIP message (received): deviceId is
    // their source "host:port", head says why, body holds them escaped.
    enum class Role { Plain, Register, RegisterAnswer, Invalid };
    int direction = kLogReceived;
    Role role = Role::Plain;
    std::string deviceId; // the registering device, for Register and RegisterAnswer
    std::string peerUser; // user of the device's URI: From of its requests, To of our requests
    // Where a received message came from (empty for what we send).
    std::string sourceHost;
    int sourcePort = 0;
    // The answer the endpoint gives a received request (AdmitRequest), 0
    // when none is decided here; a request not answered 200 is logged and
    // not applied.
    int answerStatus = 0;
    std::string head;     // start line and headers, whole, then "\n"
    std::string body;     // the first body as on the wire, or "No Body!\n"
    // A received MESSAGE that came in one datagram with more bytes than its
    // Content-Length declares: all of them (body keeps the declared ones).
    std::string datagramBody;
};

// A request to send. kind: 1, 4 MESSAGE; 5 INVITE; 6 INFO in dialogId; 7
// SUBSCRIBE; 2 (NOTIFY) and any other kind send nothing.
struct SipRequest {
    int kind = 1;
    std::string body;
    DeviceAddress to;
    int dialogId = 0;        // INFO only
    std::string contentType; // empty: the endpoint's (INVITE: application/sdp)
    std::string subject;     // INVITE's Subject header (empty: none)
    // SUBSCRIBE only: its Event header and Expires; subscriptionId > 0 sends a
    // refresh (or, with expires 0, the end) within that subscription's dialog.
    std::string event = "presence";
    int expires = 90;
    int subscriptionId = 0;
};

// An INVITE a device sends us (for the audio of a voice broadcast), before
// it is answered.
struct OfferedCall {
    int callId = 0;
    std::string fromUser; // the device's audio output
    std::string toUser;   // whom it asks (our identifier)
    std::string sourceHost;
    int sourcePort = 0;
    std::string sdp;
};

// The answer to an OfferedCall: 200 with our SDP, or a refusal.
struct CallAnswer {
    int status = 488; // Not Acceptable Here
    std::string sdp;
};

struct SendResult {
    bool sent = false;
    int callId = 0; // of an INVITE
    int subscriptionId = 0; // of a new SUBSCRIBE
};

// What became of a subscription of ours: the answer to a SUBSCRIBE (status 0
// when none came), or a NOTIFY within it (notify set; already answered).
struct SubscriptionReport {
    int subscriptionId = 0;
    bool notify = false;
    int status = 0;
    int expires = -1; // the answer's Expires header, -1 without one
    std::string phrase;
    std::string subscriptionState; // the NOTIFY's Subscription-State
};

class ISipEvents {
public:
    virtual ~ISipEvents() = default;
    virtual void OnMessageLogged(const LoggedMessage& message) = 0;
    // A REGISTER has been answered 200 OK.
    virtual void OnDeviceRegistered(const DeviceAddress& device) = 0;
    // A 2xx to our INVITE callId, acknowledged; sdp is its body ("" without one).
    virtual void OnCallAnswered(int callId, int dialogId, const std::string& sdp) = 0;
    // The call is over (our BYE answered, the device's BYE, or its end
    // otherwise). A 3xx-6xx to the INVITE reports it at once, and its
    // release again when the transaction ends.
    virtual void OnCallClosed(int callId, int dialogId) = 0;
    // The answer a device's request gets before it is logged: 200 to take
    // it, or an error status (403 from a sender that is not registered, 503
    // when no more devices fit). Called on the event thread, quickly.
    virtual int AdmitRequest(const IncomingRequest& request) {
        (void)request;
        return 200;
    }
    // A device's INVITE: the answer it gets (called on the event thread,
    // quickly; the call's end comes as OnCallClosed like any other).
    virtual CallAnswer OnCallOffered(const OfferedCall& call) {
        (void)call;
        return {};
    }
    // A REGISTER with Expires 0 has been answered 200 OK: the device left.
    virtual void OnDeviceUnregistered(const std::string& deviceId) { (void)deviceId; }
    // A subscription's answer or NOTIFY, after its row was logged.
    virtual void OnSubscription(const SubscriptionReport& report) { (void)report; }
};

class ISipEndpoint {
public:
    virtual ~ISipEndpoint() = default;
    // Listens on the transport index (0 UDP, 1 TCP, 2 TLS, 3 DTLS; any other index
    // listens nowhere and succeeds) and starts the event thread. 0, or -1.
    virtual int Start(int transport, const SipSettings& settings, ISipEvents& events) = 0;
    // Handles the messages already received, then ends the event thread and shuts
    // the SIP stack down. Safe when stopped.
    virtual void Stop() = 0;
    virtual bool IsStarted() const = 0;
    // Content type of request bodies other than INVITE's; set before Start.
    virtual void SetContentType(const std::string& contentType) = 0;
    // Builds, logs and sends; returns at once.
    virtual SendResult Send(const SipRequest& request) = 0;
    // CANCEL or BYE for the call; queued, never waits for the SIP thread.
    virtual void EndCall(int callId, int dialogId) = 0;
    // Inputs that could not be a SIP message since Start, counted per source
    // ("host:port"; "other" beyond the sources told apart); empty when none.
    virtual std::map<std::string, std::uint64_t> InvalidInputBySource() const { return {}; }
};
