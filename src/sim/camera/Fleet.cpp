#include "sim/camera/Fleet.h"

#include "sim/camera/Device.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace tvsim {

bool CheckSource(const CameraOptions& o, std::string& description, std::string& error) {
    PatternOptions p = o.pattern;
    auto s = o.source == "pattern" ? OpenPattern(p, error) : OpenFile(o.source, error);
    if (!s) return false;
    AccessUnit au;
    if (!s->Next(au, error)) return false;
    description = s->Describe();
    return true;
}

int RunFleet(const CameraOptions& o, const std::atomic<bool>& stop) {
    EventPrinter out(o.quiet);
    std::vector<std::unique_ptr<Device>> devices;
    for (int i = 0; i < o.devices; ++i) {
        auto d = std::make_unique<Device>(o, i, out);
        std::string error;
        if (!d->Open(error)) {
            std::fprintf(stderr, "tarvex-camera: %s: %s\n", d->Id().c_str(), error.c_str());
            return 1;
        }
        devices.push_back(std::move(d));
    }
    for (auto& d : devices) d->Start();
    auto start = std::chrono::steady_clock::now();
    while (!stop) {
        if (o.duration > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(o.duration))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& d : devices) d->RequestStop();
    for (auto& d : devices) d->Join();

    int registered = 0, failures = 0, challenges = 0, keepalives = 0, kaFailed = 0, answers = 0,
        answerFailed = 0, calls = 0;
    uint64_t frames = 0, bytes = 0;
    std::map<std::string, int> queries;
    std::vector<std::string> lines;
    for (auto& d : devices) {
        DeviceStats s = d->Stats();
        registered += s.registrations > 0;
        failures += s.registerFailures;
        challenges += s.challenges;
        keepalives += s.keepalives;
        kaFailed += s.keepaliveFailures;
        answers += s.answersSent;
        answerFailed += s.answerFailures;
        calls += s.calls;
        frames += s.frames;
        bytes += s.bytes;
        std::string q;
        for (auto& [k, v] : s.queries) {
            queries[k] += v;
            q += (q.empty() ? "" : ", ") + k + " " + std::to_string(v);
        }
        lines.push_back(d->Id() + ": " + std::to_string(s.registrations) + " registrations, " +
                        std::to_string(s.keepalives) + " keepalives, requests " +
                        (q.empty() ? "none" : q) + ", " + std::to_string(s.calls) + " calls, " +
                        std::to_string(s.frames) + " frames");
    }
    std::string q;
    for (auto& [k, v] : queries) q += (q.empty() ? "" : ", ") + k + " " + std::to_string(v);
    std::printf("summary: %d device(s), %d registered, %d challenges, %d registration failures; "
                "%d keepalives answered, %d failed; requests: %s; %d answers sent, %d failed; "
                "%d calls, %llu frames, %llu bytes\n",
                o.devices, registered, challenges, failures, keepalives, kaFailed,
                q.empty() ? "none" : q.c_str(), answers, answerFailed, calls,
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes));
    if (devices.size() <= 20)
        for (auto& l : lines) std::printf("summary: %s\n", l.c_str());
    std::fflush(stdout);
    return 0;
}

} // namespace tvsim
