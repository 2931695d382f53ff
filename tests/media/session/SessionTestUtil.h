#pragma once
// Fakes at the session's seams: a signal that records the calls it ends, a view
// that records its updates, a clock stepped by hand; and device answers.

#include "media/session/CMediaSession.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace st {

class RecordingSignal : public IMediaSignal {
public:
    void EndCall(int cid, int did) override {
        std::lock_guard<std::mutex> l(m_);
        ended_.emplace_back(cid, did);
    }
    std::vector<std::pair<int, int>> Ended() {
        std::lock_guard<std::mutex> l(m_);
        return ended_;
    }

private:
    std::mutex m_;
    std::vector<std::pair<int, int>> ended_;
};

class RecordingView : public IMediaView {
public:
    void UpdateMediaView(const MediaViewUpdate& u) override {
        std::lock_guard<std::mutex> l(m_);
        updates_.push_back(u);
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> l(m_);
        return updates_.size();
    }
    MediaViewUpdate Last() {
        std::lock_guard<std::mutex> l(m_);
        return updates_.empty() ? MediaViewUpdate{} : updates_.back();
    }
    // The last progress label set.
    std::optional<std::string> LastProgressText() {
        std::lock_guard<std::mutex> l(m_);
        for (auto it = updates_.rbegin(); it != updates_.rend(); ++it)
            if (it->progressText) return it->progressText;
        return std::nullopt;
    }
    // The message lines among the updates, in order.
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> l(m_);
        std::vector<std::string> out;
        for (const MediaViewUpdate& u : updates_)
            if (u.message) out.push_back(*u.message);
        return out;
    }

private:
    std::mutex m_;
    std::vector<MediaViewUpdate> updates_;
};

// Starts at an arbitrary point; tests move it forward.
class StepClock {
public:
    MediaClock Clock() {
        return [this] {
            return std::chrono::steady_clock::time_point(std::chrono::hours(1000)) +
                   std::chrono::milliseconds(ms_.load());
        };
    }
    void Advance(std::chrono::milliseconds d) { ms_ += d.count(); }

private:
    std::atomic<long long> ms_{0};
};

// The settings of a live view to a device on the loopback, with a search range.
inline MediaInputs LoopbackInputs(int transport, int port) {
    MediaInputs in;
    in.transport = transport;
    in.address = "127.0.0.1";
    in.port = port;
    in.downloadSpeed = 4;
    in.deviceId = "34020000001320000001";
    in.deviceAddress = "127.0.0.1";
    in.searchStart = 1700000000;
    in.searchEnd = 1700000060;
    return in;
}

// What GB/T 28181 devices answer, with their y= and f= lines: the video line's
// port, its formats and their a=rtpmap lines.
inline std::string VideoAnswer(const char* session = "Play", int port = 15060,
                               const std::string& formats = "96",
                               const std::string& rtpmaps = "a=rtpmap:96 PS/90000\r\n",
                               const char* proto = "RTP/AVP") {
    return std::string("v=0\r\no=34020000001320000001 0 0 IN IP4 127.0.0.1\r\ns=") + session +
           "\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=video " + std::to_string(port) + " " + proto +
           " " + formats + "\r\na=sendonly\r\n" + rtpmaps + "y=0100000001\r\nf=\r\n";
}
inline std::string AudioAnswer() {
    return "v=0\r\no=34020000001320000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n"
           "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 15062 RTP/AVP 8\r\na=sendonly\r\n"
           "a=rtpmap:8 PCMA/8000\r\ny=0100000001\r\nf=v/////a/1/8/1\r\n";
}

template <class F>
bool WaitUntil(F f, std::chrono::milliseconds within = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (!f()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Threads of this process, from /proc.
inline int ThreadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

} // namespace st
