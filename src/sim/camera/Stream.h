#pragma once
// One media stream of a simulated device: takes access units from a source,
// wraps each in a program-stream pack and sends it as RTP, paced at real time
// times the speed (a download's offered speed, a playback's Scale). Pause,
// resume, scale and seek come from the device's thread while the stream's
// own thread sends.

#include "media/send/RtpSender.h"
#include "sim/camera/VideoSource.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tvsim {

struct StreamParams {
    std::string source = "pattern"; // "pattern" or a file path
    PatternOptions pattern;
    tvsend::SenderConfig sender;
    double length = 0;         // seconds of recording to send; 0: endless (live view)
    double speed = 1.0;        // wall-clock speed factor
    double connectTimeout = 10; // seconds to wait for the TCP connection
    // Pictures sent a second whatever their timestamps say (fps-stamp); 0:
    // paced by the timestamps, as a device should.
    double sendFps = 0;
    // Key pictures without the system header and program stream map before
    // them (ps-bare-key); false: as cameras send them.
    bool bareKeys = false;
};

struct StreamStats {
    uint64_t frames = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    double position = 0; // seconds into the recording
};

class Stream {
public:
    // How a stream ended on its own: finished (the recording's end was sent)
    // or failed (error text).
    using EndHandler = std::function<void(bool finished, const std::string& error)>;
    using LineHandler = std::function<void(const std::string&)>;

    Stream(StreamParams p, LineHandler line, EndHandler end);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Opens the source and the sockets (a listening socket listens from now on).
    bool Prepare(std::string& error);
    uint16_t LocalPort() const { return sender_ ? sender_->LocalPort() : 0; }
    std::string SourceText() const { return source_ ? source_->Describe() : ""; }
    void Start();
    // Ends the thread and waits for it. Safe to call twice.
    void Stop();

    void Pause();
    void Resume();
    void SetScale(double scale);
    void Seek(double seconds);
    void ForceKeyFrame();
    bool Paused();
    StreamStats Stats();

private:
    void Run();

    StreamParams p_;
    LineHandler line_;
    EndHandler end_;
    std::unique_ptr<VideoSource> source_;
    std::unique_ptr<tvsend::RtpSender> sender_;
    std::thread thread_;

    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool paused_ = false;
    bool changed_ = false; // pacing must start over (speed, pause, seek)
    double speed_ = 1.0;
    double seekTo_ = -1;
    bool forceKey_ = false;
    StreamStats stats_;
};

} // namespace tvsim
