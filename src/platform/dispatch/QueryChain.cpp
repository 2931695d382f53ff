#include "platform/dispatch/QueryChain.h"

#include "manscdp/builder/CommandEntry.h"

#include <algorithm>

void QueryChain::Schedule(const DeviceRecord& r, int row, TimePoint now) {
    schedule_.push_back({now + kPause, r.serial, row});
}

void QueryChain::Registered(DeviceRecord& r, TimePoint now) {
    Forget(r);
    r.stage = ChainStage::CatalogDue;
    Schedule(r, kRowCatalog, now);
}

void QueryChain::Forget(const DeviceRecord& r) {
    std::erase_if(schedule_, [&](const FollowUp& f) { return f.device == r.serial; });
}

std::optional<QueryChain::TimePoint> QueryChain::NextDue() const {
    if (schedule_.empty()) return std::nullopt;
    return std::min_element(schedule_.begin(), schedule_.end(),
                            [](const FollowUp& a, const FollowUp& b) { return a.due < b.due; })
        ->due;
}

std::optional<QueryChain::FollowUp> QueryChain::TakeDue(DeviceRegistry& registry, TimePoint now) {
    for (;;) {
        auto it = std::min_element(schedule_.begin(), schedule_.end(),
                                   [](const FollowUp& a, const FollowUp& b) { return a.due < b.due; });
        if (it == schedule_.end() || it->due > now) return std::nullopt;
        const FollowUp f = *it;
        schedule_.erase(it);
        DeviceRecord* d = registry.BySerial(f.device);
        if (!d || !d->registered) continue;
        switch (f.row) {
        case kRowCatalog: d->stage = ChainStage::CatalogSent; break;
        case kRowDeviceInfo: d->stage = ChainStage::InfoSent; break;
        default: d->stage = ChainStage::Done; break;
        }
        return f;
    }
}

std::optional<int> QueryChain::CatalogComplete(DeviceRecord& r, TimePoint now) {
    if (r.stage != ChainStage::CatalogSent) return std::nullopt;
    r.stage = ChainStage::InfoDue;
    Schedule(r, kRowDeviceInfo, now);
    return kRowDeviceInfo;
}

std::optional<int> QueryChain::InfoAnswered(DeviceRecord& r, TimePoint now) {
    if (r.stage != ChainStage::InfoSent) return std::nullopt;
    r.stage = ChainStage::StatusDue;
    Schedule(r, kRowDeviceStatus, now);
    return kRowDeviceStatus;
}
