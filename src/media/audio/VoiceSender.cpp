#include "media/audio/VoiceSender.h"

#include "media/audio/WavFile.h"

namespace tvaudio {

VoiceSender::VoiceSender(AudioOutConfig config)
    : encode_(config.law), out_(config), head_(&narrow_),
      tcp_(config.net.transport != tvsend::MediaTransport::Udp) {
    narrow_.SetOutput(&encode_);
    encode_.SetOutput(&out_);
    if (config.aac) {
        aac_ = std::make_unique<AacEncode>(config.aacFormat.rate, config.aacFormat.channels);
        aac_->SetOutput(&out_);
        head_ = aac_.get();
    }
}

VoiceSender::~VoiceSender() { Stop(); }

bool VoiceSender::Open(std::string& error) {
    if (aac_ && !aac_->Ok()) {
        error = aac_->Error();
        return false;
    }
    if (!aac_ && !encode_.Ok()) {
        error = encode_.Error();
        return false;
    }
    return out_.Open(error);
}

void VoiceSender::Start() {
    std::lock_guard lock(lock_);
    if (running_) return;
    running_ = true;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

bool VoiceSender::StartWav(const std::string& path, bool loop, std::string& error) {
    PcmBlock pcm;
    if (!ReadWav(path, pcm, error)) return false;
    if (pcm.Frames() == 0) {
        error = path + " has no samples";
        return false;
    }
    {
        std::lock_guard lock(lock_);
        wav_ = std::move(pcm);
        wavLoop_ = loop;
        wavMode_ = true;
    }
    Start();
    return true;
}

void VoiceSender::PushPcm(const int16_t* samples, std::size_t frames, int rate, int channels) {
    if (!samples || !frames || channels <= 0) return;
    PcmBlock b;
    b.rate = rate;
    b.channels = channels;
    b.samples.assign(samples, samples + frames * static_cast<std::size_t>(channels));
    {
        std::lock_guard lock(lock_);
        if (!running_ || wavMode_) return;
        if (queue_.size() >= kQueueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(std::move(b));
    }
    wake_.notify_one();
}

void VoiceSender::Stop() {
    {
        std::lock_guard lock(lock_);
        stop_ = true;
    }
    out_.Cancel();
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(lock_);
    running_ = false;
    queue_.clear();
}

void VoiceSender::Run() {
    if (tcp_) {
        std::string error;
        if (!out_.WaitConnected(std::chrono::seconds(5), error)) return;
        // What was captured while the connection was being made is stale.
        std::lock_guard lock(lock_);
        queue_.clear();
    }
    connected_ = true;
    if (wavMode_) {
        // 20 ms of the file per tick, on a steady schedule.
        const std::size_t chunk = static_cast<std::size_t>(wav_.rate) / 50;
        std::size_t pos = 0;
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock lock(lock_);
                if (wake_.wait_until(lock, next, [&] { return stop_; })) return;
            }
            if (pos >= wav_.Frames()) {
                if (!wavLoop_) return;
                pos = 0;
            }
            const std::size_t n = std::min(chunk, wav_.Frames() - pos);
            PcmBlock b;
            b.rate = wav_.rate;
            b.channels = wav_.channels;
            const auto from = wav_.samples.begin() + static_cast<long>(pos * wav_.channels);
            b.samples.assign(from, from + static_cast<long>(n * wav_.channels));
            pos += n;
            if (onInput) onInput(b);
            head_->Push(b);
            if (out_.Failed()) return;
            next += std::chrono::milliseconds(20);
        }
    }
    for (;;) {
        PcmBlock b;
        {
            std::unique_lock lock(lock_);
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            b = std::move(queue_.front());
            queue_.pop_front();
        }
        if (onInput) onInput(b);
        head_->Push(b);
        if (out_.Failed()) return;
    }
}

} // namespace tvaudio
