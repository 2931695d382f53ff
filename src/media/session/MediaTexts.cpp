#include "media/session/MediaTexts.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list a;
    va_start(a, fmt);
    va_list b;
    va_copy(b, a);
    const int n = std::vsnprintf(nullptr, 0, fmt, a);
    va_end(a);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, b);
    va_end(b);
    return s;
}

// The device's field holds 31 characters; a longer identifier is cut.
std::string DeviceId(const MediaInputs& in) {
    return in.deviceId.substr(0, 31);
}

const char* TransportToken(int transport) {
    return transport == 0 ? "RTP/AVP" : "TCP/RTP/AVP";
}

// The value is ours in RFC 4145's reading, the device's in the old one
// (ReceiverTcpRole); the text is the same in both.
const char* SetupLines(int transport) {
    switch (transport) {
    case 1:
        return "a=setup:passive\r\na=connection:new\r\n";
    case 2:
        return "a=setup:active\r\na=connection:new\r\n";
    default:
        return "";
    }
}

std::string SessionHeader(const MediaInputs& in, const char* command, bool ranged = false) {
    // A recording is named by its channel: u=<channel>:0.
    const std::string channel = in.channelId.empty() ? DeviceId(in) : in.channelId.substr(0, 31);
    const std::string uri = ranged ? "u=" + channel + ":0\r\n" : std::string();
    return Format("v=0\r\no=%s 0 0 IN IP4 %s\r\ns=%s\r\n%sc=IN IP4 %s\r\n",
                  DeviceId(in).c_str(), in.address.c_str(), command, uri.c_str(),
                  in.address.c_str());
}

// The time line and the media line; the voice offers reuse the video payload
// map under an audio line.
std::string MediaLines(const MediaInputs& in, const char* media, bool ranged) {
    // The range is the low 32 bits of the recording's (else the search's)
    // seconds, as signed numbers.
    const bool record = in.recordEnd > in.recordStart;
    const std::int64_t from = record ? in.recordStart : in.searchStart;
    const std::int64_t to = record ? in.recordEnd : in.searchEnd;
    const int start = ranged ? static_cast<int32_t>(static_cast<uint32_t>(from)) : 0;
    const int end = ranged ? static_cast<int32_t>(static_cast<uint32_t>(to)) : 0;
    // 2022 adds H.265 (100) to the video offers; the voice offers keep the
    // 2016 map under their audio line.
    const bool h265 = in.edition2022 && std::string_view(media) == "video";
    return Format("t=%d %d \r\nm=%s %d %s 96 98 97%s\r\na=recvonly\r\n"
                  "a=rtpmap:96 PS/90000\r\na=rtpmap:98 H264/90000\r\n"
                  "a=rtpmap:97 MPEG4/90000\r\n%s",
                  start, end, media, in.port, TransportToken(in.transport), h265 ? " 100" : "",
                  h265 ? "a=rtpmap:100 H265/90000\r\n" : "");
}

// 2022: the live view names the stream it wants, 0 main, 1 sub.
std::string StreamNumberLine(const MediaInputs& in) {
    if (!in.edition2022) return {};
    return Format("a=streamnumber:%d\r\n", in.streamNumber == 1 ? 1 : 0);
}

std::string IdentityTrailer(const MediaInputs& in, int history) {
    return Format("a=username:%s\r\na=password:73910462\r\ny=%01d100000001\r\n"
                  "f=v/1/4/20/2/1024a/8/1\r\n",
                  DeviceId(in).c_str(), history);
}

struct ControlRow {
    double scale;
    int rangeStart;
};
// Rows 2 to 8 of set 3: play, pause, fast and slow forward, fast and slow
// backward, seek.
constexpr ControlRow kControlRows[] = {{1.0, 0},  {1.0, 0},  {2.0, 0}, {0.5, 0},
                                       {-2.0, 0}, {-0.5, 0}, {1.0, 10}};

} // namespace

MediaRow MediaRowAt(int set, int row) {
    // The media list's own table says what each row does.
    const std::span<const CommandEntry> rows = MediaSet(set);
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size()) return {};
    const CommandEntry& e = rows[static_cast<std::size_t>(row)];
    if (e.action == MediaRowAction::None) return {};
    return {e.action, e.command, e.kind};
}

MediaStream StreamOfRow(const MediaRow& r) {
    switch (r.action) {
    case MediaRowAction::OpenLive:
    case MediaRowAction::CancelLive:
        return MediaStream::Live;
    case MediaRowAction::OpenDownload:
    case MediaRowAction::CancelDownload:
        return MediaStream::Download;
    case MediaRowAction::OpenPlayback:
    case MediaRowAction::CancelPlayback:
        return MediaStream::Playback;
    case MediaRowAction::OpenVoice:
        return MediaStream::Voice;
    default:
        return MediaStream::None;
    }
}

std::string OfferText(const MediaRow& r, const MediaInputs& in) {
    const bool ranged =
        r.action == MediaRowAction::OpenDownload || r.action == MediaRowAction::OpenPlayback;
    std::string s = SessionHeader(in, r.command ? r.command : "", ranged);
    switch (r.action) {
    case MediaRowAction::OpenLive:
        return s + MediaLines(in, "video", false) + SetupLines(in.transport) +
               StreamNumberLine(in) + IdentityTrailer(in, 0);
    case MediaRowAction::OpenDownload:
        return s + MediaLines(in, "video", true) +
               Format("a=downloadspeed:%d\r\n", in.downloadSpeed) + SetupLines(in.transport) +
               IdentityTrailer(in, 1);
    case MediaRowAction::OpenPlayback:
        return s + MediaLines(in, "video", true) + SetupLines(in.transport) +
               IdentityTrailer(in, 1);
    case MediaRowAction::OpenVoice:
        return s + MediaLines(in, "audio", false) + IdentityTrailer(in, 0);
    default:
        return {};
    }
}

TcpRole ReceiverTcpRole(const MediaInputs& in) {
    if (in.transport != 1 && in.transport != 2) return TcpRole::None;
    const bool offerPassive = in.transport == 1;
    return offerPassive != in.legacySetup ? TcpRole::Listen : TcpRole::Connect;
}

std::string PlaybackControlText(int row) {
    const MediaRow r = MediaRowAt(3, row);
    if (r.action != MediaRowAction::PlaybackControl) return {};
    const ControlRow& c = kControlRows[row - 2];
    // printf's %.1f follows LC_NUMERIC, which a GUI toolkit sets from the
    // environment ("2,0" in many locales); the wire wants "2.0" always.
    char scale[32];
    const auto res =
        std::to_chars(scale, scale + sizeof scale - 1, c.scale, std::chars_format::fixed, 1);
    *res.ptr = '\0';
    return Format("%s RTSP/1.0\r\nCSeq: 2\r\nScale: %s\r\nRange: npt=%d-\r\n", r.command, scale,
                  c.rangeStart);
}

std::string ClockText(std::int64_t seconds) {
    return Format("%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds % 3600 / 60), static_cast<int>(seconds % 60));
}
