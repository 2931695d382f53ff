// The 2022 rows of the battery on hand-made observations: the version header,
// the five 2022 queries (answers written after the published examples), the
// precise move, the snapshot and upgrade transfers against what the HTTP
// server saw, and the keepalives of a device that unregistered to upgrade.
#include "CheckKit.h"

#include <functional>

namespace checkkit {
namespace {

const std::string kRegister3 = "Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: 3600\r\nX-GB-Ver: 3.0\r\n";

// A device Response of cmd; inner goes after Result OK.
std::string Response(const std::string& cmd, const std::string& inner, const std::string& result = "OK") {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>" + cmd +
           "</CmdType>\r\n<SN>[$sn]</SN>\r\n<DeviceID>" + kDevice + "</DeviceID>\r\n<Result>" + result +
           "</Result>\r\n" + inner + "</Response>\r\n";
}

std::string NotifyBody(const std::string& cmd, int sn, const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType>" + cmd + "</CmdType>\r\n<SN>" +
           std::to_string(sn) + "</SN>\r\n<DeviceID>" + kDevice + "</DeviceID>\r\n" + inner + "</Notify>\r\n";
}

TEST(Gb2022Version, TheHeaderOnEveryRegister) {
    struct Row {
        Case c;
        std::vector<std::string> versions; // one REGISTER each; "" without the header
    };
    const Row rows[] = {
        {{"2022", Verdict::Pass, "X-GB-Ver 3.0 on 2 REGISTERs (the 2022 edition)"}, {"3.0", "3.0"}},
        {{"none: a 2016 device", Verdict::NotSupported, "no X-GB-Ver on 1 REGISTER"}, {""}},
        {{"2016 named", Verdict::NotSupported, "X-GB-Ver 2.0 on 1 REGISTER: the device declares the 2016"}, {"2.0"}},
        {{"not a version", Verdict::Fail, "X-GB-Ver \"v3\" is not a version"}, {"v3"}},
        {{"dropped on the refresh", Verdict::Fail, "carries no X-GB-Ver, the one at"}, {"3.0", ""}},
        {{"changed", Verdict::Fail, "carries X-GB-Ver 2.0, the one at"}, {"3.0", "2.0"}},
    };
    for (const Row& row : rows) {
        Wire w;
        for (const std::string& v : row.versions)
            w.After(1000).Register("Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: 3600\r\n" +
                                   (v.empty() ? "" : "X-GB-Ver: " + v + "\r\n"));
        ExpectVerdict(Judge("gb2022.version", w.obs), row.c);
    }
    ExpectVerdict(Judge("gb2022.version", Wire().obs), {"no REGISTER", Verdict::NotRun, "no REGISTER"});
}

TEST(Gb2022Queries, EachAnsweredWithItsFields) {
    const std::string home = "<HomePosition>\r\n<Enabled>1</Enabled>\r\n<ResetTime>30</ResetTime>\r\n"
                             "<PresetIndex>2</PresetIndex>\r\n</HomePosition>\r\n";
    const std::string tracks = "<CruiseTrackList Num=\"2\">\r\n<CruiseTrack>\r\n<Number>1</Number>\r\n"
                               "<Name>A</Name>\r\n</CruiseTrack>\r\n<CruiseTrack>\r\n<Number>4</Number>\r\n"
                               "</CruiseTrack>\r\n</CruiseTrackList>\r\n";
    const std::string track = "<Number>1</Number>\r\n<CruiseTrack Num=\"1\">\r\n<Name>A</Name>\r\n"
                              "<CruisePoint>\r\n<PresetIndex>3</PresetIndex>\r\n<StayTime>10</StayTime>\r\n"
                              "<Speed>5</Speed>\r\n</CruisePoint>\r\n</CruiseTrack>\r\n";
    const std::string cards = "<SDCardList Num=\"1\">\r\n<Item>\r\n<ID>1</ID>\r\n<Status>OK</Status>\r\n"
                              "<Capacity>32768</Capacity>\r\n<FreeSpace>20480</FreeSpace>\r\n</Item>\r\n</SDCardList>\r\n";
    const std::string cardsAsDevices =
        "<SumNum>2</SumNum>\r\n<SDCardStatusInfo>\r\n<Item>\r\n<ID>1</ID>\r\n<HddName>SD1</HddName>\r\n"
        "<Status>ok</Status>\r\n<Capacity>32768</Capacity>\r\n<FreeSpace>24576</FreeSpace>\r\n</Item>\r\n"
        "<Item>\r\n<ID>2</ID>\r\n<HddName>SD2</HddName>\r\n<Status>formatting</Status>\r\n"
        "<FormatProgress>50</FormatProgress>\r\n<Capacity>131072</Capacity>\r\n<FreeSpace>0</FreeSpace>\r\n"
        "</Item>\r\n</SDCardStatusInfo>\r\n";
    struct Row {
        const char* id;
        const char* cmd;
        std::string answer; // "" no answer
        Case c;
        int status = 200;   // SIP answer to the query
        bool v2022 = true;  // the REGISTER says 3.0
    };
    const Row rows[] = {
        {"gb2022.home_position", "HomePositionQuery", Response("HomePositionQuery", home),
         {"home", Verdict::Pass, "Enabled 1, ResetTime 30 s, PresetIndex 2"}},
        {"gb2022.home_position", "HomePositionQuery",
         Response("HomePositionQuery", "<HomePosition>\r\n<Enabled>1</Enabled>\r\n</HomePosition>\r\n"),
         {"enabled without its time", Verdict::Fail, "HomePosition no ResetTime"}},
        {"gb2022.home_position", "HomePositionQuery",
         Response("HomePositionQuery", "<HomePosition>\r\n<Enabled>on</Enabled>\r\n</HomePosition>\r\n"),
         {"enabled as a word", Verdict::Fail, "Enabled \"on\" is not 0 or 1"}},
        {"gb2022.home_position", "HomePositionQuery", Response("HomePositionQuery", "", "ERROR"),
         {"declined", Verdict::NotSupported, "answered Result ERROR"}},
        {"gb2022.home_position", "HomePositionQuery", "", {"silent", Verdict::Fail, "no HomePositionQuery answer"}},
        {"gb2022.home_position", "HomePositionQuery", "", {"501", Verdict::NotSupported, "answered 501"}, 501},
        {"gb2022.cruise_list", "CruiseTrackListQuery", Response("CruiseTrackListQuery", tracks),
         {"tracks", Verdict::Pass, "2 cruise tracks (1, 4)"}},
        {"gb2022.cruise_list", "CruiseTrackListQuery",
         Response("CruiseTrackListQuery", Replace(tracks, "Num=\"2\"", "Num=\"3\"")),
         {"Num off", Verdict::Fail, "CruiseTrackList Num=\"3\" but it holds 2 CruiseTrack"}},
        {"gb2022.cruise_list", "CruiseTrackListQuery",
         Response("CruiseTrackListQuery", Replace(tracks, "<Number>4</Number>", "<Number>x</Number>")),
         {"track number", Verdict::Fail, "CruiseTrack 2: Number \"x\" is not a number"}},
        {"gb2022.cruise_track", "CruiseTrackQuery", Response("CruiseTrackQuery", track),
         {"points", Verdict::Pass, "cruise track 1: 1 point"}},
        {"gb2022.cruise_track", "CruiseTrackQuery",
         Response("CruiseTrackQuery", Replace(track, "<PresetIndex>3</PresetIndex>", "")),
         {"point without preset", Verdict::Fail, "CruisePoint 1: no PresetIndex"}},
        {"gb2022.ptz_position", "PTZPosition",
         Response("PTZPosition", "<Pan>120.5</Pan>\r\n<Tilt>-10</Tilt>\r\n<Zoom>2</Zoom>\r\n"),
         {"position", Verdict::Pass, "Pan 120.5, Tilt -10, Zoom 2"}},
        {"gb2022.ptz_position", "PTZPosition",
         Response("PTZPosition", "<Pan>400</Pan>\r\n<Tilt>0</Tilt>\r\n<Zoom>1</Zoom>\r\n"),
         {"pan past a turn", Verdict::Fail, "Pan \"400\" is not a number from 0 to 360"}},
        {"gb2022.ptz_position", "PTZPosition",
         Response("PTZPosition", "<PTZPosInfo>\r\n<Pan>12.50</Pan>\r\n<Tilt>-3.25</Tilt>\r\n<Zoom>2.00</Zoom>\r\n"
                                 "</PTZPosInfo>\r\n"),
         {"inside PTZPosInfo", Verdict::Pass, "Pan 12.50, Tilt -3.25, Zoom 2.00"}},
        {"gb2022.ptz_position", "PTZPosition", Response("PTZPosition", "<Pan>1</Pan>\r\n<Tilt>0</Tilt>\r\n"),
         {"no zoom", Verdict::Fail, "PTZPosition answer: no Zoom"}},
        {"gb2022.sd_card", "SDCardStatus", Response("SDCardStatus", cards),
         {"card", Verdict::Pass, "1 storage card (1 OK)"}},
        {"gb2022.sd_card", "SDCardStatus",
         Response("SDCardStatus", Replace(cards, "<Status>OK</Status>", "")),
         {"card without status", Verdict::Fail, "card 1: no Status"}},
        // The answer as public device libraries write it.
        {"gb2022.sd_card", "SDCardStatus", Response("SDCardStatus", cardsAsDevices),
         {"SumNum and SDCardStatusInfo", Verdict::Pass, "2 storage cards (1 ok, 2 formatting)"}},
        {"gb2022.sd_card", "SDCardStatus",
         Response("SDCardStatus", Replace(cardsAsDevices, "<SumNum>2</SumNum>", "<SumNum>3</SumNum>")),
         {"SumNum miscounts", Verdict::Fail, "SumNum 3 but SDCardStatusInfo holds 2 Item"}},
        {"gb2022.sd_card", "SDCardStatus", Response("SDCardStatus", "<SumNum>0</SumNum>\r\n"),
         {"no list", Verdict::Fail, "no SDCardStatusInfo"}},
        {"gb2022.sd_card", "SDCardStatus", "",
         {"2016 device, not asked", Verdict::NotSupported, "declares no X-GB-Ver, not the 2022 edition"}, 0, false},
    };
    for (const Row& row : rows) {
        Wire w;
        w.Register(row.v2022 ? kRegister3 : "Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: 3600\r\n");
        if (row.status != 0) {
            const int q = w.After(100).ToDevice("Query", row.cmd, 7, {}, -1);
            w.After(10).Reply(q, row.status);
            if (!row.answer.empty()) w.After(50).FromDevice(WithSn(row.answer, "7"));
        }
        SCOPED_TRACE(row.c.name);
        ExpectVerdict(Judge(row.id, w.obs), row.c);
    }
}

// A position query (answered with pan, tilt, zoom), the precise move, another query.
struct Move {
    Case c;
    std::string after; // "Pan Tilt Zoom" of the second answer, "" for no second query
    int controlStatus = 200;
};

TEST(Gb2022Precise, TheReportedPositionMovesToTheOneSent) {
    auto position = [](const std::string& pan, const std::string& tilt, const std::string& zoom) {
        return Response("PTZPosition", "<Pan>" + pan + "</Pan>\r\n<Tilt>" + tilt + "</Tilt>\r\n<Zoom>" + zoom +
                                           "</Zoom>\r\n");
    };
    const Move moves[] = {
        {{"moved", Verdict::Pass, "moved to Pan 90.00, Tilt 45.00, Zoom 4.00 as sent (before: Pan 0.00"}, "90 45 4"},
        {{"a little off", Verdict::Pass, "moved to Pan 90.60"}, "90.6 44.5 4.1"},
        {{"stayed", Verdict::Fail, "reports Pan 0.00, Tilt 0.00, Zoom 1.00, sent to Pan 90.00, Tilt 45.00, Zoom 4.00"},
         "0 0 1"},
        {{"never asked again", Verdict::NotRun, "no PTZPosition answer to a query after the PTZPreciseCtrl"}, ""},
        {{"declined", Verdict::NotSupported, "PTZPreciseCtrl answered 501"}, "0 0 1", 501},
        {{"refused", Verdict::Fail, "PTZPreciseCtrl at "}, "0 0 1", 400},
    };
    for (const Move& m : moves) {
        Wire w;
        w.Register(kRegister3);
        w.After(100).Query("PTZPosition", 5, position("0", "0", "1"));
        const int c = w.After(100).ToDevice("Control", "DeviceControl", 6,
                                            "<PTZPreciseCtrl>\r\n<Pan>90.00</Pan>\r\n<Tilt>45.00</Tilt>\r\n"
                                            "<Zoom>4.00</Zoom>\r\n</PTZPreciseCtrl>\r\n",
                                            -1);
        w.After(10).Reply(c, m.controlStatus);
        if (!m.after.empty()) {
            const std::size_t a = m.after.find(' '), b = m.after.rfind(' ');
            w.After(300).Query("PTZPosition", 7,
                               position(m.after.substr(0, a), m.after.substr(a + 1, b - a - 1), m.after.substr(b + 1)));
        }
        SCOPED_TRACE(m.c.name);
        ExpectVerdict(Judge("gb2022.ptz_precise", w.obs), m.c);
    }
    // Pan wraps: 359.6 is 0.4 from 0.
    Wire w;
    w.Register(kRegister3);
    w.After(100).ToDevice("Control", "DeviceControl", 6,
                          "<PTZPreciseCtrl>\r\n<Pan>0</Pan>\r\n<Tilt>0</Tilt>\r\n<Zoom>1</Zoom>\r\n</PTZPreciseCtrl>\r\n");
    w.After(300).Query("PTZPosition", 7, position("359.6", "0", "1"));
    ExpectVerdict(Judge("gb2022.ptz_precise", w.obs), {"wrapped", Verdict::Pass, "moved to Pan 359.60"});
}

const std::string kSession = "0123456789abcdef0123456789ABCDEF";

TEST(Gb2022Snapshot, PicturesReceivedMatchTheNotification) {
    struct Row {
        Case c;
        std::function<void(Wire&, TransferObservation&, std::string& notify)> edit;
    };
    const Row rows[] = {
        {{"two pictures", Verdict::Pass, "2 JPEG pictures received over HTTP for session " + kSession + " (3000 bytes), as"},
         [](Wire&, TransferObservation&, std::string&) {}},
        {{"another session", Verdict::Fail, "UploadSnapShotFinished names session \"other\""},
         [](Wire&, TransferObservation&, std::string& n) { n = Replace(n, kSession, "other"); }},
        {{"one listed twice", Verdict::Fail, "1 JPEG picture received over HTTP for session " + kSession + ", UploadSnapShotFinished lists 2"},
         [](Wire&, TransferObservation& t, std::string&) { t.snapshots[0].files.pop_back(); }},
        {{"not a picture", Verdict::Fail, "picture 2 of session " + kSession + " (snapshots/c/2.jpg) is not a JPEG"},
         [](Wire&, TransferObservation& t, std::string&) { t.snapshots[0].files[1].jpeg = false; }},
        {{"none uploaded", Verdict::Fail, "no picture was uploaded for session"},
         [](Wire&, TransferObservation& t, std::string& n) {
             t.snapshots[0].files.clear();
             n = Replace(Replace(n, "<SnapShotFileID>a1</SnapShotFileID>", ""), "<SnapShotFileID>a2</SnapShotFileID>", "");
         }},
        {{"never notified", Verdict::Fail, "no UploadSnapShotFinished after the SnapShotConfig"},
         [](Wire&, TransferObservation&, std::string& n) { n.clear(); }},
        {{"a refused upload", Verdict::Fail, "and 1 upload refused"},
         [](Wire&, TransferObservation& t, std::string&) { t.snapshots[0].refused = 1; }},
        {{"no record", Verdict::NotRun, "kept no record of session"},
         [](Wire&, TransferObservation& t, std::string&) { t.snapshots.clear(); }},
    };
    for (const Row& row : rows) {
        Wire w;
        w.Register(kRegister3);
        TransferObservation t;
        t.snapshots.push_back({kSession, kChannel, {{"snapshots/c/1.jpg", 1000, true}, {"snapshots/c/2.jpg", 2000, true}}, 0, true});
        std::string notify = NotifyBody("UploadSnapShotFinished", 3,
                                        "<SessionID>" + kSession + "</SessionID>\r\n<SnapShotList>\r\n"
                                        "<SnapShotFileID>a1</SnapShotFileID>\r\n<SnapShotFileID>a2</SnapShotFileID>\r\n"
                                        "</SnapShotList>\r\n");
        row.edit(w, t, notify);
        const int c = w.After(100).ToDevice("Control", "DeviceConfig", 9,
                                            "<SnapShotConfig>\r\n<SnapNum>2</SnapNum>\r\n<Interval>1</Interval>\r\n"
                                            "<UploadURL>http://127.0.0.1:8080/snapshot/" + kSession +
                                                "</UploadURL>\r\n<SessionID>" + kSession + "</SessionID>\r\n</SnapShotConfig>\r\n");
        w.After(20).FromDevice(WithSn(Response("DeviceConfig", ""), "9"));
        (void)c;
        if (!notify.empty()) w.After(1500).FromDevice(notify);
        w.obs.transfers = t;
        SCOPED_TRACE(row.c.name);
        ExpectVerdict(Judge("gb2022.snapshot", w.obs), row.c);
    }
    // Result ERROR to the configuration: the device has no snapshots.
    Wire w;
    w.Register(kRegister3);
    w.After(100).ToDevice("Control", "DeviceConfig", 9, "<SnapShotConfig>\r\n<SessionID>s</SessionID>\r\n</SnapShotConfig>\r\n");
    w.After(20).FromDevice(WithSn(Response("DeviceConfig", "", "ERROR"), "9"));
    ExpectVerdict(Judge("gb2022.snapshot", w.obs), {"declined", Verdict::NotSupported, "SnapShotConfig answered Result ERROR"});
}

TEST(Gb2022Upgrade, FirmwareFetchedWholeAndTheResultNotified) {
    struct Row {
        Case c;
        FirmwareReceipt served;
        std::string result; // the notification's inner elements, "" for none
    };
    const std::string ok = "<SessionID>" + kSession + "</SessionID>\r\n<Firmware>V3</Firmware>\r\n<Result>OK</Result>\r\n";
    const Row rows[] = {
        {{"done", Verdict::Pass, "firmware fetched (4096 of 4096 bytes), DeviceUpgradeResult Result OK"},
         {kSession, "fw.bin", 4096, 4096, true, true}, ok},
        {{"spelled UpgradeResult, with a reason", Verdict::Pass, "Result ERROR (bad image)"},
         {kSession, "fw.bin", 4096, 4096, true, true},
         "<SessionID>" + kSession + "</SessionID>\r\n<UpgradeResult>ERROR</UpgradeResult>\r\n<Reason>bad image</Reason>\r\n"},
        {{"never fetched", Verdict::Fail, "the device never fetched the firmware"}, {kSession, "fw.bin", 4096, 0, false, false}, ok},
        {{"cut short", Verdict::Fail, "the device fetched 100 of 4096 bytes"}, {kSession, "fw.bin", 4096, 100, true, false}, ok},
        {{"no result", Verdict::Fail, "but no DeviceUpgradeResult after the DeviceUpgrade"}, {kSession, "fw.bin", 4096, 4096, true, true}, ""},
        {{"another session", Verdict::Fail, "DeviceUpgradeResult names session \"x\""},
         {kSession, "fw.bin", 4096, 4096, true, true}, Replace(ok, kSession, "x")},
        {{"a word for a result", Verdict::Fail, "Result \"DONE\" is not OK or ERROR"},
         {kSession, "fw.bin", 4096, 4096, true, true}, Replace(ok, ">OK<", ">DONE<")},
    };
    for (const Row& row : rows) {
        Wire w;
        w.Register(kRegister3);
        w.After(100).ToDevice("Control", "DeviceControl", 11,
                              "<DeviceUpgrade>\r\n<Manufacturer>T</Manufacturer>\r\n<Firmware>V3</Firmware>\r\n"
                              "<FileURL>http://127.0.0.1:8080/firmware/t/fw.bin</FileURL>\r\n<SessionID>" + kSession +
                                  "</SessionID>\r\n</DeviceUpgrade>\r\n");
        // Unregistered to install, registered again, then the result.
        w.After(50).Register("Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: 0\r\nX-GB-Ver: 3.0\r\n");
        w.After(1000).Register(kRegister3);
        if (!row.result.empty()) w.After(20).FromDevice(NotifyBody("DeviceUpgradeResult", 4, row.result));
        w.obs.transfers.firmware.push_back(row.served);
        SCOPED_TRACE(row.c.name);
        ExpectVerdict(Judge("gb2022.upgrade", w.obs), row.c);
    }
    Wire none;
    none.Register();
    ExpectVerdict(Judge("gb2022.upgrade", none.obs), {"2016", Verdict::NotSupported, "DeviceUpgrade not sent"});
}

// Keepalives every second; a silence of 4 s is no miss while the device was
// unregistered (to install an upgrade), but is one when it only refreshed.
TEST(Gb2022Keepalives, NoneDueWhileTheDeviceIsUnregistered) {
    struct Row {
        Case c;
        std::vector<std::pair<int, const char*>> between; // ms after the last, Expires of a REGISTER
        bool back = true;                                   // keepalives again, a second after
    };
    const Row rows[] = {
        {{"unregistered and back", Verdict::Pass, "no keepalive missed"}, {{1000, "0"}, {3000, "3600"}}},
        {{"silent", Verdict::Fail, "keepalives missed"}, {}},
        {{"only refreshed", Verdict::Fail, "keepalives missed"}, {{1000, "3600"}, {3000, "3600"}}},
        {{"unregistered, never back", Verdict::Pass, "no keepalive missed"}, {{1000, "0"}}, false},
    };
    for (const Row& row : rows) {
        Wire w;
        w.obs.settings.keepaliveIntervalS = 1;
        w.Register(kRegister3);
        for (int i = 0; i < 3; ++i) w.After(1000).FromDevice(KeepaliveNotify(kDevice));
        if (row.between.empty()) w.After(4000);
        for (const auto& [ms, expires] : row.between)
            w.After(ms).Register("Contact: <sip:" + kDevice + "@127.0.0.1:5060>\r\nExpires: " +
                                 std::string(expires) + "\r\n");
        if (row.back)
            for (int i = 0; i < 3; ++i) w.After(1000).FromDevice(KeepaliveNotify(kDevice));
        else
            w.After(4000);
        w.obs.endMs = w.now + 200;
        SCOPED_TRACE(row.c.name);
        ExpectVerdict(Judge("keepalive.missed", w.obs), row.c);
        // The spacing across the unregistration is no interval.
        if (row.c.name == std::string("unregistered and back"))
            ExpectVerdict(Judge("keepalive.interval", w.obs),
                          {"interval", Verdict::Pass, "keepalives every 1.0 s (median of 4 intervals)"});
    }
}

} // namespace
} // namespace checkkit
