#pragma once
// The system's one SIP user agent: listens on the configured transport and
// port, runs the event thread "m_hThread", answers what is due, and sends the
// requests that the operator or the automatic query chain asks for, always to
// the device that registered last.

#include "base/CThread.h"
#include "sip/endpoint/EXOSIP2INFO.h"
#include "sip/endpoint/SipOwner.h"
#include "sip/ua/SipAgent.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct SipSettings {
    int port = 5080;         // "端口"; 0 picks a free port (read back with BoundPort)
    std::string address;     // "地址"
    std::string id;          // "ID"
    std::string domain;      // "域"
};

// Head and body of one message as the log shows them.
struct LogTexts {
    bool ok = false;
    std::string body;   // the first body, or "No Body!\n"
    std::string head;   // start line and headers (at most 2047 bytes), then "\n"
    std::string error;  // set when the message could not be serialised
};
LogTexts ExtractLogTexts(const osip_message_t* message);

// Device address taken from a REGISTER: From URI, rport of the top Via, and
// the source of the packet (Via received / rport, else the Via sent-by) when
// the From URI does not give a usable IPv4 address and port.
void FillDeviceFromRegister(const osip_message_t* request, EXOSIP2INFO& node);

// "%Y-%m-%dT%H:%M:%S" of the local time.
std::string DateHeaderText();

class CSIP {
public:
    static constexpr const char* kNotRegisteredText = "提示\r\n设备未注册到服务器";

    CSIP();
    virtual ~CSIP();
    CSIP(const CSIP&) = delete;
    CSIP& operator=(const CSIP&) = delete;

    // Copies the settings when an owner is given, starts the library and the
    // event thread. Transports 0 UDP, 1 TCP, 2 TLS, 3 DTLS; any other index
    // listens nowhere and succeeds. 0, or -1 on failure.
    int Start(int transport, ISipOwner* owner, const SipSettings& settings);
    void Stop();

    // Sends a request of `kind` with body to the registered device. Sets
    // requestKind. 0, or -1 when no device registered. From the operator's
    // thread a send that would wait for the event thread is queued to a
    // worker, in order.
    int Send(int kind, const std::string& body);
    // As above with requestKind.
    int SendRequest(const char* body);
    // 0: 200 to the last MESSAGE-type transaction (with "Date" when text);
    // 1: 200 to the last in-call transaction (text as SDP body when given).
    int AnswerRequest(int kind, const char* text = nullptr, const char* registeringId = nullptr);
    void LogMessage(const osip_message_t* message, int direction,
                    const char* registeringId = nullptr);

    int BoundPort() const;
    bool LibraryInitialised() const { return context != nullptr; }
    // Waits until the send worker has nothing left (tests, shut-down).
    void FlushSends();
    // Texts of the last logged message.
    std::string ReceivedBody() const;
    std::string SentBody() const;
    std::string HeaderText() const;

    // The media side is told of an answered INVITE (reads the SDP answer).
    std::function<void(const sipua::Event& event, sipua::SipAgent& agent)> onCallAnswered;

    std::atomic<int> requestKind{1};
    char contentType[32] = {};
    std::atomic<unsigned char> active{0};
    std::atomic<int> registered{-1};
    std::atomic<int> callId{0}, dialogId{0};
    int transactionId = 0;
    CThread thread;
    ISipOwner* owner = nullptr;
    int localPort = 5080;
    std::string localDomain, localId, localAddress;
    EXOSIP2INFO* device = nullptr; // the node of the last REGISTER; owned by the owner
    std::unique_ptr<sipua::SipAgent> context;

private:
    struct Target {
        std::string id, address;
        int port = 0;
    };
    struct Job {
        int kind;
        std::string body;
    };
    static void EventLoop(CThread* t);
    void HandleEvent(sipua::Event& ev);
    void OnRegister(sipua::Event& ev);
    int DoSend(int kind, const std::string& body);
    void SendWorker();
    void PauseMs(int ms);
    bool OnEventThread() const;

    mutable std::mutex textMutex_;
    std::string receivedBody_, sentBody_, headerText_;

    mutable std::mutex targetMutex_;
    Target target_;

    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;

    std::atomic<std::thread::id> eventThreadId_{};

    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<Job> queue_;
    bool workerBusy_ = false;
    bool workerQuit_ = false;
    std::thread worker_;
};
