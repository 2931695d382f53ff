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
    return "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=" + input + " " +
           length + (hevc ? " -c:v libx265" : " -c:v libx264") + " -preset veryfast " + extra +
           (hevc ? " -x265-params log-level=error -f hevc '" : " -f h264 '") + out + "'";
}
