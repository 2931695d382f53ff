// The message-log workbook, saved through SaveMessageLog, read back by python3-xlrd and
// olefile, and opened by LibreOffice.
#include "Files.h"
#include "XlsReadBack.h"
#include "XlsStructure.h"
#include "base/TextCodec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace tarvex::xls;
using xlstest::Book;
using xlstest::Msg;
using xlstest::MsgRows;
using xlstest::ReadBack;

namespace {

const char* kHeaders[5] = {"时间", "类型", "设备ID", "信息体", "信息头"};
const int kWidths[5] = {6000, 6000, 6000, 12000, 8000};
const std::string kDevice = "34010000002000000001";

// Every test saves into a scratch folder of its own, removed when the test ends.
class XlsReadBack : public testing::Test {
protected:
    std::filesystem::path Save(const MsgRows& rows) { return xlstest::SaveChecked(rows, tmp.Path()); }
    TempDir tmp;
};
using XlsLibreOffice = XlsReadBack;

void ExpectRow(const Book& b, int sheet, int row, const Msg& m) {
    SCOPED_TRACE("sheet " + std::to_string(sheet) + " row " + std::to_string(row));
    const auto& cells = b.sheets.at(sheet).cells;
    const std::string want[5] = {m.time, m.type, m.id, m.body, m.head};
    for (int c = 0; c < 5; ++c) {
        auto it = cells.find({row, c});
        ASSERT_NE(it, cells.end()) << "column " << c;
        EXPECT_EQ(it->second.value, want[c]) << "column " << c;
        EXPECT_EQ(it->second.weight, 300);
        EXPECT_EQ(it->second.colour, 0);
    }
}

// A GBK-encoded Catalog answer naming its encoding, as cameras send them.
std::string GbkCatalog() {
    // "<Name>前门摄像机</Name>" in GBK.
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>"
           "\r\n<Name>\xC7\xB0\xC3\xC5\xC9\xE3\xCF\xF1\xBB\xFA</Name>\r\n</Response>\r\n";
}

} // namespace

TEST_F(XlsReadBack, RunWithoutMessagesHasHeaderRowsAndEmptyThirdSheet) {
    const auto path = Save(MsgRows());
    const Book b = ReadBack(path, "full");
    ASSERT_TRUE(b.ok) << b.output;

    EXPECT_EQ(b.oleStreams, "Workbook");
    EXPECT_EQ(b.oleVersion, 3);
    EXPECT_EQ(b.sectorSize, 512);
    ASSERT_EQ(b.sheets.size(), 3u);
    EXPECT_EQ(b.sheets[0].name, "Recv Msg");
    EXPECT_EQ(b.sheets[1].name, "Send Msg");
    EXPECT_EQ(b.sheets[2].name, "Sheet3");
    for (int s = 0; s < 2; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(b.sheets[s].nrows, 1);
        EXPECT_EQ(b.sheets[s].ncols, 5);
        for (int c = 0; c < 5; ++c) {
            EXPECT_EQ(b.sheets[s].widths.at(c), kWidths[c]);
            const auto& cell = b.sheets[s].cells.at({0, c});
            EXPECT_EQ(cell.value, kHeaders[c]);
            EXPECT_EQ(cell.weight, 500);
            EXPECT_EQ(cell.colour, 4);
            EXPECT_EQ(cell.height, 200);
            EXPECT_EQ(cell.font, "Arial");
            EXPECT_EQ(cell.vertAlign, 2); // bottom
            EXPECT_EQ(cell.formatKey, 0); // General
        }
    }
    EXPECT_EQ(b.sheets[2].nrows, 0);
    EXPECT_TRUE(b.sheets[2].widths.empty());
}

TEST_F(XlsReadBack, SessionRowsLandInTheirSheetInOrder) {
    // A registration and a catalog exchange, sent and received interleaved; the first
    // message of the run is a sent one.
    const std::vector<Msg> msgs = {
        {LogDirection::Sent, "2024-05-06T12:34:56.001", "注册信息", kDevice, "No Body!\n",
         "SIP/2.0 200 OK\r\nDate: 2024-05-06T12:34:56.000\r\n\r\n\n"},
        {LogDirection::Received, "2024-05-06T12:34:56.789", "注册信息", kDevice, "No Body!\n",
         "REGISTER sip:34020000002000000001@3402000000 SIP/2.0\r\nVia: SIP/2.0/UDP "
         "127.0.0.1:5060\r\n\r\n\n"},
        {LogDirection::Sent, "2024-05-06T12:34:57.790", "目录查询", kDevice,
         "<?xml version=\"1.0\"?>\r\n<Query>\r\n <CmdType>Catalog</CmdType>\r\n <SN>10</SN>\r\n "
         "<DeviceID>34010000002000000001</DeviceID>\r\n</Query>\r\n",
         "MESSAGE sip:34010000002000000001@127.0.0.1:5061 SIP/2.0\r\n\r\n\n"},
        {LogDirection::Received, "2024-05-06T12:34:57.801", "目录查询", kDevice, "No Body!\n",
         "SIP/2.0 200 OK\r\n\r\n\n"},
        {LogDirection::Received, "2024-05-06T12:34:57.950", "目录查询", kDevice, GbkCatalog(),
         "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n\r\n\n"},
        {LogDirection::Sent, "2024-05-06T12:34:57.951", "目录信息", kDevice, "No Body!\n",
         "SIP/2.0 200 OK\r\n\r\n\n"},
    };
    const Book b = ReadBack(Save(MsgRows(msgs)), "full");
    ASSERT_TRUE(b.ok) << b.output;
    ASSERT_EQ(b.sheets.size(), 3u);
    EXPECT_EQ(b.sheets[0].nrows, 4);
    EXPECT_EQ(b.sheets[1].nrows, 4);
    int recv = 1, send = 1;
    for (Msg m : msgs) {
        if (m.body == GbkCatalog())
            m.body = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>"
                     "Catalog</CmdType>\r\n<Name>前门摄像机</Name>\r\n</Response>\r\n";
        if (m.dir == LogDirection::Received)
            ExpectRow(b, 0, recv++, m);
        else
            ExpectRow(b, 1, send++, m);
    }
    EXPECT_EQ(b.sheets[2].nrows, 0);
}

TEST_F(XlsReadBack, ChineseTextInEveryEncodingReadsBackAsTheSameCharacters) {
    MsgRows book;
    const std::string utf8Body = "<Notify><Name>东门 枪机 ①</Name></Notify>";
    // GB18030 without a declaration: not valid UTF-8, so taken as GB18030 ("东门").
    const std::string gbkNoDecl = "<Notify><Name>\xB6\xAB\xC3\xC5</Name></Notify>";
    book.Add(LogDirection::Received, "t1", "心跳信息", kDevice, utf8Body, "h");
    book.Add(LogDirection::Received, "t2", "心跳信息", kDevice, gbkNoDecl, "h");
    book.Add(LogDirection::Received, "t3", "心跳信息", kDevice, GbkCatalog(), "h");
    const Book b = ReadBack(Save(book), "full");
    ASSERT_TRUE(b.ok) << b.output;
    const auto& cells = b.sheets.at(0).cells;
    EXPECT_EQ(cells.at({1, 3}).value, utf8Body);
    EXPECT_EQ(cells.at({2, 3}).value, "<Notify><Name>东门</Name></Notify>");
    EXPECT_NE(cells.at({3, 3}).value.find("<Name>前门摄像机</Name>"), std::string::npos);
    EXPECT_EQ(cells.at({1, 1}).value, "心跳信息");
}

TEST_F(XlsReadBack, BodiesLongerThanOneRecordReadBackWhole) {
    MsgRows book;
    // 20 KB of ASCII and a Chinese body of 9000 characters (18000 bytes as UTF-16):
    // both cross record boundaries inside the string.
    std::string ascii = "<Response>";
    while (ascii.size() < 20 * 1024)
        ascii += "<Item><DeviceID>" + kDevice + "</DeviceID></Item>";
    ascii += "</Response>";
    std::string chinese;
    for (int i = 0; i < 9000; ++i)
        chinese += (i % 2) ? "摄" : "像";
    book.Add(LogDirection::Received, "t", "目录信息", kDevice, ascii, "head");
    book.Add(LogDirection::Received, "t", "目录信息", kDevice, chinese, "head");
    book.Add(LogDirection::Sent, "t", "x", kDevice, "after the long ones", "head");
    const Book b = ReadBack(Save(book), "full");
    ASSERT_TRUE(b.ok) << b.output;
    EXPECT_EQ(b.sheets.at(0).cells.at({1, 3}).value, ascii);
    EXPECT_EQ(b.sheets.at(0).cells.at({2, 3}).value, chinese);
    EXPECT_EQ(b.sheets.at(1).cells.at({1, 3}).value, "after the long ones");
}

TEST_F(XlsReadBack, RepeatedTextIsStoredOnceInTheSharedStringTable) {
    MsgRows book;
    for (int i = 0; i < 200; ++i)
        book.Add(i % 3 ? LogDirection::Received : LogDirection::Sent,
                    "2024-05-06T12:00:00." + std::to_string(100 + i), "心跳信息", kDevice,
                    "<Notify><SN>" + std::to_string(i) + "</SN></Notify>", "same head");
    const Book b = ReadBack(Save(book), "full");
    ASSERT_TRUE(b.ok) << b.output;
    int ids = 0, heads = 0;
    for (const auto& s : b.sst) {
        ids += s == kDevice;
        heads += s == "same head";
    }
    EXPECT_EQ(ids, 1);
    EXPECT_EQ(heads, 1);
    // 10 headers (5 distinct), 200 times, 1 type, 1 id, 200 bodies, 1 head.
    EXPECT_EQ(b.sst.size(), 5u + 200 + 1 + 1 + 200 + 1);
    EXPECT_EQ(b.sheets[0].cells.at({5, 2}).value, kDevice);
}

TEST_F(XlsReadBack, HundredThousandMessagesReadBackComplete) {
    MsgRows book;
    std::string body(420, 'x');
    uLong crc[2] = {0, 0};
    auto addCrc = [&](int sheet, const std::vector<std::string>& cells) {
        std::string row;
        for (std::size_t i = 0; i < cells.size(); ++i)
            row += (i ? "\x1f" : "") + cells[i];
        row += "\x1e";
        crc[sheet] = crc32(crc[sheet], reinterpret_cast<const Bytef*>(row.data()),
                           static_cast<uInt>(row.size()));
    };
    for (int s = 0; s < 2; ++s)
        addCrc(s, {"时间", "类型", "设备ID", "信息体", "信息头"});
    for (int i = 0; i < 100000; ++i) {
        const LogDirection d = i % 2 ? LogDirection::Sent : LogDirection::Received;
        char t[32];
        std::snprintf(t, sizeof t, "2024-05-06T12:%02d:%02d.%03d", i / 60000 % 60, i / 1000 % 60,
                      i % 1000);
        const std::string b = "<Notify><SN>" + std::to_string(i) + "</SN>" + body + "</Notify>";
        const std::string h = "MESSAGE sip:x SIP/2.0\r\nCSeq: " + std::to_string(i) + "\r\n";
        book.Add(d, t, "心跳信息", kDevice, b, h);
        addCrc(d == LogDirection::Received ? 0 : 1, {t, "心跳信息", kDevice, b, h});
    }
    const Book b = ReadBack(Save(book), "digest");
    ASSERT_TRUE(b.ok) << b.output;
    EXPECT_EQ(b.oleStreams, "Workbook");
    ASSERT_EQ(b.sheets.size(), 3u);
    EXPECT_EQ(b.sheets[0].nrows, 50001);
    EXPECT_EQ(b.sheets[1].nrows, 50001);
    EXPECT_EQ(b.sheets[0].crc, crc[0]);
    EXPECT_EQ(b.sheets[1].crc, crc[1]);
}

TEST_F(XlsReadBack, FullSheetGoesOnInAnAddedSheet) {
    MsgRows book;
    const int n = 65535 + 10; // rows 1..65535 fill "Recv Msg"
    for (int i = 0; i < n; ++i)
        book.Add(LogDirection::Received, "t" + std::to_string(i), "类型", kDevice,
                 "b" + std::to_string(i), "h");
    const Book b = ReadBack(Save(book), "full");
    ASSERT_TRUE(b.ok) << b.output;
    ASSERT_EQ(b.sheets.size(), 4u);
    EXPECT_EQ(b.sheets[0].nrows, 65536);
    EXPECT_EQ(b.sheets[0].cells.at({65535, 3}).value, "b65534");
    EXPECT_EQ(b.sheets[3].name, "Recv Msg 2");
    EXPECT_EQ(b.sheets[3].nrows, 11);
    EXPECT_EQ(b.sheets[3].cells.at({0, 3}).value, "信息体");
    EXPECT_EQ(b.sheets[3].cells.at({1, 3}).value, "b65535");
    EXPECT_EQ(b.sheets[3].cells.at({10, 3}).value, "b65544");
    EXPECT_EQ(b.sheets[3].widths.at(3), 12000);
}

namespace {

// Cells as LibreOffice reads them: sheet name -> (row, col) -> text.
std::map<std::string, std::map<std::pair<int, int>, std::string>>
ReadWithLibreOffice(const std::filesystem::path& xls, std::string& output) {
    std::map<std::string, std::map<std::pair<int, int>, std::string>> sheets;
    const std::string cmd = "/usr/bin/python3 " + std::string(TARVEX_SOURCE_DIR) +
                            "/tests/export/xls/read_lo.py '" + xls.string() + "' '" +
                            (xls.parent_path() / "lo").string() + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return sheets;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        output.append(buf, n);
    if (::pclose(p) != 0) return {};
    auto unhex = [](const std::string& h) {
        std::string out;
        for (std::size_t i = 0; i + 1 < h.size(); i += 2)
            out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
        return out;
    };
    std::istringstream in(output);
    std::string key, sheet, value;
    while (in >> key) {
        if (key == "sheet") {
            in >> sheet;
            sheets[unhex(sheet)];
        } else if (key == "cell") {
            int r, c;
            in >> sheet >> r >> c >> value;
            sheets[unhex(sheet)][{r, c}] = unhex(value);
        }
    }
    return sheets;
}

std::string WithoutCR(std::string s) {
    std::erase(s, '\r');
    return s;
}

} // namespace

// LibreOffice is the other program the file must open in; its text export turns CR LF into
// LF, so texts are compared without CR.
TEST_F(XlsLibreOffice, OpensTheWorkbookWithEveryCellInPlace) {
    if (std::system("command -v soffice >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "LibreOffice (libreoffice-calc-nogui) is not installed";
    std::string longBody = "<Response>";
    while (longBody.size() < 20 * 1024)
        longBody += "<Item><Name>通道</Name></Item>";
    longBody += "</Response>";
    const std::vector<Msg> msgs = {
        {LogDirection::Sent, "2024-05-06T12:34:56.001", "注册信息", kDevice, "No Body!\n",
         "SIP/2.0 200 OK\r\n\r\n\n"},
        {LogDirection::Received, "2024-05-06T12:34:56.789", "目录查询", kDevice, GbkCatalog(),
         "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n\r\n\n"},
        {LogDirection::Received, "2024-05-06T12:34:57.000", "目录信息", kDevice, longBody, "h"},
    };
    std::string output;
    const auto sheets = ReadWithLibreOffice(Save(MsgRows(msgs)), output);
    ASSERT_EQ(sheets.size(), 3u) << output;
    ASSERT_TRUE(sheets.count("Recv Msg") && sheets.count("Send Msg") && sheets.count("Sheet3"))
        << output;
    EXPECT_TRUE(sheets.at("Sheet3").empty());
    for (const char* name : {"Recv Msg", "Send Msg"})
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(sheets.at(name).at({0, c}), kHeaders[c]);
    int recv = 1, send = 1;
    for (Msg m : msgs) {
        if (m.body == GbkCatalog())
            m.body = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>"
                     "Catalog</CmdType>\r\n<Name>前门摄像机</Name>\r\n</Response>\r\n";
        const auto& cells = sheets.at(m.dir == LogDirection::Received ? "Recv Msg" : "Send Msg");
        const int row = m.dir == LogDirection::Received ? recv++ : send++;
        const std::string want[5] = {m.time, m.type, m.id, m.body, m.head};
        for (int c = 0; c < 5; ++c) {
            auto it = cells.find({row, c});
            ASSERT_NE(it, cells.end()) << "row " << row << " column " << c;
            EXPECT_EQ(WithoutCR(it->second), WithoutCR(want[c])) << "row " << row << " col " << c;
        }
    }
    EXPECT_EQ(sheets.at("Recv Msg").size(), 5u * 3);
    EXPECT_EQ(sheets.at("Send Msg").size(), 5u * 2);
}

// Texts whose characters all fit in 8 bits are stored compressed (one byte a character),
// whatever their source encoding; the rest as UTF-16. Both read back as the same text.
TEST_F(XlsReadBack, TextsThatFitEightBitsAreStoredCompressed) {
    struct Case {
        std::string body;   // as logged
        std::string shown;  // as read back, UTF-8
        uint8_t flags;      // of its shared string
    };
    const Case cases[] = {
        {"<Notify><CmdType>Keepalive</CmdType></Notify>", "<Notify><CmdType>Keepalive</CmdType></Notify>", 0},
        {"Caf\xC3\xA9 \xC3\xBC\xC3\x9F", "Café üß", 0}, // UTF-8 Latin-1 letters
        {"<?xml version=\"1.0\" encoding=\"GB2312\"?><a>\xC4\xE3</a>",
         "<?xml version=\"1.0\" encoding=\"GB2312\"?><a>你</a>", 1},
        {"\xE2\x82\xAC 5", "€ 5", 1}, // U+20AC is beyond 8 bits
    };
    MsgRows rows;
    for (const Case& c : cases)
        rows.Add(LogDirection::Received, "t", "Keepalive", kDevice, c.body, "h");
    const auto path = Save(rows);
    const Book b = ReadBack(path, "full");
    ASSERT_TRUE(b.ok) << b.output;
    const std::string bytes = ReadFile(path.string());
    xlscheck::Workbook parsed;
    ASSERT_EQ(xlscheck::Check({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, parsed), "");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].shown);
        EXPECT_EQ(b.sheets.at(0).cells.at({int(i) + 1, 3}).value, cases[i].shown);
        const std::u16string want = TextCodec::Utf8ToUtf16(cases[i].shown);
        const auto it = std::find(parsed.sst.begin(), parsed.sst.end(), want);
        ASSERT_NE(it, parsed.sst.end());
        EXPECT_EQ(parsed.sstFlags[it - parsed.sst.begin()], cases[i].flags);
    }
    // Headers are Chinese (UTF-16); ASCII type text, time and identifier are compressed.
    for (const std::u16string s : {u"Keepalive", u"t", u"34010000002000000001"})
        EXPECT_EQ(parsed.sstFlags[std::find(parsed.sst.begin(), parsed.sst.end(), s) - parsed.sst.begin()], 0);
    EXPECT_EQ(parsed.sstFlags[0], 1);
}

// A cell holds at most 32,767 characters; longer texts are cut there, never inside a
// UTF-16 surrogate pair.
TEST_F(XlsReadBack, LongTextsAreCutAtTheCellLimit) {
    std::string smiles = std::string(32766, 'a');
    for (int i = 0; i < 10; ++i)
        smiles += "\xF0\x9F\x98\x80"; // U+1F600: a surrogate pair would straddle the cut
    std::string chinese;
    for (int i = 0; i < 40000; ++i)
        chinese += "目";
    MsgRows rows;
    rows.Add(LogDirection::Received, std::string(40000, 't'), "x", kDevice, std::string(40000, 'b'), smiles);
    rows.Add(LogDirection::Received, "t", "x", kDevice, chinese, "h");
    const Book b = ReadBack(Save(rows), "full");
    ASSERT_TRUE(b.ok) << b.output;
    const auto& cells = b.sheets.at(0).cells;
    EXPECT_EQ(cells.at({1, 0}).value, std::string(32767, 't'));
    EXPECT_EQ(cells.at({1, 3}).value, std::string(32767, 'b'));
    EXPECT_EQ(cells.at({1, 4}).value, std::string(32766, 'a'));
    EXPECT_EQ(TextCodec::Utf8ToUtf16(cells.at({2, 3}).value), std::u16string(32767, u'目'));
}

// With small sheets (a limit the program never sets) both directions overflow: the added
// sheets follow "Sheet3" by number, received before sent.
TEST_F(XlsReadBack, BothDirectionsGoOnInAddedSheetsInOrder) {
    MsgRows rows;
    for (int i = 0; i < 7; ++i)
        rows.Add(LogDirection::Received, "r" + std::to_string(i), "x", kDevice, "body", "h");
    for (int i = 0; i < 4; ++i)
        rows.Add(LogDirection::Sent, "s" + std::to_string(i), "x", kDevice, "body", "h");
    SaveOptions options;
    options.dir = tmp.Path();
    options.limits.rowsPerSheet = 3;
    const SaveResult r = SaveMessageLogWith(rows, options);
    const Book b = ReadBack(r.written, "full");
    ASSERT_TRUE(b.ok) << b.output;
    const std::vector<std::pair<std::string, std::vector<std::string>>> want = {
        {"Recv Msg", {"r0", "r1", "r2"}}, {"Send Msg", {"s0", "s1", "s2"}}, {"Sheet3", {}},
        {"Recv Msg 2", {"r3", "r4", "r5"}}, {"Send Msg 2", {"s3"}}, {"Recv Msg 3", {"r6"}}};
    ASSERT_EQ(b.sheets.size(), want.size());
    for (std::size_t s = 0; s < want.size(); ++s) {
        SCOPED_TRACE(want[s].first);
        EXPECT_EQ(b.sheets[s].name, want[s].first);
        EXPECT_EQ(b.sheets[s].nrows, want[s].second.empty() && s == 2 ? 0 : int(want[s].second.size()) + 1);
        for (std::size_t k = 0; k < want[s].second.size(); ++k)
            EXPECT_EQ(b.sheets[s].cells.at({int(k) + 1, 0}).value, want[s].second[k]);
        if (s != 2) {
            EXPECT_EQ(b.sheets[s].cells.at({0, 3}).value, "信息体");
        }
    }
}
