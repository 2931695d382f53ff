// The report of a device check: DIR/report.html (one page, readable offline,
// no external resources, evidence foldable) and DIR/report.json (the same for
// machines). The JSON shape is documented in docs/checks.md; "format" and
// "version" name it.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tarvex::check {

// Who the device is, from its REGISTER, DeviceInfo answer and Catalog answer.
// Texts are UTF-8; empty when the device did not say.
struct DeviceIdentity {
    std::string id;
    std::string contact;                                      // host:port of the REGISTER's Contact
    std::string userAgent;                                    // User-Agent of the REGISTER
    std::string gbVersion;                                    // X-GB-Ver of the REGISTER ("" without)
    std::string name, manufacturer, model, firmware, channel; // DeviceInfo
    int catalogItems = -1; // items of the last Catalog answer, -1 without one
};
DeviceIdentity IdentifyDevice(const Observation& obs);

struct ReportInfo {
    std::string generated; // local time text of the report; empty: now
    std::string tool = "Tarvex";
    std::string version;         // the tool's version; empty: this build's
    std::string language = "en"; // report.html: "en" or "zh" (report.json is the same for both)
    std::string commandLine;     // how the check was started, "" when not from a command line
    // The run's own settings beyond the observation's (measuring window,
    // observation length, ...), as name and value texts.
    std::vector<std::pair<std::string, std::string>> run;
};

// "zh" when the locale (LC_ALL, LC_MESSAGES, LANG, in that order) names
// Chinese, else "en".
std::string LanguageFromLocale();

std::string ReportJson(const Observation& obs, const std::vector<CheckResult>& results,
                       const ReportInfo& info = {});
std::string ReportHtml(const Observation& obs, const std::vector<CheckResult>& results,
                       const ReportInfo& info = {});

struct ReportFiles {
    std::filesystem::path html, json; // empty when not written
    std::string error;                // what went wrong, "" when both were written
};
// Creates dir when needed and writes both files (each through a temporary file
// renamed into place, so that a reader never sees half a report).
ReportFiles WriteReport(const std::filesystem::path& dir, const Observation& obs,
                        const std::vector<CheckResult>& results, const ReportInfo& info = {});

} // namespace tarvex::check
