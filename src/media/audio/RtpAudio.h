#pragma once
// G.711 over RTP: the sending end (RtpAudioOut: 20 ms packets of 160 samples,
// timestamps on the 8000 Hz clock, RFC 3551) and the receiving end
// (RtpAudioIn: a socket read on a thread of its own). Both carry RTP over UDP
// or over TCP with RFC 4571's 16-bit length before each packet. With
// programStream the sender wraps each 20 ms in a program-stream pack (payload
// type 96, timestamps on the 90 kHz clock), for a device that asks for PS.
// With aac the sender takes AAC access units instead, one to a packet in
// RFC 3640's payload, timestamps on the rtpmap's clock (1024 an AU), and the
// receiver depacketises the AAC payload type it was given.

#include "media/audio/AacRtp.h"
#include "media/audio/AudioStages.h"
#include "media/send/RtpSender.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tvaudio {

constexpr std::size_t kSamplesPerPacket = 160; // 20 ms at 8000 Hz

struct AudioOutConfig {
    tvsend::SenderConfig net; // transport, addresses, ssrc (payloadType is set from law)
    G711Law law = G711Law::A;
    bool programStream = false;
    bool aac = false; // AAC in aacFormat's payload type instead of G.711
    AacFormat aacFormat;
};

// The network end of the sending chain: G.711 bytes in, RTP out. Push is
// called on the feeding thread (the capture thread or the WAV pacer); a TCP
// send waits at most the sender's 5 s timeout and a failure ends the sending.
class RtpAudioOut final : public Sink<G711Block>, public Sink<AacFrame> {
public:
    explicit RtpAudioOut(AudioOutConfig config);
    bool Open(std::string& error) { return sender_.Open(error); }
    uint16_t LocalPort() const { return sender_.LocalPort(); }
    bool WaitConnected(std::chrono::milliseconds timeout, std::string& error) {
        return sender_.WaitConnected(timeout, error);
    }
    void Cancel() { sender_.Cancel(); }
    void Push(const G711Block& in) override;
    // One AU, one packet; an AU too large for the format's sizeLength is
    // dropped and counted.
    void Push(const AacFrame& in) override;

    uint64_t UnitsTooLarge() const { return tooLarge_.load(); }
    uint64_t PacketsSent() const { return packets_.load(); }
    bool Failed() const { return failed_.load(); }
    std::string Error() const;
    // Called after each packet went out, with its RTP timestamp (for the
    // latency benchmark); set before the first Push.
    std::function<void(uint32_t timestamp)> onSent;

private:
    AudioOutConfig cfg_;
    tvsend::RtpSender sender_;
    std::vector<uint8_t> pending_;
    uint32_t timestamp_;
    uint64_t pts_ = 0; // 90 kHz, program stream only
    std::atomic<uint64_t> packets_{0};
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> tooLarge_{0};
    bool Send(const std::vector<uint8_t>& payload, uint32_t ts);
    mutable std::mutex errorLock_;
    std::string error_;
};

enum class InTransport { Udp, TcpListen, TcpConnect };

struct AudioInConfig {
    InTransport transport = InTransport::Udp;
    std::string localIp = "0.0.0.0";
    uint16_t localPort = 0; // UDP or TCP listen; 0 picks one
    std::string remoteIp;   // TCP connect
    uint16_t remotePort = 0;
};

// The receiving end: reads RTP packets, takes G.711 (payload types 0 and 8;
// the elementary audio of a program stream pack for payload type 96) and
// pushes it to its output on its own thread.
class RtpAudioIn {
public:
    explicit RtpAudioIn(AudioInConfig config);
    ~RtpAudioIn();
    RtpAudioIn(const RtpAudioIn&) = delete;
    RtpAudioIn& operator=(const RtpAudioIn&) = delete;

    // Binds (UDP, TCP listen); false with error set.
    bool Open(std::string& error);
    uint16_t LocalPort() const { return localPort_; }
    // Starts the thread; G.711 of payload type 8 goes through decodeA, of
    // type 0 through decodeU (each may be null). Called on the thread.
    void Start(Sink<G711Block>* alaw, Sink<G711Block>* ulaw);
    // Before Start: the access units of format's payload type go to aac.
    void SetAac(const AacFormat& format, Sink<AacFrame>* aac) {
        aacFormat_ = format;
        aac_ = aac;
    }
    void Stop();

    uint64_t Packets() const { return packets_.load(); }
    int LastPayloadType() const { return lastPt_.load(); }

private:
    void Run();
    void Handle(const uint8_t* p, std::size_t n);

    AudioInConfig cfg_;
    int fd_ = -1;
    int listenFd_ = -1;
    uint16_t localPort_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> packets_{0};
    std::atomic<int> lastPt_{-1};
    Sink<G711Block>* alaw_ = nullptr;
    Sink<G711Block>* ulaw_ = nullptr;
    AacFormat aacFormat_;
    Sink<AacFrame>* aac_ = nullptr;
};

// The G.711 audio of one RTP payload: the payload itself for types 0 and 8;
// for a program-stream payload the bytes of its audio PES packets (C0..DF).
bool AudioOfPayload(int payloadType, const uint8_t* payload, std::size_t n, G711Block& out);

} // namespace tvaudio
