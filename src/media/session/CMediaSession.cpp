#include "media/session/CMediaSession.h"

#include "manscdp/search/CDlgSearch.h"
#include "media/recv/CRTPSession.h"
#include "media/session/SdpAnswer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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
    for (int i = 0; i < kStreamSlots; ++i)
        targets_[i] = {this, i};
    if (options_.startWorker) m_hStart = std::thread([this] { StartLoop(); });
    m_hWatch = std::thread([this] { WatchLoop(); });
}

CMediaSession::~CMediaSession() {
    Stop();
    {
        std::lock_guard<std::mutex> l(mutex_);
        quit_ = true;
    }
    jobReady_.notify_all();
    watchWake_.notify_all();
    if (m_hStart.joinable()) m_hStart.join();
    if (m_hWatch.joinable()) m_hWatch.join();
    // A start on the SIP thread drops its receiver when it sees the stop.
    std::unique_lock<std::mutex> l(mutex_);
    startDone_.wait(l, [this] {
        for (const StreamSlot& s : slots_)
            if (s.starting) return false;
        return true;
    });
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
        StartMedia(job.slot, job.in, job.plan, job.epoch);
        l.lock();
    }
}

void CMediaSession::WatchLoop() {
    pthread_setname_np(pthread_self(), "m_hWatch");
    std::unique_lock<std::mutex> l(mutex_);
    for (;;) {
        if (quit_) return;
        if (watches_.empty()) {
            watchWake_.wait(l);
            continue;
        }
        auto first = std::min_element(watches_.begin(), watches_.end(),
                                      [](const Watch& a, const Watch& b) { return a.due < b.due; });
        // A copy: the wait lets other threads add watches, which may move them.
        const auto due = first->due;
        if (std::chrono::steady_clock::now() < due) {
            watchWake_.wait_until(l, due);
            continue;
        }
        const Watch w = *first;
        watches_.erase(first);
        // Only the receiver the answer started (a stop since drops the watch).
        CRTPSession* receiver = slots_[w.slot].receiver.get();
        if (w.epoch != slots_[w.slot].epoch || !receiver) continue;
        std::string line;
        std::uint32_t ssrc = 0;
        if (receiver->RtpCounts().packets == 0) {
            line = "no RTP from the device within " +
                   std::to_string(options_.noStreamAfter.count() / 1000.0).substr(0, 3) +
                   " s of its answer (" + w.what + ")";
        } else if (w.ssrc && receiver->CurrentSsrc(ssrc) && ssrc != *w.ssrc) {
            line = "the device sends SSRC " + std::to_string(ssrc) + ", not the " +
                   std::to_string(*w.ssrc) + " of its answer's y= line (" + w.what + ")";
        }
        if (line.empty()) continue;
        l.unlock();
        Say(line);
        l.lock();
    }
}

void CMediaSession::Arm(int slot, const ReceiverPlan& plan, int port, std::uint64_t epoch) {
    Watch w;
    w.due = std::chrono::steady_clock::now() + options_.noStreamAfter;
    w.slot = slot;
    w.epoch = epoch;
    w.ssrc = plan.ssrc;
    switch (plan.role) {
    case TcpRole::Listen:
        w.what = "TCP, listening on port " + std::to_string(port);
        break;
    case TcpRole::Connect:
        w.what = "TCP, connecting to " + plan.peer + ":" + std::to_string(plan.connectPort);
        break;
    case TcpRole::None:
        w.what = "UDP port " + std::to_string(port);
        break;
    }
    {
        std::lock_guard<std::mutex> l(mutex_);
        watches_.push_back(std::move(w));
    }
    watchWake_.notify_all();
}

void CMediaSession::Say(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    if (!view_) return;
    MediaViewUpdate u;
    u.message = line;
    view_->UpdateMediaView(u);
}

void CMediaSession::ClearPicture(IVidanaSurface* surface) {
    if (!surface) return;
    const VidanaSize size = surface->ClientSize();
    if (size.width <= 0 || size.height <= 0) return;
    const std::vector<std::uint8_t> black(
        static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3, 0);
    surface->Present(black.data(), size.width, size.height);
}

std::chrono::steady_clock::time_point CMediaSession::Now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

std::int64_t CMediaSession::ElapsedAt(const StreamSlot& s,
                                      std::chrono::steady_clock::time_point t) const {
    return std::chrono::duration_cast<std::chrono::seconds>(t - s.startedAt).count();
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

bool CMediaSession::DisplayOn() const {
    const int d = drawnSlot_.load();
    return d >= 0 && slots_[d].receiving.load();
}

MediaStream CMediaSession::Drawn() const {
    std::lock_guard<std::mutex> l(mutex_);
    return drawn_ < 0 ? MediaStream::None
           : drawn_ == 3 ? MediaStream::None
                         : static_cast<MediaStream>(drawn_);
}

ReceiverInfo CMediaSession::InfoLocked(int slot) const {
    ReceiverInfo r;
    if (slot < 0) return r;
    const StreamSlot& s = slots_[slot];
    if (!s.receiver) return r;
    r.exists = true;
    r.transport = s.receiverTransport;
    r.port = s.receiver->Port();
    r.ready = s.receiver->TransportReady();
    r.accepted = s.receiver->AcceptedCount();
    r.reconnections = s.receiver->Reconnections();
    if (std::uint32_t ssrc = 0; s.receiver->CurrentSsrc(ssrc)) r.ssrc = ssrc;
    const SequenceFigures counts = s.receiver->RtpCounts();
    r.packets = counts.packets;
    r.sequenceGaps = counts.gaps;
    r.skippedPackets = counts.skipped;
    const tvrtp::TcpFraming framing = s.receiver->FollowedFraming();
    r.tcpFraming = framing == tvrtp::TcpFraming::Rfc4571       ? 1
                   : framing == tvrtp::TcpFraming::Interleaved ? 2
                                                               : 0;
    const CRTPSession::ReceiveQueue queue = s.receiver->ReceiveQueueFigures();
    r.kernelDrops = queue.kernelDrops;
    r.queueSamples = queue.backlog.samples;
    r.queuedBytes = queue.backlog.bytes;
    r.largestQueued = queue.backlog.largest;
    const CRTPSession::FrameClock clock = s.receiver->VideoFrameClock();
    r.videoFrames = clock.frames;
    r.frameWaitUs = clock.waitUs;
    if (clock.frames > 0) {
        r.firstFrameTimestamp = clock.firstTimestamp;
        r.firstFrameAt = clock.firstAt;
        r.lastFrameTimestamp = clock.timestamp;
        r.lastFrameAt = clock.at;
    }
    const CRTPSession::KeyPictureCounts keys = s.receiver->KeyPictures();
    r.keyPictures = keys.keys;
    r.keysWithoutPack = keys.withoutPack;
    r.keysWithoutSystemHeader = keys.withoutSystem;
    r.keysWithoutMap = keys.withoutMap;
    r.keysTypeMismatch = keys.typeMismatch;
    r.mapStreamType = keys.mapType;
    r.pictureStreamType = keys.esType;
    if (keys.keys > 0) r.lastKeyTimestamp = keys.lastKeyTimestamp;
    r.keyIntervals = keys.intervals;
    r.shortestKeyTicks = keys.shortestTicks;
    r.longestKeyTicks = keys.longestTicks;
    r.payloadType = s.receiver->PayloadType();
    r.format = static_cast<int>(s.receiver->StreamFormat());
    r.expectedSsrc = s.receiver->ExpectedSsrc();
    return r;
}

ReceiverInfo CMediaSession::Receiver() const {
    std::lock_guard<std::mutex> l(mutex_);
    return InfoLocked(drawn_);
}

ReceiverInfo CMediaSession::Receiver(MediaStream s) const {
    std::lock_guard<std::mutex> l(mutex_);
    return InfoLocked(SlotOf(s));
}

StreamFigures CMediaSession::Figures() const {
    std::lock_guard<std::mutex> l(mutex_);
    // The drawn stream's, else the last one drawn.
    const int d = drawn_ >= 0 ? drawn_ : drawnSlot_.load();
    if (d < 0) return StreamFigures{};
    const StreamSlot& s = slots_[d];
    const auto now = Now();
    return s.counters.Read(s.receiver ? ElapsedAt(s, now) : s.lastElapsed.load(), now);
}

std::vector<CallFigures> CMediaSession::OpenCalls() const {
    std::lock_guard<std::mutex> l(mutex_);
    std::vector<CallFigures> out;
    const auto now = Now();
    for (int i = 0; i < kStreamSlots; ++i) {
        const StreamSlot& s = slots_[i];
        if (!s.receiver) continue;
        CallFigures c;
        c.slot = i;
        c.callId = s.call ? s.call->cid : 0;
        c.channel = s.inputs.channelId.empty() ? s.inputs.deviceId : s.inputs.channelId;
        c.drawn = drawn_ == i;
        c.figures = s.counters.Read(ElapsedAt(s, now), now);
        out.push_back(std::move(c));
    }
    return out;
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
        if (r.action != MediaRowAction::CancelLive && view_) {
            // Ended by the operator: no figure of it stays beside the bar.
            MediaViewUpdate u;
            u.progressText = std::string();
            u.progressMax = 0;
            u.progressPos = 0;
            view_->UpdateMediaView(u);
        }
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

MediaCommand CMediaSession::Open(const MediaRow& r, const MediaInputs& given) {
    MediaCommand out;
    out.handled = true;
    out.kind = r.kind;
    const MediaStream stream = StreamOfRow(r);
    MediaInputs in = given;
    if (IsVideo(stream)) {
        std::lock_guard<std::mutex> l(mutex_);
        if (Slot(stream).open) return out; // opened already: nothing is sent
        // Each open stream has its own receiver: the first free port of
        // receiver port + 4 n (RTP, RTCP and the old reading's + 2 apart).
        for (int n = 0; n < kStreamSlots; ++n) {
            const int port = given.port + kPortStep * n;
            bool taken = false;
            for (const StreamSlot& s : slots_)
                taken = taken || (s.open && s.inputs.port == port);
            if (!taken) {
                in.port = port;
                break;
            }
        }
    }
    if (stream == MediaStream::Playback || stream == MediaStream::Download) {
        std::lock_guard<std::mutex> l(mutex_);
        in.recordStart = recordStart_;
        in.recordEnd = recordEnd_;
    }
    std::string text = OfferText(r, in);
    if (text.size() > kMediaTextRoom) {
        // Only the configured receiver address can make an offer this long.
        out.refusal = "SDP 长度 " + std::to_string(text.size()) +
                      " 字节, 超出 2048 字节消息缓冲区 (最多 " + std::to_string(kMediaTextRoom) +
                      " 字节), 请缩短媒体接收者地址。邀请未发送。";
        return out;
    }
    std::uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> l(mutex_);
        Offer o;
        o.id = ++stamp_;
        o.stream = stream;
        // Offers that were never answered (a device that stayed silent or
        // refused) are forgotten beyond kMaxOffers, the oldest first.
        if (offers_.size() >= kMaxOffers) offers_.erase(offers_.begin());
        offers_.push_back(o);
        out.offer = o.id;
        if (IsVideo(stream)) {
            StreamSlot& slot = Slot(stream);
            if (stream != MediaStream::Live) {
                in.recordStart = recordStart_;
                in.recordEnd = recordEnd_;
            }
            slot.open = true;
            slot.call.reset();
            slot.inputs = in;
            epoch = slot.epoch;
        }
    }
    // When the device connects to us, listen before the INVITE leaves (a
    // listening set-up does not wait for anybody).
    if (IsVideo(stream) && ReceiverTcpRole(in) == TcpRole::Listen) {
        ReceiverPlan plan;
        plan.transport = in.transport;
        plan.role = TcpRole::Listen;
        plan.peer = in.deviceAddress;
        StartMedia(SlotOf(stream), in, plan, epoch);
    }
    out.send = true;
    out.text = std::move(text);
    out.contentType = kSdpContentType;
    if (stream == MediaStream::Live) out.showSet = 1;
    if (stream == MediaStream::Playback || stream == MediaStream::Download) out.showSet = 3;
    return out;
}

std::vector<std::pair<int, AnswerOutcome>> CMediaSession::OfferSent(std::uint64_t offer,
                                                                     int callId) {
    std::vector<HeldAnswer> now;
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (Offer& o : offers_)
            if (o.id == offer) {
                o.sent = true;
                o.cid = callId;
            }
        // Not sent: no answer will come.
        offers_.erase(std::remove_if(offers_.begin(), offers_.end(),
                                     [](const Offer& o) { return o.sent && o.cid <= 0; }),
                      offers_.end());
        // Answers that came before their OfferSent: the one of this call, and,
        // once no offer waits for its call id, those that are none of ours.
        const bool unsent = std::any_of(offers_.begin(), offers_.end(),
                                        [](const Offer& o) { return !o.sent; });
        for (auto it = held_.begin(); it != held_.end();) {
            if (it->cid == callId || !unsent) {
                now.push_back(std::move(*it));
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::vector<std::pair<int, AnswerOutcome>> filed;
    for (const HeldAnswer& h : now)
        filed.emplace_back(h.cid, OnCallAnswered(h.cid, h.did, h.sdp, h.current));
    return filed;
}

// The cancel row of a stream: its call ends, its receiver stops. An offer not
// yet answered is marked, so that its answer is ended instead of started.
void CMediaSession::EndStream(MediaStream s) {
    std::optional<CallIds> call;
    {
        std::lock_guard<std::mutex> l(mutex_);
        StreamSlot& slot = Slot(s);
        slot.open = false;
        call = slot.call;
        slot.call.reset();
        for (Offer& o : offers_)
            if (o.stream == s) o.abandoned = true;
    }
    if (call) signal_.EndCall(call->cid, call->did);
    StopReceiver(SlotOf(s));
}

// ------------------------------------------------------------------ answers

AnswerOutcome CMediaSession::OnCallAnswered(int cid, int did, const std::string& sdp,
                                            const MediaInputs& current) {
    std::optional<Offer> offer;
    {
        std::lock_guard<std::mutex> l(mutex_);
        auto it = std::find_if(offers_.begin(), offers_.end(),
                               [cid](const Offer& o) { return o.sent && o.cid == cid; });
        if (it != offers_.end()) {
            offer = *it;
            offers_.erase(it);
        } else if (std::any_of(offers_.begin(), offers_.end(),
                               [](const Offer& o) { return !o.sent; })) {
            // Its INVITE's OfferSent has not come yet (the answer overtook it).
            held_.push_back({cid, did, sdp, current});
            AnswerOutcome out;
            out.held = true;
            return out;
        }
    }
    return FileAnswer(cid, did, sdp, current, offer);
}

AnswerOutcome CMediaSession::FileAnswer(int cid, int did, const std::string& sdp,
                                        const MediaInputs& current, std::optional<Offer> offer) {
    AnswerOutcome out;
    const AnswerMedia a = ReadAnswer(sdp, current.edition2022);
    out.receivable = a.Receivable();
    out.stream = offer ? offer->stream : MediaStream::None;
    if (offer && offer->abandoned) {
        signal_.EndCall(cid, did);
        out.ended = true;
        return out;
    }
    MediaInputs in = current;
    int slot = -1;
    std::uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (out.stream == MediaStream::Voice || out.stream == MediaStream::None) {
            looseCalls_.push_back({{cid, did}, out.stream});
        } else {
            Slot(out.stream).call = CallIds{cid, did};
            in = Slot(out.stream).inputs;
        }
        if (out.stream != MediaStream::Voice) {
            slot = SlotOf(out.stream);
            // An INVITE typed by hand gets a receiver of its own, on the
            // receiver port, only while no other runs.
            if (out.stream == MediaStream::None) {
                for (const StreamSlot& other : slots_)
                    if (other.receiver || other.starting) slot = -1;
                if (slot >= 0) slots_[slot].inputs = in;
            }
            if (slot >= 0) epoch = slots_[slot].epoch;
            if (slot >= 0) slots_[slot].fileSize = a.fileSize.value_or(0);
        }
    }
    // Voice answers start nothing, whatever they carry.
    if (!a.Receivable() || slot < 0) return out;
    ReceiverPlan plan;
    plan.transport = in.transport;
    plan.role = ReceiverTcpRole(in);
    plan.peer = a.connection;
    plan.ssrc = a.ssrc;
    // "actpass" and "holdconn" never receive.
    if (in.transport != 0 && plan.role == TcpRole::None) return out;
    // The stream is taken as the answer names it: PS in any payload type,
    // or H.264 / H.265 elementary RTP.
    if (a.payloadType >= 0 && a.payloadType < 128) plan.payloadType = a.payloadType;
    plan.format = a.encoding == AnswerEncoding::H264   ? 1
                  : a.encoding == AnswerEncoding::H265 ? 2
                                                       : 0;
    if (a.encoding == AnswerEncoding::Other || a.encoding == AnswerEncoding::None ||
        a.encoding == AnswerEncoding::Aac) {
        const std::string named =
            a.encodingName.empty() ? std::string("no a=rtpmap") : a.encodingName;
        Say("the device answered payload type " + std::to_string(a.payloadType) + " (" + named +
            "); taken as a program stream (PS) in payload type " +
            std::to_string(plan.payloadType));
    }
    // Listening since the offer: the device's first packet is awaited, in
    // the format the answer names.
    if (plan.role == TcpRole::Listen) {
        {
            std::lock_guard<std::mutex> l(mutex_);
            if (CRTPSession* r = slots_[slot].receiver.get(); r && epoch == slots_[slot].epoch) {
                r->SetStreamFormat(static_cast<std::uint8_t>(plan.payloadType),
                                   static_cast<CRTPSession::Format>(plan.format));
                r->SetExpectedSsrc(plan.ssrc);
            }
        }
        Arm(slot, plan, in.port, epoch);
        return out;
    }
    if (plan.role == TcpRole::Connect) {
        // RFC 4145: the answer's port. The old reading had the device listen at
        // the receiver port + 2; a device answering no port (0, or 9, the
        // discard port of an active side) is still looked for there.
        plan.connectPort = a.videoPort;
        if (in.legacySetup && (a.videoPort <= 0 || a.videoPort == 9)) plan.connectPort = in.port + 2;
    }
    Arm(slot, plan, in.port, epoch);
    if (options_.startWorker) {
        {
            std::lock_guard<std::mutex> l(mutex_);
            jobs_.push_back({slot, in, plan, epoch});
        }
        jobReady_.notify_all();
        out.starting = true;
    } else {
        out.started = StartMedia(slot, in, plan, epoch);
    }
    return out;
}

MediaStream CMediaSession::OnCallClosed(int cid) {
    MediaStream ended = MediaStream::None;
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (MediaStream s : {MediaStream::Live, MediaStream::Playback, MediaStream::Download}) {
            StreamSlot& slot = Slot(s);
            if (slot.call && slot.call->cid == cid) {
                slot.call.reset();
                slot.open = false;
                ended = s;
            }
        }
        // An offer the device refused (4xx to 6xx): its stream ends unanswered.
        auto it = std::find_if(offers_.begin(), offers_.end(),
                               [cid](const Offer& o) { return o.sent && o.cid == cid; });
        if (ended == MediaStream::None && it != offers_.end()) {
            const MediaStream s = it->stream;
            const bool abandoned = it->abandoned;
            offers_.erase(it);
            if (!IsVideo(s)) return abandoned ? MediaStream::None : s;
            if (!abandoned && Slot(s).open && !Slot(s).call) {
                Slot(s).open = false;
                ended = s;
            }
        }
    }
    if (ended != MediaStream::None) {
        // The device ended it: the stream ends in the window too.
        StopReceiver(SlotOf(ended));
        if (view_) {
            MediaViewUpdate u;
            u.progressText = std::string();
            u.progressMax = 0;
            u.progressPos = 0;
            view_->UpdateMediaView(u);
        }
        ClearIfNothingDrawn();
        return ended;
    }
    std::lock_guard<std::mutex> l(mutex_);
    auto it = std::find_if(looseCalls_.begin(), looseCalls_.end(),
                           [cid](const LooseCall& c) { return c.ids.cid == cid; });
    if (it == looseCalls_.end()) return MediaStream::None;
    const MediaStream s = it->stream;
    looseCalls_.erase(it);
    return s;
}

int CMediaSession::OnMediaStatus(const std::string& id, int notifyType) {
    if (notifyType != 121) return -1;
    MediaStream which = MediaStream::None;
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (bool exact : {true, false})
            for (MediaStream s : {MediaStream::Download, MediaStream::Playback}) {
                const StreamSlot& slot = Slot(s);
                if (which != MediaStream::None || !slot.open) continue;
                const std::string& ch =
                    slot.inputs.channelId.empty() ? slot.inputs.deviceId : slot.inputs.channelId;
                if (!exact || ch == id) which = s;
            }
    }
    if (which == MediaStream::None) return -1;
    EndStream(which);
    // The whole recording came: the progress is complete (after what the
    // stopped stream had held back).
    if (view_) {
        const std::int32_t d = std::max<std::int32_t>(duration_.load(), 0);
        MediaViewUpdate u;
        u.progressText = ClockText(d) + "/" + ClockText(d);
        u.progressMax = d;
        u.progressPos = d;
        view_->UpdateMediaView(u);
    }
    ClearIfNothingDrawn();
    return 0;
}

void CMediaSession::ClearIfNothingDrawn() {
    std::lock_guard<std::mutex> l(mutex_);
    if (drawn_ < 0) ClearPicture(surface_);
}

// ------------------------------------------------------------------ receivers

int CMediaSession::ChooseDrawnLocked() const {
    int best = -1;
    for (int i = 0; i < kStreamSlots; ++i) {
        const StreamSlot& s = slots_[i];
        if (!s.receiver && !s.starting) continue;
        if (best < 0) {
            best = i;
            continue;
        }
        const bool download = i == SlotOf(MediaStream::Download);
        const bool bestDownload = best == SlotOf(MediaStream::Download);
        if (bestDownload != download ? bestDownload : startOrder_[i] > startOrder_[best]) best = i;
    }
    return best;
}

void CMediaSession::Redraw() {
    const int want = ChooseDrawnLocked();
    if (want == drawn_) return;
    std::lock_guard<std::mutex> gate(frameMutex_);
    if (decoderBound_) {
        decoder_.ReleaseDecoder();
        decoderBound_ = false;
    }
    drawn_ = want;
    if (want >= 0) {
        drawnSlot_ = want;
        ClearPicture(surface_);
        decoder_.SetHWND(surface_);
        decoderBound_ = true;
        // The stream drawn anew shows its figures from now on.
        slots_[want].lastPublish.reset();
    }
}

bool CMediaSession::StartMedia(int slot, const MediaInputs& in, const ReceiverPlan& plan,
                               std::uint64_t epoch) {
    if (plan.role == TcpRole::Connect && (plan.connectPort < 1 || plan.connectPort > 65535)) {
        Say("media connection to " + plan.peer + ":" + std::to_string(plan.connectPort) +
            " not tried: the answer names no usable port");
        ClearIfNothingDrawn();
        return false;
    }
    StreamSlot& st = slots_[slot];
    std::string saveError;
    auto r = std::make_unique<CRTPSession>();
    r->SetLocalAddress(options_.localIp);
    r->SetFrameCallback(&CMediaSession::SlotFrameHandler, &targets_[slot]);
    r->SetIdleCallback(&CMediaSession::SlotIdleHandler, &targets_[slot]);
    if (audioTap_) r->SetAudioCallback(&CMediaSession::SlotAudioHandler, &targets_[slot]);
    r->SetTransportCallback(&CMediaSession::SlotTransportHandler, &targets_[slot]);
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (st.receiver || st.starting || st.stopping || epoch != st.epoch) return false;
        st.starting = true;
        startOrder_[slot] = ++stamp_;
        // Counting is on before the set-up, so that the first frames, which
        // may complete as soon as the transport is up, are shown and counted.
        st.counters.Reset();
        st.startedAt = Now();
        st.lastPublish.reset();
        st.lastElapsed = 0;
        st.pending = false;
        st.active = r.get();
        if (slot == SlotOf(MediaStream::Download)) {
            // Saved in the working folder as <channel>-<start>-<end>.mp4.
            const bool record = in.recordEnd > in.recordStart;
            const std::string name = DownloadFileName(
                in.channelId.empty() ? in.deviceId : in.channelId,
                record ? in.recordStart : in.searchStart, record ? in.recordEnd : in.searchEnd);
            st.saver = std::make_unique<StreamSaver>();
            if (std::string why; !st.saver->Open(name, why)) {
                st.saver.reset();
                saveError = why;
            }
            if (in.savePs && !st.rawPs) {
                // Beside it, the program stream as it came: <channel>-<start>-<end>.ps.
                st.rawPsPath = PsFileName(name);
                st.rawPsBytes = 0;
                st.rawPs = std::fopen(st.rawPsPath.c_str(), "wb");
                if (!st.rawPs)
                    saveError += (saveError.empty() ? "" : "; ") + st.rawPsPath + ": " +
                                 std::strerror(errno);
                else
                    r->SetRawCallback(&CMediaSession::SlotRawHandler, &targets_[slot]);
            }
        }
        st.receiving.store(true, std::memory_order_release);
        Redraw();
    }
    if (!saveError.empty()) Say("download not saved: " + saveError);
    // Set up outside the lock: connecting to the device may take seconds. A
    // receiver that could not open its ports is kept (it shows no frames, and
    // ending the stream goes as usual) and the operator is told why.
    const int setupTransport =
        plan.role == TcpRole::Listen ? 2 : plan.role == TcpRole::Connect ? 1 : 0;
    const std::string peer = plan.peer.empty() ? in.deviceAddress : plan.peer;
    r->SetStreamFormat(static_cast<std::uint8_t>(plan.payloadType),
                       static_cast<CRTPSession::Format>(plan.format));
    r->SetExpectedSsrc(plan.ssrc);
    // A connecting receiver binds the receiver port and connects to the
    // answer's address and port.
    r->RTP_Setup(static_cast<std::uint16_t>(in.port), setupTransport, peer.c_str(), 90000,
                 static_cast<std::uint16_t>(plan.role == TcpRole::Connect ? plan.connectPort : 0));
    const std::string failure = r->SetupError();
    const bool refused = failure.empty() && !r->TransportReady();
    bool current = false;
    {
        std::lock_guard<std::mutex> l(mutex_);
        st.starting = false;
        if (epoch == st.epoch) {
            st.receiverTransport = plan.transport;
            st.receiver = std::move(r);
            current = true;
        }
        startDone_.notify_all();
    }
    if (current) {
        if (!failure.empty()) ReportSetupFailure(failure);
        if (refused) {
            // Said once: no second message for the stream that cannot come.
            {
                std::lock_guard<std::mutex> l(mutex_);
                watches_.erase(std::remove_if(watches_.begin(), watches_.end(),
                                              [&](const Watch& w) {
                                                  return w.slot == slot && w.epoch == epoch;
                                              }),
                               watches_.end());
            }
            Say("media connection to " + peer + ":" + std::to_string(plan.connectPort) +
                " failed: refused, unreachable or not accepted within 3 s; connecting again " +
                std::to_string(CRTPSession::kReconnectTries) + " times, 1 s apart");
        }
        return true;
    }
    // Stopped while it was being set up (the stop switched its frames off and
    // waited for a frame in hand): nothing of it is kept.
    r->SetFrameCallback(nullptr, nullptr);
    r->SetIdleCallback(nullptr, nullptr);
    r->SetRawCallback(nullptr, nullptr);
    r->SetAudioCallback(nullptr, nullptr);
    r->SetTransportCallback(nullptr, nullptr);
    r.reset();
    FinishRawPs(slot);
    std::lock_guard<std::mutex> l(mutex_);
    Redraw();
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

void CMediaSession::StopReceiver(int slot) {
    StreamSlot& st = slots_[slot];
    std::unique_ptr<CRTPSession> r;
    {
        std::lock_guard<std::mutex> l(mutex_);
        ++st.epoch;
        r = std::move(st.receiver);
        if (r) ++st.stopping;
        st.receiving = false;
        st.active = nullptr;
    }
    {
        // A frame in hand (also one of a receiver still being set up) ends
        // first; every later one sees its stream off.
        std::lock_guard<std::mutex> gate(frameMutex_);
    }
    const bool had = r != nullptr;
    std::unique_ptr<StreamSaver> saver;
    bool hevc = false;
    if (r) {
        // The callback is cleared first; the teardown waits for a frame in
        // hand, and destroying the receiver joins its threads.
        r->SetFrameCallback(nullptr, nullptr);
        r->SetIdleCallback(nullptr, nullptr);
        r->SetRawCallback(nullptr, nullptr);
        r->SetAudioCallback(nullptr, nullptr);
        r->SetTransportCallback(nullptr, nullptr);
        r->RTP_Teardown();
        hevc = r->VideoStreamType() == CRTPSession::kStreamTypeH265;
        r.reset();
        // A 录像 running as the view ends is named by this moment.
        std::string liveName;
        if (slot == SlotOf(MediaStream::Live)) {
            const MediaInputs& in = st.inputs;
            liveName = DownloadFileName(in.channelId.empty() ? in.deviceId : in.channelId,
                                        st.savedFrom, std::time(nullptr));
        }
        FinishRawPs(slot, liveName.empty() ? std::string() : PsFileName(liveName));
        if (drawnSlot_.load() == slot) FlushView(slot);
        saver = std::move(st.saver);
        if (saver && !liveName.empty()) FinishSaver(std::move(saver), hevc, liveName);
    }
    if (saver) FinishSaver(std::move(saver), hevc, std::string());
    std::lock_guard<std::mutex> l(mutex_);
    if (had) --st.stopping;
    Redraw();
}

bool CMediaSession::LiveRecording() const {
    std::lock_guard<std::mutex> l(mutex_);
    return Slot(MediaStream::Live).saver != nullptr;
}

bool CMediaSession::ToggleLiveRecording(bool savePs) {
    std::unique_ptr<StreamSaver> done;
    RawPsFile donePs;
    std::string name;
    bool hevc = false;
    std::string why, psWhy;
    {
        std::lock_guard<std::mutex> l(mutex_);
        StreamSlot& st = Slot(MediaStream::Live);
        const std::string channel =
            st.inputs.channelId.empty() ? st.inputs.deviceId : st.inputs.channelId;
        // The receive thread writes under the frame gate: the saver changes there.
        std::lock_guard<std::mutex> gate(frameMutex_);
        if (st.saver) {
            done = std::move(st.saver);
            donePs = TakeRawPs(st);
            if (st.receiver) st.receiver->SetRawCallback(nullptr, nullptr);
            name = DownloadFileName(channel, st.savedFrom, std::time(nullptr));
            hevc = st.receiver && st.receiver->VideoStreamType() == CRTPSession::kStreamTypeH265;
        } else if (st.open && st.receiver) {
            st.savedFrom = std::time(nullptr);
            const std::string first = DownloadFileName(channel, st.savedFrom, st.savedFrom);
            auto saver = std::make_unique<StreamSaver>();
            if (saver->Open(first, why)) st.saver = std::move(saver);
            if (st.saver && savePs && !st.rawPs) {
                // Written under the start's name, renamed at the end as the MP4 is.
                st.rawPsPath = PsFileName(first);
                st.rawPsBytes = 0;
                st.rawPs = std::fopen(st.rawPsPath.c_str(), "wb");
                if (st.rawPs)
                    st.receiver->SetRawCallback(&CMediaSession::SlotRawHandler,
                                                &targets_[SlotOf(MediaStream::Live)]);
                else
                    psWhy = st.rawPsPath + ": " + std::strerror(errno);
            }
        } else {
            why = "no live view is open";
        }
    }
    if (done) {
        CloseRawPs(std::move(donePs), PsFileName(name));
        FinishSaver(std::move(done), hevc, name);
        return false;
    }
    if (!why.empty()) {
        Say("录像 not started: " + why);
        return false;
    }
    if (!psWhy.empty()) Say("program stream not saved: " + psWhy);
    return true;
}

void CMediaSession::FinishSaver(std::unique_ptr<StreamSaver> saver, bool hevc,
                                const std::string& finalPath) {
    {
        const std::string why = saver->Finish(hevc, finalPath);
        if (why.empty()) {
            const std::string line = "download saved: " + saver->Path();
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            if (view_) {
                MediaViewUpdate u;
                u.message = line;
                view_->UpdateMediaView(u);
            }
        } else {
            Say("download not saved (" + saver->Path() + "): " + why);
        }
    }
}

void CMediaSession::Stop() {
    std::vector<CallIds> calls;
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (StreamSlot& slot : slots_) {
            if (slot.call) calls.push_back(*slot.call);
            slot.call.reset();
        }
        for (Offer& o : offers_)
            o.abandoned = true;
        for (const LooseCall& c : looseCalls_)
            calls.push_back(c.ids);
        looseCalls_.clear();
        held_.clear();
    }
    for (const CallIds& c : calls)
        signal_.EndCall(c.cid, c.did);
    for (int i = 0; i < kStreamSlots; ++i)
        StopReceiver(i);
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
    {
        std::lock_guard<std::mutex> l(mutex_);
        recordStart_ = CDlgSearch::TextToSeconds(startText);
        recordEnd_ = CDlgSearch::TextToSeconds(endText);
    }
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
    auto* s = static_cast<CMediaSession*>(user);
    const int d = s->drawnSlot_.load();
    if (d >= 0) s->OnFrame(d, frame, length);
}

void CMediaSession::SlotFrameHandler(void* user, unsigned char* frame, std::int32_t length) {
    auto* t = static_cast<FrameTarget*>(user);
    // A stop clears the receiver's callback and its value one after the other:
    // a frame caught between the two comes with none, and is dropped.
    if (!t) return;
    t->session->OnFrame(t->slot, frame, length);
}

void CMediaSession::OnFrame(int slot, const std::uint8_t* frame, std::int32_t length) {
    std::lock_guard<std::mutex> gate(frameMutex_);
    StreamSlot& st = slots_[slot];
    if (!st.receiving.load(std::memory_order_acquire)) return;
    if (st.saver && length > 0) st.saver->Write(frame, static_cast<std::size_t>(length));
    const bool drawn = drawnSlot_.load() == slot && decoderBound_;
    if (length > 0 && drawn) {
        VidanaRect rect;
        {
            std::lock_guard<std::mutex> l(rectMutex_);
            rect = rect_;
        }
        decoder_.SetRect(rect);
        CRTPSession* r = st.active.load();
        decoder_.DecodeXFrame(frame, length, r ? FrameTypeOf(*r) : kH264FrameType);
    }
    const auto now = Now();
    CRTPSession* r = st.active.load();
    FrameSample sample;
    sample.length = length;
    if (r) sample.haveTimestamp = r->LastFrameTimestamp(sample.rtpTimestamp);
    st.counters.Count(sample, now);
    NoteTotals(slot, r, drawn);
    Publish(slot, now, drawn);
}

void CMediaSession::SlotRawHandler(void* user, const std::uint8_t* data, std::size_t length) {
    auto* t = static_cast<FrameTarget*>(user);
    if (!t) return; // cleared by a stop, as above
    // A 录像 takes its file out of the slot under the gate while frames come.
    std::lock_guard<std::mutex> gate(t->session->frameMutex_);
    StreamSlot& st = t->session->slots_[t->slot];
    if (!st.rawPs || length == 0) return;
    if (std::fwrite(data, 1, length, st.rawPs) == length) st.rawPsBytes += length;
}

void CMediaSession::SlotAudioHandler(void* user, std::uint8_t streamType, const std::uint8_t* data,
                                     std::size_t length) {
    auto* t = static_cast<FrameTarget*>(user);
    if (!t) return; // cleared by a stop, as above
    CMediaSession* s = t->session;
    // Only the stream in the view is heard (a download is never drawn while
    // another stream runs, and is not played either).
    if (s->drawnSlot_.load() != t->slot || t->slot == SlotOf(MediaStream::Download)) return;
    if (!s->slots_[t->slot].receiving.load(std::memory_order_acquire)) return;
    s->audioTap_(streamType, data, length);
}

CMediaSession::RawPsFile CMediaSession::TakeRawPs(StreamSlot& st) {
    RawPsFile f;
    std::swap(f.file, st.rawPs);
    f.path = st.rawPsPath;
    f.bytes = st.rawPsBytes;
    return f;
}

void CMediaSession::FinishRawPs(int slot, const std::string& finalPath) {
    RawPsFile f;
    {
        std::lock_guard<std::mutex> l(mutex_);
        f = TakeRawPs(slots_[slot]);
    }
    CloseRawPs(std::move(f), finalPath);
}

void CMediaSession::CloseRawPs(RawPsFile f, const std::string& finalPath) {
    if (!f.file) return;
    std::string path = f.path;
    const std::uint64_t bytes = f.bytes;
    bool written = std::fclose(f.file) == 0 && bytes > 0;
    if (written && !finalPath.empty() && finalPath != path) {
        written = std::rename(path.c_str(), finalPath.c_str()) == 0;
        if (written) path = finalPath;
    }
    if (!written) {
        const std::string why =
            bytes == 0 ? std::string("none came") : std::string(std::strerror(errno));
        std::remove(path.c_str());
        Say("program stream not saved (" + path + "): " + why);
        return;
    }
    const std::string line = "program stream saved: " + path;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (!view_) return;
    MediaViewUpdate u;
    u.message = line;
    view_->UpdateMediaView(u);
}

void CMediaSession::SlotIdleHandler(void* user) {
    auto* t = static_cast<FrameTarget*>(user);
    if (!t) return; // cleared by a stop, as above
    t->session->OnIdle(t->slot);
}

// The TCP transport dropped, came back or was accepted again: said, while
// the stream is on.
void CMediaSession::SlotTransportHandler(void* user, const std::string& text) {
    auto* t = static_cast<FrameTarget*>(user);
    if (!t || !t->session->slots_[t->slot].receiving.load(std::memory_order_acquire)) return;
    t->session->Say(text);
}

// No packet for a while: the figures of the window go on falling.
void CMediaSession::OnIdle(int slot) {
    std::lock_guard<std::mutex> gate(frameMutex_);
    StreamSlot& st = slots_[slot];
    if (!st.receiving.load(std::memory_order_acquire)) return;
    const bool drawn = drawnSlot_.load() == slot && decoderBound_;
    NoteTotals(slot, st.active.load(), drawn);
    Publish(slot, Now(), drawn);
}

void CMediaSession::NoteTotals(int slot, CRTPSession* r, bool drawn) {
    StreamTotals t;
    // Pictures are decoded for the drawn stream only.
    if (drawn) {
        const VidanaPictureCounts p = decoder_.PictureCounts();
        t.pictures = p.shown;
        t.undecodable = p.undecodable + p.refused;
        t.width = p.width;
        t.height = p.height;
    }
    if (r) {
        t.lostPackets = r->RtpCounts().skipped;
        if (const auto j = r->JitterMilliseconds()) {
            t.haveJitter = true;
            t.jitterMs = *j;
        }
        t.haveSsrc = r->CurrentSsrc(t.ssrc);
        t.streamType = r->VideoStreamType();
    }
    slots_[slot].counters.Note(t);
}

void CMediaSession::Publish(int slot, std::chrono::steady_clock::time_point now, bool drawn) {
    StreamSlot& st = slots_[slot];
    st.lastElapsed = ElapsedAt(st, now);
    st.lastNow = now;
    if (!drawn) return;
    // At most one update per interval; the one sent carries the latest
    // figures, and what is left over goes out when the stream stops.
    if (st.lastPublish && now - *st.lastPublish < options_.viewInterval) {
        st.pending = true;
        return;
    }
    st.lastPublish = now;
    st.pending = false;
    if (view_) view_->UpdateMediaView(Compose(slot, st.lastElapsed));
}

MediaViewUpdate CMediaSession::Compose(int slot, std::int64_t elapsed) const {
    const StreamFigures f = slots_[slot].counters.Read(elapsed, slots_[slot].lastNow);
    const bool recording =
        slot == SlotOf(MediaStream::Download) || slot == SlotOf(MediaStream::Playback);
    const ProgressShown p = ProgressFor(f, recording, duration_.load(),
                                        recording ? slots_[slot].fileSize.load() : 0);
    MediaViewUpdate u;
    u.statistics = StatisticsLine(f);
    u.figures = f;
    u.progressText = p.text;
    u.progressPos = p.pos;
    u.progressMax = p.max;
    return u;
}

// Runs once the slot's receive thread has been joined.
void CMediaSession::FlushView(int slot) {
    StreamSlot& st = slots_[slot];
    if (!st.pending) return;
    st.pending = false;
    if (view_) view_->UpdateMediaView(Compose(slot, st.lastElapsed));
}
