#include "manscdp/gb2022/Gb2022Summary.h"

#include "base/TextCodec.h"

#include <cstring>
#include <strings.h>

namespace {

std::string Text(const XMLNode& n, const char* name) {
    const char* t = n.IsEmpty() ? nullptr : n.FindText(name);
    return t ? t : "";
}

// The first of several spellings that is present (devices differ).
std::string TextOf(const XMLNode& n, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (!n.IsEmpty() && n.FindText(name)) return Text(n, name);
    return {};
}

// The document element of a parse (the declaration's first child).
XMLNode Element(const XMLNode& doc) {
    if (doc.IsEmpty()) return doc;
    if (doc.IsDeclaration() || !doc.HasName()) return doc.ChildAt(0);
    return doc;
}

bool Is(const XMLNode& n, const char* name) {
    return !n.IsEmpty() && strcasecmp(n.Name(), name) == 0;
}

std::string Field(const char* label, const std::string& v) {
    return std::string(label) + " " + (v.empty() ? "(无)" : v);
}

std::string Result(const XMLNode& e) {
    const std::string r = Text(e, "Result");
    return r.empty() ? std::string() : " [" + r + "]";
}

// Children of list called item, each summarised by f; at most eight shown.
template <class F>
std::string Items(const XMLNode& list, const char* item, F f) {
    std::string s;
    int cursor = 0, n = 0;
    for (XMLNode i = list.ChildByName(item, &cursor); !i.IsEmpty();
         i = list.ChildByName(item, &cursor)) {
        if (++n > 8) continue;
        s += (n > 1 ? "; " : "") + f(i);
    }
    if (n > 8) s += "; ... 共 " + std::to_string(n) + " 项";
    return s;
}

std::string Answer(const std::string& cmd, const XMLNode& e) {
    if (cmd == "HomePositionQuery") {
        XMLNode h = e.ChildByName("HomePosition");
        return "看守位: " + Field("启用", Text(h, "Enabled")) + ", " +
               Field("归位时间", Text(h, "ResetTime")) + ", " +
               Field("预置位", Text(h, "PresetIndex")) + Result(e);
    }
    if (cmd == "CruiseTrackListQuery") {
        XMLNode l = e.ChildByName("CruiseTrackList");
        const char* num = l.IsEmpty() ? nullptr : l.AttributeValue("Num");
        return std::string("巡航轨迹列表: ") + (num ? num : "?") + " 条" +
               (l.IsEmpty() ? "" : " " + Items(l, "CruiseTrack", [](const XMLNode& t) {
                   return Text(t, "Number") + " " + Text(t, "Name");
               })) +
               Result(e);
    }
    if (cmd == "CruiseTrackQuery") {
        XMLNode t = e.ChildByName("CruiseTrack");
        const char* num = t.IsEmpty() ? nullptr : t.AttributeValue("Num");
        return "巡航轨迹 " + Text(e, "Number") + " " + Text(t, "Name") + ": " +
               (num ? num : "?") + " 个点" + Result(e);
    }
    if (cmd == "PTZPosition") {
        // Pan, Tilt and Zoom after the Result; some devices wrap them in PTZPosInfo.
        const XMLNode info = e.ChildByName("PTZPosInfo");
        const XMLNode& p = info.IsEmpty() ? e : info;
        return "PTZ 位置: " + Field("Pan", Text(p, "Pan")) + ", " + Field("Tilt", Text(p, "Tilt")) +
               ", " + Field("Zoom", Text(p, "Zoom")) + Result(e);
    }
    if (cmd == "SDCardStatus") {
        // SumNum and SDCardStatusInfo as devices answer; SDCardList Num="N" as
        // tarvex-camera answers.
        XMLNode l = e.ChildByName("SDCardStatusInfo");
        if (l.IsEmpty()) l = e.ChildByName("SDCardList");
        const char* num = l.IsEmpty() ? nullptr : l.AttributeValue("Num");
        std::string count = num ? num : Text(e, "SumNum");
        if (count.empty()) count = "?";
        return "存储卡: " + count + " 张" +
               (l.IsEmpty() ? "" : " " + Items(l, "Item", [](const XMLNode& i) {
                   const std::string name = Text(i, "HddName");
                   return Text(i, "ID") + (name.empty() ? "" : " " + name) + " " +
                          Text(i, "Status") + " 容量 " + Text(i, "Capacity") + " 剩余 " +
                          Text(i, "FreeSpace");
               })) +
               Result(e);
    }
    if (cmd == "ConfigDownload") {
        // The 2022 types only: the 2016 ones are shown as before.
        static const char* k2022[] = {"VideoParamAttribute", "VideoRecordPlan",
                                      "VideoAlarmRecord",    "PictureMask",
                                      "FrameMirror",         "AlarmReport",
                                      "OSDConfig",           "SnapShotConfig"};
        std::string found;
        for (const char* t : k2022)
            if (!e.ChildByName(t).IsEmpty()) found += (found.empty() ? "" : ", ") + std::string(t);
        if (found.empty()) return {};
        return "配置: " + found + Result(e);
    }
    return {};
}

} // namespace

bool ReadSnapShotFinished(const XMLNode& document, SnapShotFinished& out) {
    XMLNode e = Element(document);
    if (!Is(e, "Notify") || Text(e, "CmdType") != "UploadSnapShotFinished") return false;
    out.deviceId = Text(e, "DeviceID");
    out.sessionId = Text(e, "SessionID");
    out.fileIds.clear();
    XMLNode list = e.ChildByName("SnapShotList");
    int cursor = 0;
    for (XMLNode f = list.ChildByName("SnapShotFileID", &cursor); !f.IsEmpty();
         f = list.ChildByName("SnapShotFileID", &cursor))
        out.fileIds.push_back(f.TextCount() > 0 ? f.Text(0) : "");
    return true;
}

bool ReadUpgradeResult(const XMLNode& document, UpgradeResult& out) {
    XMLNode e = Element(document);
    if (!Is(e, "Notify") || Text(e, "CmdType") != "DeviceUpgradeResult") return false;
    out.deviceId = Text(e, "DeviceID");
    out.sessionId = Text(e, "SessionID");
    out.firmware = Text(e, "Firmware");
    out.result = TextOf(e, {"Result", "UpgradeResult"});
    out.description = TextOf(e, {"Description", "Reason", "UpgradeFailedReason"});
    return true;
}

std::string SummarizeGb2022(const XMLNode& document) {
    XMLNode e = Element(document);
    if (e.IsEmpty()) return {};
    const std::string cmd = Text(e, "CmdType");
    if (Is(e, "Response")) return Answer(cmd, e);
    if (!Is(e, "Notify")) return {};
    if (SnapShotFinished s; ReadSnapShotFinished(document, s)) {
        std::string ids;
        for (std::size_t i = 0; i < s.fileIds.size() && i < 8; ++i)
            ids += (i ? ", " : "") + s.fileIds[i];
        return "抓拍传输完成: " + Field("会话", s.sessionId) + ", " +
               std::to_string(s.fileIds.size()) + " 张" + (ids.empty() ? "" : " (" + ids + ")");
    }
    if (UpgradeResult u; ReadUpgradeResult(document, u)) {
        return "升级结果: " + Field("会话", u.sessionId) + ", " + Field("固件", u.firmware) + ", " +
               Field("结果", u.result) + (u.description.empty() ? "" : ", " + u.description);
    }
    if (cmd == "MediaStatus") {
        const std::string type = Text(e, "NotifyType");
        if (type == "121") return "媒体状态: 121 历史媒体文件发送结束";
        return "媒体状态: NotifyType " + (type.empty() ? std::string("(无)") : type);
    }
    return {};
}

void Gb2022LogLine(const std::string& body, std::string& typeText) {
    // Devices send GBK under a GB2312 declaration; the log's texts are UTF-8.
    std::string line = SummarizeGb2022(TextCodec::BodyToUtf8(body));
    if (!line.empty()) typeText = std::move(line);
}

std::string SummarizeGb2022(const std::string& body) {
    if (body.find("CmdType") == std::string::npos) return {};
    return SummarizeGb2022(XMLNode::Parse(body));
}
