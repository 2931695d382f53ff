#pragma once
// The session descriptions of a platform's INVITE as a GB/T 28181 device reads
// them (with the y= SSRC line, f= and the a=downloadspeed attribute), the
// device's answer, and the MANSRTSP texts of playback control.

#include <cstdint>
#include <string>

namespace tvsim {

struct MediaOffer {
    std::string sessionName; // s=: Play, Playback, Download, ...
    std::string address;     // c= (media level, else session level)
    int port = -1;           // of m=video
    bool tcp = false;        // TCP/RTP/AVP
    std::string setup;       // a=setup value, empty when absent
    bool hasPs = false;      // a=rtpmap:96 PS/90000, or payload 96 offered
    int64_t start = 0, end = 0; // t=
    std::string ssrc;        // y=, empty when absent
    int downloadSpeed = 0;   // a=downloadspeed, 0 when absent
};

// Reads an offer. False with error set when it has no usable video line.
bool ParseOffer(const std::string& sdp, MediaOffer& offer, std::string& error);

struct MediaAnswer {
    std::string deviceId;
    std::string sessionName;
    std::string address;
    int port = 0;
    bool tcp = false;
    std::string setup; // our role on TCP: "active" or "passive"
    int64_t start = 0, end = 0;
    std::string ssrc;
    int64_t fileSize = -1; // a=filesize of a download, when known
    int payloadType = 96;  // the program stream's
    std::string format;    // the f= value ("" as most devices answer: f= empty)
};

std::string BuildAnswer(const MediaAnswer& a);

// A MANSRTSP text (PLAY, PAUSE, TEARDOWN with CSeq, Scale and Range).
struct PlaybackCommand {
    std::string method;
    bool hasScale = false;
    double scale = 1.0;
    bool hasRange = false;
    double rangeStart = -1; // seconds; -1 for "now"
};

bool ParsePlaybackCommand(const std::string& text, PlaybackCommand& cmd, std::string& error);

// The SSRC of a y= value (its decimal digits); 0 when none.
uint32_t SsrcFromText(const std::string& y);

} // namespace tvsim
