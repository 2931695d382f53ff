#pragma once
// One simulated GB/T 28181 device on its own SIP user agent: registers (with
// digest when challenged), refreshes before expiry, sends keepalives, answers
// the platform's MANSCDP queries and commands, streams for live view,
// playback and download, and leaves with an unregistration.
//
// Each device runs one thread that takes the agent's events and its own
// timers; streams run on threads of their own and report back through a
// queue that this thread reads.

#include "sim/camera/Gb2022Device.h"
#include "sim/camera/Bodies.h"
#include "sim/camera/Notifier.h"
#include "sim/camera/Options.h"
#include "sim/camera/Sdp.h"
#include "sim/camera/Stream.h"
#include "sim/camera/Voice.h"
#include "sip/ua/SipAgent.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvsim {

// One line per event on standard output, from any thread.
class EventPrinter {
public:
    explicit EventPrinter(bool quiet) : quiet_(quiet) {}
    void Line(const std::string& who, const std::string& text);
    void Error(const std::string& who, const std::string& text);

private:
    std::mutex m_;
    bool quiet_;
};

struct DeviceStats {
    int registrations = 0, registerFailures = 0, challenges = 0;
    int keepalives = 0, keepaliveFailures = 0;
    std::map<std::string, int> queries; // by CmdType
    int answersSent = 0, answerFailures = 0;
    int calls = 0;
    uint64_t frames = 0, bytes = 0;
    bool registered = false;
    // When the first registration and the first DeviceStatus answer happened.
    std::chrono::steady_clock::time_point firstRegistered{}, statusAnswered{};
};

class Device {
public:
    Device(const CameraOptions& o, int index, EventPrinter& out);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the SIP socket. False with error set (port in use ...).
    bool Open(std::string& error);
    void Start();
    // Asks the device to end its calls and unregister; Join waits for that.
    void RequestStop() { stop_ = true; }
    void Join();
    const std::string& Id() const { return ident_.id; }
    DeviceStats Stats();

private:
    struct Call {
        int cid = 0;
        std::string kind; // Play, Playback, Download
        std::string channel;
        std::unique_ptr<Stream> stream;
        bool started = false;
    };
    struct Timer {
        std::chrono::steady_clock::time_point when;
        std::function<void()> fn;
    };

    void Run();
    void Handle(sipua::Event& ev);
    void RunDue();
    void After(std::chrono::milliseconds d, std::function<void()> fn);
    void Post(std::function<void()> fn); // from stream threads

    void Register(int expires);
    void OnRegisterResult(sipua::Event& ev, int defaultAction);
    void SendKeepalive();
    void OnMessageResult(sipua::Event& ev);
    void SendMessage(const std::string& fromId, const std::string& utf8Body);

    void OnRequest(sipua::Event& ev);
    void AnswerMessage(int tid, const std::string& body);
    // The device itself or one of its channels.
    bool Ours(const std::string& id) const;
    void OnManscdp(const std::string& body);
    void SendAnswers(const std::vector<std::string>& bodies, const std::string& fromId,
                     const std::string& what);

    void OnInvite(sipua::Event& ev);
    void OnCallRequest(sipua::Event& ev);
    void EndCall(int cid, const std::string& why, bool sendBye);
    void EndAllCalls();

    // The 2022 transfers, each on a worker thread (joined by Join).
    void StartSnapshots(const SnapShotOrder& order);
    void StartUpgrade(const UpgradeOrder& order);

    void Print(const std::string& text) { out_.Line(ident_.id, text); }
    std::string ServerText() const;

    CameraOptions o_;
    int index_;
    EventPrinter& out_;
    DeviceIdentity ident_;
    std::string foreignId_;
    sipua::SipAgent agent_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    // Everything below belongs to the device's thread.
    std::string regCallId_;
    int regCseq_ = 0;
    bool registered_ = false;
    bool unregistering_ = false;
    bool unregistered_ = false;
    bool registerPending_ = false;
    int keepaliveMissed_ = 0;
    int keepalivesSent_ = 0;
    int sn_ = 1;
    bool guard_ = false;
    std::chrono::steady_clock::time_point refreshAt_{}, keepaliveAt_{}, retryAt_{};
    std::vector<Timer> timers_;
    std::map<int, Call> calls_;

    std::mutex postM_;
    std::vector<std::function<void()>> posted_;

    std::mutex statsM_;
    DeviceStats stats_;

    Gb2022Device gb_{o_.gb}; // the 2022 commands (Gb2022Device.h)
    std::vector<std::thread> workers_; // started and joined by the device's thread
    std::string upgradeResult_;        // sent once registered again after an upgrade
    std::unique_ptr<Notifier> notifier_; // the subscriptions it serves (Notifier.h)
    std::unique_ptr<DeviceVoice> voice_; // voice broadcast (Voice.h), on the device's thread
};

} // namespace tvsim
