#pragma once
// RTP session for a receiver (RFC 3550): a poll thread that reads the
// transport, keeps the table of sources (probation, sequence and jitter
// statistics of appendix A), sends receiver reports with SDES CNAME at the
// RFC interval to every destination and a BYE when the session ends.
//
// Packet access is bracketed by BeginDataAccess/EndDataAccess, which hold the
// source lock; the poll thread takes the same lock while it files packets.
// Subclasses learn about sources through three hooks, called on the poll
// thread with the source lock held: they may change destinations but must not
// call the data-access functions.

#include "media/rtp/RtpAddress.h"
#include "media/rtp/RtpPacket.h"
#include "media/rtp/RtpTransmitter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>

namespace tvrtp {

struct SessionParams {
    double ownTimestampUnit = 0.0; // seconds per timestamp tick; needed for jitter
    bool usePollThread = true;     // false: the owner calls Poll itself
    std::size_t maximumPacketSize = 1400;
    bool acceptAllSources = true; // no source filter is offered: every source is heard
    bool acceptOwnPackets = false;
    double minimumRtcpInterval = 5.0;  // seconds
    double sessionBandwidth = 10000.0; // bytes per second; RTCP gets 5 %
    bool probation = true;             // RFC 3550 A.1: two packets in sequence validate
    // Largest source table: a new source beyond it replaces the source heard
    // least recently, never a preferred one for one that is not (0: no limit).
    std::size_t maxSources = 32;
    std::string cname; // empty: user@host
};

class SourceInfo {
public:
    uint32_t GetSSRC() const { return ssrc; }
    bool IsOwnSSRC() const { return own; }
    bool IsValidated() const { return validated; }
    bool ReceivedBYE() const { return byeReceived; }
    // Null when nothing came from that side yet.
    const Address* GetRTPDataAddress() const { return rtpAddress.get(); }
    const Address* GetRTCPDataAddress() const { return rtcpAddress.get(); }
    uint32_t GetPacketsReceived() const { return received; }
    uint32_t GetExtendedHighestSequenceNumber() const { return cycles + maxSeq; }
    int32_t GetCumulativeLost() const;
    // Interarrival jitter in timestamp units (appendix A.8).
    uint32_t GetJitter() const { return static_cast<uint32_t>(jitter); }

private:
    friend class Session;
    uint32_t ssrc = 0;
    bool own = false;
    bool validated = false;
    bool byeReceived = false;
    std::unique_ptr<Address> rtpAddress;
    std::unique_ptr<Address> rtcpAddress;
    // Appendix A.1 state.
    uint16_t maxSeq = 0;
    uint32_t cycles = 0;
    uint32_t baseSeq = 0;
    uint32_t badSeq = 0;
    uint32_t probation = 0;
    uint32_t received = 0;
    uint32_t expectedPrior = 0;
    uint32_t receivedPrior = 0;
    // Appendix A.8 jitter.
    double jitter = 0;
    int64_t lastTransit = 0;
    bool haveTransit = false;
    bool sentRtpSinceReport = false;
    // Last sender report: middle 32 bits of its NTP time and when it came.
    uint32_t lastSrNtp = 0;
    std::chrono::steady_clock::time_point lastSrTime{};
    bool haveSr = false;
    std::chrono::steady_clock::time_point lastHeard{};
    std::chrono::steady_clock::time_point byeTime{};
    std::deque<std::unique_ptr<Packet>> queue; // delivered packets, oldest first
};

class Session {
public:
    Session();
    virtual ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Creates the session over IPv4 UDP, or over a TCP transmitter owned by the
    // caller (which must outlive the session or be destroyed after it ends).
    int Create(const SessionParams& p, const UdpTransmissionParams& udp);
    int Create(const SessionParams& p, TcpTransmitter* tcp);
    bool IsActive() const { return active_.load(); }

    int AddDestination(const Address& a);
    int DeleteDestination(const Address& a);
    void ClearDestinations();

    // Ends the session without a BYE.
    void Destroy();
    // Sends a BYE (with an optional reason) to every destination, then ends the
    // session. The BYE goes out at once, so maxWait only bounds the join of the
    // poll thread.
    void BYEDestroy(std::chrono::milliseconds maxWait, const char* reason,
                    std::size_t reasonLength);

    // Settings for sending; this layer never sends RTP, they are kept for the
    // sake of callers that set them.
    int SetDefaultMark(bool m);
    int SetDefaultPayloadType(uint8_t pt);
    int SetMaximumPacketSize(std::size_t s);

    uint32_t GetLocalSSRC() const { return ownSsrc_; }

    // Data access. Between Begin and End the source table is locked.
    void BeginDataAccess();
    void EndDataAccess();
    bool GotoFirstSourceWithData();
    bool GotoNextSourceWithData();
    SourceInfo* GetCurrentSourceInfo();
    // Next packet of the current source, or null. The caller owns it.
    std::unique_ptr<Packet> GetNextPacket();
    void DeletePacket(std::unique_ptr<Packet> p) { p.reset(); }
    // Outside the bracket: waits until some source has a packet, the session
    // ends or the time is up. True when a packet is waiting.
    bool WaitForData(std::chrono::milliseconds timeout);

    // One poll pass, for sessions created without the poll thread.
    void Poll(int timeoutMs = 0);

    // Inside the bracket: makes the source of that SSRC current; false when
    // there is none.
    bool GotoSource(uint32_t ssrc);

    // Statistics, for tests and tools.
    uint64_t GetRtcpPacketsSent() const { return rtcpSent_.load(); }
    std::size_t GetSourceCount();
    // Sources replaced because the table was full.
    uint64_t GetSourcesEvicted() const { return evicted_.load(); }
    // The UDP RTP socket's receive buffer as granted (0 over TCP).
    int GetUdpReceiveBuffer();
    // Datagrams the kernel dropped at the UDP RTP socket so far
    // (UdpTransmitter::KernelDrops; 0 over TCP).
    uint32_t GetUdpKernelDrops();

protected:
    virtual void OnNewSource(SourceInfo* /*src*/) {}
    // Also called for a source replaced because the table was full.
    virtual void OnRemoveSource(SourceInfo* /*src*/) {}
    virtual void OnBYEPacket(SourceInfo* /*src*/) {}
    // Whether a source (or one about to be made) is to be kept when the table
    // is full; called on the poll thread with the source lock held.
    virtual bool IsPreferredSource(const SourceInfo& /*src*/) const { return false; }
    // A TCP connection ended (peer closed or failed) and is no destination any
    // more; called on the poll thread without the source lock.
    virtual void OnConnectionClosed(int /*socket*/) {}

private:
    using Clock = std::chrono::steady_clock;
    int Start(const SessionParams& p);
    void PollThread();
    void PollOnce(int timeoutMs, std::vector<Incoming>& batch);
    void ProcessRtp(Incoming& in, Clock::time_point now);
    void ProcessRtcp(const Incoming& in, Clock::time_point now);
    SourceInfo* FindOrCreate(uint32_t ssrc, const Incoming& in, Clock::time_point now,
                             bool& created);
    bool MakeRoom(bool forPreferred);
    bool UpdateSequence(SourceInfo& s, uint16_t seq);
    void CheckTimeouts(Clock::time_point now);
    std::vector<uint8_t> BuildReport(bool bye, const char* reason, std::size_t reasonLength);
    void SendReport();
    double RtcpInterval(bool initial);
    void StopPollThread();
    std::unique_ptr<Address> AddressOf(const Incoming& in, bool rtcpSide) const;

    SessionParams params_;
    std::unique_ptr<UdpTransmitter> udp_;
    TcpTransmitter* tcp_ = nullptr;
    Transmitter* transmitter_ = nullptr;
    std::shared_mutex life_; // guards the transport pointers against Destroy
    std::atomic<bool> active_{false};
    std::atomic<bool> stopPoll_{false};
    std::thread pollThread_;

    std::mutex sources_; // the data-access lock
    std::condition_variable dataReady_;
    std::map<uint32_t, SourceInfo> table_;
    std::map<uint32_t, SourceInfo>::iterator current_;
    std::size_t waiting_ = 0; // packets of validated sources not yet taken

    uint32_t ownSsrc_ = 0;
    std::mt19937 rng_;
    double avgRtcpSize_ = 128.0;
    Clock::time_point nextReport_{};
    Clock::time_point lastTimeoutCheck_{};
    std::atomic<uint64_t> rtcpSent_{0};
    std::atomic<uint64_t> evicted_{0};
};

} // namespace tvrtp
