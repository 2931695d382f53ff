#pragma once
// The core without a network or a window: a recording endpoint, a recording
// view, settings in memory and a clock the test steps by hand.

#include "app/core/CTarvexCore.h"
#include "app/settings/CDlgCfg.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct SipLog {
    std::mutex m;
    std::vector<std::string> calls;     // "start 0 5060 10.1.1.1", "stop", "content ..."
    std::vector<SipRequest> sent;       // every Send of a kind that goes out
    std::vector<SipRequest> unsent;     // kinds that send nothing (2, 0)
    std::vector<std::pair<int, int>> ended;
    bool started = false;
    int startResult = 0;
    std::string password; // REGISTER challenge password of the last Start
    int nextCall = 100;
    ISipEvents* events = nullptr;
};

class FakeEndpoint final : public ISipEndpoint {
public:
    explicit FakeEndpoint(std::shared_ptr<SipLog> log) : log_(std::move(log)) {}
    int Start(int transport, const SipSettings& s, ISipEvents& events) override {
        std::lock_guard<std::mutex> lk(log_->m);
        log_->calls.push_back("start " + std::to_string(transport) + " " + std::to_string(s.port) +
                              " " + s.address);
        log_->events = &events;
        log_->password = s.registerPassword;
        log_->started = log_->startResult == 0;
        return log_->startResult;
    }
    void Stop() override {
        std::lock_guard<std::mutex> lk(log_->m);
        log_->calls.push_back("stop");
        log_->started = false;
    }
    bool IsStarted() const override { return log_->started; }
    void SetContentType(const std::string& c) override {
        std::lock_guard<std::mutex> lk(log_->m);
        log_->calls.push_back("content " + c);
    }
    // Logs the request as the real endpoint does, then records it.
    SendResult Send(const SipRequest& r) override {
        if (r.kind != 1 && r.kind != 4 && r.kind != 5 && r.kind != 6 && r.kind != 7) {
            std::lock_guard<std::mutex> lk(log_->m);
            log_->unsent.push_back(r);
            return {};
        }
        LoggedMessage m;
        m.direction = kLogSent;
        m.peerUser = r.to.id;
        m.head = "MESSAGE sip:" + r.to.id + "@" + r.to.address + ":" + std::to_string(r.to.port) +
                 " SIP/2.0\r\n\r\n\n";
        m.body = r.body.empty() ? "No Body!\n" : r.body;
        ISipEvents* ev;
        SendResult res{true, 0};
        {
            std::lock_guard<std::mutex> lk(log_->m);
            ev = log_->events;
            log_->sent.push_back(r);
            if (r.kind == 5) res.callId = log_->nextCall++;
            if (r.kind == 7) res.subscriptionId = r.subscriptionId > 0 ? r.subscriptionId : log_->nextCall++;
        }
        if (ev) ev->OnMessageLogged(m);
        return res;
    }
    // An answered call's BYE is logged at once: the real endpoint's worker may
    // log it before the click that ended the call has returned.
    void EndCall(int callId, int dialogId) override {
        ISipEvents* ev;
        {
            std::lock_guard<std::mutex> lk(log_->m);
            log_->ended.emplace_back(callId, dialogId);
            ev = log_->events;
        }
        if (!ev || dialogId <= 0) return;
        LoggedMessage m;
        m.direction = kLogSent;
        m.head = "BYE sip:device SIP/2.0\r\n\r\n\n";
        m.body = "No Body!\n";
        ev->OnMessageLogged(m);
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

// Records what the core shows.
struct RecordingView : ICoreView {
    std::mutex m;
    std::vector<std::string> calls;
    std::vector<std::function<void()>> later;
    std::map<int, std::vector<std::string>> lists;
    std::set<std::pair<int, int>> ticked;
    std::vector<std::string> messages;
    std::string messageText, progressText, statistics, source;
    int progressRange = -1, logGrew = 0, treeChanged = 0;

    void LogGrew() override {
        std::lock_guard<std::mutex> lk(m);
        ++logGrew;
    }
    void DeviceTreeChanged() override {
        std::lock_guard<std::mutex> lk(m);
        ++treeChanged;
    }
    void FillCommandList(int list, const std::vector<std::string>& labels) override {
        std::lock_guard<std::mutex> lk(m);
        lists[list] = labels;
    }
    void SetCommandChecked(int list, int row, bool checked) override {
        std::lock_guard<std::mutex> lk(m);
        if (checked)
            ticked.insert({list, row});
        else
            ticked.erase({list, row});
    }
    void ShowMessageText(const std::string& t) override {
        std::lock_guard<std::mutex> lk(m);
        messageText = t;
    }
    void ShowMediaFigures(const MediaViewUpdate& u) override {
        std::lock_guard<std::mutex> lk(m);
        if (u.progressText) progressText = *u.progressText;
        if (u.progressMax) progressRange = *u.progressMax;
        if (u.statistics) statistics = *u.statistics;
    }
    void ShowStreamSource(const std::string& t) override {
        std::lock_guard<std::mutex> lk(m);
        source = t;
    }
    void ShowMessage(const std::string& t) override {
        std::lock_guard<std::mutex> lk(m);
        messages.push_back(t);
        calls.push_back("message " + t);
    }
    void ShowLocalAddresses(const std::vector<std::string>& a) override {
        std::string s = "addresses";
        for (const auto& x : a) s += " " + x;
        calls.push_back(s);
    }
    void ShowSpeed(int s) override { calls.push_back("speed " + std::to_string(s)); }
    void RunLater(int ms, std::function<void()> fn) override {
        later.push_back(std::move(fn));
        calls.push_back("later " + std::to_string(ms));
    }
};

// A core with every seam replaced; the follow-ups run when the test steps the clock.
struct CoreRig {
    std::shared_ptr<SipLog> sip = std::make_shared<SipLog>();
    std::shared_ptr<MemoryStore::Data> data = std::make_shared<MemoryStore::Data>();
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    RecordingView view;
    std::unique_ptr<CTarvexCore> core;

    explicit CoreRig(CTarvexCore::AdapterLister lister = {}, std::string searchIni = "/dev/null") {
        data->values = {{"本地服务器/协议", "1"},   {"本地服务器/ID", "34020000002000000001"},
                        {"本地服务器/端口", "5060"}, {"本地服务器/地址", "10.1.1.1"},
                        {"云台控制/速度", "70"},     {"媒体接收者/下载速度", "4"},
                        // What the settings' OK refuses when missing (-1, 255).
                        {"互联系统/端口", "5060"},   {"互联系统/注册时间", "3600"},
                        {"互联系统/心跳周期", "60"}, {"媒体接收者/协议", "0"},
                        {"媒体接收者/端口", "6000"}, {"媒体服务器/端口", "10000"},
                        {"云台控制/地址位", "1"}};
        if (!lister)
            lister = [](std::vector<LocalAdapter>& out) {
                out = {{"eth0", {"0.0.0.0", "10.1.1.1"}}, {"lo", {"127.0.0.1"}}};
                return true;
            };
        CTarvexCore::Parts p;
        p.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(data));
        p.sip = std::make_unique<FakeEndpoint>(sip);
        p.lister = std::move(lister);
        p.searchIni = std::move(searchIni);
        p.clock = [this] { return now; };
        p.timerThread = false;
        core = std::make_unique<CTarvexCore>(std::move(p));
        core->SetView(&view);
    }
    // Steps the clock and sends what fell due.
    void Advance(int ms) {
        now += std::chrono::milliseconds(ms);
        core->RunDue();
    }
    std::vector<SipRequest> Sent() {
        std::lock_guard<std::mutex> lk(sip->m);
        return sip->sent;
    }
};
