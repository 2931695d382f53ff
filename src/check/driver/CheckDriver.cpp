#include "check/driver/CheckDriver.h"

#include "app/core/CTarvexCore.h"
#include "check/battery/Battery.h"
#include "check/battery/checks/Keepalive.h"
#include "export/xls/MessageLogSave.h"

#include <pthread.h>

#include <cstdio>
#include <set>

namespace tarvex::check {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPoll = 20ms;
// Rows of the media lists the driver clicks (src/manscdp/builder/CommandEntry.cpp).
constexpr int kRowOpenLive = 0;     // set 0 "实时点播", set 1 "点播取消"
constexpr int kRowRecordSearch = 3; // set 0 "文件检索"
constexpr int kRowPtzUp = 1;        // set 1 "向上"
constexpr int kRowPtzStop = 9;      // set 1 "停止"
constexpr int kRowDownload = 0;     // set 2 "文件下载", set 3 "下载取消"
constexpr int kRowPlayback = 1;     // set 2 "文件回放", set 3 "回放取消"
constexpr int kRowPause = 3;        // set 3 "回放:暂停"
constexpr int kRowFast = 4;         // set 3 "回放:快进" (PLAY with Scale 2)
// The chain's queries go out one second after the answer before them.
constexpr auto kChainWait = 20s;
// Longest wait for the device to end a download of the recording itself.
constexpr auto kDownloadWait = 60s;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The first item of the tree of that kind, depth first, under parent (any
// when parent is 0); 0 when there is none.
int FindItem(const TreeItem& t, int kind, int parent, bool under = false) {
    const bool inside = under || parent == 0 || t.item == parent;
    if (inside && t.kind == kind && t.item != parent) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = FindItem(c, kind, parent, inside)) return i;
    return 0;
}

// The rows as they were when the check ended: the workbook writer reads them
// more than once and the live log goes on growing.
class LogSnapshot final : public xls::IMessageLogRows {
public:
    explicit LogSnapshot(const MessageLog& log) {
        MessageLog::RowText r;
        for (std::size_t i = 0, n = log.Size(); i < n && log.Row(i, r); ++i)
            rows_.push_back(r);
    }
    std::size_t RowCount(xls::LogDirection dir) const override {
        std::size_t n = 0;
        for (const auto& r : rows_)
            n += r.direction == static_cast<int>(dir);
        return n;
    }
    void ForEachRow(xls::LogDirection dir,
                    const std::function<void(const xls::LogRowRef&)>& f) const override {
        for (const auto& r : rows_)
            if (r.direction == static_cast<int>(dir))
                f(xls::LogRowRef{r.time, r.typeText, r.deviceId, r.body, r.head});
    }

private:
    std::vector<MessageLog::RowText> rows_;
};

// The key pictures a receiver counted so far, and how far its last frame
// came after the last of them.
KeyPictures KeysOf(const ReceiverInfo& r) {
    KeyPictures k;
    k.keys = r.keyPictures;
    k.withoutPack = r.keysWithoutPack;
    k.withoutSystem = r.keysWithoutSystemHeader;
    k.withoutMap = r.keysWithoutMap;
    k.typeMismatch = r.keysTypeMismatch;
    k.mapType = r.mapStreamType;
    k.pictureType = r.pictureStreamType;
    k.intervals = r.keyIntervals;
    k.shortestTicks = r.shortestKeyTicks;
    k.longestTicks = r.longestKeyTicks;
    if (r.lastKeyTimestamp && r.lastFrameTimestamp &&
        *r.lastFrameTimestamp - *r.lastKeyTimestamp < 0x80000000u)
        k.sinceLastKeyTicks = *r.lastFrameTimestamp - *r.lastKeyTimestamp;
    return k;
}

} // namespace

CheckDriver::CheckDriver(CTarvexCore& core, DriverOptions options, ProgressFn progress, DoneFn done)
    : core_(core), options_(std::move(options)), progress_(std::move(progress)),
      done_(std::move(done)) {}

CheckDriver::~CheckDriver() {
    Cancel();
    if (m_hCheck.joinable()) m_hCheck.join();
}

void CheckDriver::Start() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (running_ || m_hCheck.joinable()) return;
        running_ = true;
    }
    m_hCheck = std::thread([this] { Run(); });
}

void CheckDriver::Cancel() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        cancel_ = true;
    }
    cv_.notify_all();
}

bool CheckDriver::Running() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return running_;
}

bool CheckDriver::Cancelled() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return cancel_;
}

int CheckDriver::StepCount(const DriverOptions& o) {
    // device, queries, recordings, live UDP, [TCP passive, TCP active], [playback], report
    return 5 + (o.liveTcp ? 2 : 0) + (o.playback ? 1 : 0);
}

void CheckDriver::SubStep(const std::string& text) {
    std::printf("check %d/%d: %s\n", step_, StepCount(options_), text.c_str());
    std::fflush(stdout);
    if (progress_) progress_({step_, StepCount(options_), text});
}

void CheckDriver::Download(int recordingItem) {
    SubStep("download of the recording, until the device ends it");
    EndOpenCalls();
    core_.TreeClicked(recordingItem);
    if (core_.MediaSetNumber() != 2) return;
    ReadLog();
    const std::size_t from = messages_.size();
    core_.ClickCommand(kListMedia, kRowDownload, OperatorInputs{});
    std::string callId;
    auto answered = [&]() -> const ObservedMessage* {
        ReadLog();
        const ObservedMessage* invite = FindSentRequest(from, "INVITE");
        if (invite) callId = invite->sip.callId;
        return invite ? FinalAnswer(*invite) : nullptr;
    };
    WaitFor([&] { return answered() != nullptr; }, options_.answerWait);
    const ObservedMessage* a = answered();
    if (!a || a->sip.status >= 300) return;
    // a points into messages_, which the waits below grow: keep what is needed.
    const int answerStatus = a->sip.status;
    const std::string answerBody = a->body;
    // The device ends a download itself (MediaStatus 121, its BYE); a long
    // recording is cut at kDownloadWait and cancelled by the round below.
    // The device's BYE stops the receiver: its figures are the last reading
    // before that (each poll, up to the last 20 ms of the stream).
    ReceiverInfo r;
    WaitFor(
        [&] {
            if (ReceiverInfo now = core_.MediaSession().Receiver(MediaStream::Download); now.exists)
                r = now;
            ReadLog();
            for (std::size_t i = from; i < messages_.size(); ++i)
                if (messages_[i].Received() && messages_[i].IsRequest("BYE") &&
                    messages_[i].sip.callId == callId)
                    return true;
            return false;
        },
        kDownloadWait);
    Pause(300ms); // Tarvex's answer to that BYE, a MediaStatus close behind it
    // The key pictures of the download (a whole recording, sent fast) are
    // judged as the live streams' are.
    if (r.exists && r.keyPictures > 0) {
        MediaObservation m;
        m.kind = "Download";
        m.transport = kMediaUdp;
        m.callId = callId;
        m.answerStatus = answerStatus;
        m.answer = answerBody;
        if (const ObservedMessage* invite = FindSentRequest(from, "INVITE")) m.offer = invite->body;
        m.keyPictures = KeysOf(r);
        download_ = m;
    }
    EndOpenCalls();
}

void CheckDriver::Progress(const std::string& text) {
    ++step_;
    std::printf("check %d/%d: %s\n", step_, StepCount(options_), text.c_str());
    std::fflush(stdout);
    if (progress_) progress_({step_, StepCount(options_), text});
}

bool CheckDriver::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        std::unique_lock<std::mutex> lk(mutex_);
        if (cancel_ || Clock::now() >= end) break;
        cv_.wait_for(lk, kPoll);
    }
    return pred();
}

void CheckDriver::Pause(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    std::unique_lock<std::mutex> lk(mutex_);
    cv_.wait_until(lk, end, [this] { return cancel_; });
}

void CheckDriver::Run() {
    pthread_setname_np(pthread_self(), "m_hCheck");
    DriverOutcome out = Check();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        out.cancelled = cancel_;
    }
    if (done_) done_(out);
    std::lock_guard<std::mutex> lk(mutex_);
    running_ = false;
}

VidanaSize CheckDriver::PictureTap::ClientSize() const {
    // Without a view the decoder still converts each picture: any size will do.
    return next_ ? next_->ClientSize() : VidanaSize{640, 360};
}

void CheckDriver::PictureTap::Present(const std::uint8_t* bgr, std::int32_t width,
                                      std::int32_t height) {
    pictures_.fetch_add(1);
    if (next_) next_->Present(bgr, width, height);
}

void CheckDriver::PictureTap::PictureNotShown(const char* why) {
    if (next_)
        next_->PictureNotShown(why);
    else
        IVidanaSurface::PictureNotShown(why);
}

bool CheckDriver::PictureTap::BeginCanvas(std::int32_t width, std::int32_t height,
                                         VidanaCanvas& canvas) {
    return next_ && next_->BeginCanvas(width, height, canvas);
}

void CheckDriver::PictureTap::EndCanvas() {
    pictures_.fetch_add(1);
    next_->EndCanvas(); // only after a true BeginCanvas, which needs next_
}

bool CheckDriver::PictureTap::KeepsPictures() const {
    return next_ ? next_->KeepsPictures() : true;
}

void CheckDriver::PictureTap::KeepPicture(VidanaPicturePtr picture) {
    pictures_.fetch_add(1);
    if (next_) next_->KeepPicture(std::move(picture));
}

// ---------------------------------------------------------------- the log

void CheckDriver::ReadLog() {
    const MessageLog& log = core_.Log();
    MessageLog::RowText r;
    while (logRead_ < log.Size() && log.Row(logRead_, r)) {
        messages_.push_back(ObserveLogRow(r.direction, r.time, r.head, r.body));
        ++logRead_;
    }
}

const ObservedMessage* CheckDriver::FindSentRequest(std::size_t from, const char* method) const {
    for (std::size_t i = from; i < messages_.size(); ++i)
        if (messages_[i].Sent() && messages_[i].IsRequest(method)) return &messages_[i];
    return nullptr;
}

const ObservedMessage* CheckDriver::FinalAnswer(const ObservedMessage& request) const {
    for (const auto& m : messages_)
        if (m.Received() && m.Answers(request) && m.sip.status >= 200) return &m;
    return nullptr;
}

bool CheckDriver::Answered(std::size_t from, const char* cmdType) {
    ReadLog();
    for (std::size_t i = from; i < messages_.size(); ++i) {
        const ObservedMessage& m = messages_[i];
        if (m.Received() && m.manscdp.Is("Response", cmdType)) return true;
    }
    return false;
}

// ---------------------------------------------------------------- steps

ReportInfo CheckDriver::Info() const {
    ReportInfo info = options_.report;
    auto seconds = [](std::chrono::milliseconds ms) {
        return Seconds(ms.count()).substr(0, Seconds(ms.count()).size() - 2);
    };
    info.run.insert(info.run.begin(),
                    {{"registerTimeoutS", seconds(options_.registerTimeout)},
                     {"windowS", seconds(options_.window)},
                     {"answerWaitS", seconds(options_.answerWait)},
                     {"observeS", options_.observe ? seconds(*options_.observe)
                                                   : std::string("3 keepalive intervals + 10 %")},
                     {"liveTcp", options_.liveTcp ? "yes" : "no"},
                     {"playback", options_.playback ? "yes" : "no"}});
    return info;
}

bool CheckDriver::WaitForRegistration() {
    std::optional<Clock::time_point> refusedAt;
    std::size_t seen = 0;
    return WaitFor(
               [&] {
                   if (core_.CurrentDeviceId()) return true;
                   ReadLog();
                   for (; seen < messages_.size(); ++seen) {
                       const ObservedMessage& m = messages_[seen];
                       if (!refusedAt && m.Sent() && m.sip.status == 403 &&
                           m.sip.cseqMethod == "REGISTER")
                           refusedAt = Clock::now();
                   }
                   return refusedAt && Clock::now() - *refusedAt >= options_.answerWait;
               },
               options_.registerTimeout) &&
           core_.CurrentDeviceId().has_value();
}

void CheckDriver::ObserveKeepalives(const CheckSettings& settings) {
    ReadLog();
    Observation seen;
    seen.messages = messages_;
    const KeepalivePlan own = PlanKeepalives(seen); // the device's own interval, if it gave one
    std::int64_t intervalMs = own.sourceMessage >= 0 ? own.intervalMs
                              : settings.keepaliveIntervalS > 0
                                  ? settings.keepaliveIntervalS * 1000LL
                                  : 60000;
    const std::int64_t length =
        options_.observe ? options_.observe->count()
                         : 3 * intervalMs + std::max<std::int64_t>(1000, intervalMs / 10);
    const std::int64_t from = own.startMessage >= 0 ? own.startMs : NowMs();
    const std::int64_t left = from + length - NowMs();
    if (left <= 0) return;
    SubStep("observing keepalives for " + Seconds(left) + " more");
    Pause(std::chrono::milliseconds(left));
}

void CheckDriver::EndOpenCalls() {
    const CMediaSession& media = core_.MediaSession();
    auto open = [&] { return media.LiveOpen() || media.PlaybackOpen() || media.DownloadOpen(); };
    if (!open()) return;
    const TreeItem tree = core_.TreeSnapshot();
    if (media.LiveOpen()) {
        // A channel shows the live set while a view is open: its first row ends it.
        if (const int channel = FindItem(tree, kNodeChannel, 0)) {
            core_.TreeClicked(channel);
            if (core_.MediaSetNumber() == 1) ClickAndWait(kRowOpenLive, nullptr);
        }
    }
    if (media.PlaybackOpen() || media.DownloadOpen()) {
        // A recording shows the open set: 下载取消, 回放取消.
        if (const int recording = FindItem(tree, kNodeRecording, 0)) {
            core_.TreeClicked(recording);
            if (core_.MediaSetNumber() == 3) {
                if (media.DownloadOpen()) ClickAndWait(kRowDownload, nullptr);
                if (media.PlaybackOpen()) ClickAndWait(kRowPlayback, nullptr);
            }
        }
    }
    if (!WaitFor([&] { return !open(); }, options_.answerWait))
        std::fprintf(stderr,
                     "tarvex --check: a call is still open (live %d, playback %d, "
                     "download %d)\n",
                     media.LiveOpen(), media.PlaybackOpen(), media.DownloadOpen());
    // The answers to those BYEs come in before the check's own exchange.
    Pause(200ms);
}

std::vector<ObservedMessage> CheckDriver::CheckMessages() const {
    std::set<std::string> earlier;
    for (std::size_t i = 0; i < checkFrom_ && i < messages_.size(); ++i)
        if (messages_[i].Sent() && messages_[i].IsRequest("INVITE"))
            earlier.insert(messages_[i].sip.callId);
    std::vector<ObservedMessage> out;
    for (const ObservedMessage& m : messages_)
        if (!earlier.count(m.sip.callId)) out.push_back(m);
    return out;
}

void CheckDriver::Queries() {
    // The core's chain: Catalog, then DeviceInfo, then DeviceStatus, each a
    // second after the answer before it.
    WaitFor([this] { return Answered(0, "DeviceStatus"); }, kChainWait);
}

void CheckDriver::RecordSearch(int channelItem) {
    core_.TreeClicked(channelItem);
    const auto now = std::chrono::system_clock::now();
    auto text = [](std::chrono::system_clock::time_point t) {
        return LocalTimeMsText(
                   std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch())
                       .count())
            .substr(0, 19);
    };
    core_.AcceptSearch(text(now - 24h), text(now), 0);
    ReadLog();
    const std::size_t from = messages_.size();
    core_.ClickCommand(kListMedia, kRowRecordSearch, OperatorInputs{});
    WaitFor([&] { return Answered(from, "RecordInfo"); }, options_.answerWait);
    // Items of a list spread over several MESSAGEs come close together.
    Pause(500ms);
}

void CheckDriver::ClickAndWait(int row, const char* method) {
    ReadLog();
    const std::size_t before = messages_.size();
    core_.ClickCommand(kListMedia, row, OperatorInputs{});
    if (!method) return;
    WaitFor(
        [&] {
            ReadLog();
            const ObservedMessage* sent = FindSentRequest(before, method);
            return sent && FinalAnswer(*sent);
        },
        options_.answerWait);
}

void CheckDriver::Ptz() {
    ReadLog();
    core_.ClickCommand(kListMedia, kRowPtzUp, OperatorInputs{});
    Pause(300ms);
    core_.ClickCommand(kListMedia, kRowPtzStop, OperatorInputs{});
    // Both commands' 200 and their Result answers.
    const std::size_t from = messages_.size();
    WaitFor(
        [&] {
            ReadLog();
            int controls = 0, answered = 0;
            for (std::size_t i = from; i < messages_.size(); ++i)
                if (messages_[i].Sent() && messages_[i].IsRequest("MESSAGE")) {
                    ++controls;
                    answered += FinalAnswer(messages_[i]) != nullptr;
                }
            return controls >= 2 && answered >= controls;
        },
        options_.answerWait);
}

MediaObservation CheckDriver::Stream(int transport, int channelItem, int recordingItem) {
    MediaObservation m;
    m.transport = transport;
    const bool playback = recordingItem != 0;
    m.kind = playback ? "Playback" : "Play";
    m.rtpCounted = false; // until the window is measured
    // The tree click shows the set the row opens from (nothing is open).
    EndOpenCalls();
    core_.TreeClicked(playback ? recordingItem : channelItem);
    ReadLog();
    const std::size_t from = messages_.size();
    const auto invitedAt = Clock::now();
    core_.ClickCommand(kListMedia, playback ? kRowPlayback : kRowOpenLive, OperatorInputs{});

    const ObservedMessage* invite = nullptr;
    auto answer = [&]() -> const ObservedMessage* {
        ReadLog();
        invite = FindSentRequest(from, "INVITE");
        return invite ? FinalAnswer(*invite) : nullptr;
    };
    const CMediaSession& media = core_.MediaSession();
    // The first picture of this stream: decoded after its first frame came
    // (a picture presented before that is a former stream's, or a repaint).
    std::optional<std::uint64_t> picturesAtFrame;
    auto pictured = [&] {
        if (!picturesAtFrame) {
            if (media.Receiver().videoFrames == 0) return false;
            picturesAtFrame = tap_.Pictures();
        }
        return tap_.Pictures() > *picturesAtFrame;
    };
    // The first picture, or a refusal; a little beyond the limit, so that a
    // late picture is measured rather than missed.
    const auto pictureWait = 5000ms + options_.answerWait;
    WaitFor(
        [&] {
            const ObservedMessage* a = answer();
            return pictured() || (a && a->sip.status >= 300);
        },
        pictureWait);
    if (pictured())
        m.firstPictureMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - invitedAt).count();
    if (const ObservedMessage* a = answer()) {
        m.answerStatus = a->sip.status;
        m.answer = a->body;
    }
    if (invite) {
        m.callId = invite->sip.callId;
        m.offer = invite->body;
    }
    if (m.answerStatus >= 200 && m.answerStatus < 300) {
        const StreamFigures f0 = media.Figures();
        const ReceiverInfo r0 = media.Receiver();
        const std::uint64_t p0 = tap_.Pictures();
        const auto start = Clock::now();
        if (!playback && transport == kMediaUdp) Ptz();
        Pause(options_.window -
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        const StreamFigures f1 = media.Figures();
        m.windowMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        m.framesReceived = f1.frames >= f0.frames ? f1.frames - f0.frames : 0;
        m.bytes = f1.bytes - f0.bytes;
        // Read while the stream still flows: the SSRC the receiver follows
        // and its RTP sequence totals, taken as differences over the window
        // (a late packet may take back a skip counted before it: never below 0).
        const ReceiverInfo r1 = media.Receiver();
        auto since = [](std::uint64_t before, std::uint64_t after) {
            return after > before ? after - before : 0;
        };
        m.rtpSsrc = r1.ssrc;
        m.rtpCounted = r1.exists;
        m.packets = since(r0.packets, r1.packets);
        m.sequenceGaps = since(r0.sequenceGaps, r1.sequenceGaps);
        m.lostPackets = since(r0.skippedPackets, r1.skippedPackets);
        m.framing = r1.tcpFraming == 1   ? kFramingRfc4571
                    : r1.tcpFraming == 2 ? kFramingInterleaved
                                         : kFramingUnknown;
        if (r1.exists) m.keyPictures = KeysOf(r1);
        if (r1.exists)
            m.receiverQueue = ReceiverQueue{since(r0.kernelDrops, r1.kernelDrops),
                                            since(r0.queueSamples, r1.queueSamples),
                                            since(r0.queuedBytes, r1.queuedBytes),
                                            r1.largestQueued,
                                            since(r0.videoFrames, r1.videoFrames),
                                            since(r0.frameWaitUs, r1.frameWaitUs)};
        // The device's clock: the frames after the last one before the window
        // (or after the stream's first, when the window began before it) up to
        // the last one in it, their timestamps' move and their arrival.
        const bool before = r0.videoFrames > 0 && r0.lastFrameTimestamp;
        const std::uint64_t frames0 = before ? r0.videoFrames : 1;
        const auto ts0 = before ? r0.lastFrameTimestamp : r1.firstFrameTimestamp;
        const auto at0 = before ? r0.lastFrameAt : r1.firstFrameAt;
        if (ts0 && r1.lastFrameTimestamp && r1.videoFrames > frames0 && r1.lastFrameAt > at0)
            m.clock = DeviceClock{
                r1.videoFrames - frames0, *r1.lastFrameTimestamp - *ts0,
                std::chrono::duration_cast<std::chrono::microseconds>(r1.lastFrameAt - at0)
                    .count()};
        // The decoder runs behind the receiver, by more on a loaded machine:
        // give it a moment to finish the frames of the window, and count no
        // more pictures than frames came.
        const std::uint64_t came = *m.framesReceived;
        WaitFor([&] { return tap_.Pictures() - p0 >= came; }, 2000ms);
        m.frames = std::min<std::uint64_t>(tap_.Pictures() - p0, came);
        if (m.frames > 0) {
            const VidanaPictureCounts decoded = core_.Decoder().PictureCounts();
            m.pictureWidth = decoded.width;
            m.pictureHeight = decoded.height;
        }
        if (playback) {
            for (int row : {kRowPause, kRowFast})
                ClickAndWait(row, "INFO");
        }
    }
    // The cancel row sends BYE for an answered call (CANCEL before the answer,
    // which is not waited for). A refused or ended call has put the list back
    // to set 0, where the same row is another command: nothing to cancel then.
    if (core_.MediaSetNumber() == (playback ? 3 : 1))
        ClickAndWait(playback ? kRowPlayback : kRowOpenLive,
                     m.answerStatus >= 200 && m.answerStatus < 300 ? "BYE" : nullptr);
    return m;
}

// ---------------------------------------------------------------- the check

DriverOutcome CheckDriver::Check() {
    DriverOutcome out;
    Progress("waiting for a device to register");
    const auto waitStart = Clock::now();
    out.registered = WaitForRegistration();
    Observation obs;
    CDlgCfg& cfg = core_.Settings();
    obs.settings.sipTransport = cfg.localTransport == 1 ? "tcp" : "udp";
    obs.settings.platformId = cfg.localId;
    obs.settings.password = core_.ChallengePassword();
    obs.settings.keepaliveIntervalS = cfg.heartbeatPeriod > 0 ? cfg.heartbeatPeriod : 0;
    obs.settings.keepaliveMisses = core_.KeepaliveMisses();
    if (!out.registered) {
        // Refused or never tried: the registration rows are judged, the rest not run.
        obs.registered = false;
        obs.registerWaitMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - waitStart).count();
        Progress("judging and writing the report");
        ReadLog();
        obs.messages = messages_;
        out.deviceId = obs.DeviceId();
        if (!out.deviceId.empty()) obs = OnlyDevice(obs, out.deviceId);
        obs.endMs = NowMs();
        out.results = RunBattery(obs);
        out.files = WriteReport(options_.outDir, obs, out.results, Info());
        return out;
    }
    out.deviceId = *core_.CurrentDeviceId();
    obs.deviceId = out.deviceId;
    // From no open call: what an operator left open is ended first, and the
    // calls from before the check are not judged.
    ReadLog();
    checkFrom_ = messages_.size();
    EndOpenCalls();

    // Every stream of the check is decoded into the counting surface (from
    // the next receiver start on); the view gets it back at the end.
    core_.SetVideoSurface(&tap_);
    Progress("Catalog, DeviceInfo and DeviceStatus of " + out.deviceId);
    // Before the chain's Catalog is due: the upgrade's registration again
    // starts the chain afresh instead of cutting into it.
    Gb2022();
    Queries();
    if (!Cancelled()) SubscribeEvents(out.deviceId);

    const int channel = FindItem(core_.TreeSnapshot(), kNodeChannel, 0);
    Progress("RecordInfo of the last 24 hours");
    if (channel && !Cancelled()) RecordSearch(channel);

    const int transports = options_.liveTcp ? 3 : 1;
    for (int t = 0; t < transports; ++t) {
        Progress(std::string("live view over ") + MediaTransportName(t));
        if (!channel || Cancelled()) continue;
        core_.OverrideMediaTransport(t);
        obs.media.push_back(Stream(t, channel, 0));
    }
    if (options_.playback) {
        Progress("playback with PAUSE and PLAY Scale");
        const int recording = channel ? FindItem(core_.TreeSnapshot(), kNodeRecording, channel) : 0;
        if (recording && !Cancelled()) {
            core_.OverrideMediaTransport(kMediaUdp);
            obs.media.push_back(Stream(kMediaUdp, channel, recording));
            if (!Cancelled()) Download(recording);
            if (download_) obs.media.push_back(*download_);
        }
    }
    // Every call of the check ends with it (one whose cancel went unanswered too).
    EndOpenCalls();
    core_.OverrideMediaTransport(std::nullopt);
    core_.SetVideoSurface(options_.view);
    Broadcast(obs);
    // The last answers (a BYE's 200, a late Response) are in the log by now.
    Pause(300ms);
    if (!Cancelled()) ObserveKeepalives(obs.settings);
    UnsubscribeEvents(out.deviceId);

    Progress("judging and writing the report");
    ReadLog();
    obs.messages = CheckMessages();
    obs.endMs = NowMs();
    ObserveTransfers(obs);
    out.results = RunBattery(obs);
    out.files = WriteReport(options_.outDir, obs, out.results, Info());
    if (options_.writeWorkbook && out.files.error.empty()) {
        const xls::SaveResult saved =
            xls::SaveMessageLog(LogSnapshot(core_.Log()), options_.outDir);
        out.workbook = saved.written;
    }
    return out;
}

} // namespace tarvex::check
