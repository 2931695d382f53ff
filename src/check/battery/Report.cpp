#include "check/battery/Report.h"

#include "base/TextCodec.h"
#include "base/Version.h"
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

#include <chrono>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace tarvex::check {
namespace {

constexpr int kFormatVersion = 1;
constexpr Verdict kVerdicts[] = {Verdict::Pass, Verdict::Fail, Verdict::NotSupported,
                                 Verdict::NotRun};

// Every text that reaches the report is UTF-8: a device's GBK bytes in a
// reason or a head are decoded, as the message log decodes them.
std::string Utf8(const std::string& s) {
    return TextCodec::IsValidUtf8(s) ? s : TextCodec::GbkToUtf8(s);
}

std::string HeadText(const ObservedMessage& m) {
    std::string h = Utf8(m.head);
    while (!h.empty() && (h.back() == '\n' || h.back() == '\r'))
        h.pop_back();
    std::string out;
    for (char c : h)
        if (c != '\r') out += c;
    return out;
}

std::string BodyText(const ObservedMessage& m) {
    return TextCodec::BodyToUtf8(m.body);
}

std::string Base64(const std::string& bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Json(const std::string& raw) {
    const std::string s = Utf8(raw);
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string Html(const std::string& raw) {
    std::string out;
    for (char c : Utf8(raw)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\r':
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string GeneratedText(const ReportInfo& info) {
    if (!info.generated.empty()) return info.generated;
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return LocalTimeMsText(now.count());
}

std::string TimeOf(std::int64_t ms) {
    return ms == 0 ? std::string() : LocalTimeMsText(ms);
}

int Count(const std::vector<CheckResult>& results, Verdict v) {
    int n = 0;
    for (const auto& r : results)
        n += r.verdict == v;
    return n;
}

std::string VersionOf(const ReportInfo& info) {
    return info.version.empty() ? std::string(TARVEX_VERSION) : info.version;
}

// The report's own words in its language.
struct Words {
    bool zh;
    const char* operator()(const char* en, const char* zhText) const { return zh ? zhText : en; }
};

const char* VerdictWord(Verdict v, const Words& w) {
    switch (v) {
    case Verdict::Pass:
        return w("pass", "通过");
    case Verdict::Fail:
        return w("fail", "不通过");
    case Verdict::NotSupported:
        return w("not supported", "不支持");
    case Verdict::NotRun:
        break;
    }
    return w("not run", "未运行");
}

const char* SeverityWord(Severity s, const Words& w) {
    switch (s) {
    case Severity::Error:
        return w("error", "错误");
    case Severity::Warning:
        return w("warning", "警告");
    case Severity::Info:
        break;
    }
    return w("info", "提示");
}

std::string ClauseText(const CheckResult& r, const Words& w) {
    std::string t;
    if (!r.clause.gbZh.empty()) t = "GB/T 28181 " + (w.zh ? r.clause.gbZh : r.clause.gbEn);
    if (!r.clause.rfc.empty()) t += (t.empty() ? "" : " · ") + r.clause.rfc;
    return t;
}

const char* DirectionText(const ObservedMessage& m, const Words& w) {
    return m.Sent() ? w("Tarvex to device", "Tarvex → 设备")
                    : w("device to Tarvex", "设备 → Tarvex");
}

const char* MeasurementText(const Measurement& m, char* buf, std::size_t size) {
    const bool whole = m.value == std::floor(m.value) && std::fabs(m.value) < 1e15;
    std::snprintf(buf, size, whole ? "%.0f%s%s" : "%.2f%s%s", m.value, m.unit.empty() ? "" : " ",
                  m.unit.c_str());
    return buf;
}

} // namespace

DeviceIdentity IdentifyDevice(const Observation& obs) {
    DeviceIdentity d;
    d.id = obs.DeviceId();
    for (const auto& m : obs.messages) {
        if (!m.Received() || !m.IsRequest("REGISTER")) continue;
        const SipAddress contact = ParseSipAddress(m.sip.Value("Contact"));
        if (contact.ok)
            d.contact = contact.host + (contact.port ? ":" + std::to_string(contact.port) : "");
        d.userAgent = Utf8(m.sip.Value("User-Agent"));
        d.gbVersion = Utf8(m.sip.Value("X-GB-Ver"));
        break;
    }
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "DeviceInfo")) {
        if (qa.answers.empty()) continue;
        const ManscdpBody& b = obs.messages[static_cast<std::size_t>(qa.answers.front())].manscdp;
        d.name = BodyValueText(b, ChildText(b.root, "DeviceName"));
        d.manufacturer = BodyValueText(b, ChildText(b.root, "Manufacturer"));
        d.model = BodyValueText(b, ChildText(b.root, "Model"));
        d.firmware = BodyValueText(b, ChildText(b.root, "Firmware"));
        d.channel = BodyValueText(b, ChildText(b.root, "Channel"));
    }
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "Catalog")) {
        if (qa.answers.empty()) continue;
        d.catalogItems = 0;
        for (int a : qa.answers)
            d.catalogItems += obs.messages[static_cast<std::size_t>(a)]
                                  .manscdp.root.ChildByName("DeviceList")
                                  .ChildCount();
    }
    return d;
}

std::string ReportJson(const Observation& obs, const std::vector<CheckResult>& results,
                       const ReportInfo& info) {
    const DeviceIdentity d = IdentifyDevice(obs);
    const CheckSettings& s = obs.settings;
    std::string o = "{\n";
    o +=
        "  \"format\": \"tarvex-device-check\",\n  \"version\": " + std::to_string(kFormatVersion) +
        ",\n";
    o += "  \"tool\": " + Json(info.tool) + ", \"toolVersion\": " + Json(VersionOf(info)) +
         ",\n  \"generated\": " + Json(GeneratedText(info)) +
         ", \"commandLine\": " + Json(info.commandLine) + ",\n";
    o += "  \"device\": {\"id\": " + Json(d.id) + ", \"contact\": " + Json(d.contact) +
         ", \"userAgent\": " + Json(d.userAgent) + ", \"gbVersion\": " + Json(d.gbVersion) +
         ", \"name\": " + Json(d.name) +
         ", \"manufacturer\": " + Json(d.manufacturer) + ", \"model\": " + Json(d.model) +
         ", \"firmware\": " + Json(d.firmware) + ", \"channel\": " + Json(d.channel) +
         ", \"catalogItems\": " +
         (d.catalogItems < 0 ? std::string("null") : std::to_string(d.catalogItems)) + "},\n";
    o += "  \"observation\": {\"start\": " + Json(TimeOf(obs.Start())) +
         ", \"end\": " + Json(TimeOf(obs.End())) +
         ", \"messages\": " + std::to_string(obs.messages.size()) +
         ", \"mediaAttempts\": " + std::to_string(obs.media.size()) +
         ",\n    \"settings\": {\"sipTransport\": " + Json(s.sipTransport) +
         ", \"platformId\": " + Json(s.platformId) +
         ", \"challenge\": " + (s.password.empty() ? "false" : "true") +
         ", \"keepaliveIntervalS\": " + std::to_string(s.keepaliveIntervalS) +
         ", \"keepaliveMisses\": " + std::to_string(s.keepaliveMisses) +
         ", \"messageAnswerLimitMs\": " + std::to_string(s.messageAnswerLimitMs) +
         ", \"queryAnswerLimitMs\": " + std::to_string(s.queryAnswerLimitMs) +
         ", \"firstPictureLimitMs\": " + std::to_string(s.firstPictureLimitMs) +
         "},\n    \"run\": {";
    for (std::size_t i = 0; i < info.run.size(); ++i)
        o += std::string(i ? ", " : "") + Json(info.run[i].first) + ": " + Json(info.run[i].second);
    o += "}},\n";
    o += "  \"summary\": {";
    for (Verdict v : kVerdicts)
        o += std::string(v == Verdict::Pass ? "" : ", ") + Json(VerdictKey(v)) + ": " +
             std::to_string(Count(results, v));
    o += "},\n  \"checks\": [";
    for (std::size_t i = 0; i < results.size(); ++i) {
        const CheckResult& r = results[i];
        o += std::string(i ? "," : "") + "\n    {\"id\": " + Json(r.id) +
             ", \"title\": " + Json(r.title) + ", \"titleZh\": " + Json(r.titleZh) +
             ", \"severity\": " + Json(SeverityKey(r.severity)) +
             ",\n     \"clause\": {\"gbt28181\": " + Json(r.clause.gbZh) +
             ", \"gbt28181En\": " + Json(r.clause.gbEn) + ", \"rfc\": " + Json(r.clause.rfc) +
             "},\n     \"verdict\": " + Json(VerdictKey(r.verdict)) +
             ", \"reason\": " + Json(r.reason) + ",\n     \"measurements\": [";
        for (std::size_t k = 0; k < r.measurements.size(); ++k) {
            const Measurement& m = r.measurements[k];
            o += std::string(k ? ", " : "") + "{\"name\": " + Json(m.name) +
                 ", \"value\": " + JsonNumber(m.value) + ", \"unit\": " + Json(m.unit) + "}";
        }
        o += "],\n     \"evidence\": [";
        for (std::size_t k = 0; k < r.evidence.size(); ++k) {
            const Evidence& e = r.evidence[k];
            o += std::string(k ? "," : "") + "\n       {";
            if (e.message < 0 || static_cast<std::size_t>(e.message) >= obs.messages.size()) {
                o += "\"kind\": \"note\", \"label\": " + Json(e.label) +
                     ", \"text\": " + Json(e.text) + "}";
                continue;
            }
            const ObservedMessage& m = obs.messages[static_cast<std::size_t>(e.message)];
            const std::string body = BodyText(m);
            o += "\"kind\": \"message\", \"label\": " + Json(e.label) +
                 ", \"index\": " + std::to_string(e.message) + ", \"time\": " + Json(m.timeText) +
                 ", \"timeMs\": " + std::to_string(m.timeMs) +
                 ", \"direction\": " + (m.Sent() ? "\"sent\"" : "\"received\"") +
                 ",\n        \"head\": " + Json(m.head) + ",\n        \"body\": " + Json(body);
            if (body != m.body) o += ", \"bodyBase64\": \"" + Base64(m.body) + "\"";
            o += "}";
        }
        o += "]}";
    }
    o += "\n  ]\n}\n";
    return o;
}

std::string ReportHtml(const Observation& obs, const std::vector<CheckResult>& results,
                       const ReportInfo& info) {
    const DeviceIdentity d = IdentifyDevice(obs);
    const Words w{info.language == "zh"};
    std::string o;
    o +=
        std::string("<!DOCTYPE html>\n<html lang=\"") + (w.zh ? "zh-CN" : "en") +
        "\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + w("Device check ", "设备检查 ") +
        Html(d.id) +
        "</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em auto;max-width:70em;color:#222}\n"
        "h1{font-size:1.5em}h2{font-size:1.1em;margin:1em 0 .3em}"
        "table.id{border-collapse:collapse;margin-bottom:1em}\n"
        "table.id th{text-align:left;padding:.15em 1em .15em 0;color:#555;font-weight:normal;"
        "vertical-align:top}\n"
        ".summary span{margin-right:1em}\n"
        "details.check{border:1px solid #ccc;border-radius:4px;margin:.4em 0;padding:.3em .6em}\n"
        "details.check>summary{cursor:pointer}\n"
        ".verdict{display:inline-block;min-width:7.5em;text-align:center;border-radius:3px;"
        "padding:0 .3em;font-weight:bold;color:#fff}\n"
        ".v-pass{background:#2e7d32}.v-fail{background:#c62828}.v-not_supported{background:#8d6e00}"
        ".v-not_run{background:#757575}\n"
        ".sev{display:inline-block;min-width:4em;text-align:center;border:1px solid #999;"
        "border-radius:3px;font-size:.8em;padding:0 .2em;color:#444}"
        ".s-error{border-color:#c62828;color:#c62828}.s-warning{border-color:#8d6e00;color:#8d6e00}"
        "\n"
        ".reason{color:#333}.cid{color:#777;font-size:.85em}.clause{color:#555;font-size:.85em}\n"
        "table.m{border-collapse:collapse;margin:.4em 0}table.m td{padding:0 1em 0 0}\n"
        ".ev{margin:.5em 0 .5em 1em}.meta{font-size:.85em;color:#555}\n"
        "pre{background:#f6f6f6;padding:.4em;overflow-x:auto;white-space:pre-wrap;word-break:"
        "break-all;margin:.2em 0}\n"
        "</style>\n</head>\n<body>\n<h1>" +
        w("Device check: ", "设备检查：") + Html(d.id.empty() ? w("no device", "无设备") : d.id) +
        "</h1>\n<table class=\"id\">\n";
    const auto row = [&](const char* k, const std::string& v) {
        if (!v.empty()) o += "<tr><th>" + std::string(k) + "</th><td>" + Html(v) + "</td></tr>\n";
    };
    row(w("Device ID", "设备编码"), d.id);
    row(w("Name", "名称"), d.name);
    row(w("Manufacturer", "厂商"), d.manufacturer);
    row(w("Model", "型号"), d.model);
    row(w("Firmware", "固件版本"), d.firmware);
    row(w("Channels (DeviceInfo)", "通道数 (DeviceInfo)"), d.channel);
    row(w("Catalog items", "目录项"), d.catalogItems < 0 ? "" : std::to_string(d.catalogItems));
    row("Contact", d.contact);
    row("User-Agent", d.userAgent);
    row(w("X-GB-Ver (edition)", "X-GB-Ver (国标版本)"),
        d.gbVersion.empty() ? "" : d.gbVersion + (std::atof(d.gbVersion.c_str()) >= 3 ? " (2022)" : " (2016)"));
    row(w("Observed", "观察时段"), TimeOf(obs.Start()) + w(" to ", " 至 ") + TimeOf(obs.End()) +
                                       " (" + std::to_string(obs.messages.size()) +
                                       w(" messages)", " 条消息)"));
    row(w("Report written", "报告生成"),
        GeneratedText(info) + w(" by ", "，") + info.tool + " " + VersionOf(info));
    row(w("Command line", "命令行"), info.commandLine);
    o += "</table>\n<h2>" + std::string(w("Settings used", "所用设置")) +
         "</h2>\n<table class=\"id\">\n";
    const CheckSettings& s = obs.settings;
    row(w("SIP transport", "SIP 传输"), s.sipTransport);
    row(w("Platform ID", "平台编码"), s.platformId);
    row(w("Challenge (验证密码)", "验证密码"), s.password.empty() ? w("off", "关") : w("on", "开"));
    row(w("Keepalive interval", "心跳周期"),
        s.keepaliveIntervalS > 0
            ? std::to_string(s.keepaliveIntervalS) + " s"
            : std::string(w("the device's own, else 60 s", "设备自身，否则 60 s")));
    row(w("Keepalives missed before offline", "心跳超时次数"),
        s.keepaliveMisses > 0 ? std::to_string(s.keepaliveMisses) : std::string("3"));
    row(w("Limits", "时限"), "MESSAGE 200 OK " + std::to_string(s.messageAnswerLimitMs) +
                                 " ms, Response " + std::to_string(s.queryAnswerLimitMs) +
                                 w(" ms, first picture ", " ms，首帧 ") +
                                 std::to_string(s.firstPictureLimitMs) + " ms");
    for (const auto& [k, v] : info.run)
        row(k.c_str(), v);
    o += "</table>\n<p class=\"summary\">";
    for (Verdict v : kVerdicts)
        o += "<span><span class=\"verdict v-" + std::string(VerdictKey(v)) + "\">" +
             VerdictWord(v, w) + "</span> " + std::to_string(Count(results, v)) + "</span>";
    o += "</p>\n";
    for (const CheckResult& r : results) {
        const std::string title = w.zh && !r.titleZh.empty() ? r.titleZh : r.title;
        const std::string clause = ClauseText(r, w);
        o += "<details class=\"check\" id=\"" + Html(r.id) + "\"" +
             (r.verdict == Verdict::Fail ? " open" : "") + "><summary><span class=\"verdict v-" +
             VerdictKey(r.verdict) + "\">" + VerdictWord(r.verdict, w) +
             "</span> <span class=\"sev s-" + SeverityKey(r.severity) + "\">" +
             SeverityWord(r.severity, w) + "</span> <b>" + Html(title) +
             "</b> <span class=\"cid\">" + Html(r.id) + "</span><br><span class=\"reason\">" +
             Html(r.reason) + "</span>" +
             (clause.empty() ? "" : "<br><span class=\"clause\">" + Html(clause) + "</span>") +
             "</summary>\n";
        if (!r.measurements.empty()) {
            o += "<table class=\"m\">";
            for (const Measurement& m : r.measurements) {
                char buf[64];
                o += "<tr><td>" + Html(m.name) + "</td><td>" + MeasurementText(m, buf, sizeof buf) +
                     "</td></tr>";
            }
            o += "</table>\n";
        }
        for (const Evidence& e : r.evidence) {
            o += "<div class=\"ev\">";
            if (e.message < 0 || static_cast<std::size_t>(e.message) >= obs.messages.size()) {
                o += "<div class=\"meta\">" + Html(e.label) + "</div><pre>" + Html(e.text) +
                     "</pre></div>\n";
                continue;
            }
            const ObservedMessage& m = obs.messages[static_cast<std::size_t>(e.message)];
            o += "<div class=\"meta\">" + Html(m.timeText) + " &middot; " + DirectionText(m, w) +
                 " &middot; " + Html(e.label) + "</div><pre>" + Html(HeadText(m)) + "</pre>";
            if (!m.body.empty()) o += "<pre>" + Html(BodyText(m)) + "</pre>";
            o += "</div>\n";
        }
        o += "</details>\n";
    }
    o += "</body>\n</html>\n";
    return o;
}

std::string LanguageFromLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (!v || !*v) continue;
        return std::string_view(v).substr(0, 2) == "zh" ? "zh" : "en";
    }
    return "en";
}

ReportFiles WriteReport(const std::filesystem::path& dir, const Observation& obs,
                        const std::vector<CheckResult>& results, const ReportInfo& info) {
    ReportFiles out;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        out.error = "cannot create " + dir.string() + ": " + ec.message();
        return out;
    }
    ReportInfo stamped = info;
    stamped.generated = GeneratedText(info); // one time in both files
    const auto put = [&](const char* name, const std::string& text) -> std::filesystem::path {
        const std::filesystem::path target = dir / name;
        const std::filesystem::path tmp = dir / (std::string(".") + name + ".tmp");
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f << text;
            f.flush();
            if (!f) {
                out.error = "cannot write " + tmp.string();
                return {};
            }
        }
        std::filesystem::rename(tmp, target, ec);
        if (ec) {
            out.error =
                "cannot rename " + tmp.string() + " to " + target.string() + ": " + ec.message();
            std::filesystem::remove(tmp, ec);
            return {};
        }
        return target;
    };
    out.json = put("report.json", ReportJson(obs, results, stamped));
    if (out.error.empty()) out.html = put("report.html", ReportHtml(obs, results, stamped));
    return out;
}

} // namespace tarvex::check
