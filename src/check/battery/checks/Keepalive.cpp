#include "check/battery/checks/Keepalive.h"

#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

#include <algorithm>
#include <cstdio>

namespace tarvex::check {

KeepalivePlan PlanKeepalives(const Observation& obs) {
    KeepalivePlan p;
    const std::string device = obs.DeviceId();
    p.keepalives = Select(obs, [&](const ObservedMessage& m) {
        return m.Received() && m.IsRequest("MESSAGE") && m.manscdp.Is("Notify", "Keepalive") &&
               (m.manscdp.deviceId == device ||
                ParseSipAddress(m.sip.Value("From")).user == device);
    });
    long interval = obs.settings.keepaliveIntervalS, misses = obs.settings.keepaliveMisses;
    p.source = "configured";
    if (interval <= 0 || misses <= 0) {
        // The device's own settings, when a ConfigDownload answer told them.
        for (std::size_t i = 0; i < obs.messages.size(); ++i) {
            const ManscdpBody& b = obs.messages[i].manscdp;
            if (!obs.messages[i].Received() || !b.Is("Response", "ConfigDownload")) continue;
            long v = 0;
            const char* t = b.root.FindText("HeartBeatInterval");
            // A day at most: longer is no heartbeat, and would overflow the arithmetic below.
            if (interval <= 0 && t && ParseLong(t, &v) && v > 0 && v <= 86400) {
                interval = v;
                p.source = "the device's HeartBeatInterval";
                p.sourceMessage = static_cast<int>(i);
            }
            t = b.root.FindText("HeartBeatCount");
            if (misses <= 0 && t && ParseLong(t, &v) && v > 0 && v <= 100) misses = v;
        }
    }
    if (interval <= 0) {
        interval = 60;
        p.source = "default";
    }
    p.intervalMs = interval * 1000;
    p.misses = misses > 0 ? static_cast<int>(misses) : 3;
    p.toleranceMs = std::max<std::int64_t>(1000, p.intervalMs / 10);
    const std::vector<int> regs = Select(
        obs, [](const ObservedMessage& m) { return m.Received() && m.IsRequest("REGISTER"); });
    p.startMessage = !regs.empty()           ? regs.front()
                     : !p.keepalives.empty() ? p.keepalives.front()
                                             : -1;
    if (p.startMessage >= 0)
        p.startMs = obs.messages[static_cast<std::size_t>(p.startMessage)].timeMs;
    for (std::size_t i = 1; i < regs.size(); ++i) {
        const SipHead& h = obs.messages[static_cast<std::size_t>(regs[i])].sip;
        const std::string contact = h.Value("Contact");
        const bool ends = h.Value("Expires") == "0" || contact.find("expires=0") != std::string::npos;
        p.registers.emplace_back(regs[i], ends);
    }
    p.endMs = obs.End();
    return p;
}

std::int64_t MissedBetween(const KeepalivePlan& p, std::int64_t prevMs, std::int64_t nextMs) {
    const std::int64_t g = nextMs - prevMs - p.toleranceMs - 1;
    return g < 0 ? 0 : g / p.intervalMs;
}

std::string Seconds(std::int64_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
    return buf;
}

} // namespace tarvex::check
