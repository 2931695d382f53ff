// What the subscription checks share (and the driver waits on): one event
// package's subscription as the log shows it, from Tarvex's first SUBSCRIBE
// to the NOTIFYs after its Expires 0.
#pragma once

#include "check/battery/Observation.h"

#include <string>
#include <vector>

namespace tarvex::check {

struct SubscriptionTrace {
    int subscribe = -1;          // Tarvex's last SUBSCRIBE opening one (no To tag, Expires > 0)
    int answer = -1;             // its final answer
    std::string callId, deviceTag; // the dialog its 2xx made
    int interval = 0;            // MobilePosition: the Interval asked, seconds
    // NOTIFYs of it until the unsubscribe was answered: those in its dialog and
    // those outside it that name the package (body CmdType, or its own Event).
    std::vector<int> notifies;
    int unsubscribe = -1, unsubscribeAnswer = -1; // Expires 0 within the dialog
    std::vector<int> after; // NOTIFYs in the dialog from the unsubscribe on

    bool Accepted(const Observation& obs) const;
    bool InDialog(const ObservedMessage& m) const;
};

// package is the Query's CmdType: "Catalog", "Alarm" or "MobilePosition".
SubscriptionTrace TraceSubscription(const Observation& obs, const std::string& package);

// The Subscription-State value without parameters, lower case ("active").
std::string SubscriptionStateOf(const ObservedMessage& m);

} // namespace tarvex::check
