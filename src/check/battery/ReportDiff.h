// What changed between two device checks (a firmware before and after):
// `tarvex --check-diff A/report.json B/report.json`. The reports are read
// into ReportDigest by the caller (any JSON reader); the comparison is here.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarvex::check {

struct ReportDigest {
    std::string toolVersion, generated;
    // device.id, name, manufacturer, model, firmware, in that order.
    std::vector<std::pair<std::string, std::string>> device;
    struct Check {
        std::string id, title, verdict, severity, reason;
    };
    std::vector<Check> checks;
};

struct ReportDiff {
    std::vector<std::string> lines; // what to print, one change a line
    int verdictChanges = 0;         // checks whose verdict moved, came or went
};

// Device fields that differ, each check whose verdict changed (with both
// reasons), checks only one report has, and the counts of each verdict.
ReportDiff DiffReports(const ReportDigest& a, const ReportDigest& b);

} // namespace tarvex::check
