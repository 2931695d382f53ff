#pragma once
// What the platform sent, by SIP Call-ID: the type text and the device of
// each request, so that the device's answers are filed under the request they
// answer (the log's 类型 and device columns); and the open media calls by the
// endpoint's call id, with the device and channel each was opened for, so
// that a device that leaves has its calls ended and nothing else.
// A plain object: the core guards it with its mutex. Bounded: the oldest
// request entries go first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct MediaCall {
    int callId = 0;
    int dialogId = 0; // 0 until answered
    std::string deviceId;
    std::string channelId;
};

class CallBook {
public:
    static constexpr std::size_t kRequestsKept = 4096;

    // A request we sent with this Call-ID: its answers get typeText and deviceId.
    void Sent(const std::string& sipCallId, const std::string& typeText, const std::string& deviceId);
    struct Filed {
        std::string typeText, deviceId;
    };
    std::optional<Filed> Find(const std::string& sipCallId) const;

    // Media calls, by the endpoint's call id.
    void Opened(const MediaCall& call);
    void Answered(int callId, int dialogId);
    void Closed(int callId);
    std::optional<MediaCall> Call(int callId) const;
    // The calls open on the device (or its channels), taken out of the book.
    std::vector<MediaCall> TakeCallsOf(const std::string& deviceId);
    std::size_t OpenCalls() const { return calls_.size(); }

private:
    std::unordered_map<std::string, Filed> requests_;
    std::deque<std::string> order_;
    std::unordered_map<int, MediaCall> calls_;
};
