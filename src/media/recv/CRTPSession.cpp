#include "media/recv/CRTPSession.h"

#include "base/Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Upper bound of one wait for a packet: how soon the thread sees its flag cleared.
constexpr auto kRecvWait = std::chrono::milliseconds(20);
constexpr int kAcceptWaitMs = 50;
// Connections waiting to be accepted: a device that calls during a flood of
// others is not dropped at the door while the accept thread catches up.
constexpr int kListenBacklog = 64;
// Pause between accept tries while the process is out of descriptors.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// A connection without input for this long may make room for a newcomer.
constexpr auto kIdleBeforeReplace = std::chrono::seconds(1);
// A followed source silent for this long gives way to any other.
constexpr auto kSilenceBeforeSwitch = std::chrono::seconds(1);

void shutClose(int& fd) {
    if (fd < 0) return;
    ::shutdown(fd, SHUT_WR);
    CloseSocket(fd);
}

int openSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

uint32_t peerIp(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0 || a.sin_family != AF_INET)
        return 0;
    return ntohl(a.sin_addr.s_addr);
}

} // namespace

CRTPSession::CRTPSession() : m_out(kOutputSize) {
    m_hRecv.routine = &CRTPSession::RecvLoop;
    m_hRecvTCP.routine = &CRTPSession::AcceptLoop;
}

CRTPSession::~CRTPSession() {
    RTP_Teardown();
    m_hRecv.Stop();
    m_hRecvTCP.Stop();
}

// Taken by the receive thread with its next packet: no lock is shared with
// the caller.
void CRTPSession::SetStreamFormat(uint8_t pt, Format format) {
    m_format = format;
    m_payloadType = pt & 0x7F;
}

void CRTPSession::SetExpectedSsrc(std::optional<uint32_t> ssrc) {
    m_expected = ssrc.value_or(0);
    m_haveExpected = ssrc.has_value();
}

int32_t CRTPSession::RTP_Setup(uint16_t port, int32_t transport, const char* address,
                               int32_t clockRate, uint16_t remotePort) {
    if (port == 0) {
        std::printf("%s: Invalid CMediaSession::RTPPort\n", "CRTPSession::RTP_Setup");
        std::fflush(stdout);
        return 0;
    }
    m_nPort = port;
    m_nTransport = transport;
    m_params = tvrtp::SessionParams{};
    m_params.ownTimestampUnit = 1.0 / (clockRate > 0 ? clockRate : 90000);
    m_params.usePollThread = true;
    m_params.maxSources = kMaxSources;
    in_addr a{};
    m_nPeer = (address && ::inet_pton(AF_INET, address, &a) == 1) ? ntohl(a.s_addr) : 0;
    m_haveSsrc = false;
    m_haveReplaced = false;
    m_streamType = 0;
    m_sawMap = false;
    m_haveFrameTimestamp = false;
    m_framing = tvrtp::TcpFraming::Unknown;
    {
        std::lock_guard<std::mutex> c(m_countLock);
        m_frameClock = FrameClock{};
        m_keys = KeyPictureCounts{};
        m_jitter.Reset();
        m_jitter.SetClockRate(clockRate > 0 ? static_cast<uint32_t>(clockRate) : 90000);
    }
    m_setupError.clear();

    int status = 0;
    if (transport > 0) {
        m_tcp.Init(true);
        m_tcp.Create(65535);
        if (Create(m_params, &m_tcp) < 0) return -1;
        try {
            m_sock = CreateTcpSocket(port);
            if (m_sock < 0)
                m_setupError =
                    "cannot open TCP port " + std::to_string(port) + ": " + std::strerror(errno);
        } catch (const Exception& e) {
            m_sock = -1;
            m_setupError = "cannot open TCP port " + std::to_string(port) + ": " + e.message;
        }
        m_reconnections = 0;
        m_dropped = false;
        {
            std::lock_guard<std::mutex> l(m_acceptLock);
            m_dropNote.clear();
        }
        if (transport == 1) {
            const int to = remotePort ? remotePort : port + 2;
            m_connectAddress = address ? address : "";
            m_connectPort = to;
            m_bReady = m_sock >= 0 && ConnectWithTimeout(m_sock, address, to) == 0;
            // Added whatever the outcome: a failed connection just brings nothing.
            status = AddDestination(tvrtp::TcpAddress(m_sock)) < 0 ? -1 : 0;
            // A failed first connection is tried again, as a dropped one is.
            m_reconnectLeft = m_bReady ? 0 : kReconnectTries;
            m_hRecvTCP.Stop();
            m_hRecvTCP.routine = &CRTPSession::ReconnectLoop;
            m_hRecvTCP.Start("m_hRecvTCP", this);
        } else {
            m_bReady = m_sock >= 0 && ::listen(m_sock, kListenBacklog) == 0;
            if (m_sock >= 0 && !m_bReady)
                m_setupError =
                    "cannot listen on TCP port " + std::to_string(port) + ": " + std::strerror(errno);
            if (m_spare < 0) m_spare = openSpare();
            m_hRecvTCP.Stop();
            m_hRecvTCP.routine = &CRTPSession::AcceptLoop;
            m_hRecvTCP.Start("m_hRecvTCP", this);
        }
    } else {
        tvrtp::UdpTransmissionParams udp;
        udp.portBase = port;
        udp.rtpReceiveBuffer = kUdpReceiveBuffer;
        udp.bindIP = m_nLocalIP;
        if (Create(m_params, udp) < 0) {
            const int why = errno;
            m_setupError = "cannot open UDP port " + std::to_string(port) + " or " +
                           std::to_string(port + 1) + ": " + std::strerror(why);
            return -1;
        }
        // Linux reports twice what it keeps for the data.
        const int granted = GetUdpReceiveBuffer() / 2;
        if (granted < kUdpReceiveBuffer)
            std::fprintf(stderr,
                         "CRTPSession: UDP receive buffer of port %u is %d bytes, not the %d asked "
                         "for (raise net.core.rmem_max)\n",
                         port, granted, kUdpReceiveBuffer);
        if (AddDestination(tvrtp::Ipv4Address(m_nPeer, port, static_cast<uint16_t>(port + 1))) < 0)
            return -1;
        m_bReady = true;
    }
    SetDefaultMark(false);
    SetDefaultPayloadType(96);
    SetMaximumPacketSize(1460);
    m_hRecv.Stop();
    m_hRecv.Start("m_hRecv", this);
    return status >= 0 ? 1 : 0;
}

void CRTPSession::RTP_Teardown() {
    // The accept thread goes first: it must not add a socket that is being closed.
    m_hRecvTCP.Stop();
    // The BYE goes out while the destinations are still there; it also stops
    // the poll thread, so no socket below is closed under its reads.
    if (IsActive()) BYEDestroy(std::chrono::seconds(1), nullptr, 0);
    if (m_nTransport > 0) {
        std::lock_guard<std::mutex> l(m_acceptLock);
        for (Connection& c : m_conns)
            shutClose(c.fd);
        m_conns.clear();
        shutClose(m_sock);
        CloseSocket(m_spare);
        m_tcp.Destroy();
    }
    {
        std::lock_guard<std::mutex> l(m_demuxLock);
        m_rtpDemux.Clear();
    }
    ClearDestinations();
    m_bReady = false;
}

std::size_t CRTPSession::AcceptedCount() {
    std::lock_guard<std::mutex> l(m_acceptLock);
    return m_conns.size();
}

bool CRTPSession::CurrentSsrc(uint32_t& ssrc) const {
    ssrc = m_ssrc.load();
    return m_haveSsrc.load();
}

SequenceFigures CRTPSession::RtpCounts() const {
    std::lock_guard<std::mutex> l(m_countLock);
    return m_count.Figures();
}

CRTPSession::KeyPictureCounts CRTPSession::KeyPictures() const {
    std::lock_guard<std::mutex> l(m_countLock);
    return m_keys;
}

std::optional<double> CRTPSession::JitterMilliseconds() const {
    std::lock_guard<std::mutex> l(m_countLock);
    if (!m_jitter.Known()) return std::nullopt;
    return m_jitter.Milliseconds();
}

CRTPSession::FrameClock CRTPSession::VideoFrameClock() const {
    std::lock_guard<std::mutex> l(m_countLock);
    return m_frameClock;
}

void CRTPSession::RecvLoop(CThread* t) {
    auto* self = static_cast<CRTPSession*>(t->argument);
    while (t->running) {
        self->ReceiveStep();
    }
}

void CRTPSession::ReceiveStep() {
    // A blocking wait on the poll thread's signal replaces a busy spin; the
    // packet is handled outside the data-access bracket so that the poll
    // thread keeps reading the socket while a frame is decoded.
    std::unique_ptr<tvrtp::Packet> p;
    bool restart = false;
    const auto now = Clock::now();
    BeginDataAccess();
    // The followed source first, so that its last packets come before a
    // successor's first.
    if (m_haveSsrc && GotoSource(m_ssrc)) p = GetNextPacket();
    if (!p && GotoFirstSourceWithData()) {
        do {
            const tvrtp::SourceInfo* s = GetCurrentSourceInfo();
            if (m_haveSsrc && s->GetSSRC() == m_ssrc) continue;
            // Only a packet of the stream's payload type can make its source
            // the followed one; anything else of another source is dropped.
            const uint8_t pt = m_payloadType.load();
            while (auto q = GetNextPacket()) {
                if (q->GetPayloadType() != pt) continue;
                if (m_haveSsrc && !TakesOver(*s, now)) continue;
                restart = m_haveSsrc;
                m_haveReplaced = m_haveSsrc;
                m_replaced = m_ssrc;
                m_ssrc = s->GetSSRC();
                m_ssrcIp = SenderIp(*s);
                const tvrtp::Address* a = s->GetRTPDataAddress();
                m_ssrcSocket = a && a->GetKind() == tvrtp::Address::Kind::TCP
                                   ? static_cast<const tvrtp::TcpAddress*>(a)->GetSocket()
                                   : -1;
                m_haveSsrc = true;
                p = std::move(q);
                break;
            }
            if (p) break;
        } while (GotoNextSourceWithData());
    }
    EndDataAccess();
    // A new followed source: the framing of its connection, known from the
    // connection's first bytes (asked outside the data bracket: the poll
    // thread takes the transmitter's lock first).
    if (p && (restart || m_framing.load() == tvrtp::TcpFraming::Unknown) && m_ssrcSocket >= 0)
        m_framing = m_tcp.FramingOf(m_ssrcSocket);
    if (!p) {
        WaitForData(kRecvWait);
        const auto after = Clock::now();
        if (after - m_ssrcLast >= kIdleInterval && after - m_lastIdle >= kIdleInterval) {
            m_lastIdle = after;
            if (RTPIdleCallback idle = m_pfnIdle.load()) idle(m_pIdleUser.load());
        }
        return;
    }
    m_ssrcLast = now;
    HandlePacket(std::move(p), restart);
}

// Whether another source replaces the followed one (see the header).
bool CRTPSession::TakesOver(const tvrtp::SourceInfo& src, Clock::time_point now) const {
    if (now - m_ssrcLast >= kSilenceBeforeSwitch) return true;
    // The answer's SSRC wins, and keeps what it won.
    if (m_haveExpected) {
        if (src.GetSSRC() == m_expected.load()) return true;
        if (m_ssrc.load() == m_expected.load()) return false;
    }
    if (m_haveReplaced && src.GetSSRC() == m_replaced) return false;
    const tvrtp::Address* a = src.GetRTPDataAddress();
    if (m_ssrcSocket >= 0 && a && a->GetKind() == tvrtp::Address::Kind::TCP &&
        static_cast<const tvrtp::TcpAddress*>(a)->GetSocket() == m_ssrcSocket)
        return true;
    const uint32_t ip = SenderIp(src);
    if (ip && ip == m_ssrcIp) return true;
    return m_nPeer && ip == m_nPeer && m_ssrcIp != m_nPeer;
}

uint32_t CRTPSession::SenderIp(const tvrtp::SourceInfo& src) const {
    const tvrtp::Address* a = src.GetRTPDataAddress();
    if (!a) a = src.GetRTCPDataAddress();
    if (!a) return 0;
    if (a->GetKind() == tvrtp::Address::Kind::IPv4)
        return static_cast<const tvrtp::Ipv4Address*>(a)->GetIP();
    const int fd = static_cast<const tvrtp::TcpAddress*>(a)->GetSocket();
    std::lock_guard<std::mutex> l(m_acceptLock);
    for (const Connection& c : m_conns)
        if (c.fd == fd) return c.ip;
    return fd == m_sock && m_nTransport == 1 ? m_nPeer : 0;
}

bool CRTPSession::IsPreferredSource(const tvrtp::SourceInfo& src) const {
    if (m_haveSsrc && src.GetSSRC() == m_ssrc) return true;
    if (m_haveExpected && src.GetSSRC() == m_expected) return true;
    return m_nPeer && SenderIp(src) == m_nPeer;
}

void CRTPSession::HandlePacket(std::unique_ptr<tvrtp::Packet> p, bool restart) {
    {
        std::lock_guard<std::mutex> c(m_countLock);
        m_count.Add(p->GetSSRC(), p->GetSequenceNumber());
        m_jitter.Add(p->GetSSRC(), p->GetTimestamp(), p->GetArrival());
    }
    std::lock_guard<std::mutex> l(m_demuxLock);
    RTPFrameCallback cb = m_pfnFrame.load();
    if (restart) {
        // Another SSRC: the old source's last frame is complete, and the new
        // one's frames are joined from its own first packet on.
        // Every frame held of the old one goes out, missing packets or not.
        while (m_rtpDemux.PendingPackets() > 0)
            if (m_rtpDemux.Finish() && cb) DeliverFrame(cb);
        m_sawMap = false;
        m_audioType = 0;
    }
    if (!cb || p->GetPacketLength() == 0) return;
    if (const uint8_t pt = m_payloadType.load(); m_rtpDemux.PayloadType() != pt)
        m_rtpDemux.SetPayloadType(pt);
    m_lastArrival = p->GetArrival();
    // A late packet may complete its frame and those held behind it.
    if (m_rtpDemux.InputRtp(std::move(p))) {
        DeliverFrame(cb);
        while (m_rtpDemux.NextFrame())
            DeliverFrame(cb);
    }
}

void CRTPSession::DeliverFrame(RTPFrameCallback cb) {
    const std::size_t length = m_rtpDemux.FrameLength();
    const Format format = m_format.load();
    int32_t n = 0;
    if (format == Format::Ps) {
        if (m_out.size() < length) m_out.resize(length);
        if (RTPRawCallback raw = m_pfnRaw.load())
            for (const CHbRtpDemux::Piece& piece : m_rtpDemux.FramePieces())
                raw(m_pRawUser.load(), piece.data(), piece.size());
        const RTPAudioCallback audio = m_pfnAudio.load();
        m_psDemux.SetCollectAudio(audio != nullptr);
        n = m_psDemux.Demux(m_rtpDemux.FramePieces(), m_out.data());
        NoteStreamType(n);
        if (const uint8_t t = m_psDemux.MapAudioStreamType()) m_audioType = t;
        if (audio && !m_psDemux.AudioPayload().empty())
            audio(m_pAudioUser.load(), m_audioType, m_psDemux.AudioPayload().data(),
                  m_psDemux.AudioPayload().size());
    } else {
        const auto& pieces = m_rtpDemux.FramePieces();
        const std::size_t bound = NalDepacketizer::OutputBound(length, pieces.size());
        if (m_out.size() < bound) m_out.resize(bound);
        m_nal.SetCodec(format == Format::H265 ? NalCodec::H265 : NalCodec::H264);
        n = m_nal.Depacketize(pieces, m_out.data());
        m_streamType = format == Format::H265 ? kStreamTypeH265 : kStreamTypeH264;
    }
    m_nLastOutLen = n;
    m_frameTimestamp = m_rtpDemux.FrameTimestamp();
    m_haveFrameTimestamp = true;
    if (n > 0) {
        std::lock_guard<std::mutex> c(m_countLock);
        m_frameClock.timestamp = m_rtpDemux.FrameTimestamp();
        const Clock::time_point now = Clock::now();
        m_frameClock.at = m_lastArrival == Clock::time_point{} || m_lastArrival > now
                              ? now
                              : m_lastArrival;
        const auto waited = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - m_frameClock.at).count());
        m_frameClock.waitUs += waited;
        m_frameClock.longestWaitUs = std::max(m_frameClock.longestWaitUs, waited);
        if (m_frameClock.frames++ == 0) {
            m_frameClock.firstTimestamp = m_frameClock.timestamp;
            m_frameClock.firstAt = m_frameClock.at;
        }
        if (CHbPSDemux::HasKeyPicture(m_out.data(), n, m_streamType.load())) {
            const uint8_t heads = m_psDemux.HeadsBeforeVideo();
            const uint32_t ts = m_frameClock.timestamp;
            if (m_keys.keys > 0) {
                const uint32_t d = ts - m_keys.lastKeyTimestamp;
                if (d > 0 && d <= kKeyIntervalRestart) {
                    m_keys.shortestTicks =
                        m_keys.intervals == 0 ? d : std::min(m_keys.shortestTicks, d);
                    m_keys.longestTicks = std::max(m_keys.longestTicks, d);
                    ++m_keys.intervals;
                }
            }
            m_keys.lastKeyTimestamp = ts;
            ++m_keys.keys;
            m_keys.withoutPack += !(heads & CHbPSDemux::kPackHeader);
            m_keys.withoutSystem += !(heads & CHbPSDemux::kSystemHeader);
            m_keys.withoutMap += !(heads & CHbPSDemux::kStreamMap);
            const uint8_t mapType = m_psDemux.MapStreamType();
            const uint8_t esType = CHbPSDemux::SniffStreamType(m_out.data(), n);
            if (mapType) m_keys.mapType = mapType;
            if (esType) m_keys.esType = esType;
            m_keys.typeMismatch += mapType && esType && mapType != esType;
        }
    }
    cb(m_pUser.load(), m_out.data(), n);
}

void CRTPSession::NoteStreamType(int32_t outputLength) {
    if (uint8_t t = m_psDemux.MapStreamType()) {
        m_sawMap = true;
        m_streamType = t;
    } else if (!m_sawMap && outputLength > 0) {
        if (uint8_t t = CHbPSDemux::SniffStreamType(m_out.data(), outputLength)) m_streamType = t;
    }
}

void CRTPSession::AcceptLoop(CThread* t) {
    auto* self = static_cast<CRTPSession*>(t->argument);
    while (t->running)
        self->AcceptOne(t);
}

void CRTPSession::AcceptOne(CThread* t) {
    SayDropNote(t, false);
    if (m_sock < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWaitMs));
        return;
    }
    pollfd pl{m_sock, POLLIN, 0};
    if (::poll(&pl, 1, kAcceptWaitMs) <= 0 || !(pl.revents & POLLIN)) return;
    int fd = ::accept4(m_sock, nullptr, nullptr, SOCK_CLOEXEC);
    bool atLimit = false;
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && m_spare >= 0) {
        // Out of descriptors: the spare one lets the caller in to be looked
        // at; it stays only if it may replace an idle connection.
        CloseSocket(m_spare);
        fd = ::accept4(m_sock, nullptr, nullptr, SOCK_CLOEXEC);
        atLimit = true;
    }
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Nothing to make room with: wait instead of spinning on the
            // pending connection.
            for (auto waited = std::chrono::milliseconds(0); t->running && waited < kAcceptBackoff;
                 waited += std::chrono::milliseconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (m_spare < 0) m_spare = openSpare();
        return;
    }
    const uint32_t ip = peerIp(fd);
    const bool fromDevice = m_nPeer && ip == m_nPeer;
    const auto activity = m_tcp.LastInputs();
    bool keep = true;
    {
        std::lock_guard<std::mutex> l(m_acceptLock);
        // Every descriptor held counts, those that the poll thread is about to
        // hand back (no destination any more) included; they go first.
        std::size_t at = m_conns.size();
        const auto now = Clock::now();
        auto oldest = now;
        for (std::size_t i = 0; i < m_conns.size(); ++i) {
            auto it = activity.find(m_conns[i].fd);
            const auto last = it == activity.end() ? Clock::time_point{} : it->second;
            if (at == m_conns.size() || last < oldest) {
                oldest = last;
                at = i;
            }
        }
        if (atLimit || m_conns.size() >= kMaxConnections) {
            // The longest idle connection makes room: idle for a while, or
            // any for the device.
            if (at < m_conns.size() && (fromDevice || now - oldest >= kIdleBeforeReplace)) {
                DeleteDestination(tvrtp::TcpAddress(m_conns[at].fd));
                shutClose(m_conns[at].fd);
                m_conns.erase(m_conns.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                keep = false;
            }
        }
        if (keep) {
            // Under the lock: OnConnectionClosed for an old connection of the
            // same descriptor number must find this one a destination.
            m_conns.push_back({fd, ip});
            AddDestination(tvrtp::TcpAddress(fd));
        }
    }
    if (keep && (m_nPeer == 0 || ip == m_nPeer) && m_dropped.exchange(false)) {
        SayDropNote(t, true);
        ++m_reconnections;
        in_addr a{};
        a.s_addr = htonl(ip);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &a, text, sizeof text);
        Note("media connection on TCP port " + std::to_string(m_nPort) + " accepted again from " +
             text);
    }
    if (!keep) {
        CloseSocket(fd); // no room: the caller is turned away
        for (auto waited = std::chrono::milliseconds(0);
             atLimit && t->running && waited < kAcceptBackoff;
             waited += std::chrono::milliseconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_spare < 0) m_spare = openSpare();
}

void CRTPSession::OnConnectionClosed(int socket) {
    std::string said;
    {
        std::lock_guard<std::mutex> l(m_acceptLock);
        // The number may already belong to a newer connection (the old one was
        // closed here to make room): that one is a destination and stays.
        if (m_tcp.LastInputs().count(socket)) return;
        for (auto it = m_conns.begin(); it != m_conns.end(); ++it) {
            if (it->fd != socket) continue;
            const uint32_t ip = it->ip;
            shutClose(it->fd);
            m_conns.erase(it);
            // The device's connection went and no other of its own is left.
            const bool device = m_nPeer == 0 || ip == m_nPeer;
            const bool another = std::any_of(m_conns.begin(), m_conns.end(), [&](const Connection& c) {
                return m_nPeer == 0 || c.ip == m_nPeer;
            });
            if (device && !another && !m_dropped.exchange(true))
                said = "media connection on TCP port " + std::to_string(m_nPort) +
                       " closed by the device; waiting for it to connect again";
            break;
        }
        if (m_nTransport == 1 && socket == m_sock) {
            shutClose(m_sock);
            if (m_bReady.exchange(false)) {
                m_reconnectLeft = kReconnectTries;
                said = "media connection to " + m_connectAddress + ":" +
                       std::to_string(m_connectPort) + " dropped; connecting again";
            }
        }
    }
    if (!said.empty()) DeferDropNote(std::move(said));
}

void CRTPSession::DeferDropNote(std::string text) {
    std::lock_guard<std::mutex> l(m_acceptLock);
    m_dropNote = std::move(text);
    m_dropAt = std::chrono::steady_clock::now();
}

void CRTPSession::SayDropNote(CThread* t, bool now) {
    std::string said;
    {
        std::lock_guard<std::mutex> l(m_acceptLock);
        if (m_dropNote.empty() || !t->running) return;
        if (!now && std::chrono::steady_clock::now() - m_dropAt < kDropSayDelay) return;
        std::swap(said, m_dropNote);
    }
    Note(said);
}

void CRTPSession::Note(const std::string& text) {
    if (RTPTransportCallback cb = m_pfnTransport.load()) cb(m_pTransportUser.load(), text);
}

void CRTPSession::ReconnectLoop(CThread* t) {
    auto* self = static_cast<CRTPSession*>(t->argument);
    while (t->running)
        self->ReconnectOne(t);
}

// One try after kReconnectInterval, from the receiver port again (the device
// may only accept the port the offer named), to the same address and port.
void CRTPSession::ReconnectOne(CThread* t) {
    if (m_reconnectLeft.load() <= 0) {
        SayDropNote(t, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWaitMs));
        return;
    }
    for (auto waited = std::chrono::milliseconds(0); t->running && waited < kReconnectInterval;
         waited += std::chrono::milliseconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!t->running) return;
    SayDropNote(t, true);
    const int left = --m_reconnectLeft;
    {
        // A failed first socket may still be a destination: it goes first.
        std::lock_guard<std::mutex> l(m_acceptLock);
        if (m_sock >= 0) {
            DeleteDestination(tvrtp::TcpAddress(m_sock));
            shutClose(m_sock);
        }
    }
    int fd = -1;
    try {
        fd = CreateTcpSocket(m_nPort);
    } catch (const Exception&) {
        fd = -1;
    }
    // A short wait per try, so that a stop never waits long for it.
    const bool up = fd >= 0 && ConnectWithTimeout(fd, m_connectAddress.c_str(), m_connectPort,
                                                  static_cast<int>(kReconnectInterval.count())) == 0;
    const std::string to = m_connectAddress + ":" + std::to_string(m_connectPort);
    if (!up) {
        CloseSocket(fd);
        if (left <= 0)
            Note("media connection to " + to + " not re-established after " +
                 std::to_string(kReconnectTries) + " tries, " +
                 std::to_string(kReconnectInterval.count() / 1000) + " s apart");
        return;
    }
    {
        std::lock_guard<std::mutex> l(m_acceptLock);
        m_sock = fd;
        if (AddDestination(tvrtp::TcpAddress(m_sock)) < 0) {
            shutClose(m_sock);
            return;
        }
        m_reconnectLeft = 0;
        m_bReady = true;
    }
    ++m_reconnections;
    Note("media connection to " + to + " re-established (try " +
         std::to_string(kReconnectTries - left) + ")");
}

bool CRTPSession::DestinationOf(tvrtp::SourceInfo* src, tvrtp::Ipv4Address& out) const {
    if (!src || src->IsOwnSSRC() || src->GetSSRC() == GetLocalSSRC()) return false;
    const tvrtp::Address* a = src->GetRTPDataAddress();
    uint16_t port;
    if (a && a->GetKind() == tvrtp::Address::Kind::IPv4) {
        port = static_cast<const tvrtp::Ipv4Address*>(a)->GetPort();
    } else {
        a = src->GetRTCPDataAddress();
        if (!a || a->GetKind() != tvrtp::Address::Kind::IPv4) return false;
        port = static_cast<uint16_t>(static_cast<const tvrtp::Ipv4Address*>(a)->GetPort() - 1);
    }
    uint32_t ip = static_cast<const tvrtp::Ipv4Address*>(a)->GetIP();
    out = tvrtp::Ipv4Address(ip, port, static_cast<uint16_t>(port + 1));
    return true;
}

void CRTPSession::OnNewSource(tvrtp::SourceInfo* src) {
    tvrtp::Ipv4Address d;
    if (DestinationOf(src, d)) AddDestination(d);
}

void CRTPSession::OnBYEPacket(tvrtp::SourceInfo* src) {
    tvrtp::Ipv4Address d;
    if (DestinationOf(src, d)) DeleteDestination(d);
}

void CRTPSession::OnRemoveSource(tvrtp::SourceInfo* src) {
    tvrtp::Ipv4Address d;
    if (src && !src->ReceivedBYE() && DestinationOf(src, d)) DeleteDestination(d);
}
