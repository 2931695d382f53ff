#pragma once
// ffmpeg's moving test pattern encoded as an H.264 (libx264) or H.265
// (libx265) elementary stream, for tests that need real video made at run time.

#include <string>

enum class TestCodec { H264, H265 };

// The shell command that writes the stream to out. input is what follows
// "testsrc2=" (size and rate), length "-t SECONDS" or "-frames:v N", extra
// goes before the output (filters, encoder options); paths are quoted.
inline std::string TestPatternCommand(TestCodec codec, const std::string& input,
                                      const std::string& length, const std::string& extra,
                                      const std::string& out) {
    const bool hevc = codec == TestCodec::H265;
    std::string options = extra;
    if (hevc) {
        // x265 takes one -x265-params (a second replaces the first): its own
        // log level joins the caller's parameters.
        const std::string key = "-x265-params ";
        const auto at = options.find(key);
        if (at == std::string::npos)
            options += " " + key + "log-level=error";
        else
            options.insert(at + key.size(), "log-level=error:");
    }
    return "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=" + input + " " +
           length + (hevc ? " -c:v libx265" : " -c:v libx264") + " -preset veryfast " + options +
           (hevc ? " -f hevc '" : " -f h264 '") + out + "'";
}
