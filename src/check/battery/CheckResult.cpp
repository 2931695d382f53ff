#include "check/battery/CheckResult.h"

namespace tarvex::check {

const char* VerdictText(Verdict v) {
    switch (v) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::NotSupported: return "not supported";
    case Verdict::NotRun: return "not run";
    }
    return "not run";
}

const char* VerdictKey(Verdict v) {
    switch (v) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::NotSupported: return "not_supported";
    case Verdict::NotRun: return "not_run";
    }
    return "not_run";
}

CheckResult CheckResult::Make(Verdict v, std::string reason) {
    CheckResult r;
    r.verdict = v;
    r.reason = std::move(reason);
    return r;
}

CheckResult& CheckResult::Cite(int message, std::string label) {
    if (message < 0) return *this;
    for (const auto& e : evidence)
        if (e.message == message) return *this; // once, with its first label
    evidence.push_back({message, std::move(label), {}});
    return *this;
}

CheckResult& CheckResult::Note(std::string label, std::string text) {
    evidence.push_back({-1, std::move(label), std::move(text)});
    return *this;
}

CheckResult& CheckResult::Measure(std::string name, double value, std::string unit) {
    measurements.push_back({std::move(name), value, std::move(unit)});
    return *this;
}

} // namespace tarvex::check
