#pragma once
// One outgoing voice stream: the operator's audio (captured buffers pushed in,
// or a WAV file played at its own pace) through Narrowband, G711Encode and
// RtpAudioOut (with config.aac: AacEncode at the format's rate and channels,
// and RtpAudioOut) on a thread of the sender's own, so that neither the capture
// thread nor the caller ever waits for the network.
//
//   VoiceSender s(config);
//   s.Open(error);                 // binds; LocalPort() for the SDP answer
//   s.Start();                     // or StartWav(path, loop)
//   s.PushPcm(samples, frames, 44100, 2);   // from the capture callback
//   s.Stop();

#include "media/audio/AacRtp.h"
#include "media/audio/G711Codec.h"
#include "media/audio/RtpAudio.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tvaudio {

class VoiceSender {
public:
    // Captured blocks waiting beyond this are dropped (about 1.5 s of
    // 44.1 kHz buffers): a stalled connection must not grow memory.
    static constexpr std::size_t kQueueLimit = 32;

    explicit VoiceSender(AudioOutConfig config);
    ~VoiceSender();
    VoiceSender(const VoiceSender&) = delete;
    VoiceSender& operator=(const VoiceSender&) = delete;

    bool Open(std::string& error);
    uint16_t LocalPort() const { return out_.LocalPort(); }
    // Starts the thread; it first waits up to 5 s for a TCP connection.
    void Start();
    // Starts the thread playing the file (20 ms at a time, in real time),
    // from the start again at its end when loop is set. False with error set
    // when the file cannot be read.
    bool StartWav(const std::string& path, bool loop, std::string& error);
    // Any thread; never waits for the network. Interleaved 16-bit samples.
    void PushPcm(const int16_t* samples, std::size_t frames, int rate, int channels);
    void Stop();

    uint64_t PacketsSent() const { return out_.PacketsSent(); }
    // The transport is up (UDP at once, TCP once connected): audio pushed
    // from now on goes out.
    bool Connected() const { return connected_.load(); }
    uint64_t Dropped() const { return dropped_.load(); }
    bool Failed() const { return out_.Failed(); }
    std::string Error() const { return out_.Error(); }
    // Called on the sender's thread with each block about to be encoded (the
    // input meter; set before Start).
    std::function<void(const PcmBlock&)> onInput;
    RtpAudioOut& Out() { return out_; }

private:
    void Run();

    Narrowband narrow_;
    G711Encode encode_;
    std::unique_ptr<AacEncode> aac_; // config.aac only
    RtpAudioOut out_;
    Sink<PcmBlock>* head_; // where the samples go in: narrow_ or aac_
    bool tcp_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<PcmBlock> queue_;
    bool stop_ = false;
    bool running_ = false;
    PcmBlock wav_;
    bool wavLoop_ = false;
    bool wavMode_ = false;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

} // namespace tvaudio
