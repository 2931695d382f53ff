// The device check's driver: joins the battery (check/battery) to the
// application core. It waits for a device to register, lets the core's query
// chain run (Catalog, DeviceInfo, DeviceStatus), then acts as the operator
// would, through the core's own actions: a RecordInfo for the last 24 hours,
// live view over UDP, TCP passive and TCP active (each measured over a
// window, a pan-tilt-zoom command during the first), BYE, one playback with
// PAUSE and PLAY with a Scale, one download until the device ends it, then
// observes until the keepalives can be judged. It starts from no open call
// (what is open is ended through the cancel rows), ends every call it opened
// and leaves the calls from before it out of the observation. It reads the
// message log into an Observation, adds the media figures of the core's media
// session, runs the battery and writes DIR/report.html, DIR/report.json and
// DIR/MsgXml.xls; a device that does not register still gets the report.
//
//   CheckDriver d(core, options, onProgress, onDone);
//   d.Start();                  // returns at once; the check runs on m_hCheck
//   ...                         // onDone(outcome) is called on m_hCheck at the end
//   d.Cancel();                 // optional: ends the waits early, report still written
//
// Threads and locks: everything runs on the driver's own thread m_hCheck; the
// core's actions take the core's locks as an operator click does. The driver
// holds its own mutex_ only around the cancel flag and its waits (never while
// calling the core, the callbacks or writing files). The callbacks run on
// m_hCheck: a window posts them to its GUI thread and returns. The caller
// keeps the core alive until the driver is destroyed (the destructor cancels
// and joins). The media transport of each stream is the core's override (the
// settings stay as they are, the override goes at the end); the search range
// is set as the search dialog's OK would, under the core's lock.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"
#include "check/battery/Report.h"
#include "manscdp/gb2022/RowInputs.h"
#include "vidana/lib/Vidana.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CTarvexCore;

namespace tarvex::check {

struct DriverOptions {
    std::filesystem::path outDir;                     // where the report and MsgXml.xls go
    std::chrono::milliseconds registerTimeout{60000}; // for a device to register
    std::chrono::milliseconds window{10000};          // measuring window of each stream
    std::chrono::milliseconds answerWait{5000};       // longest wait for one answer
    bool liveTcp = true;                              // also TCP passive and TCP active
    bool playback = true;                             // the playback of one recording
    bool writeWorkbook = true;                        // MsgXml.xls beside the report
    // Length of the observation from the device's first REGISTER, so that its
    // keepalives can be judged; none: three keepalive intervals and a tenth
    // (the device's own HeartBeatInterval when it stated one, else the
    // settings' 心跳周期, else 60 s).
    std::optional<std::chrono::milliseconds> observe;
    // Language, command line and run settings of the report (the driver adds
    // its own timings to report.run).
    ReportInfo report;
    // The video view the decoded pictures go on to (the window's), or none.
    // During the check the decoder draws into the driver's counting surface,
    // which hands every picture on; the view is the core's surface again after.
    IVidanaSurface* view = nullptr;
};

struct DriverProgress {
    int step = 0; // 1 .. steps
    int steps = 0;
    std::string text; // what is being done now
};

struct DriverOutcome {
    bool registered = false;        // a device registered in time
    std::string deviceId;           // also of a device that tried and was refused
    ReportFiles files;              // files.error set when the report could not be written
    std::filesystem::path workbook; // empty when not written
    std::vector<CheckResult> results;
    bool cancelled = false;
};

class CheckDriver {
public:
    using ProgressFn = std::function<void(const DriverProgress&)>;
    using DoneFn = std::function<void(const DriverOutcome&)>;

    CheckDriver(CTarvexCore& core, DriverOptions options, ProgressFn progress, DoneFn done);
    ~CheckDriver();
    CheckDriver(const CheckDriver&) = delete;
    CheckDriver& operator=(const CheckDriver&) = delete;

    void Start();
    // Ends every wait at once; what was observed is judged and written.
    void Cancel();
    bool Running() const;

    // The steps in the order they run (for a progress bar's range).
    static int StepCount(const DriverOptions& options);

private:
    void Run();
    DriverOutcome Check();
    void Progress(const std::string& text);
    // A line within the current step (not counted as a step).
    void SubStep(const std::string& text);
    // Downloads the recording until the device ends it (MediaStatus 121, BYE).
    void Download(int recordingItem);
    // Waits until pred holds (polled), the timeout passes or the check is
    // cancelled; pred's result at the end.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    void Pause(std::chrono::milliseconds d);
    bool Cancelled() const;

    // Observation of the log's rows read so far (ReadLog adds the new ones).
    void ReadLog();
    const ObservedMessage* FindSentRequest(std::size_t from, const char* method) const;
    const ObservedMessage* FinalAnswer(const ObservedMessage& request) const;
    bool Answered(std::size_t from, const char* cmdType);

    // Until a device registers; a refused REGISTER (403) ends the wait once
    // answerWait has passed without a registration after it.
    bool WaitForRegistration();
    ReportInfo Info() const; // options_.report with the run's timings
    // Until the observation is long enough for the keepalive checks.
    void ObserveKeepalives(const CheckSettings& settings);
    // Ends whatever is open (a live view, a playback, a download, the
    // operator's from before the check or one of the check's own) through the
    // cancel rows an operator would click, and waits until none is open.
    void EndOpenCalls();
    // The observation's messages: the log read so far without the calls that
    // began before the check (an earlier download, a live view left open).
    std::vector<ObservedMessage> CheckMessages() const;
    void Queries();
    void RecordSearch(int channelItem);
    MediaObservation Stream(int transport, int channelItem, int recordingItem);
    void Ptz();
    // The 2022 exchange (Gb2022Step.cpp): queries, precise move, snapshot,
    // upgrade; nothing when the device declares no 2022 edition.
    void Gb2022();
    void Click2022(int row, RowValues values);
    const ObservedMessage* LastResponse(std::size_t from, const char* cmdType);
    bool Notified(std::size_t from, const char* cmdType);
    // The voice broadcast (BroadcastStep.cpp): notification, the device's
    // INVITE, a second of audio, BYE; the packets sent go into obs.
    void Broadcast(Observation& obs);
    // The notification from from on was refused, or its call is sending.
    bool BroadcastSettled(std::size_t from);
    // What the HTTP server saw for the snapshot and upgrade sessions sent.
    void ObserveTransfers(Observation& obs);
    // Clicks a media row; with method, waits for the final answer to the
    // request of that method it sent.
    void ClickAndWait(int row, const char* method);
    // CheckSubscriptions.cpp: the device's Catalog, Alarm and MobilePosition
    // subscriptions, open while the streams are checked, ended before the report.
    void SubscribeEvents(const std::string& deviceId);
    void UnsubscribeEvents(const std::string& deviceId);
    std::chrono::steady_clock::time_point subscribedAt_{};

    // Counts the decoded pictures on the media receive thread and passes them on.
    class PictureTap final : public IVidanaSurface {
    public:
        explicit PictureTap(IVidanaSurface* next) : next_(next) {}
        VidanaSize ClientSize() const override;
        void Present(const std::uint8_t* bgr, std::int32_t width, std::int32_t height) override;
        void PictureNotShown(const char* why) override;
        // The view's own cheaper paths are kept: without a view, a picture is
        // kept (scaled, never converted to colour) and let go, so that the
        // receive thread spends nothing on pictures nobody sees.
        bool BeginCanvas(std::int32_t width, std::int32_t height, VidanaCanvas& canvas) override;
        void EndCanvas() override;
        bool KeepsPictures() const override;
        void KeepPicture(VidanaPicturePtr picture) override;
        std::uint64_t Pictures() const { return pictures_.load(); }

    private:
        IVidanaSurface* next_;
        std::atomic<std::uint64_t> pictures_{0};
    };

    CTarvexCore& core_;
    DriverOptions options_;
    PictureTap tap_{options_.view};
    ProgressFn progress_;
    DoneFn done_;
    int step_ = 0;
    std::vector<ObservedMessage> messages_;
    std::size_t logRead_ = 0;
    std::size_t checkFrom_ = 0; // first message of messages_ the check itself caused
    std::optional<MediaObservation> download_; // the download's key pictures, when measured

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool cancel_ = false;
    bool running_ = false;
    std::thread m_hCheck;
};

} // namespace tarvex::check
