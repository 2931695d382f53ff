#pragma once
// The core of the program, free of any toolkit: it owns the settings, the SIP
// endpoint, the device registry with the device tree model, the message log,
// the dispatch of received bodies with the follow-up schedule, the command
// builder and bodies, and the media session. CTarvexDlg is its one view
// (ICoreView) and hands it each operator action with the operator's inputs.
//
// Threads: operator actions and start-up run on the GUI thread; the endpoint
// calls the ISipEvents side on its event thread (and on a sending thread while
// it logs the request it sends); follow-up queries go out from the core's timer
// thread "m_hChain". docs/architecture.md has the map.
//
// Locks, taken in this order and never the other way round:
//   1. commandMutex_  one build-and-send at a time (operator and follow-ups),
//                     so that SNs rise on the wire; held while calling the view
//                     and the endpoint's Send, Stop and Start;
//   2. the user agent's lock (inside the endpoint, around build-log-send);
//   3. mutex_         the core's state: registry, tree, builder, schedule, type
//                     text, inputs; held for short sections, never while calling
//                     the endpoint or the view;
//   4. the message log's own lock (a leaf).
// The media session's lock comes after 1 and is never held while the session
// calls out; the core calls the session with no lock of its own but 1 (the
// GUI thread) or none (the SIP thread).

#include "app/core/CoreTransfers.h"
#include "app/core/ICoreView.h"
#include "app/core/LocalAddresses.h"
#include "app/core/MessageLog.h"
#include "app/core/OperatorInputs.h"
#include "audio/meter/AudioToggle.h"
#include "app/core/VoiceCalls.h"
#include "base/TimeText.h"
#include "manscdp/builder/CommandBuilder.h"
#include "app/settings/CDlgCfg.h"
#include "app/settings/ListenStatus.h"
#include "manscdp/control/CommandBodies.h"
#include "manscdp/search/CDlgSearch.h"
#include "media/session/CMediaSession.h"
#include "platform/calls/CallBook.h"
#include "platform/devices/DeviceRegistry.h"
#include "platform/dispatch/QueryChain.h"
#include "platform/subscriptions/EventBook.h"
#include "platform/subscriptions/EventMarks.h"
#include "platform/subscriptions/SubscriptionBook.h"
#include "sip/endpoint/SipEndpoint.h"
#include "vidana/lib/Vidana.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class CTarvexCore final : public ISipEvents {
public:
    using AdapterLister = std::function<bool(std::vector<LocalAdapter>&)>;

    // What the program (or a test) plugs in.
    struct Parts {
        std::unique_ptr<CDlgCfg> settings;  // loaded already (CDlgCfg loads at construction)
        std::unique_ptr<ISipEndpoint> sip;  // null: the real endpoint, CSIP
        AdapterLister lister;               // null: getifaddrs
        std::string searchIni = "Search.ini";
        WallClock wallClock;                // log times, the Date header, bodies
        SteadyClock clock;                  // the follow-up schedule
        bool timerThread = true;            // false: follow-ups run only by RunDue()
        // "验证密码": REGISTER is challenged with the settings' password (本地服务器 密码).
        bool challengeRegister = false;
        // Keepalives a device may miss in a row before it is marked offline
        // in the tree (the interval is the settings' 心跳周期, else 60 s).
        int keepaliveMisses = 3;
    };

    // Which viewer a double click in the log opens, with what text (UTF-8 for the
    // text viewer, the body's bytes for the XML view).
    enum class Viewer { None, Xml, Text };
    struct ViewerRequest {
        Viewer viewer = Viewer::None;
        std::string text;
    };

    explicit CTarvexCore(Parts parts);
    // Stops everything still running (the close-box path); stores nothing.
    ~CTarvexCore() override;
    CTarvexCore(const CTarvexCore&) = delete;
    CTarvexCore& operator=(const CTarvexCore&) = delete;

    void SetView(ICoreView* view) { view_ = view; }

    // ---- start-up and the shell's own actions (GUI thread)
    // Window initialisation, steps 4 to 7 and 10: speed, device tree root,
    // content type, endpoint start, the signalling list's rows.
    void Initialise();
    // Step 11: the local address tree, or the failure message and the root alone.
    void ListAddresses();
    // Slider 1056 released at pos, or box 1065 changed to value: the speed byte
    // and the settings' pan-tilt-zoom speed follow.
    void SpeedFromSlider(int pos);
    void SpeedFromEdit(int value);
    // Box 1058: the pan-tilt-zoom address byte (accepted range 0 to 254).
    bool SetPtzAddress(int value);
    // The standard message for the text left in box 1058 (0 to 254), 1065 or
    // 1104 (0 to 255): "" when it is a whole number in range.
    static std::string InputBoxMessage(int control, const std::string& text);
    // An address of tree 1094 became checked: this system's address from the next
    // endpoint start on.
    void AddressChecked(const std::string& address);
    // The settings dialog ended with OK (it has stored the settings). With a new
    // local port or identifier: new tree root, stop the endpoint, and start it
    // again 1000 ms later through the view's timer.
    void SettingsAccepted();
    bool RestartPending() const { return restartPending_; }

    // ---- operator actions (GUI thread), each with the operator's inputs
    // The inputs changed (custom mode toggled): later follow-ups see them.
    void SetInputs(const OperatorInputs& in);
    // A click on row of list 0 (signalling, 1080) or 1 (media, 1081): tick it,
    // build, show, send to the selected device or channel (unless in custom mode).
    void ClickCommand(int list, int row, const OperatorInputs& in);
    // True when a click on this row first asks for the search conditions (the
    // media list's "文件检索" with a device registered).
    bool ClickSearchesRecordings(int list, int row) const;
    // "发送": in custom mode the edited text goes out with the kind of the last
    // build, encoded as its declaration says. 0 when handed to the endpoint, -1
    // when not (no device: the message box), 1 when custom mode is off.
    int PressSend(const OperatorInputs& in);
    // A drag over the video view ended (in.drag, in.viewWidth/Height): recorded
    // for drag zoom; released inside the view during a live view (media set 1)
    // it sends "拖动放大" or "拖动缩小" as a click on that row would.
    void VideoDragged(const OperatorInputs& in);
    // A click on a device tree item (label, icon or check box).
    void TreeClicked(int item);
    // The tree items of the registered devices with the tooltip naming their
    // version header, e.g. "X-GB-Ver 3.0 (2022)" ("X-GB-Ver: 无" without one).
    std::vector<std::pair<int, std::string>> DeviceVersionTips();
    // What the HTTP transfer server saw for a snapshot or upgrade session (CoreTransfers.cpp).
    bool SnapshotSeen(const std::string& sessionId, tarvex::http::SnapshotSession& out, bool& closed);
    bool FirmwareSeen(const std::string& sessionId, tarvex::http::FirmwareOffer& out);
    ViewerRequest LogDoubleClicked(int row, int column) const;

    // ---- ways out
    // Exit button, steps 1 to 6; the view then closes the dialog with OK.
    void Exit();
    // Every way out: no more follow-ups, open calls ended, every message already
    // received handled and logged, endpoint stopped. Idempotent; stores nothing.
    void Stop();
    bool Exited() const { return exited_; }

    // Sends the follow-up queries that are due by the clock (the timer thread
    // calls it; tests with their own clock call it by hand).
    void RunDue();
    // Marks offline every device silent for longer than the keepalive misses
    // times the interval (by the clock); the timer thread calls it when the
    // first such deadline passes, RunDue calls it too.
    void CheckKeepalives();
    // The device (its latest record) is marked offline.
    bool DeviceOffline(const std::string& id) const;
    int KeepaliveMisses() const { return keepaliveMisses_; }
    // When the next follow-up is due, if any.
    std::optional<std::chrono::steady_clock::time_point> NextDue() const;

    // ---- ISipEvents (SIP event thread, or a sending thread)
    void OnMessageLogged(const LoggedMessage& message) override;
    void OnDeviceRegistered(const DeviceAddress& device) override;
    void OnCallAnswered(int callId, int dialogId, const std::string& sdp) override;
    void OnCallClosed(int callId, int dialogId) override;
    int AdmitRequest(const IncomingRequest& request) override;
    void OnDeviceUnregistered(const std::string& deviceId) override;
    // A device's INVITE for our audio (a voice broadcast), CTarvexVoice.cpp.
    CallAnswer OnCallOffered(const OfferedCall& call) override;

    // ---- Voice (CTarvexVoice.cpp) ------------------------------------------------
    // The audio the next broadcasts send: a WAV file played in a loop, or the
    // microphone when path is empty.
    void SetVoiceWav(const std::string& path) { voice_.SetWavSource(path); }
    VoiceCalls& Voice() { return voice_; }
    // The device's sound (a live view's or playback's audio, a talk call's):
    // its mute and its output meter.
    tvaudio::DeviceAudio& DeviceSound() { return deviceAudio_; }

    // ---- Media session ---------------------------------------------------------
    // The media session (src/media/session) is the core's: media rows of kind 5
    // and 6 get their offers and playback control texts from it, answers and
    // closed calls go to it, tree clicks ask it which media set to show, and
    // every way out ends its calls (Stop). The core never holds mutex_ while it
    // calls the session: ending a stream joins the receive thread.
    // The video view the decoder draws into (the window's 1007).
    void SetVideoSurface(IVidanaSurface* surface);
    // The left button is held over the video view: the rectangle from where it
    // went down to where the mouse is, drawn over every picture.
    void VideoDragging(const DragRect& r);
    struct MediaStatus {
        bool livePlaying = false;  // a live view is open
        bool playbackOpen = false; // a download or playback is open
        int playbackSeconds = 0;   // length of the recording clicked last
    };
    MediaStatus Media() const;
    const CMediaSession& MediaSession() const { return *media_; }
    // The call id of the last INVITE sent (0 before any).
    int LastInviteCallId() const;

    // ---- read access (any thread)
    const MessageLog& Log() const { return log_; }
    TreeItem TreeSnapshot() const;
    // What changed in the tree since the last call (the view's redraw), or the
    // whole tree when that is cheaper.
    TreeDelta TakeTreeDelta();
    bool Registered() const;
    // The device the next request goes to: the selection's, else the only
    // registered device; nothing when none is, or when several are and none
    // is selected.
    std::optional<std::string> CurrentDeviceId() const;
    // The selection in the tree (device and channel identifiers; empty when
    // nothing is selected).
    std::pair<std::string, std::string> SelectedIds() const;
    std::string TypeText() const;
    int NextSequenceNumber() const;
    int MediaSetNumber() const;
    int SendKind() const;
    std::string MessageText() const;
    std::size_t DeviceRecordCount() const;
    // Visits the records under the core's lock, in registration order.
    void VisitDevices(const std::function<void(const DeviceNode&)>& f) const;

    CVidana& Decoder() { return decoder_; }
    AudioToggle& Audio() { return audio_; }
    CDlgCfg& Settings() { return *settings_; }
    CDlgSearch& Search() { return *search_; }
    ISipEndpoint& Sip() { return *sip_; }
    int SpeedByte() const { return speedByte_; }
    int PtzAddress() const { return ptzAddress_; }
    // For the device check (any thread): the media transport of the next
    // offers instead of the settings' (nothing: the settings' again), and the
    // recording search range as the search dialog's OK would set it. Both
    // under the core's lock, so that the settings are never written.
    // The 录像 button: starts or ends the live view's recording to an MP4
    // file, and a .ps file with 保存PS流 (CMediaSession::ToggleLiveRecording);
    // whether one runs now.
    bool ToggleLiveRecording() { return media_->ToggleLiveRecording(settings_->mediaSavePs); }
    // The live view's 码流 choice (0 main, 1 sub): the next live offer's
    // a=streamnumber under 国标版本 2022.
    void SetLiveStream(int number) { liveStream_ = number == 1 ? 1 : 0; }
    void OverrideMediaTransport(std::optional<int> transport);
    void AcceptSearch(const std::string& startText, const std::string& endText, int typeIndex);
    // The password REGISTER is challenged with ("验证密码"), "" when it is not.
    std::string ChallengePassword() const;
    // Result of the last endpoint start (0 or -1).
    int LastStartResult() const { return lastStart_; }
    // The status line with the count of input that was no SIP message added
    // (InputStatus.cpp).
    ListenStatus WithInputStatus(ListenStatus line) const;

    // ---- subscriptions (CoreSubscriptions.cpp): to the selected channel or
    // device like a click; answers, NOTIFYs and refreshes move their state.
    struct SubscribeInputs {
        tvsub::Package package = tvsub::Package::Catalog;
        int expires = 3600;
        tvsub::AlarmConditions alarm;
        int interval = 5;
    };
    // False with a message to the view when nothing is selected or no room is left.
    bool Subscribe(const SubscribeInputs& in);
    // Expires 0 for the selected target's subscription of that package.
    bool Unsubscribe(tvsub::Package package);
    // The 报警复位 of one alarm of the list, to its source; the alarm is marked.
    bool AcknowledgeAlarm(std::uint64_t serial);
    std::vector<tvsub::Subscription> Subscriptions() const;
    std::vector<tvsub::AlarmRecord> Alarms() const;
    std::vector<std::string> PositionChannels() const;
    std::vector<tvsub::PositionRecord> Positions(const std::string& channel) const;
    std::pair<std::uint64_t, std::uint64_t> EventsTaken() const; // alarms, positions
    // PTZPosition (2022): the window offers it only while the target's
    // device declared X-GB-Ver 3.x (Subscribe itself sends it to any, and
    // the device's answer decides); the PTZ positions Notifys brought.
    bool TargetSpeaks2022();
    std::vector<std::string> PtzChannels() const;
    std::vector<tvsub::PtzRecord> PtzPositions(const std::string& channel) const;
    // Tree items of registered devices and their channels with unacknowledged
    // alarms or a last position (EventMarks.h), for the tree's badge and tooltip.
    std::vector<std::pair<int, tvsub::EventMark>> TreeEventMarks() const;
    // Rises with every change of the subscriptions, alarms or positions; read
    // without a lock, so that a view polls it cheaply.
    std::uint64_t EventsVersion() const { return eventsVersion_.load(); }
    void SetEventNames(const tvsub::EventNames& names);
    // Alarms.csv and Positions.csv of this run into dir (beside MsgXml.xls);
    // false with a note on standard error when they could not be written.
    bool SaveEvents(const std::string& dir) const;
    // Rows 39 (报警描述) and 40 (分类描述) subscribe (Alarm, Catalog) with the
    // row's "Expires" value; false for any other row and in custom mode.
    bool ClickSubscriptionRow(int list, int row, const OperatorInputs& in);
    void OnSubscription(const SubscriptionReport& report) override;

private:
    // What one action shows and sends, delivered after mutex_ is released.
    struct Outgoing {
        std::vector<std::string> messages;
        std::vector<CommandBuilder::Tick> untick;
        std::optional<CommandBuilder::Tick> tick;
        std::optional<std::pair<int, std::vector<std::string>>> fill; // list, labels
        std::optional<std::vector<std::string>> mediaFill;            // the media list's new rows
        std::optional<std::string> shownText;
        std::optional<SipRequest> send;
        std::optional<DragRect> dragRect; // drawn over the pictures from now on
        bool clearDrag = false;           // the drawn drag rectangle goes (after dragRect)
        std::optional<std::string> source; // whose stream is shown now ("" none)
        std::uint64_t offer = 0;          // the session's offer this INVITE carries
        bool talk = false;                // this INVITE is a talk offer (VoiceCalls::TalkSent)
    };
    // The session's seams: calls end through the endpoint, figures go to the view.
    struct MediaSignal final : IMediaSignal {
        explicit MediaSignal(CTarvexCore& c) : core(c) {}
        void EndCall(int cid, int did) override { core.sip_->EndCall(cid, did); }
        CTarvexCore& core;
    };
    struct MediaView final : IMediaView {
        explicit MediaView(CTarvexCore& c) : core(c) {}
        void UpdateMediaView(const MediaViewUpdate& u) override {
            ICoreView* v = core.view_;
            if (!v) return;
            v->ShowMediaFigures(u);
            if (u.message) v->ShowMessage(*u.message); // queued by the view, never waited on
        }
        CTarvexCore& core;
    };

    void StartEndpoint();
    void ResetTree(const std::string& localId);
    void TakeInputsLocked(const OperatorInputs& in, bool report, Outgoing& out);
    // Where a request goes: the selected device or channel (a device's
    // command goes to the channel's device), else the only registered device.
    struct Target {
        DeviceRecord* device = nullptr;
        std::string channel; // the selected channel, empty for the device itself
    };
    // Null device with a message in out when there is no target.
    Target TargetLocked(Outgoing& out);
    void BuildLocked(int list, int row, const Target& target, Outgoing& out,
                     bool automatic = false);
    // Shows the built text and, unless held in custom mode, makes the request
    // to target in out; the request, or null when nothing goes out.
    SipRequest* FinishLocked(const Target& target, Outgoing& out, bool automatic = false);
    void UntickLocked(int list, Outgoing& out);
    void FillMediaLocked(int set, Outgoing& out);
    // What the session needs of the settings, the selected channel and the last search.
    MediaInputs MediaInputsLocked() const;
    // A media row of kind 5 or 6: the session builds it (no core lock held).
    void ClickMediaRow(int set, int row, Outgoing& out);
    // The broadcast row: the Broadcast notification to the selected channel;
    // the talk row: our audio offer to it (CTarvexVoice.cpp).
    bool BuildBroadcastLocked(int set, int row, const Target& target, Outgoing& out);
    // The voice path's hooks on the audio toggle (constructor).
    void WireVoice();
    // Ends every voice call with its BYE.
    void EndVoice();
    bool BuildTalkLocked(const CommandEntry& e, const Target& target, Outgoing& out);
    // A talk call's answer: true when callId was one (CTarvexVoice.cpp).
    bool TalkAnswered(int callId, int dialogId, const std::string& sdp);
    // The talk offer's INVITE went out: an answer that overtook it is filed.
    void TalkSent(int callId);
    // The type text and device of a logged row, from the message itself.
    void FileRowLocked(const LoggedMessage& m, const std::string& body, std::string& type,
                       std::string& device);
    void Deliver(Outgoing& out);
    int Dispatch(const XMLNode& doc, const LoggedMessage& m);
    // The body of a received message as it is logged and dispatched.
    static const std::string& BodyToUse(const LoggedMessage& m);
    void TimerLoop();
    // The earliest time a device goes offline unless it speaks; nothing when
    // no device is online.
    std::optional<std::chrono::steady_clock::time_point> KeepaliveDeadlineLocked() const;
    // A keepalive or registration of r: it is online from now.
    void SeenLocked(DeviceRecord& r, bool& treeChanged);
    void StopTimer();
    // CoreSubscriptions.cpp: with commandMutex_ held.
    void RefreshSubscriptionsDue();
    void RetryPtzSubscriptions();
    void EndSubscriptions();
    // Under mutex_: a device that left has no subscriptions any more.
    void DeviceLeftLocked(const std::string& deviceId);
    void SendSubscriptionRequest(const tvsub::Subscription& s, int expires, const char* typeText);
    // A received Alarm or MobilePosition body of sender, under mutex_.
    bool ApplyEventLocked(const DeviceRecord& sender, const XMLNode& element);
    tvsub::SubscriptionBook subs_;
    tvsub::EventBook events_;
    tvsub::EventNames eventNames_;
    int subscriptionSn_ = 1;
    std::atomic<std::uint64_t> eventsVersion_{0};

    // Constructed in this order and destroyed in the reverse: the endpoint stops
    // first, then audio capture, and the decoder goes last.
    CVidana decoder_;
    // Before voice_ and the media session, whose receivers play into it.
    tvaudio::DeviceAudio deviceAudio_;
    // Before audio_: its capture tap feeds these calls until audio_ is gone.
    VoiceCalls voice_;
    AudioToggle audio_;
    std::unique_ptr<CDlgCfg> settings_;
    CoreTransfers transfers_; // snapshot uploads and firmware downloads (under mutex_)
    // The X-GB-Ver of the REGISTER logged last (device id, value), for its
    // registration that follows on the same thread (under mutex_).
    std::pair<std::string, std::string> registerVersion_;
    AdapterLister lister_;
    WallClock wallClock_;
    SteadyClock clock_;
    std::atomic<ICoreView*> view_{nullptr};

    mutable std::mutex commandMutex_;
    mutable std::mutex mutex_;
    std::condition_variable timerCv_;
    bool timerQuit_ = false;
    QueryChain chain_;
    // MediaStatus notifications waiting for the device's own BYE (under mutex_).
    struct DueStatus {
        std::chrono::steady_clock::time_point due;
        std::string id;
        int notifyType = 0;
    };
    std::vector<DueStatus> statusDue_;

    MessageLog log_;
    DeviceRegistry registry_;
    CommandBuilder builder_;
    std::unique_ptr<CDlgSearch> search_;
    CommandInputs inputs_;
    bool customMode_ = false;
    std::uint8_t presetNumber_ = 1; // last accepted box 1104
    std::string typeText_;
    std::string localId_;
    MediaInputs lastMediaInputs_; // as of the last media action: for answers to no offer
    Selection selection_;         // the tree's, set by TreeClicked
    CallBook calls_;
    int lastInviteCall_ = 0;
    static void PrintAnswer(int callId, const AnswerOutcome& a);
    // The media list refilled with a set (a stream the device ended).
    void ShowMediaSet(int set);
    // An offer shown for editing (custom mode) that the next INVITE sent by
    // hand carries; 0 none.
    std::uint64_t heldOffer_ = 0;
    std::optional<int> mediaTransportOverride_;
    std::atomic<int> liveStream_{0};

    std::atomic<int> speedByte_{0};
    std::atomic<int> ptzAddress_{0};
    int lastStart_ = -1;
    std::string startedPassword_; // the endpoint's REGISTER challenge password
    int keepaliveMisses_ = 3;
    std::chrono::seconds keepaliveInterval_{60}; // under mutex_, from the settings
    bool restartPending_ = false;
    bool exited_ = false;
    bool stopped_ = false;
    // Cancels a pending restart when the core is torn down first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    // Last: stopped and destroyed before the state it reports into.
    std::unique_ptr<ISipEndpoint> sip_;
    std::thread timer_;
    // The media session goes before the endpoint it ends calls through.
    MediaSignal mediaSignal_{*this};
    MediaView mediaView_{*this};
    std::unique_ptr<CMediaSession> media_;
};
