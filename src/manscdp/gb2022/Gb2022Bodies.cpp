#include "manscdp/gb2022/Gb2022Bodies.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using K = FieldKind;

// Where the 2022 text bounds a value, that bound; elsewhere a bound of our
// own that only catches typing mistakes (docs/device-commands.md says which).
constexpr RowField kBasicParam[] = {
    {"Name", "设备名称", K::Text, 0, 64, false},
    {"Expiration", "注册过期时间(秒, 空: 参数设置)", K::Integer, 1, 86400, false},
    {"HeartBeatInterval", "心跳间隔(秒, 空: 参数设置)", K::Integer, 1, 3600, false},
    {"HeartBeatCount", "心跳超时次数", K::Integer, 1, 255, false},
};
constexpr RowField kConfigDownload[] = {
    {"ConfigType", "配置类型(可用 / 连接多个)", K::Text, 0, 256, true},
};
constexpr RowField kSnapShot[] = {
    {"SnapNum", "连拍张数", K::Integer, 1, 10},
    {"Interval", "单张间隔(秒)", K::Integer, 1, 3600},
    {"UploadURL", "上传地址(空: 本机 HTTP 服务)", K::Url, 0, 512},
    {"SessionID", "会话ID(空: 新生成)", K::Text, 0, 128, false},
};
constexpr RowField kPrecise[] = {
    {"Pan", "水平角度(度)", K::Decimal, 0, 360},
    {"Tilt", "俯仰角度(度)", K::Decimal, -30, 90},
    {"Zoom", "变倍", K::Decimal, 1, 1000},
};
constexpr RowField kUpgrade[] = {
    {"Manufacturer", "设备厂商", K::Text, 0, 64},
    {"Firmware", "目标固件版本", K::Text, 0, 64},
    {"FirmwareFile", "固件文件(本机, 由本机 HTTP 服务提供)", K::Text, 0, 1024, false},
    {"FileURL", "固件下载地址(空: 固件文件的一次性地址)", K::Url, 0, 512},
    {"SessionID", "会话ID(空: 新生成)", K::Text, 0, 128, false},
};
constexpr RowField kFormat[] = {
    {"FormatSDCard", "存储卡序号 (0: 全部)", K::Integer, 0, 16},
};
// TargetArea has the six children of a drag zoom: the window's size and the
// box's centre and size, all six or none.
constexpr RowField kTrack[] = {
    {"TargetTrack", "跟踪方式", K::Choice, 0, 0, true, "Auto|Manual|Stop"},
    {"DeviceID2", "联动设备编码", K::Text, 0, 20, false},
    {"Length", "目标区域: 播放窗口长(像素)", K::Integer, 1, 100000, false},
    {"Width", "目标区域: 播放窗口宽(像素)", K::Integer, 1, 100000, false},
    {"MidPointX", "目标区域: 中心点 X", K::Integer, 0, 100000, false},
    {"MidPointY", "目标区域: 中心点 Y", K::Integer, 0, 100000, false},
    {"LengthX", "目标区域: 框长", K::Integer, 0, 100000, false},
    {"LengthY", "目标区域: 框宽", K::Integer, 0, 100000, false},
};
constexpr const char* kTargetArea[] = {"Length", "Width", "MidPointX", "MidPointY", "LengthX", "LengthY"};
constexpr RowField kHome[] = {
    {"Enabled", "启用 (1 开 0 关)", K::Choice, 0, 0, true, "0|1"},
    {"ResetTime", "自动归位时间(秒)", K::Integer, 0, 86400, false},
    {"PresetIndex", "看守位预置位号", K::Integer, 0, 255, false},
};
constexpr RowField kCruiseTrack[] = {
    {"Number", "巡航轨迹编号", K::Integer, 0, 255},
};
constexpr RowField kVideoParamAttribute[] = {
    {"StreamNumber", "码流编号 (0 主码流, 1 子码流1, ...)", K::Integer, 0, 8},
    {"VideoFormat", "编码格式", K::Integer, 0, 255},
    {"Resolution", "分辨率", K::Text, 0, 32},
    {"FrameRate", "帧率", K::Integer, 1, 120},
    {"BitRateType", "码率类型 (1 固定 2 可变)", K::Choice, 0, 0, true, "1|2"},
    {"VideoBitRate", "码率(kbps, 固定码率时必填)", K::Integer, 1, 1000000, false},
};
constexpr RowField kRecordPlan[] = {
    {"RecordEnable", "启用录像计划 (0/1)", K::Choice, 0, 0, true, "0|1"},
    {"WeekDayNum", "星期 (1 到 7)", K::Integer, 1, 7},
    {"StartHour", "开始时", K::Integer, 0, 23},
    {"StartMin", "开始分", K::Integer, 0, 59},
    {"StartSec", "开始秒", K::Integer, 0, 59},
    {"StopHour", "结束时", K::Integer, 0, 23},
    {"StopMin", "结束分", K::Integer, 0, 59},
    {"StopSec", "结束秒", K::Integer, 0, 59},
    {"StreamNumber", "码流序号 (0 主 1 子)", K::Integer, 0, 8},
};
constexpr RowField kAlarmRecord[] = {
    {"RecordEnable", "启用报警录像 (0/1)", K::Choice, 0, 0, true, "0|1"},
    {"RecordTime", "录像时长(秒)", K::Integer, 0, 86400, false},
    {"PreRecordTime", "预录时长(秒)", K::Integer, 0, 3600, false},
    {"StreamNumber", "码流序号 (0 主 1 子)", K::Integer, 0, 8, false},
};
constexpr RowField kPictureMask[] = {
    {"On", "启用遮挡 (0/1)", K::Choice, 0, 0, true, "0|1"},
    {"Point", "遮挡区域 x1,y1,x2,y2", K::Text, 0, 64, false},
};
constexpr RowField kFrameMirror[] = {
    {"FrameMirror", "翻转方式", K::Integer, 0, 3},
};
constexpr RowField kAlarmReport[] = {
    {"MotionDetection", "移动侦测上报 (0/1)", K::Choice, 0, 0, false, "0|1"},
    {"FieldDetection", "区域入侵上报 (0/1)", K::Choice, 0, 0, false, "0|1"},
};
constexpr RowField kOsd[] = {
    {"Length", "画面长", K::Integer, 1, 100000},
    {"Width", "画面宽", K::Integer, 1, 100000},
    {"TimeEnable", "显示时间 (0/1)", K::Choice, 0, 0, true, "0|1"},
    {"TimeType", "时间格式", K::Integer, 0, 255, false},
    {"TimeX", "时间 X", K::Integer, 0, 100000, false},
    {"TimeY", "时间 Y", K::Integer, 0, 100000, false},
    {"TextEnable", "显示文字 (0/1)", K::Choice, 0, 0, true, "0|1"},
    {"Text", "文字", K::Text, 0, 64, false},
    {"X", "文字 X", K::Integer, 0, 100000, false},
    {"Y", "文字 Y", K::Integer, 0, 100000, false},
};

constexpr RowForm kSpecs[] = {
    {7, kBasicParam, nullptr, false},
    {8, kConfigDownload, nullptr, false},
    {9, kSnapShot, nullptr, true},
    {13, {}, nullptr, true},
    {43, kPrecise, nullptr, true},
    {44, kUpgrade, "设备将下载并安装新固件, 可能重启。确定升级?", true},
    {45, kFormat, "存储卡上的全部录像和图片将被清除。确定格式化?", true},
    {46, kTrack, nullptr, true},
    {47, kHome, nullptr, false},
    {48, {}, nullptr, true},
    {49, kCruiseTrack, nullptr, true},
    {50, {}, nullptr, true},
    {51, {}, nullptr, true},
    {52, kVideoParamAttribute, nullptr, true},
    {53, kRecordPlan, nullptr, true},
    {54, kAlarmRecord, nullptr, true},
    {55, kPictureMask, nullptr, true},
    {56, kFrameMirror, nullptr, true},
    {57, kAlarmReport, nullptr, true},
    {58, kOsd, nullptr, true},
};

constexpr char kTypes2016[] = "BasicParam|VideoParamOpt|SVACEncodeConfig|SVACDecodeConfig";
constexpr char kTypes2022[] =
    "BasicParam|VideoParamOpt|SVACEncodeConfig|SVACDecodeConfig|VideoParamAttribute|"
    "VideoRecordPlan|VideoAlarmRecord|PictureMask|FrameMirror|AlarmReport|OSDConfig|"
    "SnapShotConfig";

// Adds the element key with the operator's text, when there is one.
void Put(XMLNode& parent, const RowValues& v, const char* key) {
    const std::string t = RowValue(v, key);
    if (!t.empty()) parent.AddTextChild(key, t.c_str());
}

void PutAll(XMLNode& parent, const RowValues& v, std::initializer_list<const char*> keys) {
    for (const char* k : keys)
        Put(parent, v, k);
}

// "x1,y1,x2,y2" with four non-negative integers.
bool FourNumbers(const std::string& s) {
    int n = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = i;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
        if (j == i || j - i > 6) return false;
        ++n;
        if (j == s.size()) break;
        if (s[j] != ',') return false;
        i = j + 1;
        if (i == s.size()) return false;
    }
    return n == 4;
}

std::string CheckConfigTypes(const std::string& text, GbEdition e) {
    const std::string known = ConfigTypesFor(e);
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find('/', i);
        if (j == std::string::npos) j = text.size();
        const std::string t = text.substr(i, j - i);
        bool ok = false;
        for (std::size_t a = 0; a <= known.size() && !t.empty();) {
            std::size_t b = known.find('|', a);
            if (b == std::string::npos) b = known.size();
            if (known.compare(a, b - a, t) == 0 && b - a == t.size()) ok = true;
            a = b + 1;
        }
        if (!ok)
            return "配置类型 \"" + t + "\" 不在" + (e == GbEdition::Gb2016 ? " 2016 " : " 2022 ") +
                   "版的类型中 (" + known + ")";
        i = j + 1;
    }
    return {};
}

std::string Build(int row, const RowValues& v, GbEdition e, XMLNode& root) {
    switch (row) {
    case 7: { // DeviceConfig: only what the operator entered
        XMLNode p = root.AddChild("BasicParam");
        PutAll(p, v, {"Name", "Expiration", "HeartBeatInterval", "HeartBeatCount"});
        if (p.ChildCount() == 0) return "设备配置: 至少填写一项基本参数";
        return {};
    }
    case 8: {
        const std::string types = RowValue(v, "ConfigType");
        if (std::string why = CheckConfigTypes(types, e); !why.empty()) return why;
        root.AddTextChild("ConfigType", types.c_str());
        return {};
    }
    case 9: {
        XMLNode s = root.AddChild("SnapShotConfig");
        PutAll(s, v, {"SnapNum", "Interval", "UploadURL"});
        std::string id = RowValue(v, "SessionID");
        if (id.empty()) id = FreshSessionId();
        s.AddTextChild("SessionID", id.c_str());
        return {};
    }
    case 43: {
        XMLNode p = root.AddChild("PTZPreciseCtrl");
        PutAll(p, v, {"Pan", "Tilt", "Zoom"});
        return {};
    }
    case 44: {
        XMLNode u = root.AddChild("DeviceUpgrade");
        PutAll(u, v, {"Manufacturer", "Firmware", "FileURL"});
        std::string id = RowValue(v, "SessionID");
        if (id.empty()) id = FreshSessionId();
        u.AddTextChild("SessionID", id.c_str());
        return {};
    }
    case 45:
        Put(root, v, "FormatSDCard");
        return {};
    case 46: {
        int given = 0;
        for (const char* k : kTargetArea)
            given += RowValue(v, k).empty() ? 0 : 1;
        if (given != 0 && given != 6)
            return "目标区域 (TargetArea): Length, Width, MidPointX, MidPointY, LengthX, LengthY "
                   "须六项全填或全空";
        PutAll(root, v, {"TargetTrack", "DeviceID2"});
        if (given == 6) {
            XMLNode a = root.AddChild("TargetArea");
            for (const char* k : kTargetArea)
                Put(a, v, k);
        }
        return {};
    }
    case 47: {
        if (RowValue(v, "Enabled") == "1" &&
            (RowValue(v, "ResetTime").empty() || RowValue(v, "PresetIndex").empty()))
            return "看守位控制: 启用时须填写自动归位时间和预置位号";
        XMLNode h = root.AddChild("HomePosition");
        PutAll(h, v, {"Enabled", "ResetTime", "PresetIndex"});
        return {};
    }
    case 49:
        Put(root, v, "Number");
        return {};
    case 13:
    case 48:
    case 50:
    case 51:
        return {}; // the envelope alone
    case 52: {
        if (RowValue(v, "BitRateType") == "1" && RowValue(v, "VideoBitRate").empty())
            return "视频参数属性: 固定码率 (BitRateType 1) 须填写码率 VideoBitRate";
        XMLNode a = root.AddChild("VideoParamAttribute");
        a.AddNumAttribute();
        XMLNode item = a.AddChild("Item");
        PutAll(item, v,
               {"StreamNumber", "VideoFormat", "Resolution", "FrameRate", "BitRateType",
                "VideoBitRate"});
        return {};
    }
    case 53: {
        const int start = std::stoi(RowValue(v, "StartHour")) * 3600 +
                          std::stoi(RowValue(v, "StartMin")) * 60 +
                          std::stoi(RowValue(v, "StartSec"));
        const int stop = std::stoi(RowValue(v, "StopHour")) * 3600 +
                         std::stoi(RowValue(v, "StopMin")) * 60 + std::stoi(RowValue(v, "StopSec"));
        if (stop <= start) return "录像计划: 结束时间应晚于开始时间";
        XMLNode p = root.AddChild("VideoRecordPlan");
        Put(p, v, "RecordEnable");
        p.AddTextChild("RecordScheduleSumNum", "1");
        XMLNode s = p.AddChild("RecordSchedule");
        Put(s, v, "WeekDayNum");
        s.AddTextChild("TimeSegmentSumNum", "1");
        XMLNode t = s.AddChild("TimeSegment");
        PutAll(t, v, {"StartHour", "StartMin", "StartSec", "StopHour", "StopMin", "StopSec"});
        Put(p, v, "StreamNumber");
        return {};
    }
    case 54: {
        XMLNode a = root.AddChild("VideoAlarmRecord");
        PutAll(a, v, {"RecordEnable", "RecordTime", "PreRecordTime", "StreamNumber"});
        return {};
    }
    case 55: {
        const std::string point = RowValue(v, "Point");
        if (!point.empty() && !FourNumbers(point))
            return "遮挡区域 (Point) 应为 x1,y1,x2,y2, 而不是 \"" + point + "\"";
        XMLNode m = root.AddChild("PictureMask");
        Put(m, v, "On");
        m.AddTextChild("SumNum", point.empty() ? "0" : "1");
        if (!point.empty()) {
            XMLNode list = m.AddChild("RegionList");
            list.AddNumAttribute();
            XMLNode item = list.AddChild("Item");
            item.AddTextChild("Seq", "1");
            item.AddTextChild("Point", point.c_str());
        }
        return {};
    }
    case 56:
        Put(root, v, "FrameMirror");
        return {};
    case 57: {
        XMLNode a = root.AddChild("AlarmReport");
        PutAll(a, v, {"MotionDetection", "FieldDetection"});
        if (a.ChildCount() == 0) return "报警上报开关: 至少填写一项";
        return {};
    }
    case 58: {
        XMLNode o = root.AddChild("OSDConfig");
        PutAll(o, v, {"Length", "Width", "TimeX", "TimeY", "TimeEnable", "TimeType", "TextEnable"});
        const std::string text = RowValue(v, "Text");
        o.AddTextChild("SumNum", text.empty() ? "0" : "1");
        if (!text.empty()) {
            XMLNode item = o.AddChild("Item");
            PutAll(item, v, {"Text", "X", "Y"});
        }
        return {};
    }
    default:
        return "no body for row " + std::to_string(row);
    }
}

} // namespace

const RowForm* RowFormFor(int row) {
    for (const RowForm& s : kSpecs)
        if (s.row == row) return &s;
    return nullptr;
}

RowBody AppendRowBody(int row, const RowValues& values, GbEdition edition, XMLNode& root) {
    RowBody out;
    const RowForm* form = RowFormFor(row);
    if (!form) return out;
    out.handled = true;
    if (form->only2022 && edition == GbEdition::Gb2016) {
        out.refusal = "此命令属于 GB/T 28181-2022; 参数设置选择了 2016 版, 未发送。";
        return out;
    }
    if (std::string why = CheckFields(form->fields, values); !why.empty()) {
        out.refusal = why + "。消息未发送。";
        return out;
    }
    // A refusal found while building drops the whole tree: nothing half built goes out.
    if (std::string why = Build(row, values, edition, root); !why.empty()) {
        out.refusal = why + "。消息未发送。";
        root = XMLNode();
        return out;
    }
    out.appended = true;
    return out;
}

std::string FreshSessionId() {
    std::random_device rd;
    std::string id;
    char buf[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(rd()));
        id += buf;
    }
    return id;
}

GbEdition EditionOfHeader(const std::string& value) {
    // "3.0", "3.1": the major number decides.
    if (value.empty() || value[0] < '0' || value[0] > '9') return GbEdition::Gb2016;
    return std::atoi(value.c_str()) >= 3 ? GbEdition::Gb2022 : GbEdition::Gb2016;
}

std::string GbVersionInHead(const std::string& head) {
    static const char kName[] = "x-gb-ver";
    std::size_t line = 0;
    while (line < head.size()) {
        std::size_t end = head.find('\n', line);
        if (end == std::string::npos) end = head.size();
        const std::size_t colon = head.find(':', line);
        if (colon != std::string::npos && colon < end) {
            std::string name = head.substr(line, colon - line);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
            bool same = name.size() == sizeof kName - 1;
            for (std::size_t i = 0; same && i < name.size(); ++i)
                same = std::tolower(static_cast<unsigned char>(name[i])) == kName[i];
            if (same) {
                std::string v = head.substr(colon + 1, end - colon - 1);
                const auto b = v.find_first_not_of(" \t");
                const auto e = v.find_last_not_of(" \t\r");
                return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
            }
        }
        line = end + 1;
    }
    return {};
}

const char* ConfigTypesFor(GbEdition edition) {
    return edition == GbEdition::Gb2016 ? kTypes2016 : kTypes2022;
}
