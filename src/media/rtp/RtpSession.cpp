#include "media/rtp/RtpSession.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace tvrtp {

namespace {
constexpr uint32_t kSeqMod = 1u << 16;
constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kMinSequential = 2;
// Packets kept for a source still on probation.
constexpr std::size_t kProbationStore = 64;
// UDP and IPv4 header bytes counted into the average RTCP size.
constexpr double kHeaderOverhead = 28.0;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, static_cast<uint16_t>(x >> 16));
    put16(v, static_cast<uint16_t>(x));
}
void setLength(std::vector<uint8_t>& v, std::size_t start) {
    std::size_t words = (v.size() - start) / 4 - 1;
    v[start + 2] = static_cast<uint8_t>(words >> 8);
    v[start + 3] = static_cast<uint8_t>(words);
}
} // namespace

int32_t SourceInfo::GetCumulativeLost() const {
    int64_t expected = static_cast<int64_t>(cycles) + maxSeq - baseSeq + 1;
    int64_t lost = expected - received;
    return static_cast<int32_t>(std::clamp<int64_t>(lost, -0x800000, 0x7FFFFF));
}

Session::Session() : current_(table_.end()) {}

Session::~Session() {
    Destroy();
}

int Session::Create(const SessionParams& p, const UdpTransmissionParams& udp) {
    if (active_) return ERR_ALREADY_CREATED;
    auto t = std::make_unique<UdpTransmitter>();
    int r = t->Create(udp);
    if (r < 0) return r;
    {
        std::unique_lock<std::shared_mutex> l(life_);
        udp_ = std::move(t);
        transmitter_ = udp_.get();
    }
    return Start(p);
}

int Session::Create(const SessionParams& p, TcpTransmitter* tcp) {
    if (active_) return ERR_ALREADY_CREATED;
    if (!tcp) return ERR_INVALID_PARAMETER;
    if (!tcp->IsCreated()) return ERR_NOT_CREATED;
    {
        std::unique_lock<std::shared_mutex> l(life_);
        tcp_ = tcp;
        transmitter_ = tcp;
    }
    return Start(p);
}

int Session::Start(const SessionParams& p) {
    params_ = p;
    std::random_device rd;
    rng_.seed(rd());
    ownSsrc_ = static_cast<uint32_t>(rng_());
    if (params_.cname.empty()) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        params_.cname = std::string("tarvex@") + host;
    }
    if (params_.cname.size() > 255) params_.cname.resize(255);
    {
        std::lock_guard<std::mutex> l(sources_);
        table_.clear();
        current_ = table_.end();
        waiting_ = 0;
    }
    avgRtcpSize_ = 128.0;
    auto now = Clock::now();
    lastTimeoutCheck_ = now;
    nextReport_ = now + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(RtcpInterval(true)));
    stopPoll_ = false;
    active_ = true;
    if (params_.usePollThread) {
        try {
            pollThread_ = std::thread([this] { PollThread(); });
        } catch (const std::system_error&) {
            Destroy();
            return ERR_THREAD;
        }
    }
    return 0;
}

int Session::AddDestination(const Address& a) {
    std::shared_lock<std::shared_mutex> l(life_);
    if (!active_ || !transmitter_) return ERR_NOT_CREATED;
    return transmitter_->AddDestination(a);
}

int Session::DeleteDestination(const Address& a) {
    std::shared_lock<std::shared_mutex> l(life_);
    if (!active_ || !transmitter_) return ERR_NOT_CREATED;
    return transmitter_->DeleteDestination(a);
}

void Session::ClearDestinations() {
    std::shared_lock<std::shared_mutex> l(life_);
    if (transmitter_) transmitter_->ClearDestinations();
}

int Session::SetDefaultMark(bool) {
    return active_ ? 0 : ERR_NOT_CREATED;
}
int Session::SetDefaultPayloadType(uint8_t pt) {
    if (!active_) return ERR_NOT_CREATED;
    return pt < 128 ? 0 : ERR_INVALID_PARAMETER;
}
int Session::SetMaximumPacketSize(std::size_t s) {
    if (!active_) return ERR_NOT_CREATED;
    if (s < 12 || s > 65535) return ERR_INVALID_PARAMETER;
    params_.maximumPacketSize = s;
    return 0;
}

void Session::StopPollThread() {
    stopPoll_ = true;
    {
        std::shared_lock<std::shared_mutex> l(life_);
        if (transmitter_) transmitter_->Wake();
    }
    if (pollThread_.joinable()) {
        if (pollThread_.get_id() == std::this_thread::get_id())
            pollThread_.detach();
        else
            pollThread_.join();
    }
}

void Session::Destroy() {
    if (!active_.exchange(false)) return;
    StopPollThread();
    {
        std::unique_lock<std::shared_mutex> l(life_);
        transmitter_ = nullptr;
        udp_.reset();
        tcp_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> l(sources_);
        table_.clear();
        current_ = table_.end();
        waiting_ = 0;
    }
    dataReady_.notify_all();
}

void Session::BYEDestroy(std::chrono::milliseconds /*maxWait*/, const char* reason,
                         std::size_t reasonLength) {
    if (!active_) return;
    StopPollThread();
    auto bye = BuildReport(true, reason, reasonLength);
    {
        std::shared_lock<std::shared_mutex> l(life_);
        if (transmitter_) {
            ++rtcpSent_;
            transmitter_->SendRtcp(bye.data(), bye.size());
        }
    }
    Destroy();
}

// ---------------------------------------------------------------- data access

void Session::BeginDataAccess() {
    sources_.lock();
}

void Session::EndDataAccess() {
    current_ = table_.end();
    sources_.unlock();
}

bool Session::GotoFirstSourceWithData() {
    for (current_ = table_.begin(); current_ != table_.end(); ++current_)
        if (current_->second.validated && !current_->second.queue.empty()) return true;
    return false;
}

bool Session::GotoNextSourceWithData() {
    if (current_ == table_.end()) return false;
    for (++current_; current_ != table_.end(); ++current_)
        if (current_->second.validated && !current_->second.queue.empty()) return true;
    return false;
}

SourceInfo* Session::GetCurrentSourceInfo() {
    return current_ == table_.end() ? nullptr : &current_->second;
}

std::unique_ptr<Packet> Session::GetNextPacket() {
    if (current_ == table_.end()) return nullptr;
    auto& s = current_->second;
    if (!s.validated || s.queue.empty()) return nullptr;
    auto p = std::move(s.queue.front());
    s.queue.pop_front();
    --waiting_;
    return p;
}

bool Session::WaitForData(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> l(sources_);
    if (!active_) {
        // An ended session brings nothing more; the caller is paced, not spun.
        dataReady_.wait_for(l, timeout);
        return false;
    }
    dataReady_.wait_for(l, timeout, [&] { return waiting_ > 0 || !active_; });
    return waiting_ > 0;
}

bool Session::GotoSource(uint32_t ssrc) {
    current_ = table_.find(ssrc);
    return current_ != table_.end();
}

int Session::GetUdpReceiveBuffer() {
    std::shared_lock<std::shared_mutex> l(life_);
    return udp_ ? udp_->GetRtpReceiveBuffer() : 0;
}

uint32_t Session::GetUdpKernelDrops() {
    std::shared_lock<std::shared_mutex> l(life_);
    return udp_ ? udp_->KernelDrops() : 0;
}

std::size_t Session::GetSourceCount() {
    std::lock_guard<std::mutex> l(sources_);
    return table_.size();
}

// ---------------------------------------------------------------- poll thread

void Session::PollThread() {
    std::vector<Incoming> batch;
    while (!stopPoll_) {
        auto now = Clock::now();
        auto untilReport =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextReport_ - now).count();
        int timeout = static_cast<int>(std::clamp<long long>(untilReport, 0, 100));
        PollOnce(timeout, batch);
    }
}

void Session::Poll(int timeoutMs) {
    if (!active_ || params_.usePollThread) return;
    std::vector<Incoming> batch;
    PollOnce(timeoutMs, batch);
}

void Session::PollOnce(int timeoutMs, std::vector<Incoming>& batch) {
    batch.clear();
    std::vector<int> closed;
    {
        std::shared_lock<std::shared_mutex> l(life_);
        if (!transmitter_) return;
        transmitter_->Poll(timeoutMs, batch);
        if (tcp_) closed = tcp_->TakeClosed();
    }
    for (int fd : closed)
        OnConnectionClosed(fd);
    auto now = Clock::now();
    if (!batch.empty()) {
        bool ready;
        {
            std::lock_guard<std::mutex> l(sources_);
            for (auto& in : batch) {
                if (in.rtcp)
                    ProcessRtcp(in, now);
                else
                    ProcessRtp(in, now);
            }
            ready = waiting_ > 0;
        }
        if (ready) dataReady_.notify_all();
    }
    if (now >= nextReport_) {
        SendReport();
        nextReport_ = now + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(RtcpInterval(false)));
    }
    if (now - lastTimeoutCheck_ >= std::chrono::seconds(1)) {
        lastTimeoutCheck_ = now;
        std::lock_guard<std::mutex> l(sources_);
        CheckTimeouts(now);
    }
}

std::unique_ptr<Address> Session::AddressOf(const Incoming& in, bool) const {
    if (in.viaTcp) return std::make_unique<TcpAddress>(in.socket);
    // The sender's port is kept as it came: for RTP the data port, for RTCP the
    // control port.
    return std::make_unique<Ipv4Address>(in.ip, in.port, static_cast<uint16_t>(in.port + 1));
}

SourceInfo* Session::FindOrCreate(uint32_t ssrc, const Incoming& in, Clock::time_point now,
                                  bool& created) {
    created = false;
    auto it = table_.find(ssrc);
    if (it != table_.end()) return &it->second;
    SourceInfo s;
    s.ssrc = ssrc;
    s.lastHeard = now;
    if (in.rtcp)
        s.rtcpAddress = AddressOf(in, true);
    else
        s.rtpAddress = AddressOf(in, false);
    if (params_.maxSources && table_.size() >= params_.maxSources &&
        !MakeRoom(IsPreferredSource(s)))
        return nullptr; // the table is full of sources that stay
    auto& made = table_[ssrc];
    made = std::move(s);
    created = true;
    return &made;
}

// Replaces the source heard least recently: among those not preferred, or,
// for a preferred newcomer when every source is preferred, among all.
bool Session::MakeRoom(bool forPreferred) {
    auto victim = table_.end();
    bool victimPreferred = true;
    for (auto it = table_.begin(); it != table_.end(); ++it) {
        const bool preferred = IsPreferredSource(it->second);
        if (preferred && !forPreferred) continue;
        if (victim == table_.end() || (victimPreferred && !preferred) ||
            (victimPreferred == preferred && it->second.lastHeard < victim->second.lastHeard)) {
            victim = it;
            victimPreferred = preferred;
        }
    }
    if (victim == table_.end()) return false;
    OnRemoveSource(&victim->second);
    if (victim->second.validated) waiting_ -= victim->second.queue.size();
    if (current_ == victim) current_ = table_.end();
    table_.erase(victim);
    ++evicted_;
    return true;
}

// RFC 3550 appendix A.1.
bool Session::UpdateSequence(SourceInfo& s, uint16_t seq) {
    auto initSeq = [&](uint16_t sq) {
        s.baseSeq = sq;
        s.maxSeq = sq;
        s.badSeq = kSeqMod + 1;
        s.cycles = 0;
        s.received = 0;
        s.receivedPrior = 0;
        s.expectedPrior = 0;
    };
    uint16_t udelta = static_cast<uint16_t>(seq - s.maxSeq);
    if (s.probation) {
        if (seq == static_cast<uint16_t>(s.maxSeq + 1)) {
            s.probation--;
            s.maxSeq = seq;
            if (s.probation == 0) {
                initSeq(seq);
                s.received++;
                return true;
            }
        } else {
            s.probation = kMinSequential - 1;
            s.maxSeq = seq;
        }
        return false;
    } else if (udelta < kMaxDropout) {
        if (seq < s.maxSeq) s.cycles += kSeqMod;
        s.maxSeq = seq;
    } else if (udelta <= kSeqMod - kMaxMisorder) {
        if (seq == s.badSeq) {
            // Two packets in sequence after a jump: the source restarted.
            initSeq(seq);
        } else {
            s.badSeq = (seq + 1u) & (kSeqMod - 1);
            return false;
        }
    }
    s.received++;
    return true;
}

void Session::ProcessRtp(Incoming& in, Clock::time_point now) {
    auto pkt = Packet::Parse(std::move(in.bytes));
    if (!pkt) return;
    pkt->SetArrival(now);
    if (pkt->GetSSRC() == ownSsrc_ && !params_.acceptOwnPackets) return;
    bool created;
    SourceInfo* s = FindOrCreate(pkt->GetSSRC(), in, now, created);
    if (!s) return;
    s->lastHeard = now;
    if (!s->rtpAddress) s->rtpAddress = AddressOf(in, false);
    const uint16_t seq = pkt->GetSequenceNumber();
    if (created) {
        s->baseSeq = seq;
        s->maxSeq = static_cast<uint16_t>(seq - 1);
        s->badSeq = kSeqMod + 1;
        s->probation = params_.probation ? kMinSequential : 0;
        OnNewSource(s);
    }
    const bool wasValidated = s->validated;
    const bool accepted = UpdateSequence(*s, seq);
    if (!wasValidated) {
        // Probation: keep the packets, hand them out once the source is valid.
        s->queue.push_back(std::move(pkt));
        if (s->queue.size() > kProbationStore) s->queue.pop_front();
        if (accepted) {
            s->validated = true;
            waiting_ += s->queue.size();
        }
        return;
    }
    if (!accepted) return;
    s->sentRtpSinceReport = true;
    pkt->SetExtendedSequenceNumber(s->cycles + seq);
    if (params_.ownTimestampUnit > 0) {
        double t = std::chrono::duration<double>(now.time_since_epoch()).count();
        auto arrival = static_cast<uint32_t>(static_cast<uint64_t>(t / params_.ownTimestampUnit));
        int64_t transit = static_cast<int32_t>(arrival - pkt->GetTimestamp());
        if (s->haveTransit) {
            double d = static_cast<double>(std::llabs(transit - s->lastTransit));
            s->jitter += (d - s->jitter) / 16.0;
        }
        s->lastTransit = transit;
        s->haveTransit = true;
    }
    s->queue.push_back(std::move(pkt));
    ++waiting_;
}

void Session::ProcessRtcp(const Incoming& in, Clock::time_point now) {
    const uint8_t* p = in.bytes.data();
    std::size_t left = in.bytes.size();
    avgRtcpSize_ = avgRtcpSize_ * 15.0 / 16.0 + (left + kHeaderOverhead) / 16.0;
    while (left >= 4) {
        if ((p[0] >> 6) != 2) return;
        const std::size_t len = (static_cast<std::size_t>(p[2] << 8 | p[3]) + 1) * 4;
        if (len > left) return;
        const uint8_t pt = p[1];
        const int count = p[0] & 0x1F;
        if ((pt == 200 || pt == 201) && len >= 8) {
            uint32_t ssrc = be32(p + 4);
            if (ssrc != ownSsrc_) {
                bool created;
                SourceInfo* s = FindOrCreate(ssrc, in, now, created);
                if (!s) {
                    p += len;
                    left -= len;
                    continue;
                }
                s->lastHeard = now;
                if (!s->rtcpAddress) s->rtcpAddress = AddressOf(in, true);
                if (created) OnNewSource(s);
                if (pt == 200 && len >= 28) {
                    s->lastSrNtp = be32(p + 8) << 16 | be32(p + 12) >> 16;
                    s->lastSrTime = now;
                    s->haveSr = true;
                }
            }
        } else if (pt == 203) {
            for (int i = 0; i < count && 4 + 4 * static_cast<std::size_t>(i) + 4 <= len; ++i) {
                uint32_t ssrc = be32(p + 4 + 4 * i);
                auto it = table_.find(ssrc);
                if (it == table_.end() || ssrc == ownSsrc_ || it->second.byeReceived) continue;
                it->second.byeReceived = true;
                it->second.byeTime = now;
                OnBYEPacket(&it->second);
            }
        }
        p += len;
        left -= len;
    }
}

void Session::CheckTimeouts(Clock::time_point now) {
    // A member is dropped after five deterministic intervals of silence, a
    // source that said BYE after one second; never while it has packets queued.
    const double silent = 5.0 * std::max(params_.minimumRtcpInterval, 1.0);
    for (auto it = table_.begin(); it != table_.end();) {
        auto& s = it->second;
        bool drop = false;
        if (s.queue.empty()) {
            if (s.byeReceived)
                drop = now - s.byeTime >= std::chrono::seconds(1);
            else
                drop = std::chrono::duration<double>(now - s.lastHeard).count() > silent;
        }
        if (drop) {
            OnRemoveSource(&s);
            if (current_ == it) current_ = table_.end();
            it = table_.erase(it);
        } else {
            ++it;
        }
    }
}

// RFC 3550 appendix A.7.
double Session::RtcpInterval(bool initial) {
    std::size_t members = 1, senders = 0;
    {
        std::lock_guard<std::mutex> l(sources_);
        members += table_.size();
        for (auto& [ssrc, s] : table_)
            if (s.sentRtpSinceReport) ++senders;
    }
    double bw = 0.05 * params_.sessionBandwidth;
    double n = static_cast<double>(members);
    if (senders <= members * 0.25) {
        bw *= 0.75;
        n -= static_cast<double>(senders);
    }
    double tmin = params_.minimumRtcpInterval;
    if (initial) tmin /= 2;
    double t = bw > 0 ? avgRtcpSize_ * n / bw : tmin;
    if (t < tmin) t = tmin;
    std::uniform_real_distribution<double> u(0.5, 1.5);
    return t * u(rng_) / (2.71828 - 1.5);
}

std::vector<uint8_t> Session::BuildReport(bool bye, const char* reason, std::size_t reasonLength) {
    std::vector<uint8_t> v;
    v.reserve(256);
    const auto now = Clock::now();
    {
        std::lock_guard<std::mutex> l(sources_);
        std::vector<SourceInfo*> heard;
        for (auto& [ssrc, s] : table_)
            if (s.validated && s.sentRtpSinceReport && heard.size() < 31) heard.push_back(&s);
        v.push_back(static_cast<uint8_t>(0x80 | heard.size()));
        v.push_back(201);
        put16(v, 0);
        put32(v, ownSsrc_);
        for (SourceInfo* s : heard) {
            uint32_t extMax = s->cycles + s->maxSeq;
            uint32_t expected = extMax - s->baseSeq + 1;
            uint32_t expInterval = expected - s->expectedPrior;
            uint32_t recInterval = s->received - s->receivedPrior;
            s->expectedPrior = expected;
            s->receivedPrior = s->received;
            int64_t lostInterval = static_cast<int64_t>(expInterval) - recInterval;
            uint8_t fraction = (expInterval == 0 || lostInterval <= 0)
                                   ? 0
                                   : static_cast<uint8_t>((lostInterval << 8) / expInterval);
            uint32_t lost = static_cast<uint32_t>(s->GetCumulativeLost()) & 0xFFFFFF;
            put32(v, s->ssrc);
            put32(v, static_cast<uint32_t>(fraction) << 24 | lost);
            put32(v, extMax);
            put32(v, s->GetJitter());
            uint32_t dlsr = 0;
            if (s->haveSr)
                dlsr = static_cast<uint32_t>(
                    std::chrono::duration<double>(now - s->lastSrTime).count() * 65536.0);
            put32(v, s->haveSr ? s->lastSrNtp : 0);
            put32(v, dlsr);
            s->sentRtpSinceReport = false;
        }
    }
    setLength(v, 0);

    std::size_t sdes = v.size();
    v.push_back(0x81);
    v.push_back(202);
    put16(v, 0);
    put32(v, ownSsrc_);
    v.push_back(1); // CNAME
    v.push_back(static_cast<uint8_t>(params_.cname.size()));
    v.insert(v.end(), params_.cname.begin(), params_.cname.end());
    v.push_back(0); // end of the item list
    while (v.size() % 4)
        v.push_back(0);
    setLength(v, sdes);

    if (bye) {
        std::size_t b = v.size();
        v.push_back(0x81);
        v.push_back(203);
        put16(v, 0);
        put32(v, ownSsrc_);
        if (reason && reasonLength > 0) {
            reasonLength = std::min<std::size_t>(reasonLength, 255);
            v.push_back(static_cast<uint8_t>(reasonLength));
            v.insert(v.end(), reason, reason + reasonLength);
            while (v.size() % 4)
                v.push_back(0);
        }
        setLength(v, b);
    }
    return v;
}

void Session::SendReport() {
    auto r = BuildReport(false, nullptr, 0);
    avgRtcpSize_ = avgRtcpSize_ * 15.0 / 16.0 + (r.size() + kHeaderOverhead) / 16.0;
    std::shared_lock<std::shared_mutex> l(life_);
    if (!transmitter_) return;
    ++rtcpSent_; // counted first: a reader may see the report before this line runs
    transmitter_->SendRtcp(r.data(), r.size());
}

} // namespace tvrtp
