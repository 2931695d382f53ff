// The check's subscriptions: Catalog, Alarm and MobilePosition (a position
// every second) to the device, opened after the query chain so that the
// streams' windows are also the time the device has to notify, and ended
// (Expires 0) before the report. Both ends wait only for the answers (and,
// after the end, for the final NOTIFY or a stale one, a little over one
// position interval at most), so they add well under two seconds to a run.
#include "check/battery/checks/Subscription.h"
#include "check/driver/CheckDriver.h"

#include "app/core/CTarvexCore.h"

namespace tarvex::check {
namespace {

using namespace std::chrono_literals;

constexpr int kPositionInterval = 1; // seconds asked: several positions fit in any check
constexpr int kExpires = 3600;       // the window's default
// After the Expires 0: the final NOTIFY, or a stale one at the next position.
constexpr auto kAfterEndWait = 1500ms;
// Open at least this long, so that two positions are due even when the
// check had little else to do (no stream was answered): the battery judges
// the interval from 2.25 intervals on.
constexpr auto kLeastOpen = 2300ms;
const char* const kPackages[] = {"Catalog", "Alarm", "MobilePosition"};

int FindDevice(const TreeItem& t, const std::string& id) {
    if (t.kind == kNodeDevice && t.text.find(id) != std::string::npos) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = FindDevice(c, id)) return i;
    return 0;
}

int FirstDevice(const TreeItem& t) {
    if (t.kind == kNodeDevice) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = FirstDevice(c)) return i;
    return 0;
}

// The device itself is the target, whatever was selected before.
void SelectDevice(CTarvexCore& core, const std::string& deviceId) {
    const TreeItem tree = core.TreeSnapshot();
    int item = FindDevice(tree, deviceId);
    if (!item) item = FirstDevice(tree);
    if (item) core.TreeClicked(item);
}

} // namespace

void CheckDriver::SubscribeEvents(const std::string& deviceId) {
    SubStep("subscribing to the Catalog, Alarm and MobilePosition events of " + deviceId);
    SelectDevice(core_, deviceId);
    ReadLog();
    const std::size_t from = messages_.size();
    subscribedAt_ = std::chrono::steady_clock::now();
    for (tvsub::Package p : tvsub::kPackages) {
        CTarvexCore::SubscribeInputs in;
        in.package = p;
        in.expires = kExpires;
        in.interval = kPositionInterval;
        core_.Subscribe(in);
    }
    // Every SUBSCRIBE answered (sent at once, so the waits overlap).
    WaitFor(
        [&] {
            ReadLog();
            int sent = 0, answered = 0;
            for (std::size_t i = from; i < messages_.size(); ++i)
                if (messages_[i].Sent() && messages_[i].IsRequest("SUBSCRIBE")) {
                    ++sent;
                    answered += FinalAnswer(messages_[i]) != nullptr;
                }
            return sent >= 3 && answered >= sent;
        },
        options_.answerWait);
}

void CheckDriver::UnsubscribeEvents(const std::string& deviceId) {
    auto active = [&] {
        std::vector<tvsub::Package> out;
        for (const tvsub::Subscription& s : core_.Subscriptions())
            if (s.state == tvsub::State::Active && s.request.targetId == deviceId)
                out.push_back(s.request.package);
        return out;
    };
    if (active().empty()) return;
    const auto left = kLeastOpen - (std::chrono::steady_clock::now() - subscribedAt_);
    if (left > 0ms) Pause(std::chrono::duration_cast<std::chrono::milliseconds>(left));
    SubStep("ending the subscriptions (Expires 0)");
    SelectDevice(core_, deviceId);
    for (tvsub::Package p : active()) core_.Unsubscribe(p);
    // Each accepted one: its Expires 0 answered and a NOTIFY in the dialog
    // after it (the final one, or one that should not have come).
    WaitFor(
        [&] {
            ReadLog();
            Observation seen;
            seen.messages = messages_;
            for (const char* package : kPackages) {
                const SubscriptionTrace t = TraceSubscription(seen, package);
                if (!t.Accepted(seen) || t.unsubscribe < 0) continue;
                if (t.unsubscribeAnswer < 0) return false;
                bool after = false;
                for (int n : t.after)
                    after |= n > t.unsubscribeAnswer ||
                             SubscriptionStateOf(seen.messages[static_cast<std::size_t>(n)]) ==
                                 "terminated";
                if (!after) return false;
            }
            return true;
        },
        kAfterEndWait);
}

} // namespace tarvex::check
