#pragma once
// The command line of tarvex-camera, parsed into what every simulated device
// shares.

#include "sim/camera/VideoSource.h"

#include <set>
#include <string>
#include <vector>

namespace tvsim {

// Misbehaviours of real devices, each switched on by --fault NAME.
enum class Fault {
    NoNum,              // "no-num": DeviceList without its Num attribute
    LateAnswer,         // "late-answer": answers go out --late-ms after the query
    ForeignId,          // "foreign-id": answers come from another device's identifier
    DollarTcp,          // "dollar-tcp": TCP media framed as RTSP interleaved data ('$', 0, length)
    SsrcZero,           // "ssrc-zero": RTP packets carry SSRC 0 whatever the offer's y= line says
    ContentLengthChars, // "content-length-chars": MESSAGE Content-Length counts characters, not bytes
    WrongSn,            // "wrong-sn": answers carry the query's SN + 1000
    MissKeepalives,     // "miss-keepalives": keepalives stop after the first --keepalives
    SlowOk,             // "slow-ok": the 200 to the platform's MESSAGEs goes out --slow-ms late
    BadSdp,             // "bad-sdp": the SDP answer has no y= line
    NoPtz,              // "no-ptz": DeviceControl with PTZCmd answered 501, no Response
    BadRecordTimes,     // "bad-record-times": RecordInfo items with malformed times
    RtpGaps,            // "rtp-gaps": every kRtpGapEvery-th RTP packet skips a sequence number
    ContactBack,        // "contact-back": INVITE 200 without a To tag, its Contact the platform's
    KeepaliveError,     // "keepalive-error": keepalives carry Status ERROR
    NoMediaStatus,      // "no-media-status": the end of a recording sent without MediaStatus 121
    FpsStamp,           // "fps-stamp": pictures stamped at the source's rate, sent kFpsStampSent a second
    PsBareKey,          // "ps-bare-key": key pictures with a pack header only (no system header, no map)
    NoSubscribe,         // "no-subscribe": every SUBSCRIBE answered 489 Bad Event
    NotifyOutsideDialog, // "notify-outside-dialog": NOTIFYs with a Call-ID and tags of their own
    StaleNotify,         // "stale-notify": notifications go on in the dialog after its end
    RefuseMedia,        // "refuse-media": every INVITE answered 488 Not Acceptable Here
    GopLong,            // "gop-long": key pictures kGopLongSeconds apart
    FMismatch,          // "f-mismatch": the INVITE answer's f= states kFMismatchFormat
    NoBroadcast,        // "no-broadcast": the Broadcast notification answered Result OK, no INVITE follows
};

// With fps-stamp, the pictures sent a second whatever their timestamps say
// (25 fps of the pattern: about half of them, the stream's clock runs slow).
constexpr double kFpsStampSent = 12;

// With gop-long, the seconds between key pictures (cameras send one every
// second or two; a platform joining the stream waits this long for a picture).
constexpr int kGopLongSeconds = 6;

// With f-mismatch, the f= of the INVITE answers: H.264 at 1080P, 25 fps,
// whatever the stream carries (the pattern's 640x360 by default).
constexpr const char* kFMismatchFormat = "v/2/6/25/1/4096a///";

// With rtp-gaps, one sequence number in this many packets is skipped (about
// 9 % of the numbering, far over a receiver's 1 % allowance; at 25 pictures a
// second a one-second window holds at least two gaps), the payload complete:
// pictures still decode.
constexpr int kRtpGapEvery = 10;

struct FaultName {
    Fault fault;
    const char* name;
    const char* what;
};
const std::vector<FaultName>& FaultNames();

struct CameraOptions {
    std::string serverIp = "127.0.0.1";
    int serverPort = 5060;
    std::string serverId = "34020000002000000001";
    std::string domain; // empty: the first 10 digits of serverId
    bool tcp = false;
    std::string id = "34020000001320000001";
    int devices = 1;
    int channels = 4;
    std::string password = "12345678";
    std::string localIp; // empty: the address that routes to the server
    int localPort = 0;   // first device's SIP port, +1 per device; 0 any
    int expires = 3600;
    int keepalive = 60;
    int perMessage = 0;
    std::string source = "pattern";
    PatternOptions pattern;
    double clip = 60;
    // The offer's a=setup names the platform's role (RFC 4145, as real devices
    // read it); false: the device's own (the old reading, --setup legacy).
    bool setupRfc4145 = true;
    // Voice broadcast: how the device takes the platform's audio (--voice-transport
    // udp | tcp-active: the device connects | tcp-passive: the device listens), and
    // the tone it expects in it (--expect-tone HZ, 0: none).
    std::string voiceTransport = "udp";
    double expectTone = 0;
    double talkTone = 1000; // --talk-tone HZ: what a talk call sends back
    std::string format;   // --format: the answers' f= value (empty, as most devices)
    // --talk-codec g711|aac: a talk answer keeps the first G.711 type offered
    // (as most devices answer), or only AAC (102), sent and taken as RFC 3640.
    std::string talkCodec = "g711";
    int payloadType = 96; // --pt: the payload type the program stream goes in and is answered as
    std::set<Fault> faults;
    int lateMs = 3000;
    int reorderEvery = 0; // --reorder N: every N-th picture's last two packets swapped
    int lateEvery = 0;    // --late N: every N-th picture's last packet after the next one's first
    int slowMs = 1500;
    int gb = 2022; // --gb: the edition played (2016 or 2022), see Gb2022Device.h
    int keepalivesBeforeMiss = 2;
    std::string foreignId;
    int retrySeconds = 5;
    // Subscriptions (Notifier.h): an alarm every S seconds (0 never), the
    // position at each subscription's interval (moving with move; none while
    // still with quietStill), a channel's status changed every S seconds (0 never).
    int alarmEvery = 0;
    bool move = false;
    bool quietStill = false;
    int catalogChange = 0;
    double duration = 0; // run this long, then leave as on SIGTERM; 0: until a signal
    bool quiet = false;
    bool help = false;
    bool version = false;

    bool Has(Fault f) const { return faults.count(f) != 0; }
};

// False with error set for a bad command line.
bool ParseOptions(const std::vector<std::string>& args, CameraOptions& o, std::string& error);
std::string UsageText();

// Identifier number k after id (the last digits counted up), empty when the
// count would run out of digits.
std::string NthId(const std::string& id, int k);
// Channel identifiers of device id: type code 131 and serial number derived
// from the device's, so that the channels of consecutive devices differ.
std::string ChannelId(const std::string& deviceId, int channel);

} // namespace tvsim
