#pragma once
// What the session reads of a device's answer: whether it carries a video
// media line, and that line's connection (media-level c=, else session-level).

#include <string>

struct AnswerMedia {
    bool parsed = false;    // the text is an SDP that libosip2 reads
    bool video = false;     // it has an m=video line
    bool audio = false;     // it has an m=audio line
    std::string connection; // the video line's connection address; empty when none
    int videoPort = 0;      // the video line's port (informational)

    // The receiver starts only for a video line with a connection.
    bool Receivable() const { return video && !connection.empty(); }
};

AnswerMedia ReadAnswer(const std::string& sdp);
