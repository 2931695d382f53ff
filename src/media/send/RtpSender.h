#pragma once
// Sending side of a camera's stream: RTP packets of payload type 96 carrying
// one program-stream pack per timestamp, over UDP, or over one TCP connection
// that we open (connecting) or accept (listening). On TCP every packet is
// preceded by its 16-bit big-endian length (RFC 4571), or, as some devices
// wrongly do, by the RTSP interleaved header '$', channel 0 and the length.
//
// One RtpSender belongs to one stream thread; Cancel may be called from any
// thread to end a wait for the connection.

#include "base/Socket.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvsend {

enum class MediaTransport { Udp, TcpConnect, TcpListen };
enum class TcpFraming { Rfc4571, Dollar };

struct SenderConfig {
    MediaTransport transport = MediaTransport::Udp;
    TcpFraming framing = TcpFraming::Rfc4571;
    std::string localIp;   // bind address; empty: any
    uint16_t localPort = 0; // UDP: even port of RTP (RTCP on +1); TCP listen: the port; 0 picks one
    std::string remoteIp;   // UDP destination, or the address to connect to
    uint16_t remotePort = 0;
    uint32_t ssrc = 0;
    uint8_t payloadType = 96;
    std::size_t maxPayload = 1400;
    // UDP: bytes sent before a 1 ms pause, so that a large key frame does not
    // overrun a receiver's socket buffer; 0 sends without pauses.
    std::size_t burstBytes = 16000;
    // Every skipEvery-th packet's sequence number is one further on than it
    // should be (a sequence gap with no payload lost); 0 never.
    uint32_t skipEvery = 0;
    // Every reorderEvery-th pack sends its last two packets swapped; 0 never.
    uint32_t reorderEvery = 0;
    // Every lateEvery-th pack's last packet goes out after the next pack's
    // first (late across a timestamp); 0 never.
    uint32_t lateEvery = 0;
};

// Cuts one pack into RTP packets (RFC 3550 fixed header, no CSRC, no
// extension); the last packet carries the marker bit. seq advances per packet.
std::vector<std::vector<uint8_t>> Packetize(const std::vector<uint8_t>& pack, uint16_t& seq,
                                            uint32_t timestamp, uint32_t ssrc, uint8_t payloadType,
                                            std::size_t maxPayload);

// The bytes that carry one packet on a TCP connection.
std::vector<uint8_t> FrameForTcp(const std::vector<uint8_t>& packet, TcpFraming framing);

class RtpSender {
public:
    explicit RtpSender(SenderConfig config);
    ~RtpSender() = default;
    RtpSender(const RtpSender&) = delete;
    RtpSender& operator=(const RtpSender&) = delete;

    // Binds the UDP sockets or the listening socket. False with error set.
    bool Open(std::string& error);
    // The port the stream uses on our side (RTP port, or the listening port).
    uint16_t LocalPort() const { return localPort_; }
    // TCP: connects (retrying until refused no more) or accepts one
    // connection, for at most timeout. UDP: true at once.
    bool WaitConnected(std::chrono::milliseconds timeout, std::string& error);
    void Cancel() { cancel_ = true; }

    // Sends one pack as RTP packets with this timestamp. False when the
    // connection is gone (error set).
    bool SendPack(const std::vector<uint8_t>& pack, uint32_t timestamp, std::string& error);

    uint64_t PacketsSent() const { return packets_; }
    uint64_t BytesSent() const { return bytes_; }
    uint16_t NextSequence() const { return seq_; }

private:
    bool SendTcp(const std::vector<uint8_t>& bytes, std::string& error);
    void DrainIncoming();

    SenderConfig cfg_;
    UniqueSocket rtp_;      // UDP RTP socket, or the TCP connection
    UniqueSocket rtcp_;     // UDP RTCP socket (receiver reports are read and dropped)
    UniqueSocket listener_; // TCP listening socket
    uint16_t localPort_ = 0;
    uint16_t seq_ = 0;
    std::atomic<bool> cancel_{false};
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    uint64_t numbered_ = 0; // packets numbered, for skipEvery
    uint64_t packs_ = 0;    // packs sent, for reorderEvery and lateEvery
    std::vector<uint8_t> late_; // a packet held back for after the next pack's first
    std::size_t burst_ = 0;
};

} // namespace tvsend
