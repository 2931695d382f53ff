#include "sim/camera/Options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tvsim {

const std::vector<FaultName>& FaultNames() {
    static const std::vector<FaultName> names = {
        {Fault::NoNum, "no-num", "Catalog answers' DeviceList without the Num attribute"},
        {Fault::LateAnswer, "late-answer", "answers to queries go out --late-ms after the query"},
        {Fault::ForeignId, "foreign-id",
         "answers carry another device's identifier (From and DeviceID)"},
        {Fault::DollarTcp, "dollar-tcp",
         "TCP media framed as RTSP interleaved data ('$', channel 0, length)"},
        {Fault::SsrcZero, "ssrc-zero", "RTP packets carry SSRC 0 whatever the offer's y= says"},
        {Fault::ContentLengthChars, "content-length-chars",
         "MESSAGEs with Chinese text declare Content-Length in characters, not bytes"},
        {Fault::WrongSn, "wrong-sn", "answers carry the query's SN + 1000"},
        {Fault::MissKeepalives, "miss-keepalives",
         "keepalives stop after the first --keepalives; all else goes on"},
        {Fault::SlowOk, "slow-ok", "the 200 to the platform's MESSAGEs goes out --slow-ms late"},
        {Fault::BadSdp, "bad-sdp", "the SDP answer to an INVITE has no y= line"},
        {Fault::NoPtz, "no-ptz", "DeviceControl with PTZCmd answered 501, without a Response"},
        {Fault::BadRecordTimes, "bad-record-times",
         "RecordInfo items' StartTime with a space for the T, EndTime without seconds"},
        {Fault::RtpGaps, "rtp-gaps",
         "every 10th RTP packet skips a sequence number; no payload is lost"},
        {Fault::ContactBack, "contact-back",
         "the 200 to an INVITE has no To tag and a Contact naming the platform"},
        {Fault::KeepaliveError, "keepalive-error", "keepalives carry Status ERROR"},
        {Fault::NoMediaStatus, "no-media-status",
         "a download or playback reaches its end without the MediaStatus 121 Notify"},
        {Fault::FpsStamp, "fps-stamp",
         "pictures stamped at the source's rate (25 fps) but sent 12 a second"},
        {Fault::PsBareKey, "ps-bare-key",
         "key pictures in a pack header alone: no system header, no program stream map"},
        {Fault::NoSubscribe, "no-subscribe", "every SUBSCRIBE answered 489 Bad Event"},
        {Fault::NotifyOutsideDialog, "notify-outside-dialog",
         "NOTIFYs carry a Call-ID and tags of their own, outside the subscription's dialog"},
        {Fault::StaleNotify, "stale-notify",
         "after a subscription ends (Expires 0) its notifications go on in the old dialog"},
        {Fault::RefuseMedia, "refuse-media", "every INVITE answered 488 Not Acceptable Here"},
        {Fault::NoBroadcast, "no-broadcast", "the Broadcast notification answered Result OK, no INVITE for the audio"},
        {Fault::GopLong, "gop-long", "key pictures 6 s apart (the pattern's encoder GOP)"},
        {Fault::FMismatch, "f-mismatch",
         "the INVITE answer's f= says H.264 1080P (v/2/6/...) whatever the stream carries"},
    };
    return names;
}

namespace {

bool Int(const std::string& s, long lo, long hi, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool Num(const std::string& s, double lo, double hi, double& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (*end || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

bool Ipv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool Digits(const std::string& s, std::size_t n) {
    if (s.size() != n) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

} // namespace

std::string UsageText() {
    std::ostringstream o;
    o << "usage: tarvex-camera [options]\n"
         "Plays one or more GB/T 28181 devices (cameras with recordings) against a platform.\n\n"
         "Platform:\n"
         "  --server HOST:PORT     platform's SIP address (default 127.0.0.1:5060)\n"
         "  --server-id ID         platform's identifier (default 34020000002000000001)\n"
         "  --domain DOMAIN        SIP domain (default: first 10 digits of --server-id)\n"
         "  --transport udp|tcp    SIP transport (default udp)\n"
         "  --password TEXT        password for a digest challenge (default 12345678)\n"
         "Devices:\n"
         "  --id ID                first device's 20-digit identifier (default 34020000001320000001)\n"
         "  --devices N            devices with consecutive identifiers (default 1, at most 1000)\n"
         "  --channels N           channels of each device (default 4, 1 to 99)\n"
         "  --local-ip ADDR        our address in Via, Contact and SDP (default: the one that\n"
         "                         reaches the server)\n"
         "  --local-port P         SIP port of the first device, the next one P+1 ... (default: any)\n"
         "  --expires S            registration lifetime asked for (default 3600)\n"
         "  --keepalive S          keepalive interval (default 60)\n"
         "  --per-message N        catalog and record items per MESSAGE (default 0: all in one)\n"
         "  --retry S              seconds between failed registrations (default 5)\n"
         "Media:\n"
         "  --source pattern|FILE  moving test pattern (default) or a media file played in a loop\n"
         "  --size WxH             pattern size (default 640x360, up to 4096x4096)\n"
         "  --codec h264|h265      pattern codec (default h264)\n"
         "  --audio                a G.711 A-law tone in the program stream as well\n"
         "  --alarm-every S        an alarm every S seconds: NOTIFY in an Alarm subscription,\n"
         "                         else a MESSAGE (0, the default: never)\n"
         "  --move                 the position moves (without it the same position is\n"
         "                         notified at each MobilePosition subscription's interval)\n"
         "  --quiet-still          no positions unless --move\n"
         "  --catalog-change S     a channel goes OFF or ON every S seconds: NOTIFY in a\n"
         "                         Catalog subscription (0, the default: never)\n"
         "  --reorder N            every N-th picture's last two RTP packets swapped (0: never)\n"
         "  --late N               every N-th picture's last RTP packet sent after the next\n"
         "                         picture's first (0: never)\n"
         "  --fps N                pattern frame rate (default 25)\n"
         "  --bitrate KBIT         pattern bit rate (default 1000)\n"
         "  --loop S               encode S seconds of the pattern once (whole key intervals)\n"
         "                         and play them in a loop (default 0: every picture encoded\n"
         "                         live, as a camera does); for sizes the machine cannot\n"
         "                         encode at the frame rate\n"
         "  --loop-dir DIR         where the loop's file is kept and found again (default:\n"
         "                         the working folder)\n"
         "  --format F             the f= line of the INVITE answers (default empty, as most\n"
         "                         devices send it), e.g. v/2/6/25/1/4096a///\n"
         "  --clip S               longest playback or download in seconds (default 60)\n"
         "  --setup rfc4145|legacy the offer's a=setup names the platform's role (RFC 4145,\n"
         "                         default) or the device's own (legacy, also 'device')\n"
         "  --pt N                 payload type of the program stream, 96 to 127 (default 96)\n"
         "Voice broadcast:\n"
         "  --voice-transport udp|tcp-active|tcp-passive\n"
         "                         how the device takes the platform's audio (default udp)\n"
         "  --expect-tone HZ       the tone the broadcast must carry; the measured one is\n"
         "                         printed with ok or WRONG (within 10 Hz)\n"
         "  --talk-tone HZ         the tone a talk call sends back (default 1000)\n"
         "  --talk-codec g711|aac  a talk answer keeps the first G.711 type offered\n"
         "                         (default) or only AAC (102, RFC 3640) both ways\n"
         "Faults (--fault NAME, repeatable):\n";
    for (const auto& f : FaultNames()) {
        std::string n = f.name;
        o << "  " << n << std::string(n.size() < 23 ? 23 - n.size() : 1, ' ') << f.what << "\n";
    }
    o << "  --late-ms MS           delay of late answers (default 3000)\n"
         "  --slow-ms MS           delay of the 200 with slow-ok (default 1500)\n"
         "  --gb 2016|2022         edition played: 2022 answers its queries and controls and\n"
         "                         sends X-GB-Ver 3.0; 2016 refuses them (default 2022)\n"
         "  --keepalives N         keepalives sent before miss-keepalives stops them (default 2)\n"
         "  --foreign-id ID        identifier of foreign answers (default: the device's + 1000)\n"
         "Run:\n"
         "  --duration S           leave after S seconds as on SIGTERM (default: run until a signal)\n"
         "  --quiet                only errors and the summary\n"
         "  --help, --version\n";
    return o.str();
}

bool ParseOptions(const std::vector<std::string>& args, CameraOptions& o, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        auto bad = [&](const char* what) {
            error = "bad value '" + v + "' for " + a + ": " + what;
            return false;
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--audio") {
            o.pattern.audio = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--server") {
            if (!value(v)) return false;
            auto colon = v.rfind(':');
            std::string host = colon == std::string::npos ? v : v.substr(0, colon);
            if (!Ipv4(host)) return bad("expected an IPv4 address, optionally with :PORT");
            o.serverIp = host;
            if (colon != std::string::npos && !Int(v.substr(colon + 1), 1, 65535, o.serverPort))
                return bad("port must be 1 to 65535");
        } else if (a == "--server-id") {
            if (!value(v)) return false;
            if (!Digits(v, 20)) return bad("expected 20 digits");
            o.serverId = v;
        } else if (a == "--domain") {
            if (!value(v)) return false;
            if (v.empty()) return bad("empty");
            o.domain = v;
        } else if (a == "--transport") {
            if (!value(v)) return false;
            if (v != "udp" && v != "tcp") return bad("udp or tcp");
            o.tcp = v == "tcp";
        } else if (a == "--password") {
            if (!value(v)) return false;
            o.password = v;
        } else if (a == "--id") {
            if (!value(v)) return false;
            if (!Digits(v, 20)) return bad("expected 20 digits");
            o.id = v;
        } else if (a == "--devices") {
            if (!value(v)) return false;
            if (!Int(v, 1, 1000, o.devices)) return bad("1 to 1000");
        } else if (a == "--channels") {
            if (!value(v)) return false;
            if (!Int(v, 1, 99, o.channels)) return bad("1 to 99");
        } else if (a == "--local-ip") {
            if (!value(v)) return false;
            if (!Ipv4(v)) return bad("expected an IPv4 address");
            o.localIp = v;
        } else if (a == "--local-port") {
            if (!value(v)) return false;
            if (!Int(v, 0, 65535, o.localPort)) return bad("0 to 65535");
        } else if (a == "--expires") {
            if (!value(v)) return false;
            if (!Int(v, 10, 86400 * 7, o.expires)) return bad("10 to 604800 seconds");
        } else if (a == "--keepalive") {
            if (!value(v)) return false;
            if (!Int(v, 1, 86400, o.keepalive)) return bad("1 to 86400 seconds");
        } else if (a == "--per-message") {
            if (!value(v)) return false;
            if (!Int(v, 0, 1000, o.perMessage)) return bad("0 to 1000");
        } else if (a == "--retry") {
            if (!value(v)) return false;
            if (!Int(v, 1, 3600, o.retrySeconds)) return bad("1 to 3600 seconds");
        } else if (a == "--source") {
            if (!value(v)) return false;
            if (v.empty()) return bad("empty");
            o.source = v;
        } else if (a == "--size") {
            if (!value(v)) return false;
            auto x = v.find('x');
            if (x == std::string::npos || !Int(v.substr(0, x), 64, 4096, o.pattern.width) ||
                !Int(v.substr(x + 1), 64, 4096, o.pattern.height) || o.pattern.width % 2 ||
                o.pattern.height % 2)
                return bad("WIDTHxHEIGHT, even numbers from 64 to 4096");
        } else if (a == "--codec") {
            if (!value(v)) return false;
            if (v != "h264" && v != "h265") return bad("h264 or h265");
            o.pattern.hevc = v == "h265";
        } else if (a == "--fps") {
            if (!value(v)) return false;
            if (!Int(v, 1, 60, o.pattern.fps)) return bad("1 to 60");
        } else if (a == "--bitrate") {
            if (!value(v)) return false;
            if (!Int(v, 50, 50000, o.pattern.kbit)) return bad("50 to 50000 kbit/s");
        } else if (a == "--loop") {
            if (!value(v)) return false;
            if (!Num(v, 0, 60, o.pattern.loopSeconds)) return bad("0 to 60 seconds");
        } else if (a == "--loop-dir") {
            if (!value(v)) return false;
            if (v.empty()) return bad("empty");
            o.pattern.loopDir = v;
        } else if (a == "--format") {
            if (!value(v)) return false;
            if (v.find_first_of("\r\n") != std::string::npos) return bad("one line");
            o.format = v;
        } else if (a == "--clip") {
            if (!value(v)) return false;
            if (!Num(v, 1, 86400, o.clip)) return bad("1 to 86400 seconds");
        } else if (a == "--setup") {
            if (!value(v)) return false;
            if (v != "legacy" && v != "device" && v != "rfc4145") return bad("rfc4145 or legacy");
            o.setupRfc4145 = v == "rfc4145";
        } else if (a == "--voice-transport") {
            if (!value(v)) return false;
            if (v != "udp" && v != "tcp-active" && v != "tcp-passive")
                return bad("udp, tcp-active or tcp-passive");
            o.voiceTransport = v;
        } else if (a == "--expect-tone") {
            if (!value(v)) return false;
            if (!Num(v, 50, 3950, o.expectTone)) return bad("50 to 3950 Hz");
        } else if (a == "--talk-tone") {
            if (!value(v)) return false;
            if (!Num(v, 50, 3950, o.talkTone)) return bad("50 to 3950 Hz");
        } else if (a == "--talk-codec") {
            if (!value(v)) return false;
            if (v != "g711" && v != "aac") return bad("g711 or aac");
            o.talkCodec = v;
        } else if (a == "--pt") {
            if (!value(v)) return false;
            if (!Int(v, 96, 127, o.payloadType)) return bad("96 to 127");
        } else if (a == "--fault") {
            if (!value(v)) return false;
            bool found = false;
            for (const auto& f : FaultNames())
                if (v == f.name) {
                    o.faults.insert(f.fault);
                    found = true;
                }
            if (!found) {
                std::string all;
                for (const auto& f : FaultNames()) all += std::string(all.empty() ? "" : ", ") + f.name;
                return bad(("one of " + all).c_str());
            }
        } else if (a == "--reorder") {
            if (!value(v)) return false;
            if (!Int(v, 0, 100000, o.reorderEvery)) return bad("0 to 100000 pictures");
        } else if (a == "--late") {
            if (!value(v)) return false;
            if (!Int(v, 0, 100000, o.lateEvery)) return bad("0 to 100000 pictures");
        } else if (a == "--late-ms") {
            if (!value(v)) return false;
            if (!Int(v, 0, 600000, o.lateMs)) return bad("0 to 600000");
        } else if (a == "--gb") {
            if (!value(v)) return false;
            if (v != "2016" && v != "2022") return bad("2016 or 2022");
            o.gb = std::atoi(v.c_str());
        } else if (a == "--alarm-every") {
            if (!value(v)) return false;
            if (!Int(v, 0, 86400, o.alarmEvery)) return bad("0 to 86400 seconds");
        } else if (a == "--catalog-change") {
            if (!value(v)) return false;
            if (!Int(v, 0, 86400, o.catalogChange)) return bad("0 to 86400 seconds");
        } else if (a == "--move") {
            o.move = true;
        } else if (a == "--quiet-still") {
            o.quietStill = true;
        } else if (a == "--slow-ms") {
            if (!value(v)) return false;
            if (!Int(v, 0, 30000, o.slowMs)) return bad("0 to 30000");
        } else if (a == "--keepalives") {
            if (!value(v)) return false;
            if (!Int(v, 0, 100000, o.keepalivesBeforeMiss)) return bad("0 to 100000");
        } else if (a == "--foreign-id") {
            if (!value(v)) return false;
            if (!Digits(v, 20)) return bad("expected 20 digits");
            o.foreignId = v;
        } else if (a == "--duration") {
            if (!value(v)) return false;
            if (!Num(v, 0.1, 1e7, o.duration)) return bad("a positive number of seconds");
        } else {
            error = "unknown argument '" + a + "'";
            return false;
        }
    }
    if (o.domain.empty()) o.domain = o.serverId.substr(0, 10);
    if (NthId(o.id, o.devices - 1).empty()) {
        error = "--devices " + std::to_string(o.devices) + " runs out of identifiers after " + o.id;
        return false;
    }
    if (o.localPort && o.localPort + o.devices - 1 > 65535) {
        error = "--local-port " + std::to_string(o.localPort) + " leaves no port for every device";
        return false;
    }
    return true;
}

std::string NthId(const std::string& id, int k) {
    // The serial number is the last 7 digits.
    long serial = std::strtol(id.substr(13).c_str(), nullptr, 10) + k;
    if (id.size() != 20 || serial > 9999999 || k < 0) return "";
    char buf[24];
    std::snprintf(buf, sizeof buf, "%07ld", serial);
    return id.substr(0, 13) + buf;
}

std::string ChannelId(const std::string& deviceId, int channel) {
    long serial = std::strtol(deviceId.substr(13).c_str(), nullptr, 10);
    char buf[24];
    std::snprintf(buf, sizeof buf, "%07ld", (serial % 100000) * 100 + channel % 100);
    return deviceId.substr(0, 10) + "131" + buf;
}

} // namespace tvsim
