// What one check says about an observation.
#pragma once

#include <string>
#include <vector>

namespace tarvex::check {

// pass: the device did what the check asks. fail: it did not. not supported:
// the device declined the feature in the protocol's own way (a SIP 405, 415,
// 488 or 501, or a MANSCDP Result ERROR). not run: the exchange the check
// judges never happened, so there is nothing to judge.
enum class Verdict { Pass, Fail, NotSupported, NotRun };

// "pass", "fail", "not supported", "not run".
const char* VerdictText(Verdict v);
// "pass", "fail", "not_supported", "not_run" (the report's JSON).
const char* VerdictKey(Verdict v);

// How much a fail weighs: error, the device breaks what the protocol asks;
// warning, it works but not as the protocol recommends; info, for the record.
enum class Severity { Error, Warning, Info };
const char* SeverityKey(Severity s); // "error", "warning", "info"

// What a check rests on: the GB/T 28181 section (named by its subject, in
// Chinese and in English) and the RFC clauses; "" where none applies.
struct Clause {
    std::string gbZh, gbEn, rfc;
};

// A figure the check measured, reported whatever the verdict.
struct Measurement {
    std::string name; // "interval_s", "frame_rate_fps", ...
    double value = 0;
    std::string unit; // "s", "ms", "fps", "kbit/s", "" for counts
};

// One piece of evidence: a message of the observation (by index) with what it
// shows, or a note (a figure, an SDP text) when the evidence is not a message.
struct Evidence {
    int message = -1;  // index into Observation::messages, -1 for a note
    std::string label; // what this piece shows ("REGISTER", "no answer within 1000 ms")
    std::string text;  // a note's text
};

struct CheckResult {
    std::string id; // from the battery's table
    std::string title;
    std::string titleZh;
    Severity severity = Severity::Error;
    Clause clause;
    Verdict verdict = Verdict::NotRun;
    std::string reason; // one line
    std::vector<Measurement> measurements;
    std::vector<Evidence> evidence;

    // Builders the checks use: the verdict and its reason in one step.
    static CheckResult Make(Verdict v, std::string reason);
    CheckResult& Cite(int message, std::string label = {});
    CheckResult& Note(std::string label, std::string text);
    CheckResult& Measure(std::string name, double value, std::string unit = {});
};

} // namespace tarvex::check
