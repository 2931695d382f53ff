// SDP as the media checks read it (RFC 4566 lines plus the GB/T 28181 y= and f=
// lines), and what a device's answer to Tarvex's offer must hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::check {

struct SdpMedia {
    std::string type;  // "video", "audio"
    std::string port;  // as written
    std::string proto; // "RTP/AVP", "TCP/RTP/AVP"
    std::vector<std::string> formats;
    std::vector<std::string> attributes; // a= values of this media, in order
    std::string connection;              // its c= value, "" without one
};

struct Sdp {
    std::string problem; // first line that is not "<letter>=<value>", "" when none
    std::vector<std::pair<char, std::string>> lines; // every line in order
    std::vector<std::string> attributes;             // session-level a= values
    std::string connection;                          // session-level c= value
    std::vector<SdpMedia> media;

    // Value of the first line of that type anywhere, nothing when there is none.
    std::optional<std::string> First(char type) const;
    const SdpMedia* Media(std::string_view type) const;
    // Value of a=name[:value] of the media, else of the session; nothing when absent.
    std::optional<std::string> Attribute(const SdpMedia* m, std::string_view name) const;
};

Sdp ParseSdp(std::string_view text);

// The SSRC of a y= value (ten decimal digits), nothing when it is not one.
std::optional<std::uint32_t> SsrcOfY(std::string_view y);

// What is wrong with a device's answer to a video offer, "" when nothing: the
// session lines, the video media line with the offer's transport and one of its
// payload types, a connection address, a direction that lets the device send,
// y= (ten digits, first digit 0 for live and 1 for recordings, a 32-bit SSRC
// other than 0) and, over TCP, a=setup naming the role the device must take
// (transport 1: Tarvex connects, so the device is passive; 2: it is active).
std::string SdpAnswerProblem(std::string_view answer, std::string_view offer, int transport,
                             bool history);

} // namespace tarvex::check
