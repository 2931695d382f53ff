// The checks of the answers to Tarvex's queries: Catalog, DeviceInfo,
// DeviceStatus, RecordInfo, and SN, identity and delay of every answer.
#include "CheckKit.h"

#include "Files.h"

#include <functional>

using namespace checkkit;

namespace {

const std::string kChannel2 = "34020000001310000002";
const std::string kChannel3 = "34020000001310000003";

std::string Data(const char* name) {
    return ReadFile(std::string(TARVEX_TEST_DATA) + "/manscdp/" + name);
}

struct Row {
    Case c;
    std::function<void(Wire&)> exchange;
};

void RunRows(const char* id, std::initializer_list<Row> rows) {
    for (const Row& row : rows) {
        Wire w;
        w.Register();
        row.exchange(w);
        ExpectVerdict(Judge(id, w.obs), row.c);
    }
}

// A query whose answer comes in several MESSAGEs with the query's SN.
std::function<void(Wire&)> Catalog(std::vector<std::string> answers) {
    return [answers](Wire& w) {
        w.ToDevice("Query", "Catalog", 11);
        for (const auto& a : answers)
            w.After(100).FromDevice(WithSn(a, "11"));
    };
}

TEST(CatalogAnswer, NumAndSumNumAcrossMessages) {
    RunRows("catalog.answer",
            {{{"one message", Verdict::Pass, "SumNum 2, 2 items in 1 message"},
              Catalog({CatalogAnswer(kDevice, 2, {kChannel, kChannel2})})},
             {{"two messages", Verdict::Pass, "SumNum 3, 3 items in 2 messages"},
              Catalog({CatalogAnswer(kDevice, 3, {kChannel, kChannel2}),
                       CatalogAnswer(kDevice, 3, {kChannel3})})},
             {{"no Num", Verdict::Fail, "Catalog answer: DeviceList without Num attribute"},
              Catalog({CatalogAnswer(kDevice, 2, {kChannel, kChannel2}, false)})},
             {{"part missing", Verdict::Fail, "SumNum 3 but 2 items arrived in 1 message"},
              Catalog({CatalogAnswer(kDevice, 3, {kChannel, kChannel2})})},
             {{"SumNum changes", Verdict::Fail, "SumNum 2 differs from 3"},
              Catalog({CatalogAnswer(kDevice, 3, {kChannel, kChannel2}),
                       CatalogAnswer(kDevice, 2, {kChannel3})})},
             {{"Num wrong", Verdict::Fail, "DeviceList Num=\"3\" but it holds 2 items"},
              Catalog({Replace(CatalogAnswer(kDevice, 2, {kChannel, kChannel2}), "Num=\"2\"",
                               "Num=\"3\"")})},
             {{"twice", Verdict::Fail, "channel " + kChannel + " listed twice"},
              Catalog({CatalogAnswer(kDevice, 2, {kChannel, kChannel})})},
             {{"only 200", Verdict::Fail, "no Catalog answer to the query of SN 11"}, Catalog({})},
             {{"never asked", Verdict::NotRun, "no Catalog query"}, [](Wire&) {}}});
}

TEST(CatalogItems, EveryItemWithDeviceIdNameAndStatus) {
    RunRows("catalog.items",
            {{{"complete", Verdict::Pass, "2 items, each with DeviceID, Name and Status"},
              Catalog({CatalogAnswer(kDevice, 2, {kChannel, kChannel2})})},
             {{"from a camera", Verdict::Pass, "3 items"},
              Catalog({Replace(Data("catalog_gb2312.xml"), "<SN>11</SN>", "<SN>[$sn]</SN>")})},
             {{"empty name", Verdict::Fail, "Catalog item 1: " + kChannel + " has no Name"},
              Catalog({CatalogAnswer(kDevice, 1, {kChannel}, true, "")})},
             {{"short id", Verdict::Fail,
               "DeviceID \"3402000000131000001\" is not a 20-digit identifier"},
              Catalog({CatalogAnswer(kDevice, 1, {"3402000000131000001"})})},
             {{"odd status", Verdict::Fail, "has Status \"BROKEN\", not ON or OFF"},
              Catalog({Replace(CatalogAnswer(kDevice, 1, {kChannel}), "<Status>ON",
                               "<Status>BROKEN")})},
             {{"no status", Verdict::Fail, "has no Status"},
              Catalog({Replace(CatalogAnswer(kDevice, 1, {kChannel}), "<Status>ON</Status>", "")})},
             {{"no items", Verdict::NotRun, "list no items"},
              Catalog({CatalogAnswer(kDevice, 0, {})})}});
}

TEST(CatalogEncoding, NamesDecodeInTheDeclaredEncoding) {
    const std::string gbkName = "\xC7\xB0\xC3\xC5";          // 前门 in GBK
    const std::string utf8Name = "\xE5\x89\x8D\xE9\x97\xA8"; // 前门 in UTF-8
    const auto undeclared = [](std::string body) { return body.substr(body.find("<Response>")); };
    RunRows("catalog.encoding",
            {{{"GBK under GB2312", Verdict::Pass,
               "2 names valid in the declared encoding (GB2312), 1 of them non-ASCII"},
              Catalog({CatalogAnswer(kDevice, 2, {kChannel, kChannel2}, true, gbkName)})},
             {{"UTF-8 undeclared", Verdict::Pass, "(none)"},
              Catalog({undeclared(CatalogAnswer(kDevice, 1, {kChannel}, true, utf8Name))})},
             {{"UTF-8 under GB2312", Verdict::Fail,
               "Name of " + kChannel + " is UTF-8, not GB2312 (declared GB2312)"},
              Catalog({CatalogAnswer(kDevice, 1, {kChannel}, true, utf8Name)})},
             {{"GBK undeclared", Verdict::Fail, "is not UTF-8 (no encoding declared)"},
              Catalog({undeclared(CatalogAnswer(kDevice, 1, {kChannel}, true, gbkName))})},
             {{"broken GBK", Verdict::Fail, "is not GB2312"},
              Catalog({CatalogAnswer(kDevice, 1, {kChannel}, true, "\xC7\xB0\xC3")})}});
}

TEST(DeviceInfoAndStatus, FieldsPresentAndWellFormed) {
    const auto info = [](std::string answer) {
        return [answer](Wire& w) { w.Query("DeviceInfo", 12, answer); };
    };
    const std::string camera = Replace(Data("deviceinfo.xml"), "<SN>12</SN>", "<SN>[$sn]</SN>");
    RunRows("deviceinfo.fields",
            {{{"from a camera", Verdict::Pass,
               "Manufacturer Hikvision, Model DS-2CD2T47G2-L, Firmware V5.7.3 build 220112"},
              info(camera)},
             {{"name only", Verdict::Fail, "DeviceInfo answer: no Manufacturer"},
              info(SimpleAnswer("DeviceInfo", kDevice, "<DeviceName>IPC</DeviceName>\r\n"))},
             {{"Channel words", Verdict::Fail, "Channel \"one\" is not a number"},
              info(Replace(camera, "<Channel>1", "<Channel>one"))},
             {{"Result ERROR", Verdict::Fail, "DeviceInfo answered Result ERROR"},
              info(Replace(camera, "<Result>OK", "<Result>ERROR"))},
             {{"never asked", Verdict::NotRun, "no DeviceInfo query"}, [](Wire&) {}}});
    const auto status = [](std::string answer) {
        return [answer](Wire& w) { w.Query("DeviceStatus", 13, answer); };
    };
    const std::string recorder = Replace(Data("devicestatus.xml"), "<SN>13</SN>", "<SN>[$sn]</SN>");
    RunRows("devicestatus.fields",
            {{{"from a recorder", Verdict::Pass,
               "Online ONLINE, Status OK, Encode ON, Record OFF, DeviceTime 2024-05-20T10:31:07"},
              status(recorder)},
             {{"Online YES", Verdict::Fail, "Online \"YES\" is not ONLINE or OFFLINE"},
              status(Replace(recorder, "<Online>ONLINE", "<Online>YES"))},
             {{"slashed time", Verdict::Fail, "DeviceTime \"2024/05/20 10:31:07\" is not a time"},
              status(Replace(recorder, "2024-05-20T10:31:07", "2024/05/20 10:31:07"))},
             {{"no Status", Verdict::Fail, "no Status"},
              status(Replace(recorder, "<Status>OK</Status>", ""))}});
}

TEST(RecordInfoAnswer, RecordingsOfTheRangeWithWellFormedTimes) {
    const auto search = [](std::string answer, const char* from = "2024-05-06T00:00:00",
                           const char* to = "2024-05-07T00:00:00") {
        return [=](Wire& w) {
            w.Query("RecordInfo", 14, answer, 300,
                    std::string(" <StartTime>") + from + "</StartTime>\r\n <EndTime>" + to +
                        "</EndTime>\r\n",
                    kChannel);
        };
    };
    const std::string three = RecordAnswer(kDevice, kChannel, 3);
    RunRows("recordinfo.answer",
            {{{"three", Verdict::Pass,
               "3 recordings from 2024-05-06T00:00:00 to 2024-05-07T00:00:00, times well formed"},
              search(three)},
             {{"none", Verdict::Pass, "no recordings"}, search(RecordAnswer(kDevice, kChannel, 0))},
             {{"other day", Verdict::Fail,
               "recording 1: 2024-05-06T10:00:00 to 2024-05-06T10:10:00 lies outside"},
              search(three, "2024-05-19T00:00:00", "2024-05-20T00:00:00")},
             {{"space for T", Verdict::Fail, "StartTime \"2024-05-06 11:00:00\" is not a time"},
              search(Replace(three, "2024-05-06T11:00:00", "2024-05-06 11:00:00"))},
             {{"ends first", Verdict::Fail, "EndTime 2024-05-06T09:00:00 before StartTime"},
              search(Replace(three, "2024-05-06T10:10:00", "2024-05-06T09:00:00"))},
             {{"no storage", Verdict::NotSupported, "RecordInfo answered Result ERROR"},
              search(Replace(SimpleAnswer("RecordInfo", kChannel, ""), "<Result>OK",
                             "<Result>ERROR"))}});
}

TEST(Answers, SnDeviceAndDelay) {
    const std::string info = SimpleAnswer("DeviceInfo", kDevice, "");
    RunRows(
        "answers.sn",
        {{{"echoed", Verdict::Pass, "2 answers, each with its query's SN"},
          [&](Wire& w) {
              w.Query("DeviceInfo", 12, info);
              w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}));
          }},
         {{"own counter", Verdict::Fail, "DeviceInfo answer carries SN 99, the query's SN is 12"},
          [&](Wire& w) {
              w.ToDevice("Query", "DeviceInfo", 12);
              w.FromDevice(WithSn(info, "99"));
          }},
         {{"unasked", Verdict::Fail, "DeviceStatus Response with SN 5 answers no query"},
          [&](Wire& w) { w.FromDevice(WithSn(SimpleAnswer("DeviceStatus", kDevice, ""), "5")); }},
         {{"nothing answered", Verdict::NotRun, "no query was answered"},
          [](Wire& w) { w.ToDevice("Query", "DeviceInfo", 12); }}});
    const std::string other = "34020000001320000099";
    RunRows("answers.device",
            {{{"right device", Verdict::Pass, "2 answers and notifications name " + kDevice},
              [&](Wire& w) {
                  w.Query("DeviceInfo", 12, info);
                  w.FromDevice(KeepaliveNotify(kDevice));
              }},
             {{"channel asked", Verdict::Pass, "1 answer or notification names"},
              [&](Wire& w) {
                  w.Query("RecordInfo", 14, RecordAnswer(kDevice, kChannel, 1), 100, "", kChannel);
              }},
             {{"device asked, its channel answers", Verdict::Pass, "2 answers and notifications name"},
              [&](Wire& w) {
                  w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}));
                  w.Query("RecordInfo", 14, RecordAnswer(kDevice, kChannel, 1));
              }},
             {{"device asked, a stranger's channel answers", Verdict::Fail,
               "RecordInfo answer carries DeviceID " + kChannel + ", the query asked " + kDevice},
              [&](Wire& w) { w.Query("RecordInfo", 14, RecordAnswer(kDevice, kChannel, 1)); }},
             {{"another DeviceID", Verdict::Fail,
               "DeviceInfo answer carries DeviceID " + other + ", the query asked " + kDevice},
              [&](Wire& w) { w.Query("DeviceInfo", 12, SimpleAnswer("DeviceInfo", other, "")); }},
             {{"another From", Verdict::Fail, "comes From " + other}, [&](Wire& w) {
                  w.ToDevice("Query", "DeviceInfo", 12);
                  w.FromDevice(WithSn(info, "12"), other);
              }},
             // An alarm names its source: a channel of the device's catalog.
             {{"alarm of its channel", Verdict::Pass, "2 answers and notifications name"},
              [&](Wire& w) {
                  w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}));
                  w.FromDevice(AlarmNotify(kChannel));
              }},
             {{"alarm of a channel not in its catalog", Verdict::Fail,
               "Alarm Notify of the device carries DeviceID " + other},
              [&](Wire& w) {
                  w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}));
                  w.FromDevice(AlarmNotify(other));
              }},
             {{"keepalive of its channel", Verdict::Fail,
               "Keepalive Notify of the device carries DeviceID " + kChannel},
              [&](Wire& w) {
                  w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}));
                  w.FromDevice(KeepaliveNotify(kChannel));
              }}});
    RunRows(
        "answers.delay",
        {{{"quick", Verdict::Pass, "1 query answered, slowest (DeviceInfo) after 220 ms"},
          [&](Wire& w) { w.Query("DeviceInfo", 12, info, 200); }},
         {{"late", Verdict::Fail, "Catalog answered after 5020 ms, limit 3000 ms"}, [&](Wire& w) {
              w.Query("DeviceInfo", 12, info, 200);
              w.Query("Catalog", 13, CatalogAnswer(kDevice, 1, {kChannel}), 5000);
          }}});
}

} // namespace
