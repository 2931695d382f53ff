#include "media/recv/CRTPSession.h"

#include "base/Socket.h"

#include <arpa/inet.h>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Upper bound of one wait for a packet: how soon the thread sees its flag cleared.
constexpr auto kRecvWait = std::chrono::milliseconds(20);
constexpr int kAcceptWaitMs = 50;

void shutClose(int& fd) {
    if (fd < 0) return;
    ::shutdown(fd, SHUT_WR);
    CloseSocket(fd);
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

int32_t CRTPSession::RTP_Setup(uint16_t port, int32_t transport, const char* address,
                               int32_t clockRate) {
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

    int status = 0;
    if (transport > 0) {
        m_tcp.Init(true);
        m_tcp.Create(65535);
        if (Create(m_params, &m_tcp) < 0) return -1;
        try {
            m_sock = CreateTcpSocket(port);
        } catch (const Exception&) {
            m_sock = -1;
        }
        if (transport == 1) {
            m_bReady = ConnectWithTimeout(m_sock, address, port + 2) == 0;
            // Added whatever the outcome: a failed connection just brings nothing.
            status = AddDestination(tvrtp::TcpAddress(m_sock)) < 0 ? -1 : 0;
        } else {
            m_bReady = m_sock >= 0 && ::listen(m_sock, 5) == 0;
            m_hRecvTCP.Stop();
            m_hRecvTCP.Start("m_hRecvTCP", this);
        }
    } else {
        tvrtp::UdpTransmissionParams udp;
        udp.portBase = port;
        udp.rtpReceiveBuffer = 65536;
        udp.bindIP = m_nLocalIP;
        if (Create(m_params, udp) < 0) return -1;
        in_addr a{};
        m_nPeer = (address && ::inet_pton(AF_INET, address, &a) == 1) ? ntohl(a.s_addr) : 0;
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
        for (int& fd : m_acceptedAll)
            shutClose(fd);
        m_acceptedAll.clear();
        m_accepted = -1;
        shutClose(m_sock);
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
    return m_acceptedAll.size();
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
    BeginDataAccess();
    if (GotoFirstSourceWithData()) p = GetNextPacket();
    EndDataAccess();
    if (!p) {
        WaitForData(kRecvWait);
        return;
    }
    HandlePacket(*p);
    DeletePacket(std::move(p));
}

void CRTPSession::HandlePacket(const tvrtp::Packet& p) {
    std::lock_guard<std::mutex> l(m_demuxLock);
    RTPFrameCallback cb = m_pfnFrame.load();
    if (!cb || p.GetPacketLength() == 0) return;
    uint8_t* frame = nullptr;
    int32_t length = 0;
    if (!m_rtpDemux.InputRtp(p, &frame, &length)) return;
    if (m_out.size() < static_cast<std::size_t>(length)) m_out.resize(length);
    int32_t n = m_psDemux.Demux(frame, length, m_out.data());
    m_nLastOutLen = n;
    cb(m_pUser.load(), m_out.data(), n);
}

void CRTPSession::AcceptLoop(CThread* t) {
    auto* self = static_cast<CRTPSession*>(t->argument);
    while (t->running) {
        if (self->m_sock < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWaitMs));
            continue;
        }
        pollfd p{self->m_sock, POLLIN, 0};
        if (::poll(&p, 1, kAcceptWaitMs) <= 0 || !(p.revents & POLLIN)) continue;
        int fd = ::accept4(self->m_sock, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        self->AddDestination(tvrtp::TcpAddress(fd));
        std::lock_guard<std::mutex> l(self->m_acceptLock);
        self->m_acceptedAll.push_back(fd);
        self->m_accepted = fd;
    }
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
