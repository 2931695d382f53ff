#pragma once
// A recording SIP endpoint and core view for tests of the core and the window.

#include "app/core/ICoreView.h"
#include "app/core/ISipEndpoint.h"
#include "manscdp/cfg/CDlgCfg.h"

#include <memory>
#include <string>
#include <vector>

struct SipLog {
    std::vector<std::string> calls; // "start 0 5060", "stop", "content ...", "send body"
    bool started = false;
    bool registered = false;
    int startResult = 0;
};

class FakeSip final : public ISipEndpoint {
public:
    explicit FakeSip(std::shared_ptr<SipLog> log) : log_(std::move(log)) {}
    int Start(int transport, const CDlgCfg& s) override {
        log_->calls.push_back("start " + std::to_string(transport) + " " +
                              std::to_string(s.localPort) + " " + s.localAddress);
        log_->started = log_->startResult == 0;
        return log_->startResult;
    }
    void Stop() override {
        log_->calls.push_back("stop");
        log_->started = false;
    }
    void SetContentType(const char* c) override { log_->calls.push_back(std::string("content ") + c); }
    bool IsStarted() const override { return log_->started; }
    bool IsRegistered() const override { return log_->registered; }
    int SendRequest(const std::string& body) override {
        log_->calls.push_back("send " + body);
        return log_->registered ? 0 : -1;
    }

private:
    std::shared_ptr<SipLog> log_;
};

// Settings kept in memory; remembers what was stored.
class MemoryStore final : public ICfgStore {
public:
    struct Data {
        std::vector<std::pair<std::string, std::string>> values; // "section/key" -> value
        int saves = 0;
    };
    explicit MemoryStore(std::shared_ptr<Data> d) : d_(std::move(d)) {}
    bool GetValue(const std::string& s, const std::string& k, std::string& v) const override {
        for (const auto& [name, value] : d_->values)
            if (name == s + "/" + k) {
                v = value;
                return true;
            }
        return false;
    }
    void SetValue(const std::string& v, const std::string& s, const std::string& k) override {
        for (auto& [name, value] : d_->values)
            if (name == s + "/" + k) {
                value = v;
                return;
            }
        d_->values.emplace_back(s + "/" + k, v);
    }
    void Save() override { ++d_->saves; }

private:
    std::shared_ptr<Data> d_;
};
