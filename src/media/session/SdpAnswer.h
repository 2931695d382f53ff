#pragma once
// What the session reads of a device's answer: whether it carries a video
// media line, that line's connection (media-level c=, else session-level) and
// port, what its payload types carry (a=rtpmap), its TCP role (a=setup) and
// the y= SSRC.

#include <cstdint>
#include <optional>
#include <string>

// What the first payload type of the video line carries.
enum class AnswerEncoding { None, Ps, H264, H265, Aac, Other };

struct AnswerMedia {
    bool parsed = false;    // the text is an SDP that libosip2 reads
    bool video = false;     // it has an m=video line
    bool audio = false;     // it has an m=audio line
    std::string connection; // the video line's connection address; empty when none
    int videoPort = 0;      // the video line's port
    // The payload type the device sends: the line's first format; its
    // encoding from a=rtpmap, or PS for 96 without one (as devices answer it).
    int payloadType = -1;
    AnswerEncoding encoding = AnswerEncoding::None;
    std::string encodingName; // the a=rtpmap name of payloadType, as written
    std::string setup;        // a=setup of the video line (the device's role in RFC 4145)
    std::optional<std::uint32_t> ssrc; // y=, when it reads as a number
    // a=filesize of a download's answer: the file's bytes, when the device
    // knows them (a negative or unreadable value is none).
    std::optional<std::int64_t> fileSize;
    // The stream number the device names: a=streamnumber, or a=stream or
    // a=streamprofile as some devices spell it (a=streamnumber wins).
    std::optional<int> streamNumber;
    // The first format of the m=audio line and what it carries (AAC: "AAC"
    // or RFC 3640's "MPEG4-GENERIC", or 102 without a=rtpmap under 2022).
    int audioPayloadType = -1;
    AnswerEncoding audioEncoding = AnswerEncoding::None;

    // The receiver starts only for a video line with a connection.
    bool Receivable() const { return video && !connection.empty(); }
};

// edition2022: payload types without a=rtpmap read as that edition fixes
// them (100 H.265, 102 AAC) besides 96 PS.
AnswerMedia ReadAnswer(const std::string& sdp, bool edition2022 = false);
