// PTZ precise control moves the reported position: after a PTZPreciseCtrl
// (pan, tilt, zoom), the device's PTZPosition answers report the position it
// was sent to, within a degree and 5 % of the zoom (the last answer is judged,
// so that a device still moving may be asked again).
#include "check/battery/checks/Gb2022.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tarvex::check {
namespace {

struct Position {
    double pan = 0, tilt = 0, zoom = 0;
    bool ok = false;
};

Position Read(const XMLNode& n) {
    Position p;
    const std::string pan = ChildText(n, "Pan"), tilt = ChildText(n, "Tilt"), zoom = ChildText(n, "Zoom");
    char *a = nullptr, *b = nullptr, *c = nullptr;
    p.pan = std::strtod(pan.c_str(), &a);
    p.tilt = std::strtod(tilt.c_str(), &b);
    p.zoom = std::strtod(zoom.c_str(), &c);
    p.ok = !pan.empty() && !tilt.empty() && !zoom.empty() && !*a && !*b && !*c;
    return p;
}

std::string Text(const Position& p) {
    char s[96];
    std::snprintf(s, sizeof s, "Pan %.2f, Tilt %.2f, Zoom %.2f", p.pan, p.tilt, p.zoom);
    return s;
}

bool Near(const Position& got, const Position& want) {
    double dp = std::fabs(std::fmod(got.pan - want.pan, 360.0));
    dp = std::min(dp, 360.0 - dp); // 359.9 is 0.1 from 0
    return dp <= 1.0 && std::fabs(got.tilt - want.tilt) <= 1.0 &&
           std::fabs(got.zoom - want.zoom) <= std::max(0.05, want.zoom * 0.05);
}

} // namespace

CheckResult CheckGb2022Precise(const Observation& obs) {
    const int ctrl = SentControlWith(obs, "DeviceControl", "PTZPreciseCtrl");
    if (ctrl < 0) {
        if (auto r = NotA2022Device(obs, "PTZPreciseCtrl")) return *r;
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no PTZPreciseCtrl");
    }
    if (auto r = Declined(obs, ctrl, "PTZPreciseCtrl")) return *r;
    const ObservedMessage& c = obs.messages[static_cast<std::size_t>(ctrl)];
    const Position want = Read(c.manscdp.root.ChildByName("PTZPreciseCtrl"));
    const int answer = FinalResponseTo(obs, ctrl);
    if (answer < 0)
        return CheckResult::Make(Verdict::Fail, "PTZPreciseCtrl at " + c.timeText + " got no answer")
            .Cite(ctrl, "PTZPreciseCtrl");
    const int status = obs.messages[static_cast<std::size_t>(answer)].sip.status;
    if (status >= 300)
        return CheckResult::Make(Verdict::Fail, "PTZPreciseCtrl at " + c.timeText + " answered " +
                                                    std::to_string(status))
            .Cite(ctrl, "PTZPreciseCtrl")
            .Cite(answer, "answer");
    // The position before (when asked) and the last one reported after it.
    Position before;
    int beforeAt = -1, afterAt = -1, afterQuery = -1;
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "PTZPosition")) {
        if (qa.answers.empty()) continue;
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(qa.answers.front())];
        bool has = false;
        const std::string result = ChildText(m.manscdp.root, "Result", &has);
        if (has && EqualsNoCase(result, "ERROR"))
            return CheckResult::Make(Verdict::NotSupported, "PTZPosition answered Result ERROR")
                .Cite(qa.request, "query")
                .Cite(qa.answers.front(), "answer");
        if (qa.request < ctrl) {
            before = Read(m.manscdp.root);
            beforeAt = qa.answers.front();
        } else {
            afterAt = qa.answers.front();
            afterQuery = qa.request;
        }
    }
    if (afterAt < 0)
        return CheckResult::Make(Verdict::NotRun, "no PTZPosition answer to a query after the "
                                                  "PTZPreciseCtrl at " + c.timeText)
            .Cite(ctrl, "PTZPreciseCtrl");
    const Position got = Read(obs.messages[static_cast<std::size_t>(afterAt)].manscdp.root);
    CheckResult r;
    if (!got.ok)
        r = CheckResult::Make(Verdict::Fail, "PTZPosition after the PTZPreciseCtrl at " + c.timeText +
                                                 " does not give Pan, Tilt and Zoom as numbers");
    else if (!Near(got, want))
        r = CheckResult::Make(Verdict::Fail, "PTZPosition after the PTZPreciseCtrl at " + c.timeText +
                                                 " reports " + Text(got) + ", sent to " + Text(want));
    else
        r = CheckResult::Make(Verdict::Pass,
                              "moved to " + Text(got) + " as sent" +
                                  (beforeAt >= 0 && before.ok ? " (before: " + Text(before) + ")"
                                                              : std::string()));
    if (beforeAt >= 0) r.Cite(beforeAt, "position before");
    r.Cite(ctrl, "PTZPreciseCtrl").Cite(afterQuery, "PTZPosition query").Cite(afterAt, "position after");
    return r;
}

} // namespace tarvex::check
