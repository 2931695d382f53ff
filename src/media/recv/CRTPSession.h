#pragma once
// Media receiver: an RTP session over UDP or TCP (connecting or listening)
// whose receive thread joins packets into frames, cuts the video elementary
// stream out of each frame's program stream (or joins the NAL units of
// elementary H.264 / H.265 RTP) and hands it to a frame callback.
//
// One stream is followed: the answer's y= SSRC (SetExpectedSsrc) whenever it is
// heard, else the first SSRC heard. Another SSRC takes over
// when it comes from the same sender (a device that restarted its stream), from
// the device's address while the current one does not, or after the current
// one fell silent for a second; reassembly then starts afresh. Packets of any
// other source are dropped. The followed source's last frame is delivered
// when another takes over. The source just replaced takes over again only by
// that second of silence: its late packets (overtaken by the new source's
// first ones) are dropped rather than flipping the stream back and forth.
// SSRC 0 is an SSRC like any other.
//
// Limits: at most 32 sources in the table (the least recently heard goes
// first, never one from the device's address or the followed one for a
// stranger); at most 32 accepted TCP connections (a finished one is closed and
// forgotten at once; a newcomer replaces the longest idle one, idle at least a
// second, or any idle one when it comes from the device's address); at the
// descriptor limit the accept thread backs off for 100 ms between tries.

#include "base/CThread.h"
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/recv/Jitter.h"
#include "media/recv/NalDepacketizer.h"
#include "media/recv/SequenceCount.h"
#include "media/rtp/RtpSession.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Called on the receive thread m_hRecv for every completed frame:
// user is the value given with the callback (the main dialog), frame the
// demultiplexed video bytes, length their count (0 for a frame without video).
// The bytes are valid only during the call.
using RTPFrameCallback = void (*)(void* user, unsigned char* frame, int32_t length);
// Called on the receive thread m_hRecv about every kIdleInterval while no
// packet of the followed source comes (a stall, a pause): the time for
// figures that must fall to 0 without a frame to carry them.
using RTPIdleCallback = void (*)(void* user);
// Called on the receive thread m_hRecv with each frame of a program stream as
// it came, before its video is cut out: once per RTP payload, in order.
using RTPRawCallback = void (*)(void* user, const uint8_t* data, std::size_t length);
// Called on the receive thread m_hRecv with the audio of each frame of a
// program stream that carried some (its audio PES payloads, joined) and the
// audio stream type the stream's last program stream map named (0 before one
// named it). The bytes are valid only during the call.
using RTPAudioCallback = void (*)(void* user, uint8_t streamType, const uint8_t* data,
                                  std::size_t length);
// Called on the RTP poll thread or m_hRecvTCP with one line about the TCP
// transport: a dropped connection, a reconnection, a connection accepted again.
using RTPTransportCallback = void (*)(void* user, const std::string& text);

class CRTPSession : public tvrtp::Session {
public:
    static constexpr std::size_t kOutputSize = 524288;
    // UDP receive buffer asked for: a 1080p key frame sent as one burst fits.
    static constexpr int kUdpReceiveBuffer = 2 << 20;
    static constexpr std::size_t kMaxSources = 32;
    static constexpr std::size_t kMaxConnections = 32;
    // Stream types of a program stream map.
    static constexpr uint8_t kStreamTypeH264 = 0x1B;
    static constexpr uint8_t kStreamTypeH265 = 0x24;

    CRTPSession();
    ~CRTPSession() override;

    // Transport index: 0 UDP, 1 TCP connecting from port to
    // address:remotePort (port + 2 when remotePort is 0), 2..4 TCP listening
    // on port. Returns 1 when set up, 0 for port 0 or a failed TCP
    // destination, -1 when the session could not be created. address is the
    // device's; its sources and connections are preferred.
    int32_t RTP_Setup(uint16_t port, int32_t transport, const char* address, int32_t clockRate,
                      uint16_t remotePort = 0);

    // What the stream's packets carry, as the device's answer says: a
    // program stream (the default) or an H.264 / H.265 elementary stream
    // (RFC 6184 / RFC 7798), in payload type pt (96 by default). Packets of
    // other payload types are not the stream. May be called at any time
    // (a listening receiver is set up before the answer); the frames joined
    // from then on follow it.
    enum class Format { Ps, H264, H265 };
    void SetStreamFormat(uint8_t pt, Format format);
    uint8_t PayloadType() const { return m_payloadType.load(); }
    // The answer's y= SSRC: a source with it is followed whenever it is heard,
    // and while it is followed no other takes over but by a second of its
    // silence. Empty: the first source heard is followed (see above).
    void SetExpectedSsrc(std::optional<uint32_t> ssrc);
    Format StreamFormat() const { return m_format.load(); }
    std::optional<uint32_t> ExpectedSsrc() const {
        if (!m_haveExpected.load()) return std::nullopt;
        return m_expected.load();
    }
    // Closes the transport and ends the session (with an RTCP BYE). Safe to call twice.
    void RTP_Teardown();

    // Sets or clears (null) the frame callback and the value passed back to it.
    void SetFrameCallback(RTPFrameCallback cb, void* user) {
        m_pUser.store(user);
        m_pfnFrame.store(cb);
    }

    // Sets or clears (null) the raw callback (program streams only) and its value.
    void SetRawCallback(RTPRawCallback cb, void* user) {
        m_pRawUser.store(user);
        m_pfnRaw.store(cb);
    }

    // Sets or clears (null) the audio callback (program streams only) and its
    // value; without one the audio is not copied out.
    void SetAudioCallback(RTPAudioCallback cb, void* user) {
        m_pAudioUser.store(user);
        m_pfnAudio.store(cb);
    }

    // TCP media reconnection within the call. Connecting: when the connection
    // drops, or the first one failed, the receiver connects again from its
    // port to the same address and port, kReconnectInterval apart, at most
    // kReconnectTries times per drop. Listening: the accept thread keeps
    // accepting, and a device's connection after its last one dropped is said
    // and counted as a reconnection.
    static constexpr std::chrono::milliseconds kReconnectInterval{1000};
    // How long a drop must last before it is said (see m_dropNote).
    static constexpr std::chrono::milliseconds kDropSayDelay = kReconnectInterval;
    static constexpr int kReconnectTries = 10;
    // Connections that came back after a drop (or after a failed first one).
    std::size_t Reconnections() const { return m_reconnections.load(); }
    void SetTransportCallback(RTPTransportCallback cb, void* user) {
        m_pTransportUser.store(user);
        m_pfnTransport.store(cb);
    }

    // Sets or clears (null) the idle callback and the value passed back to it.
    static constexpr std::chrono::milliseconds kIdleInterval{250};
    void SetIdleCallback(RTPIdleCallback cb, void* user) {
        m_pIdleUser.store(user);
        m_pfnIdle.store(cb);
    }
    // The RTP timestamp of the frame being handed to the frame callback (set
    // before the call; false before the first frame). Safe from any thread.
    bool LastFrameTimestamp(uint32_t& timestamp) const {
        timestamp = m_frameTimestamp.load();
        return m_haveFrameTimestamp.load();
    }

    // Local IPv4 address (host order) the UDP sockets bind to; 0, the default,
    // is any address. Set before RTP_Setup.
    void SetLocalAddress(uint32_t ip) { m_nLocalIP = ip; }

    // The video stream type of the stream being received, as the frame
    // callback sees it: the type that the last program stream map named for
    // the video (0x1B H.264, 0x24 H.265, or another), else, while the stream
    // has shown no map, what its elementary stream looks like (0x1B or 0x24 by
    // its parameter sets); 0 before either is known. Set before the callback
    // of the frame that showed it; safe from any thread. Decoders take it
    // through VidanaFrameTypeOf (vidana/lib/Vidana.h).
    uint8_t VideoStreamType() const { return m_streamType.load(); }
    // The SSRC being followed and whether there is one yet.
    bool CurrentSsrc(uint32_t& ssrc) const;
    // Packets, sequence gaps and skipped packets of the followed source so
    // far (see SequenceCount); totals over the session, safe from any thread.
    SequenceFigures RtpCounts() const;
    // The followed source's interarrival jitter (see JitterEstimate) at the
    // clock rate given to RTP_Setup, in milliseconds; empty before its second
    // packet. Safe from any thread.
    std::optional<double> JitterMilliseconds() const;
    // The framing of the TCP connection the followed source's packets come on
    // (RFC 4571 or RTSP interleaved '$'); Unknown over UDP and before the
    // first packet. Safe from any thread.
    tvrtp::TcpFraming FollowedFraming() const { return m_framing.load(); }
    // Whether this receiver kept up, from its sockets: over UDP the datagrams
    // the kernel dropped for want of room, over TCP the bytes found waiting in
    // the receive queues (tvrtp::TcpTransmitter::ReceiveBacklog). Totals over
    // the session; safe from any thread.
    struct ReceiveQueue {
        uint64_t kernelDrops = 0;
        tvrtp::TcpTransmitter::Backlog backlog;
    };
    ReceiveQueue ReceiveQueueFigures() {
        return {GetUdpKernelDrops(), m_tcp.ReceiveBacklog()};
    }
    // Frames with video handed to the callback so far, and the RTP timestamp
    // and arrival of the first and the last one: the device's clock against
    // ours. Safe from any thread.
    // A frame's arrival is when the poll thread read the packet that
    // completed it, not when this thread took it: a receive thread that
    // falls behind (decoding on too little of a core) does not make the
    // device's pictures look late. How long frames waited for this thread
    // between the two: their sum and the longest (microseconds).
    struct FrameClock {
        uint64_t frames = 0;
        uint32_t timestamp = 0, firstTimestamp = 0;
        std::chrono::steady_clock::time_point at{}, firstAt{};
        uint64_t waitUs = 0, longestWaitUs = 0;
    };
    FrameClock VideoFrameClock() const;
    // The program stream around the key pictures so far: how many came, how
    // many lacked a pack header, system header or program stream map before
    // their video, and how many came under a map whose video stream type is
    // not what the pictures are (by their parameter sets). Safe from any thread.
    struct KeyPictureCounts {
        uint64_t keys = 0, withoutPack = 0, withoutSystem = 0, withoutMap = 0, typeMismatch = 0;
        uint8_t mapType = 0, esType = 0; // of the last key picture that showed each
        // The RTP timestamp of the last key picture, and the intervals
        // between consecutive ones (90 kHz ticks): how many, the shortest and
        // the longest. A step back or over kKeyIntervalRestart is a restart
        // of the timestamps, not an interval.
        uint32_t lastKeyTimestamp = 0;
        uint64_t intervals = 0;
        uint32_t shortestTicks = 0, longestTicks = 0;
    };
    static constexpr uint32_t kKeyIntervalRestart = 60u * 90000u;
    KeyPictureCounts KeyPictures() const;

    int32_t LastOutputLength() const { return m_nLastOutLen.load(); }
    int32_t TransportIndex() const { return m_nTransport; }
    uint16_t Port() const { return m_nPort; }
    // Connections accepted in listening mode and still open.
    std::size_t AcceptedCount();
    // Whether the transport came up: the UDP session, the TCP connection to the
    // device, or the listening socket.
    bool TransportReady() const { return m_bReady.load(); }
    // Why the last RTP_Setup could not open its ports ("cannot open UDP port P
    // or P+1: <reason>", "cannot open TCP port P: <reason>", "cannot listen on
    // TCP port P: <reason>"); empty when it could. A TCP connection to the
    // device that fails is not a set-up error (TransportReady stays false).
    // Read on the thread that called RTP_Setup.
    const std::string& SetupError() const { return m_setupError; }

    CThread m_hRecv;
    std::atomic<void*> m_pUser{nullptr};
    std::atomic<RTPFrameCallback> m_pfnFrame{nullptr};
    std::atomic<void*> m_pIdleUser{nullptr};
    std::atomic<RTPIdleCallback> m_pfnIdle{nullptr};
    std::atomic<void*> m_pRawUser{nullptr};
    std::atomic<RTPRawCallback> m_pfnRaw{nullptr};
    std::atomic<void*> m_pAudioUser{nullptr};
    std::atomic<RTPAudioCallback> m_pfnAudio{nullptr};
    std::atomic<void*> m_pTransportUser{nullptr};
    std::atomic<RTPTransportCallback> m_pfnTransport{nullptr};

protected:
    void OnNewSource(tvrtp::SourceInfo* src) override;
    void OnRemoveSource(tvrtp::SourceInfo* src) override;
    void OnBYEPacket(tvrtp::SourceInfo* src) override;
    bool IsPreferredSource(const tvrtp::SourceInfo& src) const override;
    void OnConnectionClosed(int socket) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Connection {
        int fd = -1;
        uint32_t ip = 0; // host order
    };
    static void RecvLoop(CThread* t);
    static void AcceptLoop(CThread* t);
    void AcceptOne(CThread* t);
    static void ReconnectLoop(CThread* t);
    void ReconnectOne(CThread* t);
    void Note(const std::string& text);
    // Takes at most one packet of the followed source, or switches to another.
    void ReceiveStep();
    void HandlePacket(std::unique_ptr<tvrtp::Packet> p, bool restart);
    // Demultiplexes the completed frame and hands it to the callback.
    void DeliverFrame(RTPFrameCallback cb);
    bool DestinationOf(tvrtp::SourceInfo* src, tvrtp::Ipv4Address& out) const;
    // The IPv4 address (host order) a source's packets came from; 0 unknown.
    uint32_t SenderIp(const tvrtp::SourceInfo& src) const;
    bool TakesOver(const tvrtp::SourceInfo& src, Clock::time_point now) const;
    void NoteStreamType(int32_t outputLength);

    std::mutex m_demuxLock; // the receive thread's packet work against Clear at teardown
    CHbRtpDemux m_rtpDemux;
    CHbPSDemux m_psDemux;
    NalDepacketizer m_nal; // for elementary streams, under m_demuxLock
    std::atomic<uint8_t> m_payloadType{CHbRtpDemux::kPayloadType};
    std::atomic<Format> m_format{Format::Ps};
    std::atomic<bool> m_haveExpected{false};
    std::atomic<uint32_t> m_expected{0};
    std::vector<uint8_t> m_out; // the demultiplexer's output; grows with the frame
    std::atomic<int32_t> m_nLastOutLen{0};
    std::atomic<uint8_t> m_streamType{0};
    std::atomic<uint32_t> m_frameTimestamp{0};
    std::atomic<bool> m_haveFrameTimestamp{false};
    Clock::time_point m_lastIdle{}; // receive thread only
    Clock::time_point m_lastArrival{}; // of the last packet given to the demultiplexer (m_demuxLock)
    bool m_sawMap = false; // the followed stream has shown a program stream map
    uint8_t m_audioType = 0; // the audio stream type its last map named (receive thread)
    std::string m_setupError;
    mutable std::mutex m_countLock; // m_count: the receive thread against RtpCounts
    SequenceCount m_count;
    JitterEstimate m_jitter; // under m_countLock
    FrameClock m_frameClock; // under m_countLock
    KeyPictureCounts m_keys; // under m_countLock
    std::atomic<tvrtp::TcpFraming> m_framing{tvrtp::TcpFraming::Unknown};

    // The followed source (receive thread only, read by CurrentSsrc and the
    // source hooks under the source lock).
    std::atomic<bool> m_haveSsrc{false};
    std::atomic<uint32_t> m_ssrc{0};
    uint32_t m_ssrcIp = 0;
    int m_ssrcSocket = -1;
    Clock::time_point m_ssrcLast{};
    // The source the followed one replaced (receive thread only).
    bool m_haveReplaced = false;
    uint32_t m_replaced = 0;

    int32_t m_nTransport = 0;
    CThread m_hRecvTCP;
    tvrtp::SessionParams m_params;
    tvrtp::TcpTransmitter m_tcp;
    int m_sock = -1;  // the bound socket that connects or listens
    int m_spare = -1; // held in reserve: freed to look at a caller at the descriptor limit
    mutable std::mutex m_acceptLock;
    std::vector<Connection> m_conns; // accepted connections still open
    uint16_t m_nPort = 0;
    uint32_t m_nPeer = 0; // host order
    uint32_t m_nLocalIP = 0;
    // Connecting: where to, and the tries left since the last drop (0 while
    // connected or after giving up).
    std::string m_connectAddress;
    int m_connectPort = 0;
    std::atomic<int> m_reconnectLeft{0};
    // Listening: the device's connection dropped and none of it came since.
    std::atomic<bool> m_dropped{false};
    // A drop is said only once it outlived kDropSayDelay: a device closes its
    // connection when it has answered our BYE, before the receiver is
    // stopped, and that is no drop. Under m_acceptLock.
    std::string m_dropNote;
    std::chrono::steady_clock::time_point m_dropAt{};
    void DeferDropNote(std::string text);
    // Says the deferred drop: when it is due (or `now`, before a line about
    // the connection coming back) and the receiver still runs.
    void SayDropNote(CThread* t, bool now);
    std::atomic<std::size_t> m_reconnections{0};
    std::atomic<bool> m_bReady{false};
};
