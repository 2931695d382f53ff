#include "sim/camera/Gb2022Device.h"

#include "sim/camera/VideoSource.h"

#include <httplib.h>

#include <chrono>
#include <ctime>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tvsim {

namespace {

const char* const kQueries2022[] = {"HomePositionQuery", "CruiseTrackListQuery",
                                    "CruiseTrackQuery", "PTZPosition", "SDCardStatus"};
const char* const kConfig2022[] = {"VideoParamAttribute", "VideoRecordPlan", "VideoAlarmRecord",
                                   "PictureMask",         "FrameMirror",     "AlarmReport",
                                   "OSDConfig",           "SnapShotConfig"};
// Sub-commands of DeviceControl that only the 2022 edition has.
const char* const kControls2022[] = {"PTZPreciseCtrl", "DeviceUpgrade", "FormatSDCard",
                                     "TargetTrack"};

XMLNode Envelope(const char* root, const char* cmd, const std::string& sn, const std::string& id) {
    XMLNode top = XMLNode::CreateTop(root);
    top.AddTextChild("CmdType", cmd);
    top.AddTextChild("SN", sn.c_str());
    top.AddTextChild("DeviceID", id.c_str());
    return top;
}

std::string Text(const XMLNode& top) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" + top.Serialize() + "\r\n";
}

std::string Answer(const char* cmd, const std::string& sn, const std::string& id, const char* result) {
    XMLNode top = Envelope("Response", cmd, sn, id);
    top.AddTextChild("Result", result);
    return Text(top);
}

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

bool Known(const std::string& s, const char* const* list, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (s == list[i]) return true;
    return false;
}

// A number from the text, or false when it is none or outside [lo, hi].
bool Number(const char* text, double lo, double hi, double& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string TextOf(const XMLNode& n, const char* name) {
    const char* t = n.IsEmpty() ? nullptr : n.FindText(name);
    return t ? t : "";
}

} // namespace

PtzPosition Gb2022Device::Position() const {
    std::lock_guard<std::mutex> g(m_);
    return ptz_;
}

Gb2022Reply Gb2022Device::Handle(const std::string& rootName, const std::string& cmd,
                                 const XMLNode& root, const DeviceIdentity& who,
                                 const std::string& sn) {
    if (rootName == "Query") return Query(cmd, root, who, sn);
    if (rootName == "Control") return Control(cmd, root, who, sn);
    return {};
}

Gb2022Reply Gb2022Device::Query(const std::string& cmd, const XMLNode& root,
                                const DeviceIdentity& who, const std::string& sn) {
    Gb2022Reply r;
    const bool query2022 = Known(cmd, kQueries2022, std::size(kQueries2022));
    std::vector<std::string> types2022;
    if (cmd == "ConfigDownload") {
        const std::string types = TextOf(root, "ConfigType");
        std::size_t i = 0;
        while (i <= types.size()) {
            std::size_t j = types.find('/', i);
            if (j == std::string::npos) j = types.size();
            const std::string t = types.substr(i, j - i);
            if (Known(t, kConfig2022, std::size(kConfig2022))) types2022.push_back(t);
            i = j + 1;
        }
    }
    if (!query2022 && types2022.empty()) return r;
    r.handled = true;
    const char* cmdText = query2022 ? cmd.c_str() : "ConfigDownload";
    if (edition_ == 2016) {
        r.bodies.push_back(Answer(cmdText, sn, who.id, "ERROR"));
        r.what = "not a 2016 command; answered Result ERROR";
        return r;
    }
    std::lock_guard<std::mutex> g(m_);
    XMLNode top = Envelope("Response", cmdText, sn, who.id);
    top.AddTextChild("Result", "OK");
    if (cmd == "HomePositionQuery") {
        XMLNode h = top.AddChild("HomePosition");
        h.AddIntChild("Enabled", homeEnabled_ ? 1 : 0);
        h.AddIntChild("ResetTime", homeResetTime_);
        h.AddIntChild("PresetIndex", homePreset_);
        r.what = "home position";
    } else if (cmd == "CruiseTrackListQuery") {
        XMLNode l = top.AddChild("CruiseTrackList");
        l.AddAttribute("Num", "2");
        for (int i = 1; i <= 2; ++i) {
            XMLNode t = l.AddChild("CruiseTrack");
            t.AddIntChild("Number", i);
            t.AddTextChild("Name", (std::string("巡航") + std::to_string(i)).c_str());
        }
        r.what = "2 cruise tracks";
    } else if (cmd == "CruiseTrackQuery") {
        const int n = std::atoi(TextOf(root, "Number").c_str());
        top.AddIntChild("Number", n);
        XMLNode t = top.AddChild("CruiseTrack");
        t.AddAttribute("Num", "2");
        t.AddTextChild("Name", (std::string("巡航") + std::to_string(n)).c_str());
        for (int i = 1; i <= 2; ++i) {
            XMLNode p = t.AddChild("CruisePoint");
            p.AddIntChild("PresetIndex", i);
            p.AddIntChild("StayTime", 10);
            p.AddIntChild("Speed", 5);
        }
        r.what = "cruise track " + std::to_string(n) + ", 2 points";
    } else if (cmd == "PTZPosition") {
        top.AddTextChild("Pan", Num(ptz_.pan).c_str());
        top.AddTextChild("Tilt", Num(ptz_.tilt).c_str());
        top.AddTextChild("Zoom", Num(ptz_.zoom).c_str());
        r.what = "pan " + Num(ptz_.pan) + " tilt " + Num(ptz_.tilt) + " zoom " + Num(ptz_.zoom);
    } else if (cmd == "SDCardStatus") {
        // As public device libraries answer: SumNum, then one Item per card.
        top.AddIntChild("SumNum", 1);
        XMLNode i = top.AddChild("SDCardStatusInfo").AddChild("Item");
        i.AddIntChild("ID", 1);
        i.AddTextChild("HddName", "SD1");
        i.AddTextChild("Status", "ok");
        i.AddIntChild("Capacity", 32768);
        i.AddIntChild("FreeSpace", 20480);
        r.what = "1 card";
    } else {
        for (const std::string& t : types2022) {
            XMLNode c = top.AddChild(t.c_str());
            auto it = config_.find(t);
            if (it != config_.end())
                for (const auto& [k, v] : it->second)
                    c.AddTextChild(k.c_str(), v.c_str());
            r.what += (r.what.empty() ? "" : ", ") + t +
                      (it == config_.end() ? " (never configured)" : "");
        }
    }
    r.bodies.push_back(Text(top));
    return r;
}

Gb2022Reply Gb2022Device::Control(const std::string& cmd, const XMLNode& root,
                                  const DeviceIdentity& who, const std::string& sn) {
    Gb2022Reply r;
    std::string sub;
    if (cmd == "DeviceControl" && edition_ == 2022) {
        // Both editions have the home position: the 2016 handling answers it,
        // the state is kept here for HomePositionQuery.
        if (XMLNode h = root.ChildByName("HomePosition"); !h.IsEmpty()) {
            std::lock_guard<std::mutex> g(m_);
            homeEnabled_ = TextOf(h, "Enabled") == "1";
            homeResetTime_ = std::atoi(TextOf(h, "ResetTime").c_str());
            homePreset_ = std::atoi(TextOf(h, "PresetIndex").c_str());
        }
    }
    if (cmd == "DeviceControl") {
        for (const char* c : kControls2022)
            if (!root.ChildByName(c).IsEmpty()) sub = c;
    } else if (cmd == "DeviceConfig") {
        for (const char* c : kConfig2022)
            if (!root.ChildByName(c).IsEmpty()) sub = c;
    }
    if (sub.empty()) return r;
    r.handled = true;
    if (edition_ == 2016) {
        if (cmd == "DeviceConfig") {
            r.bodies.push_back(Answer("DeviceConfig", sn, who.id, "ERROR"));
            r.what = sub + ": not a 2016 configuration type; answered Result ERROR";
        } else {
            r.what = sub + ": not a 2016 command; no answer";
        }
        return r;
    }
    XMLNode n = root.ChildByName(sub.c_str());
    std::lock_guard<std::mutex> g(m_);
    if (sub == "PTZPreciseCtrl") {
        // No answer: the position query shows the result.
        PtzPosition p = ptz_;
        const bool ok = Number(n.FindText("Pan"), 0, 360, p.pan) &&
                        Number(n.FindText("Tilt"), -30, 90, p.tilt) &&
                        Number(n.FindText("Zoom"), 1, 1000, p.zoom);
        if (ok) ptz_ = p;
        r.what = ok ? "moved to pan " + Num(p.pan) + " tilt " + Num(p.tilt) + " zoom " + Num(p.zoom)
                    : "PTZPreciseCtrl out of range, position kept";
        return r;
    }
    if (sub == "FormatSDCard") {
        r.what = "card " + TextOf(root, "FormatSDCard") + " formatted";
        return r;
    }
    if (sub == "TargetTrack") {
        r.what = "target tracking " + TextOf(root, "TargetTrack");
        return r;
    }
    if (sub == "DeviceUpgrade") {
        r.upgrade = true;
        r.upgradeOrder = {TextOf(n, "Firmware"), TextOf(n, "FileURL"), TextOf(n, "SessionID"),
                          TextOf(n, "Manufacturer")};
        r.bodies.push_back(Answer("DeviceControl", sn, who.id, "OK"));
        r.what = "upgrade to " + r.upgradeOrder.firmware + " from " + r.upgradeOrder.url;
        return r;
    }
    // DeviceConfig of a 2022 type: kept for ConfigDownload.
    std::vector<std::pair<std::string, std::string>> texts;
    for (int i = 0; i < n.ChildCount(); ++i) {
        XMLNode c = n.ChildAt(i);
        if (c.TextCount() > 0) texts.emplace_back(c.Name(), c.Text(0));
    }
    if (n.ChildCount() == 0 && n.TextCount() > 0) texts.emplace_back(sub, n.Text(0));
    config_[sub] = texts;
    if (sub == "SnapShotConfig") {
        r.snapshot = true;
        r.snapshotOrder.count = std::atoi(TextOf(n, "SnapNum").c_str());
        r.snapshotOrder.intervalSeconds = std::max(1, std::atoi(TextOf(n, "Interval").c_str()));
        r.snapshotOrder.url = TextOf(n, "UploadURL");
        r.snapshotOrder.sessionId = TextOf(n, "SessionID");
    }
    r.bodies.push_back(Answer("DeviceConfig", sn, who.id, "OK"));
    r.what = sub + " kept";
    return r;
}

std::string Gb2022Device::SnapShotFinished(const std::string& deviceId, int sn,
                                           const std::string& sessionId,
                                           const std::vector<std::string>& fileIds) {
    XMLNode top = Envelope("Notify", "UploadSnapShotFinished", std::to_string(sn), deviceId);
    top.AddTextChild("SessionID", sessionId.c_str());
    XMLNode l = top.AddChild("SnapShotList");
    for (const auto& f : fileIds)
        l.AddTextChild("SnapShotFileID", f.c_str());
    return Text(top);
}

std::string Gb2022Device::UpgradeResult(const std::string& deviceId, int sn,
                                        const std::string& sessionId, const std::string& firmware,
                                        bool ok, const std::string& description) {
    XMLNode top = Envelope("Notify", "DeviceUpgradeResult", std::to_string(sn), deviceId);
    top.AddTextChild("SessionID", sessionId.c_str());
    top.AddTextChild("Firmware", firmware.c_str());
    top.AddTextChild("Result", ok ? "OK" : "ERROR");
    if (!description.empty()) top.AddTextChild("Description", description.c_str());
    return Text(top);
}

namespace {

// "http://host:port" and "/path" of a URL; false for anything else.
bool SplitUrl(const std::string& url, std::string& origin, std::string& path) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    const std::string s = url.substr(0, scheme);
    if (s != "http" && s != "https") return false;
    const std::size_t slash = url.find('/', scheme + 3);
    origin = url.substr(0, slash);
    path = slash == std::string::npos ? "/" : url.substr(slash);
    return origin.size() > scheme + 3;
}

// The picture's name: device id, 02, local time yyyyMMddHHmmssSSS, sequence.
std::string SnapshotFileId(const std::string& deviceId, int sequence) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[64];
    std::snprintf(b, sizeof b, "02%04d%02d%02d%02d%02d%02d%03d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, sequence % 100);
    return deviceId + b;
}

// Sleeps up to ms, in steps, while stop is not set; false when it was.
bool Wait(const std::atomic<bool>& stop, long long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !stop;
}

} // namespace

std::vector<std::string> UploadSnapshots(const std::string& deviceId, const SnapShotOrder& order,
                                         const PatternOptions& pattern,
                                         const std::atomic<bool>& stop, TransferLog& log) {
    std::vector<std::string> ids;
    std::string origin, path;
    if (!SplitUrl(order.url, origin, path)) {
        log.lines.push_back("snapshot: cannot use the upload address \"" + order.url + "\"");
        return ids;
    }
    httplib::Client client(origin);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < order.count && !stop; ++i) {
        if (i > 0 && !Wait(stop, 1000LL * order.intervalSeconds)) break;
        const auto since = std::chrono::steady_clock::now() - start;
        const int64_t frame = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() *
                              std::max(1, pattern.fps) / 1000;
        std::string jpeg, error;
        if (!PatternJpeg(pattern, frame, jpeg, error)) {
            log.lines.push_back("snapshot: " + error);
            break;
        }
        const std::string id = SnapshotFileId(deviceId, i + 1);
        const httplib::MultipartFormDataItems form = {
            {"SessionID", order.sessionId, "", ""},
            {"file", jpeg, id + ".jpg", "image/jpeg"},
        };
        auto res = client.Post(path, form);
        if (!res) {
            log.lines.push_back("snapshot " + std::string(id) + ": upload failed (" +
                                httplib::to_string(res.error()) + ")");
            continue;
        }
        log.lines.push_back("snapshot " + std::string(id) + ": " + std::to_string(jpeg.size()) +
                            " bytes uploaded, HTTP " + std::to_string(res->status));
        if (res->status / 100 == 2) ids.push_back(id);
    }
    return ids;
}

long long DownloadFile(const std::string& url, const std::atomic<bool>& stop, std::string& error) {
    std::string origin, path;
    if (!SplitUrl(url, origin, path)) {
        error = "cannot use the file address \"" + url + "\"";
        return -1;
    }
    httplib::Client client(origin);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    long long got = 0;
    auto res = client.Get(path, [&](const char*, size_t n) {
        got += static_cast<long long>(n);
        return !stop.load();
    });
    if (!res) {
        error = "download failed (" + httplib::to_string(res.error()) + ")";
        return -1;
    }
    if (res->status != 200) {
        error = "download answered HTTP " + std::to_string(res->status);
        return -1;
    }
    return got;
}

} // namespace tvsim
