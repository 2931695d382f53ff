// What the two keepalive checks share: the keepalives of the device, the
// interval and miss count they are held to, and the watched span.
#pragma once

#include "check/battery/Observation.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvex::check {

struct KeepalivePlan {
    std::vector<int> keepalives; // Keepalive Notify MESSAGEs of the device
    std::int64_t intervalMs = 60000;
    int misses = 3;         // missed in a row before the device counts as offline
    std::string source;     // where the interval came from, for the reason
    int sourceMessage = -1; // the ConfigDownload answer that gave it
    int startMessage = -1;  // the first REGISTER, else the first keepalive
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;       // end of the observation
    std::int64_t toleranceMs = 0; // lateness forgiven: a tenth of the interval, at least 1 s
    // The device's REGISTERs after the first, each with whether it ends the
    // registration (Expires 0): no keepalive is due from an unregistration
    // to the next registration, which counts as a sign of life (an upgrade's
    // reinstall, a restart).
    std::vector<std::pair<int, bool>> registers;
};

KeepalivePlan PlanKeepalives(const Observation& obs);

// Keepalives due after prevMs that had not come by nextMs (each due one interval
// after the one before, late by more than the tolerance).
std::int64_t MissedBetween(const KeepalivePlan& p, std::int64_t prevMs, std::int64_t nextMs);

std::string Seconds(std::int64_t ms); // "60.0 s"

} // namespace tarvex::check
