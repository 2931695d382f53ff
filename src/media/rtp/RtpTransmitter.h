#pragma once
// Transports under an RTP session: IPv4 UDP with RTCP on the next port, or
// TCP connections carrying RTP and RTCP together, each packet preceded by its
// 16-bit big-endian length (RFC 4571) or by the interleaved header of RTSP
// (RFC 2326 10.12: '$', a channel byte, the 16-bit length). A connection's
// framing is told from its first bytes.
//
// All socket work happens in Poll (the session's poll thread) and in Send.
// Destination changes from other threads wake the poll and take the I/O lock,
// so a removed TCP socket is never read again once DeleteDestination returns.

#include "media/rtp/RtpAddress.h"
#include "media/rtp/RtpPacket.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace tvrtp {

// Error codes (all negative) of the session layer.
enum : int {
    ERR_ALREADY_CREATED = -1,
    ERR_NOT_CREATED = -2,
    ERR_INVALID_PARAMETER = -3,
    ERR_SOCKET = -4,
    ERR_ODD_PORT_BASE = -5,
    ERR_WRONG_ADDRESS_KIND = -6,
    ERR_DESTINATION_EXISTS = -7,
    ERR_NO_SUCH_DESTINATION = -8,
    ERR_THREAD = -9,
};

// One packet read from the network.
struct Incoming {
    PacketBytes bytes; // read into the transmitter's packet storage
    bool rtcp = false;
    // Where it came from: IPv4 (ip/port of the sender, host order) or TCP socket.
    bool viaTcp = false;
    uint32_t ip = 0;
    uint16_t port = 0;
    int socket = -1;
};

class Transmitter {
public:
    virtual ~Transmitter();
    Transmitter(const Transmitter&) = delete;
    Transmitter& operator=(const Transmitter&) = delete;

    virtual int AddDestination(const Address& a) = 0;
    virtual int DeleteDestination(const Address& a) = 0;
    virtual void ClearDestinations() = 0;

    // Waits at most timeoutMs for input and appends what arrived to out.
    virtual void Poll(int timeoutMs, std::vector<Incoming>& out) = 0;
    // Sends one RTCP compound packet to every destination.
    virtual void SendRtcp(const uint8_t* data, std::size_t length) = 0;
    // Interrupts a Poll in progress.
    void Wake();

protected:
    Transmitter();
    // Takes the I/O lock after waking the poll thread.
    std::unique_lock<std::mutex> LockForChange();
    // Called by the poll thread before it takes the I/O lock again.
    void LetChangesIn();
    void DrainWake();

    std::mutex io_;
    std::atomic<int> changers_{0};
    int wakeFd_ = -1;
};

// Transmission parameters of the UDP transport.
struct UdpTransmissionParams {
    uint16_t portBase = 5000; // RTP port; RTCP uses portBase + 1. Must be even.
    uint32_t bindIP = 0;      // host order; 0 = any local address
    int rtpReceiveBuffer = 32768;
    int rtcpReceiveBuffer = 32768;
    int rtpSendBuffer = 32768;
    int rtcpSendBuffer = 32768;
};

// How TCP media is framed on one connection.
enum class TcpFraming { Unknown, Rfc4571, Interleaved };

class UdpTransmitter : public Transmitter {
public:
    UdpTransmitter() = default;
    ~UdpTransmitter() override;
    // Opens and binds both sockets; negative error code on failure.
    int Create(const UdpTransmissionParams& p);

    int AddDestination(const Address& a) override;
    int DeleteDestination(const Address& a) override;
    void ClearDestinations() override;
    void Poll(int timeoutMs, std::vector<Incoming>& out) override;
    void SendRtcp(const uint8_t* data, std::size_t length) override;

    uint16_t GetRtpPort() const { return rtpPort_; }
    // The RTP socket's receive buffer as the kernel granted it (Linux counts
    // its bookkeeping in, reporting twice what it takes from the request).
    int GetRtpReceiveBuffer() const { return rtpReceiveBuffer_; }
    std::size_t DestinationCount();
    // RTP datagrams the kernel dropped for want of room in the socket's
    // receive buffer, as the last datagram read said (SO_RXQ_OVFL: each
    // datagram carries the count at its arrival, so drops show with the
    // next datagram that gets in). Cumulative; safe from any thread.
    uint32_t KernelDrops() const { return kernelDrops_.load(std::memory_order_relaxed); }

private:
    void ReadAll(int fd, bool rtcp, std::vector<Incoming>& out);
    std::atomic<uint32_t> kernelDrops_{0};
    int rtpReceiveBuffer_ = 0;
    int rtp_ = -1;
    int rtcp_ = -1;
    uint16_t rtpPort_ = 0;
    std::vector<Ipv4Address> destinations_;
    PacketArena arena_;           // received datagrams
    std::vector<uint8_t> buffer_; // the tail of a datagram longer than the arena's room
};

// TCP transport. The sockets belong to the caller: they are added and removed
// as destinations and never closed here.
class TcpTransmitter : public Transmitter {
public:
    TcpTransmitter() = default;
    ~TcpTransmitter() override;
    // Mirrors the two-step set-up of the session: Init chooses thread safety
    // (always on here), Create sets the largest packet accepted.
    int Init(bool threadSafe);
    int Create(std::size_t maxPacketSize);
    void Destroy();
    bool IsCreated() const { return created_; }

    int AddDestination(const Address& a) override;
    int DeleteDestination(const Address& a) override;
    void ClearDestinations() override;
    void Poll(int timeoutMs, std::vector<Incoming>& out) override;
    void SendRtcp(const uint8_t* data, std::size_t length) override;

    std::size_t DestinationCount();
    // Connections that the peer closed or that failed since the last call.
    // They are no longer destinations; their sockets are the caller's to close.
    // Meant for the thread that polls (another would wait for the poll to end).
    std::vector<int> TakeClosed();
    // When input last arrived on each connection (or when it was added).
    std::map<int, std::chrono::steady_clock::time_point> LastInputs();
    // The framing a connection was found to use (Unknown before its first bytes).
    TcpFraming FramingOf(int socket);
    // Bytes the connections' receive queues held when the poll found them
    // readable (FIONREAD before reading), sampled at most every
    // kBacklogSampleEvery per connection: how many samples, their sum and the
    // largest. A reader that keeps up finds little waiting. Cumulative; safe
    // from any thread.
    struct Backlog {
        uint64_t samples = 0, bytes = 0, largest = 0;
    };
    static constexpr std::chrono::milliseconds kBacklogSampleEvery{100};
    Backlog ReceiveBacklog() const;

private:
    struct Connection {
        std::vector<uint8_t> in;  // bytes of an incomplete frame
        std::vector<uint8_t> out; // RTCP bytes the socket could not take yet
        bool closed = false;      // peer closed or failed: no longer read
        TcpFraming framing = TcpFraming::Unknown;
        uint8_t rtcpChannel = 1; // interleaved: the RTP channel + 1
        std::chrono::steady_clock::time_point lastInput = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point lastSample{}; // of the receive queue
    };
    void ReadFrom(int fd, Connection& c, std::vector<Incoming>& out);
    void Deframe(int fd, Connection& c, std::vector<Incoming>& out);
    void Flush(int fd, Connection& c);

    bool created_ = false;
    std::size_t maxPacket_ = 65535;
    std::map<int, Connection> connections_;
    std::vector<int> closed_;
    std::vector<uint8_t> buffer_;
    PacketArena arena_; // packets cut from the connections' byte streams
    std::atomic<uint64_t> backlogSamples_{0}, backlogBytes_{0}, backlogLargest_{0};
};

} // namespace tvrtp
