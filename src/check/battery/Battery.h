// The device check battery: a fixed table of checks, each a function from the
// observation to a verdict with its reason and evidence.
//
//   std::vector<CheckResult> results = RunBattery(obs);
//   WriteReport(dir, obs, results, info);   // Report.h
//
// Adding a check is adding one file under checks/ with its function and one
// row (declaration and entry) in Battery.cpp; the report and its tests follow
// the table. Checks are pure: no clock, no I/O, the same verdicts for the same
// observation.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"

#include <string_view>
#include <vector>

namespace tarvex::check {

using CheckFunction = CheckResult (*)(const Observation&);

struct CheckDef {
    const char* id;    // stable name for machines ("register.form")
    const char* title; // what the report shows ("REGISTER well formed")
    CheckFunction run;
    const char* titleZh; // the title in the Chinese report
    Severity severity;
    // GB/T 28181 section (Chinese, English) and RFC clauses it rests on.
    const char* gbZh;
    const char* gbEn;
    const char* rfc;
    // Judged only when the device registered (Observation::registered);
    // otherwise not run with "the device did not register".
    bool needsRegistration = true;
};

// Every check, in the order the report lists them.
const std::vector<CheckDef>& Battery();
const CheckDef* FindCheck(std::string_view id);

// Runs one check and stamps its id and title. A check that throws comes back as
// not run, with what it threw as the reason.
CheckResult RunCheck(const CheckDef& def, const Observation& obs);
std::vector<CheckResult> RunBattery(const Observation& obs);

} // namespace tarvex::check
