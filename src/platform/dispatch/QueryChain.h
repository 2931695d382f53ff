#pragma once
// Each device's automatic queries: Catalog one second after its REGISTER's
// answer, DeviceInfo one second after the complete Catalog, DeviceStatus one
// second after the DeviceInfo answer; once per registration. The schedule of
// due follow-ups and the stage each device's chain has reached. A plain
// object: the core guards it with its mutex and sends what falls due.

#include "platform/devices/DeviceRegistry.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

class QueryChain {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::milliseconds kPause{1000};

    struct FollowUp {
        TimePoint due;
        std::uint64_t device; // DeviceRecord::serial
        int row;              // signalling row
    };

    // A registration: the device's chain starts again, its Catalog due after
    // the pause.
    void Registered(DeviceRecord& r, TimePoint now);
    // The device left: nothing more of its chain.
    void Forget(const DeviceRecord& r);
    void Clear() { schedule_.clear(); }

    std::optional<TimePoint> NextDue() const;
    // The earliest follow-up due by now, taken out of the schedule, with the
    // device's stage moved to "sent".
    std::optional<FollowUp> TakeDue(DeviceRegistry& registry, TimePoint now);

    // What a complete Catalog answer or a DeviceInfo answer moves on: the row
    // scheduled next, if any.
    std::optional<int> CatalogComplete(DeviceRecord& r, TimePoint now);
    std::optional<int> InfoAnswered(DeviceRecord& r, TimePoint now);

private:
    void Schedule(const DeviceRecord& r, int row, TimePoint now);
    std::vector<FollowUp> schedule_;
};
