#include "sim/camera/Stream.h"

#include "media/send/PsMuxer.h"

#include <cmath>
#include <random>

namespace tvsim {

using Clock = std::chrono::steady_clock;

Stream::Stream(StreamParams p, LineHandler line, EndHandler end)
    : p_(std::move(p)), line_(std::move(line)), end_(std::move(end)) {
    speed_ = p_.speed > 0 ? p_.speed : 1.0;
}

Stream::~Stream() {
    Stop();
}

bool Stream::Prepare(std::string& error) {
    source_ = p_.source == "pattern" ? OpenPattern(p_.pattern, error) : OpenFile(p_.source, error);
    if (!source_) return false;
    sender_ = std::make_unique<tvsend::RtpSender>(p_.sender);
    return sender_->Open(error);
}

void Stream::Start() {
    if (!thread_.joinable() && sender_) thread_ = std::thread([this] { Run(); });
}

void Stream::Stop() {
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
    }
    if (sender_) sender_->Cancel();
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Stream::Pause() {
    std::lock_guard<std::mutex> g(m_);
    paused_ = true;
    changed_ = true;
    cv_.notify_all();
}

void Stream::Resume() {
    std::lock_guard<std::mutex> g(m_);
    paused_ = false;
    changed_ = true;
    cv_.notify_all();
}

void Stream::SetScale(double scale) {
    std::lock_guard<std::mutex> g(m_);
    // Backward play is sent forward at the same pace.
    double s = std::fabs(scale);
    if (s > 0) speed_ = s * (p_.speed > 0 ? p_.speed : 1.0);
    changed_ = true;
    cv_.notify_all();
}

void Stream::Seek(double seconds) {
    std::lock_guard<std::mutex> g(m_);
    seekTo_ = std::max(0.0, seconds);
    changed_ = true;
    cv_.notify_all();
}

void Stream::ForceKeyFrame() {
    std::lock_guard<std::mutex> g(m_);
    forceKey_ = true;
}

bool Stream::Paused() {
    std::lock_guard<std::mutex> g(m_);
    return paused_;
}

StreamStats Stream::Stats() {
    std::lock_guard<std::mutex> g(m_);
    return stats_;
}

void Stream::Run() {
    std::string error;
    if (!sender_->WaitConnected(
            std::chrono::milliseconds(static_cast<int64_t>(p_.connectTimeout * 1000)), error)) {
        bool stopped;
        {
            std::lock_guard<std::mutex> g(m_);
            stopped = stop_;
        }
        if (!stopped) end_(false, error);
        return;
    }
    if (p_.sender.transport != tvsend::MediaTransport::Udp)
        line_("media connection up (local port " + std::to_string(sender_->LocalPort()) + ")");
    tvsend::PsMuxer mux;
    if (source_->Hevc()) mux.videoStreamType = 0x24;
    // --audio: 8 kHz G.711 in the same program stream, one audio pack after
    // each picture covering its duration, under its own RTP timestamp.
    ToneSource tone;
    if (p_.pattern.audio) {
        if (!tone.Open(error)) {
            end_(false, error);
            return;
        }
        mux.withAudio = true;
    }
    std::mt19937 rng{std::random_device{}()};
    const uint32_t tsBase = rng();
    int64_t out = 0;            // 90 kHz clock of what was sent
    int64_t originOut = 0;      // pacing: this much had been sent ...
    int64_t units = 0, originUnits = 0; // pictures sent, and at the origin (sendFps)
    auto originWall = Clock::now(); // ... at this moment
    double posBase = 0;         // recording position of the unit at dtsBase
    int64_t dtsBase = -1;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (stop_) return;
            if (seekTo_ >= 0) {
                source_->Seek(seekTo_);
                posBase = seekTo_;
                dtsBase = -1;
                seekTo_ = -1;
            }
            if (forceKey_) source_->ForceKeyFrame();
            forceKey_ = false;
        }
        AccessUnit au;
        if (!source_->Next(au, error)) {
            end_(false, error);
            return;
        }
        if (dtsBase < 0) dtsBase = au.dts;
        double pos = posBase + static_cast<double>(au.dts - dtsBase) / 90000.0;
        if (p_.length > 0 && pos >= p_.length) {
            {
                std::lock_guard<std::mutex> g(m_);
                stats_.position = p_.length;
            }
            end_(true, "");
            return;
        }
        // Wait until this unit is due; a change of pace starts the pacing over
        // from this unit, a seek drops it.
        Clock::time_point due;
        bool reseek = false;
        {
            std::unique_lock<std::mutex> g(m_);
            auto control = [this] { return stop_ || changed_ || seekTo_ >= 0; };
            for (;;) {
                if (stop_) return;
                if (seekTo_ >= 0) {
                    reseek = true;
                    break;
                }
                if (changed_) {
                    originOut = out;
                    originUnits = units;
                    originWall = Clock::now();
                    changed_ = false;
                }
                if (paused_) {
                    cv_.wait(g, [this] { return stop_ || !paused_ || seekTo_ >= 0; });
                    continue;
                }
                const double dueUs =
                    p_.sendFps > 0
                        ? static_cast<double>(units - originUnits) * 1e6 / p_.sendFps / speed_
                        : static_cast<double>(out - originOut) / 90.0 / speed_ * 1000.0;
                due = originWall + std::chrono::microseconds(static_cast<int64_t>(dueUs));
                if (!cv_.wait_until(g, due, control)) break;
            }
        }
        if (reseek) continue;
        // Running late by more than a second (a slow machine): do not hurry to catch up.
        if (Clock::now() - due > std::chrono::seconds(1)) {
            originOut = out;
            originUnits = units;
            originWall = Clock::now();
        }
        const int64_t dts = out;
        const int64_t pts = out + std::max<int64_t>(0, au.pts - au.dts);
        bool key = au.key || tvsend::IsH264KeyFrame(au.data.data(), au.data.size());
        auto pack = mux.Mux(au.data.data(), au.data.size(), static_cast<uint64_t>(pts),
                            static_cast<uint64_t>(dts), key && !p_.bareKeys);
        if (!sender_->SendPack(pack, tsBase + static_cast<uint32_t>(out), error)) {
            end_(false, error);
            return;
        }
        if (mux.withAudio) {
            const int64_t span = au.duration > 0 ? au.duration : 3600;
            const auto g711 = tone.Next(static_cast<int>(span * 8000 / 90000));
            const auto audio = mux.MuxAudio(g711.data(), g711.size(), static_cast<uint64_t>(dts + 1));
            if (!sender_->SendPack(audio, tsBase + static_cast<uint32_t>(out + 1), error)) {
                end_(false, error);
                return;
            }
        }
        out += au.duration > 0 ? au.duration : 3600;
        ++units;
        std::lock_guard<std::mutex> g(m_);
        stats_.frames++;
        stats_.packets = sender_->PacketsSent();
        stats_.bytes = sender_->BytesSent();
        stats_.position = pos;
    }
}

} // namespace tvsim
