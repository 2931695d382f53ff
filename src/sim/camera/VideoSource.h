#pragma once
// What a simulated camera streams: H.264 (or H.265) access units in decode
// order with their 90 kHz times, from a file (re-muxed without decoding when it
// holds H.264, decoded and encoded again as H.264 otherwise) or from a moving
// test pattern encoded with libx264 or libx265. Sources loop for ever; the stream decides where a
// recording ends. One source belongs to one stream thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvsim {

struct AccessUnit {
    std::vector<uint8_t> data; // Annex B, the parameter sets before every key frame
    int64_t pts = 0;           // 90 kHz, from the start of the source, growing across loops
    int64_t dts = 0;
    int64_t duration = 0; // 90 kHz until the next unit
    bool key = false;
};

struct PatternOptions {
    int width = 640;
    int height = 360;
    int fps = 25;
    int kbit = 1000;
    int keySeconds = 1;      // seconds between key pictures (the encoder's GOP)
    bool hevc = false;       // H.265 (libx265) instead of H.264 (libx264)
    bool audio = false;      // the stream carries a G.711 A-law tone too (any source)
    std::string label;       // drawn into the picture (the channel's identifier)
    int64_t clockBase = 0;   // seconds since 1970 shown at position 0 (0: now)
    // Seconds of the pattern encoded once and played in a loop (0: every
    // picture encoded live, as a camera does). Rounded up to whole key
    // intervals; kept in loopDir (empty: the working folder), see LoopFile.
    double loopSeconds = 0;
    std::string loopDir;
};

class VideoSource {
public:
    virtual ~VideoSource() = default;
    // The next access unit; false with error set when none can be had.
    virtual bool Next(AccessUnit& au, std::string& error) = 0;
    // Continues from the key frame at or before this many seconds from the start.
    virtual void Seek(double seconds) = 0;
    // Makes the next unit a key frame where the source can.
    virtual void ForceKeyFrame() {}
    // Length of one pass in seconds (0 when endless).
    virtual double Duration() const = 0;
    virtual std::string Describe() const = 0;
    // Whether the units are H.265 (else H.264).
    virtual bool Hevc() const { return false; }
};

// A 1 kHz tone at 8 kHz, mono, as G.711 A-law (libavcodec's pcm_alaw).
class ToneSource {
public:
    ToneSource();
    ~ToneSource();
    ToneSource(const ToneSource&) = delete;
    ToneSource& operator=(const ToneSource&) = delete;
    bool Open(std::string& error);
    // The next samples of the tone, one byte each.
    std::vector<uint8_t> Next(int samples);

private:
    struct Codec;
    std::unique_ptr<Codec> codec_;
    int64_t at_ = 0; // samples made so far
};

// The pattern's source: encoded live, or with loopSeconds the loop (encoded
// and written to its file when the file is missing or unreadable).
std::unique_ptr<VideoSource> OpenPattern(const PatternOptions& o, std::string& error);
// Where the loop of these options is kept: one file per size, codec, frame
// rate, bit rate, key interval and length (the label and clock are not drawn
// into a loop), raw Annex B that ffprobe reads.
std::string LoopFile(const PatternOptions& o);
// Encodes the loop unless its file already holds it; made says which.
bool PrepareLoop(const PatternOptions& o, bool& made, std::string& error);
// Picture n of the pattern as a JPEG file (libavcodec's mjpeg encoder), for
// the snapshots of the 2022 edition.
bool PatternJpeg(const PatternOptions& o, int64_t n, std::string& jpeg, std::string& error);
// Opens a media file; its first video stream is used.
std::unique_ptr<VideoSource> OpenFile(const std::string& path, std::string& error);

} // namespace tvsim
