#include "media/session/CMediaSession.h"

#include "media/recv/CRTPSession.h"
#include "media/session/SdpAnswer.h"

#include <algorithm>
#include <cstdio>
#include <pthread.h>

namespace {

constexpr std::int32_t kH264FrameType = 7;

// The decoder's type code for the video the receiver has seen (its stream map,
// else the parameter sets); H.264 until it knows.
std::int32_t FrameTypeOf(const CRTPSession& r) {
    return VidanaFrameTypeOf(r.VideoStreamType());
}

bool IsVideo(MediaStream s) {
    return s == MediaStream::Live || s == MediaStream::Playback || s == MediaStream::Download;
}

} // namespace

CMediaSession::CMediaSession(CVidana& decoder, IVidanaSurface* surface, IMediaSignal& signal,
                             IMediaView* view, Options options)
    : decoder_(decoder), surface_(surface), signal_(signal), view_(view),
      options_(std::move(options)) {
    if (options_.startWorker) m_hStart = std::thread([this] { StartLoop(); });
}

CMediaSession::~CMediaSession() {
    Stop();
    {
        std::lock_guard<std::mutex> l(mutex_);
        quit_ = true;
    }
    jobReady_.notify_all();
    if (m_hStart.joinable()) m_hStart.join();
    // A start on the SIP thread drops its receiver when it sees the stop.
    std::unique_lock<std::mutex> l(mutex_);
    startDone_.wait(l, [this] { return !starting_; });
}

void CMediaSession::SetSurface(IVidanaSurface* surface) {
    std::lock_guard<std::mutex> l(mutex_);
    surface_ = surface;
}

// m_hStart: the set-ups of the receivers that answers start, one at a time.
// A job queued before a stop is dropped by StartMedia's epoch check.
void CMediaSession::StartLoop() {
    pthread_setname_np(pthread_self(), "m_hStart");
    std::unique_lock<std::mutex> l(mutex_);
    for (;;) {
        jobReady_.wait(l, [this] { return quit_ || !jobs_.empty(); });
        if (quit_) return;
        StartJob job = std::move(jobs_.front());
        jobs_.erase(jobs_.begin());
        l.unlock();
        StartMedia(job.in, job.epoch);
        l.lock();
    }
}

std::chrono::steady_clock::time_point CMediaSession::Now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

std::int64_t CMediaSession::ElapsedAt(std::chrono::steady_clock::time_point t) const {
    return std::chrono::duration_cast<std::chrono::seconds>(t - startedAt_).count();
}

bool CMediaSession::LiveOpen() const {
    std::lock_guard<std::mutex> l(mutex_);
    return Slot(MediaStream::Live).open;
}

bool CMediaSession::PlaybackOpen() const {
    std::lock_guard<std::mutex> l(mutex_);
    return Slot(MediaStream::Playback).open;
}

bool CMediaSession::DownloadOpen() const {
    std::lock_guard<std::mutex> l(mutex_);
    return Slot(MediaStream::Download).open;
}

ReceiverInfo CMediaSession::Receiver() const {
    std::lock_guard<std::mutex> l(mutex_);
    ReceiverInfo r;
    if (!receiver_) return r;
    r.exists = true;
    r.transport = receiver_->TransportIndex();
    r.port = receiver_->Port();
    r.ready = receiver_->TransportReady();
    r.accepted = receiver_->AcceptedCount();
    if (std::uint32_t ssrc = 0; receiver_->CurrentSsrc(ssrc)) r.ssrc = ssrc;
    const SequenceFigures counts = receiver_->RtpCounts();
    r.packets = counts.packets;
    r.sequenceGaps = counts.gaps;
    r.skippedPackets = counts.skipped;
    return r;
}

StreamFigures CMediaSession::Figures() const {
    std::lock_guard<std::mutex> l(mutex_);
    const auto now = Now();
    return counters_.Read(receiver_ ? ElapsedAt(now) : lastElapsed_.load(), now);
}

// ------------------------------------------------------------------ media rows

MediaCommand CMediaSession::BuildMediaCommand(int set, int row, const MediaInputs& in) {
    MediaCommand out;
    const MediaRow r = MediaRowAt(set, row);
    out.kind = r.kind;
    switch (r.action) {
    case MediaRowAction::None:
        return out;
    case MediaRowAction::OpenLive:
    case MediaRowAction::OpenDownload:
    case MediaRowAction::OpenPlayback:
    case MediaRowAction::OpenVoice:
        return Open(r, in);
    case MediaRowAction::CancelLive:
    case MediaRowAction::CancelDownload:
    case MediaRowAction::CancelPlayback:
        // Nothing goes on the wire but the BYE: the send step gets no text.
        out.handled = true;
        EndStream(StreamOfRow(r));
        out.showSet = r.action == MediaRowAction::CancelLive ? 0 : 2;
        return out;
    case MediaRowAction::PlaybackControl: {
        out.handled = true;
        out.send = true;
        out.text = PlaybackControlText(row);
        out.contentType = kMansrtspContentType;
        const Dialog d = ControlDialog();
        out.cid = d.cid;
        out.did = d.did;
        return out;
    }
    }
    return out;
}

CMediaSession::Dialog CMediaSession::ControlDialog() const {
    std::lock_guard<std::mutex> l(mutex_);
    for (MediaStream s : {MediaStream::Playback, MediaStream::Download}) {
        const StreamSlot& slot = Slot(s);
        if (slot.open && slot.call) return {slot.call->cid, slot.call->did};
    }
    return {};
}

MediaCommand CMediaSession::Open(const MediaRow& r, const MediaInputs& in) {
    MediaCommand out;
    out.handled = true;
    out.kind = r.kind;
    const MediaStream stream = StreamOfRow(r);
    if (IsVideo(stream)) {
        std::lock_guard<std::mutex> l(mutex_);
        if (Slot(stream).open) return out; // opened already: nothing is sent
    }
    std::string text = OfferText(r, in);
    if (text.size() > kMediaTextRoom) {
        // Only the configured receiver address can make an offer this long.
        out.refusal = "SDP 长度 " + std::to_string(text.size()) +
                      " 字节, 超出 2048 字节消息缓冲区 (最多 " + std::to_string(kMediaTextRoom) +
                      " 字节), 请缩短媒体接收者地址。邀请未发送。";
        return out;
    }
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (stream == MediaStream::Voice) {
            voiceAwaiting_.push_back(++stamp_);
        } else {
            StreamSlot& slot = Slot(stream);
            slot.open = true;
            slot.offerStamp = ++stamp_;
            slot.abandoned = false;
            slot.inputs = in;
            if (stream == MediaStream::Download) {
                downloadSpeed_ = in.downloadSpeed;
                downloadOpen_ = true;
            }
        }
    }
    // With "TCP active" the device connects to us: listen before the INVITE
    // leaves (a listening set-up does not wait for anybody).
    if (IsVideo(stream) && in.transport == 2) {
        std::uint64_t epoch;
        {
            std::lock_guard<std::mutex> l(mutex_);
            epoch = epoch_;
        }
        StartMedia(in, epoch);
    }
    out.send = true;
    out.text = std::move(text);
    out.contentType = kSdpContentType;
    if (stream == MediaStream::Live) out.showSet = 1;
    if (stream == MediaStream::Playback || stream == MediaStream::Download) out.showSet = 3;
    return out;
}

// The cancel row of a stream: its call ends, the receiver stops and the
// decoder is released. An offer not yet answered is marked, so that its
// answer is ended instead of started.
void CMediaSession::EndStream(MediaStream s) {
    std::optional<CallIds> call;
    {
        std::lock_guard<std::mutex> l(mutex_);
        StreamSlot& slot = Slot(s);
        slot.open = false;
        call = slot.call;
        slot.call.reset();
        if (slot.offerStamp) slot.abandoned = true;
        if (s == MediaStream::Download) downloadOpen_ = false;
    }
    if (call) signal_.EndCall(call->cid, call->did);
    StopReceiver();
}

// ------------------------------------------------------------------ answers

AnswerOutcome CMediaSession::OnCallAnswered(int cid, int did, const std::string& sdp,
                                            const MediaInputs& current) {
    AnswerOutcome out;
    const AnswerMedia a = ReadAnswer(sdp);
    out.receivable = a.Receivable();
    MediaInputs in = current;
    bool endNow = false;
    std::uint64_t epoch;
    {
        std::lock_guard<std::mutex> l(mutex_);
        epoch = epoch_;
        // The answer belongs to the latest offer still waiting, of its own
        // media (video or voice) when one waits.
        MediaStream video = MediaStream::None;
        std::uint64_t videoStamp = 0;
        for (MediaStream s : {MediaStream::Live, MediaStream::Playback, MediaStream::Download}) {
            if (Slot(s).offerStamp > videoStamp) {
                videoStamp = Slot(s).offerStamp;
                video = s;
            }
        }
        const bool voice = !voiceAwaiting_.empty();
        MediaStream best = a.video ? (video != MediaStream::None ? video
                                      : voice                    ? MediaStream::Voice
                                                                 : MediaStream::None)
                                   : (voice ? MediaStream::Voice : video);
        if (best == MediaStream::Voice) voiceAwaiting_.pop_back();
        out.stream = best;
        if (best == MediaStream::Voice || best == MediaStream::None) {
            looseCalls_.push_back({{cid, did}, best});
        } else {
            StreamSlot& slot = Slot(best);
            slot.offerStamp = 0;
            if (slot.abandoned) {
                slot.abandoned = false;
                endNow = true;
            } else {
                slot.call = CallIds{cid, did};
                in = slot.inputs;
            }
        }
    }
    if (endNow) {
        signal_.EndCall(cid, did);
        out.ended = true;
        return out;
    }
    // Voice answers start nothing, whatever they carry.
    if (!a.Receivable() || out.stream == MediaStream::Voice) return out;
    // "TCP active" listens since the offer; "actpass" and "holdconn" never receive.
    if (in.transport != 0 && in.transport != 1) return out;
    if (options_.startWorker) {
        {
            std::lock_guard<std::mutex> l(mutex_);
            jobs_.push_back({in, epoch});
        }
        jobReady_.notify_all();
        out.starting = true;
    } else {
        out.started = StartMedia(in, epoch);
    }
    return out;
}

MediaStream CMediaSession::OnCallClosed(int cid) {
    std::lock_guard<std::mutex> l(mutex_);
    for (MediaStream s : {MediaStream::Live, MediaStream::Playback, MediaStream::Download}) {
        StreamSlot& slot = Slot(s);
        if (slot.call && slot.call->cid == cid) {
            slot.call.reset();
            return s;
        }
    }
    auto it = std::find_if(looseCalls_.begin(), looseCalls_.end(),
                           [cid](const LooseCall& c) { return c.ids.cid == cid; });
    if (it == looseCalls_.end()) return MediaStream::None;
    const MediaStream s = it->stream;
    looseCalls_.erase(it);
    return s;
}

// ------------------------------------------------------------------ receiver

bool CMediaSession::StartMedia(const MediaInputs& in, std::uint64_t epoch) {
    auto r = std::make_unique<CRTPSession>();
    r->SetLocalAddress(options_.localIp);
    r->SetFrameCallback(&CMediaSession::FrameHandler, this);
    r->SetIdleCallback(&CMediaSession::IdleHandler, this);
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (receiver_ || starting_ || stopping_ || epoch != epoch_) return false;
        starting_ = true;
        // The display is on before the set-up, so that the first frames, which
        // may complete as soon as the transport is up, are shown and counted.
        decoder_.SetHWND(surface_);
        decoderBound_ = true;
        counters_.Reset();
        startedAt_ = Now();
        lastPublish_.reset();
        lastElapsed_ = 0;
        pending_ = false;
        activeReceiver_ = r.get();
        displayOn_.store(true, std::memory_order_release);
    }
    // Set up outside the lock: connecting to the device may take seconds. A
    // receiver that could not open its ports is kept (it shows no frames, and
    // ending the stream goes as usual) and the operator is told why.
    r->RTP_Setup(static_cast<std::uint16_t>(in.port), in.transport, in.deviceAddress.c_str(),
                 90000);
    const std::string failure = r->SetupError();
    bool current = false;
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (epoch == epoch_) {
            receiver_ = std::move(r);
            starting_ = false;
            startDone_.notify_all();
            current = true;
        }
    }
    if (current) {
        if (!failure.empty()) ReportSetupFailure(failure);
        return true;
    }
    // Stopped while it was being set up (the stop switched the display off and
    // waited for a frame in hand): nothing of it is kept.
    r->SetFrameCallback(nullptr, nullptr);
    r->SetIdleCallback(nullptr, nullptr);
    r.reset();
    std::lock_guard<std::mutex> l(mutex_);
    starting_ = false;
    if (decoderBound_ && !receiver_) {
        decoder_.ReleaseDecoder();
        decoderBound_ = false;
    }
    startDone_.notify_all();
    return false;
}

void CMediaSession::ReportSetupFailure(const std::string& why) {
    const std::string line = "media receiver not started: " + why;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (!view_) return;
    MediaViewUpdate u;
    u.message = line;
    view_->UpdateMediaView(u);
}

void CMediaSession::StopReceiver() {
    std::unique_ptr<CRTPSession> r;
    {
        std::lock_guard<std::mutex> l(mutex_);
        ++epoch_;
        r = std::move(receiver_);
        if (r) ++stopping_;
        displayOn_ = false;
        activeReceiver_ = nullptr;
    }
    {
        // A frame in hand (also one of a receiver still being set up) ends
        // first; every later one sees the display off.
        std::lock_guard<std::mutex> gate(frameMutex_);
    }
    if (!r) return;
    // The callback is cleared first; the teardown waits for a frame in hand,
    // and destroying the receiver joins its threads.
    r->SetFrameCallback(nullptr, nullptr);
    r->SetIdleCallback(nullptr, nullptr);
    r->RTP_Teardown();
    r.reset();
    FlushView();
    std::lock_guard<std::mutex> l(mutex_);
    --stopping_;
    if (decoderBound_ && !receiver_ && !starting_) {
        decoder_.ReleaseDecoder();
        decoderBound_ = false;
    }
}

void CMediaSession::Stop() {
    std::vector<CallIds> calls;
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (StreamSlot& slot : slots_) {
            if (slot.call) calls.push_back(*slot.call);
            slot.call.reset();
            if (slot.offerStamp) slot.abandoned = true;
        }
        for (const LooseCall& c : looseCalls_)
            calls.push_back(c.ids);
        looseCalls_.clear();
        voiceAwaiting_.clear();
    }
    for (const CallIds& c : calls)
        signal_.EndCall(c.cid, c.did);
    StopReceiver();
}

// ------------------------------------------------------------------ tree

int CMediaSession::SelectChannel() const {
    return LiveOpen() ? 1 : 0;
}

int CMediaSession::SelectDevice() {
    if (!LiveOpen()) return -1;
    EndStream(MediaStream::Live);
    return 0;
}

int CMediaSession::SelectRecording(const std::string& startText, const std::string& endText) {
    if (LiveOpen()) EndStream(MediaStream::Live);
    const std::int32_t d = RecordingDuration(startText, endText);
    duration_ = d;
    if (view_) {
        // An end before the start shows as a length of zero.
        const std::int32_t shown = std::max<std::int32_t>(d, 0);
        MediaViewUpdate u;
        u.progressText = "00:00:00/" + ClockText(shown);
        u.progressMax = shown;
        u.progressPos = 1;
        view_->UpdateMediaView(u);
    }
    std::lock_guard<std::mutex> l(mutex_);
    return Slot(MediaStream::Playback).open || Slot(MediaStream::Download).open ? 3 : 2;
}

void CMediaSession::SetDragRect(const VidanaRect& rect) {
    std::lock_guard<std::mutex> l(rectMutex_);
    rect_ = rect;
}

// ------------------------------------------------------------------ frames

void CMediaSession::FrameHandler(void* user, unsigned char* frame, std::int32_t length) {
    static_cast<CMediaSession*>(user)->OnFrame(frame, length);
}

void CMediaSession::OnFrame(const std::uint8_t* frame, std::int32_t length) {
    std::lock_guard<std::mutex> gate(frameMutex_);
    if (!displayOn_.load(std::memory_order_acquire)) return;
    CRTPSession* r = activeReceiver_.load();
    if (length > 0) {
        VidanaRect rect;
        {
            std::lock_guard<std::mutex> l(rectMutex_);
            rect = rect_;
        }
        decoder_.SetRect(rect);
        decoder_.DecodeXFrame(frame, length, r ? FrameTypeOf(*r) : kH264FrameType);
    }
    const auto now = Now();
    FrameSample sample;
    sample.length = length;
    if (r) sample.haveTimestamp = r->LastFrameTimestamp(sample.rtpTimestamp);
    counters_.Count(sample, now);
    NoteTotals(r);
    Publish(now);
}

void CMediaSession::IdleHandler(void* user) {
    static_cast<CMediaSession*>(user)->OnIdle();
}

// No packet for a while: the figures of the window go on falling.
void CMediaSession::OnIdle() {
    std::lock_guard<std::mutex> gate(frameMutex_);
    if (!displayOn_.load(std::memory_order_acquire)) return;
    NoteTotals(activeReceiver_.load());
    Publish(Now());
}

void CMediaSession::NoteTotals(CRTPSession* r) {
    const VidanaPictureCounts p = decoder_.PictureCounts();
    StreamTotals t;
    t.pictures = p.shown;
    t.undecodable = p.undecodable + p.refused;
    if (r) t.lostPackets = r->RtpCounts().skipped;
    counters_.Note(t);
}

void CMediaSession::Publish(std::chrono::steady_clock::time_point now) {
    lastElapsed_ = ElapsedAt(now);
    lastNow_ = now;
    // At most one update per interval; the one sent carries the latest
    // figures, and what is left over goes out when the stream stops.
    if (lastPublish_ && now - *lastPublish_ < options_.viewInterval) {
        pending_ = true;
        return;
    }
    lastPublish_ = now;
    pending_ = false;
    if (view_) view_->UpdateMediaView(Compose(lastElapsed_));
}

MediaViewUpdate CMediaSession::Compose(std::int64_t elapsed) const {
    const StreamFigures f = counters_.Read(elapsed, lastNow_);
    const ProgressShown p =
        ProgressFor(f, downloadOpen_.load(), downloadSpeed_.load(), duration_.load());
    MediaViewUpdate u;
    u.statistics = StatisticsLine(f);
    u.progressText = p.text;
    u.progressPos = p.pos;
    return u;
}

// Runs once the receive thread has been joined.
void CMediaSession::FlushView() {
    if (!pending_) return;
    pending_ = false;
    if (view_) view_->UpdateMediaView(Compose(lastElapsed_));
}
