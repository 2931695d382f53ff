// The 2022 edition's version header: every REGISTER of the device carries
// X-GB-Ver, the same value each time, and it names the 2022 edition (3.x).
// Without it the device speaks 2016, and the 2022 rows are not supported.
#include "check/battery/checks/Gb2022.h"

#include <cctype>

namespace tarvex::check {

int GbVersionMajor(const std::string& v) {
    const std::size_t dot = v.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == v.size() || dot > 3) return -1;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(v[i]))) return -1;
    return std::stoi(v.substr(0, dot));
}

DeclaredEdition DeviceEdition(const Observation& obs) {
    DeclaredEdition e;
    for (const ObservedMessage& m : obs.messages) {
        if (!m.Received() || !m.IsRequest("REGISTER")) continue;
        ++e.registers;
        const std::string v = m.sip.Value("X-GB-Ver");
        if (e.version.empty()) e.version = v;
        e.is2022 = e.is2022 || GbVersionMajor(v) >= 3;
    }
    return e;
}

std::optional<CheckResult> NotA2022Device(const Observation& obs, const char* what) {
    const DeclaredEdition e = DeviceEdition(obs);
    if (e.is2022) return std::nullopt;
    if (e.registers == 0) return CheckResult::Make(Verdict::NotRun, "no REGISTER was received");
    return CheckResult::Make(Verdict::NotSupported,
                             std::string("the device declares ") +
                                 (e.version.empty() ? "no X-GB-Ver"
                                                    : "X-GB-Ver " + e.version) +
                                 ", not the 2022 edition: " + what + " not sent");
}

std::optional<CheckResult> Declined(const Observation& obs, int request, const std::string& what) {
    const int f = FinalResponseTo(obs, request);
    if (f < 0) return std::nullopt;
    const int s = obs.messages[static_cast<std::size_t>(f)].sip.status;
    if (s != 405 && s != 415 && s != 488 && s != 501) return std::nullopt;
    CheckResult r = CheckResult::Make(Verdict::NotSupported, what + " answered " + std::to_string(s));
    r.Cite(request, "request").Cite(f, "answer");
    return r;
}

int SentControlWith(const Observation& obs, const char* cmdType, const char* element) {
    for (std::size_t i = 0; i < obs.messages.size(); ++i) {
        const ObservedMessage& m = obs.messages[i];
        if (m.Sent() && m.IsRequest("MESSAGE") && m.manscdp.Is("Control", cmdType) &&
            !m.manscdp.root.ChildByName(element).IsEmpty())
            return static_cast<int>(i);
    }
    return -1;
}

CheckResult CheckGb2022Version(const Observation& obs) {
    const std::vector<int> regs =
        Select(obs, [](const ObservedMessage& m) { return m.Received() && m.IsRequest("REGISTER"); });
    if (regs.empty()) return CheckResult::Make(Verdict::NotRun, "no REGISTER was received");
    const ObservedMessage& first = obs.messages[static_cast<std::size_t>(regs.front())];
    const std::string value = first.sip.Value("X-GB-Ver");
    for (int i : regs) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
        const std::string v = m.sip.Value("X-GB-Ver");
        if (!v.empty() && GbVersionMajor(v) < 0)
            return CheckResult::Make(Verdict::Fail, "REGISTER at " + m.timeText + ": X-GB-Ver \"" + v +
                                                        "\" is not a version (3.0 for 2022)")
                .Cite(i, "REGISTER");
        if (v != value)
            return CheckResult::Make(Verdict::Fail,
                                     "REGISTER at " + m.timeText + " carries " +
                                         (v.empty() ? "no X-GB-Ver" : "X-GB-Ver " + v) +
                                         ", the one at " + first.timeText + " " +
                                         (value.empty() ? "none" : value))
                .Cite(regs.front(), "first REGISTER")
                .Cite(i, "REGISTER");
    }
    const std::string n = Counted(regs.size(), "REGISTER", "REGISTERs");
    if (value.empty())
        return CheckResult::Make(Verdict::NotSupported,
                                 "no X-GB-Ver on " + n + ": the device declares no 2022 edition")
            .Cite(regs.front(), "REGISTER");
    if (GbVersionMajor(value) < 3)
        return CheckResult::Make(Verdict::NotSupported, "X-GB-Ver " + value + " on " + n +
                                                            ": the device declares the 2016 edition")
            .Cite(regs.front(), "REGISTER");
    CheckResult r = CheckResult::Make(Verdict::Pass, "X-GB-Ver " + value + " on " + n +
                                                         " (the 2022 edition)");
    r.Cite(regs.front(), "REGISTER");
    return r;
}

} // namespace tarvex::check
