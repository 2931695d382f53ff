#include "check/battery/CheckResult.h"

namespace tarvex::check {

namespace {

// Text and JSON key of each verdict, in the order of the enum.
constexpr const char* kNames[][2] = {
    {"pass", "pass"}, {"fail", "fail"}, {"not supported", "not_supported"}, {"not run", "not_run"}};

} // namespace

const char* VerdictText(Verdict v) {
    return kNames[static_cast<int>(v)][0];
}

const char* VerdictKey(Verdict v) {
    return kNames[static_cast<int>(v)][1];
}

const char* SeverityKey(Severity s) {
    switch (s) {
    case Severity::Error:
        return "error";
    case Severity::Warning:
        return "warning";
    case Severity::Info:
        break;
    }
    return "info";
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
