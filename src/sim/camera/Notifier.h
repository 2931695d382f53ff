#pragma once
// The subscriptions a simulated device serves (RFC 6665 as GB/T 28181 devices
// play it): SUBSCRIBE for Catalog, Alarm or MobilePosition (the Query body's
// CmdType says which; the Event header is taken as it comes, "presence" or a
// package name) is answered 200 with the granted Expires and a first NOTIFY;
// refreshes within the dialog are answered 200, Expires 0 ends it with a
// NOTIFY "terminated". Changes are notified: an alarm every --alarm-every
// seconds (a MESSAGE when nobody subscribed), the position at each
// MobilePosition subscription's interval (moving with --move), a channel going OFF
// and ON every --catalog-change seconds. A 2022 device (--gb 2022) also
// serves PTZPosition: its pan-tilt-zoom position is notified at the start and
// on each change (PTZPreciseCtrl); a 2016 one answers it 489 Bad Event, as it
// does any event it does not know. Faults: no-subscribe,
// notify-outside-dialog, stale-notify. Runs on the device's thread only.

#include "sim/camera/Gb2022Device.h"
#include "sim/camera/Options.h"
#include "sip/ua/SipAgent.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tvsim {

class Notifier {
public:
    using Clock = std::chrono::steady_clock;
    struct Hooks {
        std::function<void(const std::string&)> print;
        std::function<int()> nextSn;
        // A MESSAGE from the device with this body (an alarm without subscription).
        std::function<void(const std::string&)> sendMessage;
        // The pattern's PTZ position now (PTZPosition subscriptions).
        std::function<PtzPosition()> ptzPosition;
    };
    Notifier(sipua::SipAgent& agent, const CameraOptions& o, std::string deviceId, std::string domain,
             std::vector<std::string> channels, Hooks hooks);

    // A SUBSCRIBE, new or within a dialog it serves; answered here.
    void OnSubscribe(const sipua::Event& ev);
    // The answer to one of its NOTIFYs.
    void OnNotifyAnswer(const sipua::Event& ev);
    void Tick(Clock::time_point now);
    // Expires 0 at the end: every subscription is terminated with a NOTIFY.
    void EndAll();

private:
    enum class Package { Catalog, Alarm, MobilePosition, PTZPosition };
    struct Sub {
        std::string callId, localTag;
        std::string subscriberFrom; // the SUBSCRIBE's From, with its tag: our NOTIFY's To
        std::string subscriberUri;  // the same without tag (notify-outside-dialog)
        std::string target;         // where NOTIFYs go: the SUBSCRIBE's Contact
        std::string event;
        std::string id; // the Query's DeviceID
        Package package = Package::Catalog;
        int cseq = 0;
        int interval = 5;
        bool stale = false; // ended, notified on anyway (stale-notify)
        PtzPosition ptz;    // PTZPosition: the last one notified
        Clock::time_point expiresAt{}, nextPosition{};
    };
    static const char* Name(Package p);
    void Notify(Sub& s, const std::string& utf8Body, const std::string& state);
    void End(std::size_t index, const char* reason);
    std::string AlarmBody(const std::string& id);
    std::string PositionBody(const Sub& s);
    std::string PtzBody(const Sub& s, const PtzPosition& p);
    std::string CatalogBody(const std::string& channel, const char* event);

    sipua::SipAgent& agent_;
    const CameraOptions& o_;
    std::string deviceId_, domain_;
    std::vector<std::string> channels_;
    Hooks hooks_;
    std::vector<Sub> subs_;
    Clock::time_point nextAlarm_{}, nextCatalog_{};
    bool channelOff_ = false;
    int step_ = 0; // of the moving position
};

} // namespace tvsim
