// The exchange with one device as Tarvex saw it: what the device check judges.
//
// The driver fills an Observation while it talks to the device and hands it to
// RunBattery (Battery.h); nothing here talks to the network or keeps a clock.
//
//   Observation obs;
//   obs.settings = ...;                       // what Tarvex was configured with
//   obs.deviceId = "34020000001320000001";    // the device under check
//   for (each logged row)                     // the message log's rows, in order
//       obs.messages.push_back(ObserveLogRow(row.direction, row.time, row.head, row.body));
//   obs.media.push_back(...);                 // one per live view or playback attempt
//   obs.startMs = ...; obs.endMs = ...;       // the window the driver watched
//
// Every message keeps its raw texts; the parsed views (SipHead, ManscdpBody) are
// filled once when the message is made and are what the checks read. Parsing
// never fails: whatever a device sends is kept, and a view that could not be
// read says so (SipHead::valid, ManscdpBody::outcome). Values are copies; the
// XML trees are shared between copies and read by one thread at a time.
#pragma once

#include "check/battery/Transfers.h"
#include "manscdp/xml/XMLNode.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex::check {

enum class Direction { Sent, Received };

// SIP start line and headers, read from the head text of the log.
struct SipHead {
    bool valid = false; // a start line of a request or of a response was found
    bool isRequest = false;
    std::string method;     // requests: "REGISTER", "MESSAGE", ...
    std::string requestUri; // requests
    int status = 0;         // responses
    std::string reason;     // responses
    // Every header in order; names as written, values without surrounding blanks,
    // folded lines joined by one space.
    std::vector<std::pair<std::string, std::string>> headers;
    long cseq = -1;         // number of the CSeq header, -1 without a readable one
    std::string cseqMethod; // method of the CSeq header
    std::string callId;

    // The first header of that name (ignoring case; compact forms such as "f"
    // for From count); nullptr when there is none.
    const std::string* Find(std::string_view name) const;
    // Value of Find, "" when there is none.
    std::string Value(std::string_view name) const;
    // Every value of that name in order, comma-separated values kept whole.
    std::vector<std::string> All(std::string_view name) const;
};

SipHead ParseSipHead(std::string_view head);

// A MANSCDP body: the XML tree and the envelope every body carries.
struct ManscdpBody {
    bool present = false;              // the body holds XML (first non-blank byte is '<')
    int outcome = -1;                  // XMLParseOutcome of the parse; -1 when nothing was parsed
    XMLNode root;                      // the document element (Query, Response, Notify, ...)
    std::string rootName;              // "Response", "Notify", ...
    std::string cmdType, sn, deviceId; // texts of CmdType, SN, DeviceID ("" when absent)
    bool hasSn = false, hasDeviceId = false, hasCmdType = false;
    std::string encoding; // encoding named by the XML declaration, "" without one

    bool Complete() const { return present && outcome == XML_OK && !root.IsEmpty(); }
    bool Is(std::string_view root, std::string_view cmd) const;
};

ManscdpBody ParseManscdp(const std::string& body);

// Text of the first child element called name (ignoring case), "" when it has
// none; *has (when given) tells whether the child exists at all.
std::string ChildText(const XMLNode& node, const char* name, bool* has = nullptr);

struct ObservedMessage {
    std::int64_t timeMs = 0; // milliseconds since the epoch
    std::string timeText;    // "%Y-%m-%dT%H:%M:%S.mmm" local time, as logged
    Direction direction = Direction::Received;
    std::string head; // start line and headers as logged
    std::string body; // body bytes as received or sent; empty when there was none
    SipHead sip;
    ManscdpBody manscdp;

    bool Sent() const { return direction == Direction::Sent; }
    bool Received() const { return direction == Direction::Received; }
    bool IsRequest(std::string_view method) const;
    bool IsResponse() const { return sip.valid && !sip.isRequest; }
    // A response that answers request: same Call-ID, CSeq number and method.
    bool Answers(const ObservedMessage& request) const;
};

// One message from its parts. A body equal to the log's placeholder for "no
// body" ("No Body!\n") counts as empty.
ObservedMessage ObserveMessage(Direction dir, std::int64_t timeMs, std::string timeText,
                               std::string head, std::string body);
// One row of the message log: direction 1 sent, 2 received (the log's own
// numbers), the time text of the row (its milliseconds since the epoch are read
// from it as local time; 0 when it cannot be read).
ObservedMessage ObserveLogRow(int direction, std::string_view timeText, std::string_view head,
                              std::string_view body);

// Milliseconds since the epoch of a local "%Y-%m-%dT%H:%M:%S" time text with an
// optional ".mmm"; nothing when the text is not of that form.
std::optional<std::int64_t> ParseLocalTimeMs(std::string_view text);
// "%Y-%m-%dT%H:%M:%S.mmm" of a local time.
std::string LocalTimeMsText(std::int64_t ms);

// Transport indexes of the media settings ("UDP", "TCP passive", "TCP active").
enum MediaTransport : int { kMediaUdp = 0, kMediaTcpPassive = 1, kMediaTcpActive = 2 };
const char* MediaTransportName(int index);

// How RTP came over a TCP connection, as the receiver read it.
enum MediaFraming : int {
    kFramingUnknown = 0,     // UDP, or no packet came
    kFramingRfc4571 = 1,     // a 16-bit length before each packet
    kFramingInterleaved = 2, // RTSP interleaved: '$', channel, 16-bit length
};

// The device's own clock over the measuring window: the video frames received
// between two readings, how far their RTP timestamps moved (90 kHz ticks, one
// timestamp per picture) and how long they took to arrive.
struct DeviceClock {
    std::uint64_t frames = 0;
    std::uint32_t ticks = 0;
    std::int64_t wallUs = 0;
};

// Whether Tarvex's receiver kept up with the stream over the measuring window,
// from its socket: over UDP the datagrams the kernel dropped for want of room
// in Tarvex's receive buffer, over TCP the bytes found waiting in its receive
// queue when it came to read (sampled at most every 100 ms).
struct ReceiverQueue {
    std::uint64_t kernelDrops = 0;
    std::uint64_t samples = 0, queuedBytes = 0; // TCP: samples and their sum
    std::uint64_t largestQueued = 0;            // TCP: the largest since the stream began
    // Frames taken by the receive thread in the window and how long they
    // waited for it, in all, after the socket was read (microseconds).
    std::uint64_t frames = 0, frameWaitUs = 0;
};

// The program stream around the key pictures of a stream, from its start to
// the end of the measuring window.
struct KeyPictures {
    std::uint64_t keys = 0; // key pictures (IDR, IRAP) received
    // Of them, those without a pack header, system header or program stream
    // map before their video, and those under a map naming another video
    // stream type than their parameter sets show.
    std::uint64_t withoutPack = 0, withoutSystem = 0, withoutMap = 0, typeMismatch = 0;
    int mapType = 0, pictureType = 0; // stream types seen (0x1B H.264, 0x24 H.265), 0 none
    // The key pictures' RTP timestamps (90 kHz): the intervals between
    // consecutive ones (how many, shortest, longest), and how far the last
    // frame came after the last key picture (none: not measured).
    std::uint64_t intervals = 0;
    std::uint32_t shortestTicks = 0, longestTicks = 0;
    std::optional<std::uint32_t> sinceLastKeyTicks{};
};

// One live-view or playback attempt as the media session saw it.
struct MediaObservation {
    // The offer's s= line: "Play" (live view), "Playback" or "Download" (a
    // download is measured for its key pictures only).
    std::string kind = "Play";
    int transport = kMediaUdp; // MediaTransport
    std::string callId;        // Call-ID of the INVITE, to find its messages
    std::string offer;         // SDP sent
    int answerStatus = 0;      // final status of the INVITE, 0 when none arrived
    std::string answer;        // SDP of the 200 OK, empty when none
    // From the INVITE leaving to the first decoded picture; -1 when none came.
    std::int64_t firstPictureMs = -1;
    std::int64_t windowMs = 0;            // length of the measuring window
    std::uint64_t frames = 0;             // frames decoded within the window
    // Frames of the stream handed to the decoder within the window (what the
    // device sent, whole); none when not measured.
    std::optional<std::uint64_t> framesReceived;
    std::uint64_t bytes = 0;              // RTP payload bytes within the window
    std::uint64_t packets = 0;            // RTP packets within the window
    std::uint64_t sequenceGaps = 0;       // places where the sequence number jumped
    std::uint64_t lostPackets = 0;        // packets those jumps skipped
    std::optional<std::uint32_t> rtpSsrc; // SSRC of the packets, when any came
    // False when the receiver gave no RTP-level figures (packets, gaps, SSRC):
    // the checks then judge frames and bytes only and say so.
    bool rtpCounted = true;
    int framing = kFramingUnknown; // MediaFraming of a TCP stream
    std::optional<DeviceClock> clock; // none: fewer than two frames came in the window
    std::optional<ReceiverQueue> receiverQueue; // none: not measured
    std::optional<KeyPictures> keyPictures; // none: not measured
    // Size of the pictures Tarvex decoded from the stream (0: none decoded).
    int pictureWidth = 0, pictureHeight = 0;
};

// What Tarvex was configured with while it observed.
struct CheckSettings {
    std::string sipTransport = "udp"; // "udp" or "tcp"
    std::string platformId;           // Tarvex's own SIP identifier
    // Tarvex challenged REGISTER with this password ("验证密码"); empty: it did not.
    std::string password;
    // Expected keepalive interval and misses before a device counts as offline;
    // 0 takes the device's own ConfigDownload answer when it gave one, else 60 s / 3.
    int keepaliveIntervalS = 0;
    int keepaliveMisses = 0;
    int messageAnswerLimitMs = 1000; // 200 OK to a MESSAGE
    int queryAnswerLimitMs = 3000;   // Response MESSAGE to a query
    int firstPictureLimitMs = 5000;
};

struct Observation {
    CheckSettings settings;
    std::string deviceId; // the device under check; empty: the From user of the first REGISTER
    std::int64_t startMs = 0, endMs = 0;   // the watched window; 0: the first and last message
    std::vector<ObservedMessage> messages; // in the order they were logged
    std::vector<MediaObservation> media;
    // False when no device registered while the driver waited (refused, or no
    // REGISTER at all): only the registration checks are then judged.
    bool registered = true;
    std::int64_t registerWaitMs = 0; // how long the driver waited for it
    TransferObservation transfers;   // snapshot uploads and firmware served (2022)
    // RTP packets of the check's voice broadcast that left Tarvex; none when
    // no broadcast call was set up.
    std::optional<std::uint64_t> broadcastPackets;

    // deviceId, or the From user of the first REGISTER received.
    std::string DeviceId() const;
    std::int64_t Start() const;
    std::int64_t End() const;
};

// The part of an observation that concerns one device: the messages whose From
// or To user is deviceId, for a log taken while several devices talked to
// Tarvex. The media attempts and settings are kept; deviceId is set.
Observation OnlyDevice(const Observation& obs, const std::string& deviceId);

} // namespace tarvex::check
