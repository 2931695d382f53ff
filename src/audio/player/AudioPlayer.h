#pragma once
// Plays decoded audio (a device's G.711 or AAC after decoding) through an ALSA
// playback device. Push never waits for the device: blocks go into a queue of
// at most kQueueSeconds that a thread of the player's own writes out, so the
// thread that decodes (the media receive thread, which also carries the
// video) is never held up by the sound card. When the queue is full the
// oldest audio is dropped.
//
//   AudioPlayer p;                 // "default", or another ALSA name
//   p.Open(8000, 1, error);
//   p.Push(block);                 // any thread
//   p.SetMuted(true);              // silence is written instead
//   p.Close();

#include "media/audio/AudioStages.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tvaudio {

class AudioPlayer final : public Sink<PcmBlock> {
public:
    static constexpr double kQueueSeconds = 1.0;

    explicit AudioPlayer(std::string device = "default") : device_(std::move(device)) {}
    ~AudioPlayer() override { Close(); }
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Opens the device for 16-bit interleaved samples at rate and channels
    // and starts the thread. False with error set.
    bool Open(int rate, int channels, std::string& error);
    // Blocks of another rate or channel count than opened are dropped.
    void Push(const PcmBlock& block) override;
    // Writes what is queued, then stops the thread and closes the device.
    void Close();

    void SetMuted(bool muted) { muted_ = muted; }
    bool Muted() const { return muted_.load(); }
    uint64_t FramesPlayed() const { return played_.load(); }
    uint64_t FramesDropped() const { return dropped_.load(); }
    // Each block as it goes to the device (silence when muted), on the
    // player's thread: the output meter. Set before Open.
    std::function<void(const PcmBlock&)> onPlayed;

private:
    void Run();

    std::string device_;
    void* pcm_ = nullptr; // snd_pcm_t
    int rate_ = 0, channels_ = 0;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<PcmBlock> queue_;
    std::size_t queuedFrames_ = 0;
    bool quit_ = false;
    std::thread thread_;
    std::atomic<bool> muted_{false};
    std::atomic<uint64_t> played_{0}, dropped_{0};
};

} // namespace tvaudio
