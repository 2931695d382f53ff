#pragma once
// The platform's subscriptions to its devices' events (RFC 6665 over GB/T
// 28181): one per target (a device or one of its channels) and event package,
// each pending until its SUBSCRIBE is answered 2xx, then active until it
// expires, is refused, ended by us (Expires 0) or by the device (NOTIFY with
// Subscription-State terminated). A refresh is due at three quarters of the
// time the device granted. No locks: the core holds its own around every call.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvsub {

enum class Package { Catalog, Alarm, MobilePosition, PTZPosition };
// What every device is asked for (the device check subscribes these).
constexpr Package kPackages[] = {Package::Catalog, Package::Alarm, Package::MobilePosition};
// The same and PTZPosition, which only devices of the 2022 edition serve.
constexpr Package kAllPackages[] = {Package::Catalog, Package::Alarm, Package::MobilePosition,
                                    Package::PTZPosition};
// The CmdType of the package's Query and Notify bodies.
const char* PackageName(Package p);
std::optional<Package> PackageFromName(std::string_view cmdType);

enum class State { Pending, Active, Terminated };
const char* StateName(State s); // "pending", "active", "terminated"

// The conditions of an alarm subscription's Query. Priority 0 and method 0
// ask for all; empty texts leave their element out.
struct AlarmConditions {
    int startPriority = 1, endPriority = 4;
    int method = 0;
    std::string type;
    std::string startTime, endTime; // "%Y-%m-%dT%H:%M:%S"
};

struct Request {
    std::string deviceId; // who is asked (the SUBSCRIBE goes to it)
    std::string targetId; // the device itself or one of its channels (the body's DeviceID)
    Package package = Package::Catalog;
    int expires = 3600;
    AlarmConditions alarm;
    int interval = 5; // MobilePosition: seconds between positions
};

// Event header values: what real devices answer to (see docs/subscriptions.md).
// PTZPosition has no setting: it is named after its CmdType, and a device that
// answers that 489 Bad Event is asked once more with kPtzFallbackEvent.
constexpr const char* kPtzFallbackEvent = "presence";
struct EventNames {
    std::string catalog = "Catalog";
    std::string alarm = "presence";
    std::string mobilePosition = "presence";
};
// The Event header of a new subscription; Catalog carries an id parameter.
std::string EventHeader(Package p, int id, const EventNames& names = {});
// The MANSCDP Query body of a SUBSCRIBE (also of its refreshes and its end).
std::string QueryBody(const Request& r, int sn);

using TimePoint = std::chrono::steady_clock::time_point;

struct Subscription {
    int key = 0;
    Request request;
    State state = State::Pending;
    int sid = 0; // the user agent's subscription id, 0 until sent
    int sn = 0;  // of its Query body
    bool ending = false;     // our Expires 0 is on its way
    bool refreshing = false; // a refresh is on its way
    std::string event;       // the Event header its SUBSCRIBE went out with
    // PTZPosition: the first SUBSCRIBE was answered 489 and one with
    // kPtzFallbackEvent is due (retryDue) or went out (fellBack).
    bool retryDue = false, fellBack = false;
    int granted = 0;         // seconds the device granted
    int refreshes = 0;
    int notifies = 0;
    TimePoint sentAt{}, activeAt{}, refreshedAt{}, expiresAt{}, lastNotify{};
    std::string reason; // why it is terminated
};

class SubscriptionBook {
public:
    static constexpr std::size_t kMaxSubscriptions = 256;

    // A subscription for the request's target and package: a new one, or the
    // one already there (a terminated one starts again as pending). nullptr
    // when kMaxSubscriptions are open already.
    Subscription* Open(const Request& r, int sn, TimePoint now);
    // Its SUBSCRIBE went out as the user agent's subscription sid (0: it did
    // not go out, and the subscription ends with that reason).
    void Sent(int key, int sid, TimePoint now);
    // The answer to a SUBSCRIBE of sid: status (0 when none came), the
    // Expires it grants (negative: none given), its reason phrase.
    void Answered(int sid, int status, int expires, const std::string& phrase, TimePoint now);
    // A NOTIFY of sid with its Subscription-State header.
    void Notified(int sid, const std::string& subscriptionState, TimePoint now);
    // Our end of it is sent next: the subscription, nullptr when there is
    // none to end (never sent, or over already).
    Subscription* BeginEnd(const std::string& targetId, Package p);
    // PTZPosition subscriptions whose 489 asks for the SUBSCRIBE again with
    // kPtzFallbackEvent; each is taken once, then Sent again with its new sid.
    std::vector<int> TakeRetries();
    // Subscriptions whose refresh is due (marked as refreshing) or whose time
    // ran out unanswered (terminated, "expired").
    std::vector<int> TakeDue(TimePoint now);
    std::optional<TimePoint> NextDue() const;

    // Ends it here without a word on the wire (its device left).
    void Terminate(int key, const std::string& reason);
    Subscription* Find(const std::string& targetId, Package p);
    Subscription* ByKey(int key);
    Subscription* BySid(int sid);
    std::vector<Subscription> Snapshot() const;
    // Every open subscription of a device (at exit and when it leaves).
    std::vector<int> KeysOf(const std::string& deviceId) const;

    static TimePoint RefreshAt(const Subscription& s);

private:
    // An answer or a NOTIFY (notify set, with its Subscription-State in
    // phrase) that came before Sent; replayed in the order they came.
    struct Early {
        bool notify;
        int status, expires;
        std::string phrase;
        TimePoint at;
    };
    static constexpr std::size_t kMaxEarly = 16; // per subscription
    void Hold(int sid, Early e);
    std::map<int, Subscription> subs_;
    std::map<int, std::vector<Early>> early_;
    int nextKey_ = 1;
};

} // namespace tvsub
