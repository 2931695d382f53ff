#pragma once
// The system's one SIP user agent: listens on the configured transport and
// port, runs the event thread "m_hThread" that answers what is due at once and
// reports up (ISipEvents), and sends the requests that the core asks for.
//
// Locks: the user agent's own (sipua::AgentLock) is held for one build-log-send
// or answer at a time and never while sleeping or calling anything but
// OnMessageLogged; the call-ending queue has a lock of its own that guards the
// queue and the context pointer. Start, Stop and Send are not called at the same
// time (the core serialises them); EndCall may be called from any thread.

#include "base/CThread.h"
#include "base/TimeText.h"
#include "sip/endpoint/SipEndpoint.h"
#include "sip/auth/DigestRegistrar.h"
#include "sip/ua/SipAgent.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Head and body of one message as the log shows them.
struct LogTexts {
    bool ok = false;
    std::string body;  // the first body, or "No Body!\n"
    std::string head;  // start line and headers, whole, then "\n"
    std::string error; // set when the message could not be serialised
};
LogTexts ExtractLogTexts(const osip_message_t* message);
// The same texts from the bytes message was parsed from, without serialising
// it again; false (t untouched) when they are not plainly its bytes (another
// message's, a multipart body, a body osip read differently).
bool LogTextsFromWire(std::string_view wire, const osip_message_t* message, LogTexts& t);
// The texts of bytes we serialised and sent ourselves (head, then the body
// or "No Body!\n"); false when they hold no end of head.
bool LogTextsFromSent(std::string_view wire, LogTexts& t);

// Bytes as a log row shows input that is no SIP message: printable ASCII as it
// is, backslash doubled, \r \n \t and \xHH for the rest (a line break kept
// after each \n).
std::string EscapeBytes(std::string_view bytes);

// Device address taken from a REGISTER: the packet's source (sourceHost,
// sourcePort), where the device really is (RFC 3581: behind NAT its From and
// Via name a private address); without a source, the From URI and rport of
// the top Via. The identifier is the From user.
void FillDeviceFromRegister(const osip_message_t* request, DeviceAddress& device,
                            const std::string& sourceHost, int sourcePort);
// The registration time a REGISTER asks for: its Expires header, else the
// expires parameter of its Contact; -1 when it gives none.
int RegisterExpires(const osip_message_t* request);

class CSIP final : public ISipEndpoint, private sipua::SipAgent::DirectMessages {
public:
    // How long the event thread keeps handling what already arrived once Stop is
    // called: until no event came for kDrainQuietMs, at most kDrainLimitMs.
    static constexpr int kDrainQuietMs = 150;
    static constexpr int kDrainLimitMs = 5000;

    CSIP();
    ~CSIP() override;
    CSIP(const CSIP&) = delete;
    CSIP& operator=(const CSIP&) = delete;

    int Start(int transport, const SipSettings& settings, ISipEvents& events) override;
    void Stop() override;
    bool IsStarted() const override { return context_ != nullptr; }
    void SetContentType(const std::string& contentType) override;
    SendResult Send(const SipRequest& request) override;
    void EndCall(int callId, int dialogId) override;

    int BoundPort() const;
    // True once a REGISTER was answered (survives restarts); MESSAGEs before it
    // are not answered.
    bool Registered() const { return registered_.load(); }
    // New requests answered 503 since Start because events were piling up
    // (sipua::kDefaultEventQueueLimit waiting); 0 when stopped.
    std::uint64_t ShedCount() const;
    // Inputs that could not be a SIP message since Start (0 when stopped).
    std::uint64_t InvalidInputCount() const;
    std::map<std::string, std::uint64_t> InvalidInputBySource() const override;
    // Clock of the REGISTER answer's Date header; set before Start.
    WallClock clock;

private:
    struct Incoming;
    struct CallEnd {
        int callId, dialogId;
    };
    static void EventLoop(CThread* t);
    void HandleEvent(sipua::Event& ev);
    void OnRegister(sipua::Event& ev);
    // Logs message (direction as LogDirection) through the events.
    void Log(const osip_message_t* message, int direction,
             LoggedMessage::Role role = LoggedMessage::Role::Plain, const std::string& deviceId = {},
             const std::string& datagramBody = {});
    // The row Log reports; false when the message cannot be shown.
    static bool MakeRow(const osip_message_t* message, int direction, LoggedMessage::Role role,
                        const std::string& deviceId, const std::string& datagramBody,
                        LoggedMessage& row);
    // The row of an answer we sent as bytes, to peerUser's device.
    static bool SentRow(const std::string& bytes, const std::string& peerUser, LoggedMessage& row);
    // The answer a device's MESSAGE gets: the core's, and 403 from an address
    // its accepted registration did not come from (with a register password).
    int DecideMessage(const osip_message_t* request, const std::string& sourceHost,
                      int sourcePort);
    // A MESSAGE the agent's worker answers itself while this thread is idle:
    // decided and its row made there, both rows reported after the answer.
    int Admit(const sipua::SipAgent::DirectMessage& message) override;
    void Answered(const std::string& answer) override;
    // 200 to the MESSAGE-type transaction tid, with a "Date" header when date is
    // given; built, logged and sent under the agent's lock.
    void AnswerMessage(int tid, const std::string* date, const std::string& deviceId,
                       int status = 200);
    void AnswerInCall(int tid);
    // A device's INVITE (CSIPCalls.cpp): logged, answered as the core says.
    void OnCallIncoming(sipua::Event& ev);
    // Logs input that could not be a SIP message (Role::Invalid).
    void LogInvalid(const sipua::Event& ev);
    // With a register password: 0 when the REGISTER carries credentials that
    // verify, else the status it was answered with (401 challenge, 403 refusal).
    int ChallengeRegister(sipua::Event& ev, const std::string& deviceId);
    // The request comes from the address of its device's accepted registration.
    bool KnownAddress(const std::string& user, const std::string& host, int port) const;
    // The answer to a MESSAGE (status) sent first, then the request's row and
    // the answer's.
    void AnswerMessageFirst(sipua::Event& ev, int status);
    // A 401 or 403 to the REGISTER transaction tid, logged as its answer.
    void AnswerRegister(int tid, int status, const std::string& deviceId,
                        const std::string& wwwAuthenticate);
    // A subscription's answer or NOTIFY reported up (OnSubscription).
    void ReportSubscription(const sipua::Event& ev);
    void CallEndWorker();
    void EndOneCall(sipua::SipAgent& ua, const CallEnd& e);

    sipua::SipAgent* Agent() const { return context_.get(); }

    SipSettings settings_;
    std::string contentType_ = "application/MANSCDP+xml";
    ISipEvents* events_ = nullptr;
    std::unique_ptr<sipua::SipAgent> context_;
    CThread thread_;
    std::atomic<bool> registered_{false};
    // With a register password (event thread only): the challenges and their
    // verdicts, and where each device's accepted registration came from; its
    // requests from anywhere else are refused until it registers again.
    std::unique_ptr<tarvex::sipauth::DigestRegistrar> registrar_;
    // Read by Admit on the agent's worker too, which runs only while this
    // thread waits for an event (the agent's queue lock orders the two).
    std::map<std::string, std::pair<std::string, int>> registeredFrom_;
    // Rows of MESSAGEs admitted on the worker, waiting for their answers
    // (worker only).
    std::deque<LoggedMessage> directRows_;
    std::atomic<std::chrono::steady_clock::rep> drainUntil_{0}; // steady ticks, set by Stop

    std::mutex endMutex_;
    std::condition_variable endCv_;
    std::deque<CallEnd> ends_;
    bool endBusy_ = false;
    bool endQuit_ = false;
    std::thread endWorker_;
};
