#pragma once
// Media receiver: an RTP session over UDP or TCP (connecting or listening)
// whose receive thread joins packets into frames, cuts the video elementary
// stream out of each frame's program stream and hands it to a frame callback.

#include "base/CThread.h"
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/rtp/RtpSession.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Called on the receive thread m_hRecv for every completed frame:
// user is the value given with the callback (the main dialog), frame the
// demultiplexed video bytes, length their count (0 for a frame without video).
// The bytes are valid only during the call.
using RTPFrameCallback = void (*)(void* user, unsigned char* frame, int32_t length);

class CRTPSession : public tvrtp::Session {
public:
    static constexpr std::size_t kOutputSize = 524288;

    CRTPSession();
    ~CRTPSession() override;

    // Transport index: 0 UDP, 1 TCP connecting to address:port+2, 2..4 TCP
    // listening on port. Returns 1 when set up, 0 for port 0 or a failed TCP
    // destination, -1 when the session could not be created.
    int32_t RTP_Setup(uint16_t port, int32_t transport, const char* address, int32_t clockRate);
    // Closes the transport and ends the session (with an RTCP BYE). Safe to call twice.
    void RTP_Teardown();

    // Sets or clears (null) the frame callback and the value passed back to it.
    void SetFrameCallback(RTPFrameCallback cb, void* user) {
        m_pUser.store(user);
        m_pfnFrame.store(cb);
    }

    // Local IPv4 address (host order) the UDP sockets bind to; 0, the default,
    // is any address. Set before RTP_Setup.
    void SetLocalAddress(uint32_t ip) { m_nLocalIP = ip; }

    int32_t LastOutputLength() const { return m_nLastOutLen.load(); }
    int32_t TransportIndex() const { return m_nTransport; }
    uint16_t Port() const { return m_nPort; }
    // Connections accepted in listening mode so far.
    std::size_t AcceptedCount();
    // Whether the transport came up: the UDP session, the TCP connection to the
    // device, or the listening socket.
    bool TransportReady() const { return m_bReady.load(); }

    CThread m_hRecv;
    std::atomic<void*> m_pUser{nullptr};
    std::atomic<RTPFrameCallback> m_pfnFrame{nullptr};

protected:
    void OnNewSource(tvrtp::SourceInfo* src) override;
    void OnRemoveSource(tvrtp::SourceInfo* src) override;
    void OnBYEPacket(tvrtp::SourceInfo* src) override;

private:
    static void RecvLoop(CThread* t);
    static void AcceptLoop(CThread* t);
    // Takes at most one packet from the first source with data.
    void ReceiveStep();
    void HandlePacket(const tvrtp::Packet& p);
    bool DestinationOf(tvrtp::SourceInfo* src, tvrtp::Ipv4Address& out) const;

    std::mutex m_demuxLock; // the receive thread's packet work against Clear at teardown
    CHbRtpDemux m_rtpDemux;
    CHbPSDemux m_psDemux;
    std::vector<uint8_t> m_out; // the demultiplexer's output; grows with the frame
    std::atomic<int32_t> m_nLastOutLen{0};
    int32_t m_nTransport = 0;
    CThread m_hRecvTCP;
    tvrtp::SessionParams m_params;
    tvrtp::TcpTransmitter m_tcp;
    int m_sock = -1;     // the bound socket that connects or listens
    int m_accepted = -1; // the last accepted connection
    std::mutex m_acceptLock;
    std::vector<int> m_acceptedAll; // every accepted connection, closed at teardown
    uint16_t m_nPort = 0;
    uint32_t m_nPeer = 0; // host order
    uint32_t m_nLocalIP = 0;
    std::atomic<bool> m_bReady{false};
};
