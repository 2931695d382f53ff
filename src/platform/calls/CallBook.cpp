#include "platform/calls/CallBook.h"

void CallBook::Sent(const std::string& sipCallId, const std::string& typeText,
                    const std::string& deviceId) {
    if (sipCallId.empty()) return;
    auto [it, fresh] = requests_.insert_or_assign(sipCallId, Filed{typeText, deviceId});
    (void)it;
    if (!fresh) return;
    order_.push_back(sipCallId);
    if (order_.size() > kRequestsKept) {
        requests_.erase(order_.front());
        order_.pop_front();
    }
}

std::optional<CallBook::Filed> CallBook::Find(const std::string& sipCallId) const {
    auto it = requests_.find(sipCallId);
    if (it == requests_.end()) return std::nullopt;
    return it->second;
}

void CallBook::Opened(const MediaCall& call) {
    if (call.callId > 0) calls_[call.callId] = call;
}

void CallBook::Answered(int callId, int dialogId) {
    auto it = calls_.find(callId);
    if (it != calls_.end()) it->second.dialogId = dialogId;
}

void CallBook::Closed(int callId) { calls_.erase(callId); }

std::optional<MediaCall> CallBook::Call(int callId) const {
    auto it = calls_.find(callId);
    if (it == calls_.end()) return std::nullopt;
    return it->second;
}

std::vector<MediaCall> CallBook::TakeCallsOf(const std::string& deviceId) {
    std::vector<MediaCall> out;
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (it->second.deviceId == deviceId) {
            out.push_back(it->second);
            it = calls_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}
