#include "manscdp/devcfg/ConfigBodies.h"

#include <initializer_list>
#include <utility>

namespace {

using Pairs = std::initializer_list<std::pair<const char*, const char*>>;

void AddTexts(XMLNode& parent, Pairs pairs) {
    for (const auto& [name, text] : pairs)
        parent.AddTextChild(name, text);
}

void AddSwitchList(XMLNode& root, const char* list, const char* channel, const char* state) {
    XMLNode l = root.AddChild(list);
    l.AddNumAttribute();
    XMLNode item = l.AddChild("Item");
    AddTexts(item, {{"Channel", channel}, {"State", state}});
}

} // namespace

bool AppendConfigBody(int row, const ConfigInputs& in, XMLNode& root) {
    switch (row) {
    // Rows 7, 8 and 9 take the operator's inputs: manscdp/gb2022.
    case 10:
        AddTexts(root, {{"Ftp", kFtpServer},
                        {"Ftpuser", kFtpUser},
                        {"Ftppassword", "Kelp"},
                        {"Path", "Snapshot"}});
        return true;
    case 14:
        AddTexts(root, {{"SerialPort", "1"},
                        {"BandRate", "115200"},
                        {"DataBit", "8"},
                        {"Parity", "0"},
                        {"StopBit", "1"},
                        {"Mode", "RS232"},
                        {"FlowControl", "0"}});
        return true;
    case 16:
        root.AddTextChild("DateTime", LocalTimeTextMs(Now(in.clock)).c_str());
        return true;
    case 18:
        AddTexts(root, {{"Mode", "2"}});
        return true;
    case 21:
        AddTexts(root, {{"InterfaceID", "Q4RM8T2KD07315N"},
                        {"DHCP", "1"},
                        {"IPAddress", "192.168.1.254"},
                        {"SubMask", "255.255.255.0"},
                        {"DefaultGateway", "192.168.1.1"},
                        {"DNSPrimary", kDnsPrimary},
                        {"DNSSecondary", kDnsSecondary}});
        return true;
    case 23:
        AddTexts(root, {{"Channel", "1"},
                        {"Type", "1"},
                        {"Name", "Channel1"},
                        {"Privilege", "0111111110"},
                        {"Longitude", "11.0"},
                        {"Latitude", "23.3"}});
        return true;
    case 25:
        AddTexts(root, {{"AlarmType", "0"}, {"DiskAlarm", "25"}});
        return true;
    case 26:
        AddTexts(root, {{"AlarmType", "0"}});
        return true;
    case 27:
        AddTexts(root,
                 {{"Contrast", "100"}, {"Bright", "200"}, {"Hue", "20"}, {"Saturation", "125"}});
        return true;
    case 29:
        AddTexts(root, {{"EnableTime", "True"},
                        {"EnableText", "True"},
                        {"TimeX", "30"},
                        {"TimeY", "100"},
                        {"Text", "Hello World"},
                        {"TextX", "100"},
                        {"TextY", "300"}});
        return true;
    case 31: { // StorageSchemaSetting; the schedule is read once per build
        const std::string now = LocalTimeText(Now(in.clock));
        AddTexts(root, {{"EnableTime", "True"}, {"EnableText", "True"}});
        XMLNode cycle = root.AddChild("CycleTask");
        AddTexts(cycle, {{"Period", "12"},
                         {"Slice", "30"},
                         {"Policy", "1"},
                         {"FrameInterval", "10"},
                         {"Type", "3"}});
        XMLNode sched = root.AddChild("SchedualTask");
        AddTexts(sched, {{"Period", "12"},
                         {"Slice", "30"},
                         {"Policy", "1"},
                         {"StartTime", now.c_str()},
                         {"EndTime", now.c_str()}});
        XMLNode alarm = root.AddChild("AlarmTask");
        AddTexts(alarm, {{"PreRecordTime", "5"}, {"PostRecordTime", "10"}});
        return true;
    }
    case 33:
        AddSwitchList(root, "InputList", "1", "True");
        AddSwitchList(root, "OutputList", "2", "False");
        AddSwitchList(root, "AlarmList", "3", "True");
        return true;
    case 35:
        AddTexts(root, {{"EncodeMode", "3"},
                        {"EncodeSampleRate", "128"},
                        {"EncodeBitRate", "256"},
                        {"QuanBitRate", "16"}});
        return true;
    case 37:
        AddTexts(root, {{"EncodeMode", "6"},
                        {"Quality", "0"},
                        {"BitRate", "128"},
                        {"FrameRate", "25"},
                        {"ImageSize", "0"},
                        {"StreamType", "1"},
                        {"IFrameInterval", "15"}});
        return true;
    default:
        return false;
    }
}
