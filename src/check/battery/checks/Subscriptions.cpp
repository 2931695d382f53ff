// The subscription checks: Catalog and Alarm subscriptions accepted and
// notified within their dialogs, mobile positions at the interval asked, and
// the unsubscribe (Expires 0) answered with no notification after it but the
// final one. Judged from Tarvex's SUBSCRIBEs in the log and the device's
// NOTIFYs; the device decides when a catalog changes or an alarm comes, so a
// subscription that saw none is not run rather than failed.
#include "check/battery/checks/Subscription.h"

#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"
#include "check/battery/checks/Keepalive.h"

#include <algorithm>
#include <cstdlib>

namespace tarvex::check {
namespace {

std::string TagOf(const ObservedMessage& m, const char* header) {
    const SipAddress a = ParseSipAddress(m.sip.Value(header));
    auto it = a.params.find("tag");
    return it == a.params.end() ? std::string() : it->second;
}

long ExpiresOf(const ObservedMessage& m) {
    long v = -1;
    const std::string* e = m.sip.Find("Expires");
    if (!e || !ParseLong(*e, &v)) return -1;
    return v;
}

const char* const kPackages[] = {"Catalog", "Alarm", "MobilePosition"};

const char* Label(const std::string& package) {
    return package == "Catalog" ? "catalog" : package == "Alarm" ? "alarm" : "mobile position";
}

// Why a NOTIFY is not one of the dialog's, "" when it is.
std::string OutsideWhy(const SubscriptionTrace& t, const ObservedMessage& n) {
    if (n.sip.callId != t.callId) return "Call-ID " + n.sip.callId + ", the dialog's is " + t.callId;
    const std::string from = TagOf(n, "From");
    if (from != t.deviceTag)
        return "From tag \"" + from + "\", the 2xx gave \"" + t.deviceTag + "\"";
    if (TagOf(n, "To").empty()) return "no To tag";
    return {};
}

std::string StatusText(const Observation& obs, int answer) {
    if (answer < 0) return "no answer";
    const ObservedMessage& a = obs.messages[static_cast<std::size_t>(answer)];
    return std::to_string(a.sip.status) + (a.sip.reason.empty() ? "" : " " + a.sip.reason);
}

std::int64_t TimeOf(const Observation& obs, int i) {
    return obs.messages[static_cast<std::size_t>(i)].timeMs;
}

// The verdict when the subscription itself went wrong (not sent, refused,
// unanswered, a NOTIFY outside its dialog or refused); nothing when it holds.
// declinable: a 489 is the device saying it has no such events.
std::optional<CheckResult> SubscriptionProblem(const Observation& obs, const SubscriptionTrace& t,
                                               const std::string& package, bool declinable) {
    const std::string what = std::string(Label(package)) + " SUBSCRIBE";
    if (t.subscribe < 0)
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no " + what);
    const ObservedMessage& s = obs.messages[static_cast<std::size_t>(t.subscribe)];
    if (t.answer < 0)
        return CheckResult::Make(Verdict::Fail, "the " + what + " at " + s.timeText +
                                                    " got no answer")
            .Cite(t.subscribe, "SUBSCRIBE");
    const int status = obs.messages[static_cast<std::size_t>(t.answer)].sip.status;
    if (status >= 300)
        return CheckResult::Make(declinable && (status == 489 || status == 501)
                                     ? Verdict::NotSupported
                                     : Verdict::Fail,
                                 "the " + what + " was answered " + StatusText(obs, t.answer))
            .Cite(t.subscribe, "SUBSCRIBE")
            .Cite(t.answer, "answer");
    for (int n : t.notifies) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
        const int ours = FinalResponseTo(obs, n);
        const std::string why = OutsideWhy(t, m);
        if (why.empty() && (ours < 0 || obs.messages[static_cast<std::size_t>(ours)].sip.status < 300))
            continue;
        CheckResult r = CheckResult::Make(
            Verdict::Fail,
            "NOTIFY at " + m.timeText +
                (why.empty() ? " in the dialog" : " outside the subscription's dialog (" + why + ")") +
                ", answered " + StatusText(obs, ours));
        r.Cite(t.subscribe, "SUBSCRIBE").Cite(t.answer, "answer").Cite(n, "NOTIFY");
        if (ours >= 0) r.Cite(ours, "Tarvex's answer");
        return r;
    }
    return std::nullopt;
}

std::string Granted(const Observation& obs, const SubscriptionTrace& t) {
    const long e = ExpiresOf(obs.messages[static_cast<std::size_t>(t.answer)]);
    return StatusText(obs, t.answer) + (e >= 0 ? ", " + std::to_string(e) + " s granted" : "");
}

// From the 2xx to the unsubscribe's answer (or the end of the observation).
std::int64_t WatchedMs(const Observation& obs, const SubscriptionTrace& t) {
    const std::int64_t end = t.unsubscribe >= 0 ? TimeOf(obs, t.unsubscribe) : obs.End();
    return std::max<std::int64_t>(0, end - TimeOf(obs, t.answer));
}

// The NOTIFYs in the dialog with a body of the package, answered 200.
std::vector<int> Bodies(const Observation& obs, const SubscriptionTrace& t, const char* cmdType) {
    std::vector<int> out;
    for (int n : t.notifies) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
        if (t.InDialog(m) && m.manscdp.Is("Notify", cmdType)) out.push_back(n);
    }
    return out;
}

// Catalog and Alarm: accepted, and at least one change notified in the dialog.
CheckResult NotifiedOnChange(const Observation& obs, const char* package, const char* none) {
    const SubscriptionTrace t = TraceSubscription(obs, package);
    if (auto p = SubscriptionProblem(obs, t, package, false)) return *p;
    const std::vector<int> got = Bodies(obs, t, package);
    const std::string watched = Seconds(WatchedMs(obs, t));
    if (got.empty())
        return CheckResult::Make(Verdict::NotRun, "accepted (" + Granted(obs, t) + "); " + none +
                                                      " within the " + watched + " watched")
            .Cite(t.subscribe, "SUBSCRIBE")
            .Cite(t.answer, "answer");
    CheckResult r = CheckResult::Make(
        Verdict::Pass, "accepted (" + Granted(obs, t) + "); " +
                           std::to_string(got.size()) + " " + package +
                           (got.size() == 1 ? " NOTIFY" : " NOTIFYs") + " in the dialog within " +
                           watched + ", each answered 200");
    r.Cite(t.subscribe, "SUBSCRIBE").Cite(t.answer, "answer");
    for (std::size_t i = 0; i < got.size() && i < 5; ++i) r.Cite(got[i], "NOTIFY");
    return r.Measure("notifications", static_cast<double>(got.size()));
}

} // namespace

bool SubscriptionTrace::Accepted(const Observation& obs) const {
    if (answer < 0) return false;
    const int s = obs.messages[static_cast<std::size_t>(answer)].sip.status;
    return s >= 200 && s < 300;
}

bool SubscriptionTrace::InDialog(const ObservedMessage& m) const {
    return !callId.empty() && OutsideWhy(*this, m).empty();
}

std::string SubscriptionStateOf(const ObservedMessage& m) {
    const std::string v = m.sip.Value("Subscription-State");
    return Lower(Trim(v.substr(0, v.find(';'))));
}

SubscriptionTrace TraceSubscription(const Observation& obs, const std::string& package) {
    SubscriptionTrace t;
    const int count = static_cast<int>(obs.messages.size());
    for (int i = 0; i < count; ++i) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
        if (m.Sent() && m.IsRequest("SUBSCRIBE") && m.manscdp.cmdType == package &&
            TagOf(m, "To").empty() && ExpiresOf(m) != 0)
            t.subscribe = i;
    }
    if (t.subscribe < 0) return t;
    const ObservedMessage& s = obs.messages[static_cast<std::size_t>(t.subscribe)];
    if (package == "MobilePosition")
        t.interval = std::atoi(ChildText(s.manscdp.root, "Interval").c_str());
    t.answer = FinalResponseTo(obs, t.subscribe);
    if (t.Accepted(obs)) {
        t.callId = s.sip.callId;
        t.deviceTag = TagOf(obs.messages[static_cast<std::size_t>(t.answer)], "To");
    }
    // Another package's SUBSCRIBE with the same Event ("presence") makes the
    // Event header no sign of which one a bodiless NOTIFY is for.
    const std::string event = s.sip.Value("Event");
    bool eventShared = false;
    for (const char* other : kPackages)
        if (other != package) {
            for (int i = 0; i < count; ++i) {
                const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
                if (m.Sent() && m.IsRequest("SUBSCRIBE") && m.manscdp.cmdType == other &&
                    EqualsNoCase(m.sip.Value("Event"), event))
                    eventShared = true;
            }
        }
    for (int i = t.subscribe + 1; i < count; ++i) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
        if (t.unsubscribe < 0 && !t.callId.empty() && m.Sent() && m.IsRequest("SUBSCRIBE") &&
            m.sip.callId == t.callId && ExpiresOf(m) == 0) {
            t.unsubscribe = i;
            t.unsubscribeAnswer = FinalResponseTo(obs, i);
        }
        if (!m.Received() || !m.IsRequest("NOTIFY")) continue;
        if (t.unsubscribe >= 0) {
            if (t.InDialog(m)) t.after.push_back(i);
            if (t.unsubscribeAnswer < 0 || i > t.unsubscribeAnswer) continue;
        }
        const bool mine =
            (!t.callId.empty() && m.sip.callId == t.callId) || m.manscdp.cmdType == package ||
            (m.body.empty() && !eventShared && EqualsNoCase(m.sip.Value("Event"), event));
        if (mine && !(t.unsubscribe >= 0 && t.InDialog(m))) t.notifies.push_back(i);
    }
    return t;
}

CheckResult CheckSubscribeCatalog(const Observation& obs) {
    return NotifiedOnChange(obs, "Catalog", "the catalog did not change");
}

CheckResult CheckSubscribeAlarm(const Observation& obs) {
    return NotifiedOnChange(obs, "Alarm", "the device gave no alarm");
}

CheckResult CheckSubscribePosition(const Observation& obs) {
    const SubscriptionTrace t = TraceSubscription(obs, "MobilePosition");
    if (auto p = SubscriptionProblem(obs, t, "MobilePosition", true)) return *p;
    const std::vector<int> got = Bodies(obs, t, "MobilePosition");
    const std::int64_t watchedMs = WatchedMs(obs, t);
    const std::int64_t askedMs = (t.interval > 0 ? t.interval : 5) * 1000LL;
    const std::string asked = "asked every " + Seconds(askedMs);
    if (got.size() < 2) {
        // Two positions are due by two intervals; a quarter more for the way.
        if (watchedMs < 2 * askedMs + askedMs / 4)
            return CheckResult::Make(Verdict::NotRun, "accepted; watched " + Seconds(watchedMs) +
                                                          ", less than two intervals (" + asked + ")")
                .Cite(t.subscribe, "SUBSCRIBE");
        CheckResult r = CheckResult::Make(Verdict::Fail,
                                          "accepted (" + Granted(obs, t) + "), but " +
                                              Counted(got.size(), "position", "positions") +
                                              " notified in " + Seconds(watchedMs) + ", " + asked);
        r.Cite(t.subscribe, "SUBSCRIBE").Cite(t.answer, "answer");
        for (int n : got) r.Cite(n, "NOTIFY");
        return r.Measure("positions", static_cast<double>(got.size()));
    }
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < got.size(); ++i)
        gaps.push_back(TimeOf(obs, got[i]) - TimeOf(obs, got[i - 1]));
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    const std::int64_t median = gaps[gaps.size() / 2];
    // Half an interval early, or half an interval and half a second late, is
    // still the interval asked (a device's timer, the network, our log).
    const bool ok = median >= askedMs / 2 && median <= askedMs + askedMs / 2 + 500;
    CheckResult r = CheckResult::Make(
        ok ? Verdict::Pass : Verdict::Fail,
        Counted(got.size(), "position", "positions") + " notified in the dialog within " +
            Seconds(watchedMs) + ", every " + Seconds(median) + " (median), " + asked);
    r.Cite(t.subscribe, "SUBSCRIBE").Cite(t.answer, "answer");
    for (std::size_t i = 0; i < got.size() && i < 5; ++i) r.Cite(got[i], "NOTIFY");
    return r.Measure("positions", static_cast<double>(got.size()))
        .Measure("interval_s", static_cast<double>(median) / 1000.0, "s");
}

CheckResult CheckSubscribeEnd(const Observation& obs) {
    int ended = 0, finals = 0;
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const char* package : kPackages) {
        const SubscriptionTrace t = TraceSubscription(obs, package);
        if (!t.Accepted(obs) || t.unsubscribe < 0) continue;
        const ObservedMessage& u = obs.messages[static_cast<std::size_t>(t.unsubscribe)];
        const std::string what = std::string("the ") + Label(package) + " unsubscribe (Expires 0) at " +
                                 u.timeText;
        if (t.unsubscribeAnswer < 0)
            return CheckResult::Make(Verdict::Fail, what + " got no answer")
                .Cite(t.unsubscribe, "SUBSCRIBE Expires 0");
        if (obs.messages[static_cast<std::size_t>(t.unsubscribeAnswer)].sip.status >= 300)
            return CheckResult::Make(Verdict::Fail,
                                     what + " was answered " + StatusText(obs, t.unsubscribeAnswer))
                .Cite(t.unsubscribe, "SUBSCRIBE Expires 0")
                .Cite(t.unsubscribeAnswer, "answer");
        bool final = false;
        for (int n : t.after) {
            const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
            const std::string state = SubscriptionStateOf(m);
            if (state == "terminated") {
                final = true;
                pass.Cite(n, "final NOTIFY");
            } else if (n > t.unsubscribeAnswer) {
                const int ours = FinalResponseTo(obs, n);
                CheckResult r = CheckResult::Make(
                    Verdict::Fail, what + " was answered, yet the device notified again in the "
                                          "ended dialog at " +
                                       m.timeText + " (Subscription-State " +
                                       (state.empty() ? "missing" : state) + "), answered " +
                                       StatusText(obs, ours));
                r.Cite(t.unsubscribe, "SUBSCRIBE Expires 0")
                    .Cite(t.unsubscribeAnswer, "answer")
                    .Cite(n, "NOTIFY after the end");
                if (ours >= 0) r.Cite(ours, "Tarvex's answer");
                return r;
            }
        }
        ++ended;
        finals += final;
        pass.Cite(t.unsubscribe, "SUBSCRIBE Expires 0").Cite(t.unsubscribeAnswer, "answer");
    }
    if (ended == 0)
        return CheckResult::Make(Verdict::NotRun, "no accepted subscription was ended by Tarvex");
    pass.reason = Counted(static_cast<std::uint64_t>(ended), "unsubscribe", "unsubscribes") +
                  " (Expires 0) answered 2xx, " + std::to_string(finals) + " of them followed by a "
                  "terminated NOTIFY, none notified after";
    return pass.Measure("unsubscribes", ended).Measure("final_notifies", finals);
}

} // namespace tarvex::check
