#include "audio/player/AudioPlayer.h"

#include <alsa/asoundlib.h>

#include <algorithm>

namespace tvaudio {

bool AudioPlayer::Open(int rate, int channels, std::string& error) {
    if (pcm_) return true;
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (rc < 0) {
        error = "cannot open ALSA playback device " + device_ + ": " + snd_strerror(rc);
        return false;
    }
    // 200 ms of device latency: deep enough not to underrun on a busy machine.
    rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                            static_cast<unsigned>(channels), static_cast<unsigned>(rate), 1, 200000);
    if (rc < 0) {
        error = std::string("cannot set the playback format: ") + snd_strerror(rc);
        snd_pcm_close(pcm);
        return false;
    }
    pcm_ = pcm;
    rate_ = rate;
    channels_ = channels;
    quit_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void AudioPlayer::Push(const PcmBlock& b) {
    if (!pcm_ || b.rate != rate_ || b.channels != channels_ || b.samples.empty()) return;
    {
        std::lock_guard lk(lock_);
        queue_.push_back(b);
        queuedFrames_ += b.Frames();
        const auto limit = static_cast<std::size_t>(kQueueSeconds * rate_);
        while (queuedFrames_ > limit && queue_.size() > 1) {
            queuedFrames_ -= queue_.front().Frames();
            dropped_ += queue_.front().Frames();
            queue_.pop_front();
        }
    }
    wake_.notify_one();
}

void AudioPlayer::Close() {
    if (!pcm_) return;
    {
        std::lock_guard lk(lock_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    auto* pcm = static_cast<snd_pcm_t*>(pcm_);
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    pcm_ = nullptr;
}

void AudioPlayer::Run() {
    auto* pcm = static_cast<snd_pcm_t*>(pcm_);
    for (;;) {
        PcmBlock b;
        {
            std::unique_lock lk(lock_);
            wake_.wait(lk, [&] { return quit_ || !queue_.empty(); });
            if (queue_.empty()) return; // quit, and everything queued is written
            b = std::move(queue_.front());
            queue_.pop_front();
            queuedFrames_ -= b.Frames();
        }
        if (muted_) std::fill(b.samples.begin(), b.samples.end(), int16_t{0});
        if (onPlayed) onPlayed(b);
        std::size_t off = 0;
        const std::size_t frames = b.Frames();
        while (off < frames) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, b.samples.data() + off * channels_, frames - off);
            if (n < 0) {
                // An underrun (the queue ran dry) or a suspend: recover and go on.
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) break;
                continue;
            }
            off += static_cast<std::size_t>(n);
        }
        played_ += frames;
    }
}

} // namespace tvaudio
