#include "check/battery/ReportDiff.h"

#include <map>

namespace tarvex::check {
namespace {

const ReportDigest::Check* Find(const ReportDigest& r, const std::string& id) {
    for (const auto& c : r.checks)
        if (c.id == id) return &c;
    return nullptr;
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

} // namespace

ReportDiff DiffReports(const ReportDigest& a, const ReportDigest& b) {
    ReportDiff d;
    for (const auto& [key, va] : a.device) {
        std::string vb;
        for (const auto& [k, v] : b.device)
            if (k == key) vb = v;
        if (va != vb) d.lines.push_back("device " + key + ": " + Quoted(va) + " -> " + Quoted(vb));
    }
    if (a.toolVersion != b.toolVersion)
        d.lines.push_back("Tarvex " + Quoted(a.toolVersion) + " -> " + Quoted(b.toolVersion));
    for (const auto& ca : a.checks) {
        const ReportDigest::Check* cb = Find(b, ca.id);
        if (!cb) {
            ++d.verdictChanges;
            d.lines.push_back(ca.id + ": " + ca.verdict + " -> (not in B)");
            continue;
        }
        if (cb->verdict == ca.verdict) continue;
        ++d.verdictChanges;
        d.lines.push_back(ca.id + " (" + cb->severity + "): " + ca.verdict + " -> " + cb->verdict);
        d.lines.push_back("    A: " + ca.reason);
        d.lines.push_back("    B: " + cb->reason);
    }
    for (const auto& cb : b.checks)
        if (!Find(a, cb.id)) {
            ++d.verdictChanges;
            d.lines.push_back(cb.id + ": (not in A) -> " + cb.verdict);
            d.lines.push_back("    B: " + cb.reason);
        }
    std::map<std::string, int> na, nb;
    for (const auto& c : a.checks)
        ++na[c.verdict];
    for (const auto& c : b.checks)
        ++nb[c.verdict];
    std::string counts;
    for (const char* v : {"pass", "fail", "not_supported", "not_run"})
        counts += std::string(counts.empty() ? "" : ", ") + v + " " + std::to_string(na[v]) +
                  (na[v] == nb[v] ? "" : " -> " + std::to_string(nb[v]));
    d.lines.push_back(std::to_string(d.verdictChanges) +
                      (d.verdictChanges == 1 ? " check changed its verdict; "
                                             : " checks changed their verdict; ") +
                      counts);
    return d;
}

} // namespace tarvex::check
