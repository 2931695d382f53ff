// Saving at exit: replacing the previous file, the fallback name when MsgXml.xls is locked
// or cannot be made, and the decoding of UTF-16 cells.
#include "XlsReadBack.h"
#include "export/xls/MessageLogWorkbook.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

using namespace tarvex::xls;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<fs::path> Listing(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

MessageLogWorkbook& OneRow(MessageLogWorkbook& b, const std::string& body) {
    b.AddRow(LogDirection::Received, "2024-05-06T12:34:56.789", "心跳信息", "34010000002000000001",
             body, "MESSAGE sip:x SIP/2.0\r\n\n");
    return b;
}

} // namespace

TEST(XlsSave, ReplacesThePreviousRunsFile) {
    const fs::path dir = xlstest::TempDir("replace");
    std::ofstream(dir / "MsgXml.xls") << std::string(100000, 'z');
    MessageLogWorkbook book;
    OneRow(book, "second run");
    EXPECT_EQ(book.SaveAtExit(dir), dir / "MsgXml.xls");
    const auto b = xlstest::ReadBack(dir / "MsgXml.xls", "full");
    ASSERT_TRUE(b.ok) << b.output;
    EXPECT_EQ(b.sheets.at(0).cells.at({1, 3}).value, "second run");
    EXPECT_EQ(Listing(dir), std::vector<fs::path>{"MsgXml.xls"});
}

TEST(XlsSave, LockedFileIsLeftAloneAndTheLogGoesToATimestampedName) {
    const fs::path dir = xlstest::TempDir("locked");
    const std::string previous = "held open by a spreadsheet program";
    std::ofstream(dir / "MsgXml.xls") << previous;
    // Another program's lock on the file (an open-file lock on a descriptor of our own).
    const int fd = ::open((dir / "MsgXml.xls").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lk), 0);

    MessageLogWorkbook book;
    OneRow(book, "kept anyway");
    testing::internal::CaptureStderr();
    const fs::path saved = book.SaveAtExit(dir);
    const std::string err = testing::internal::GetCapturedStderr();
    ::close(fd);

    EXPECT_EQ(ReadAll(dir / "MsgXml.xls"), previous);
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.parent_path(), dir);
    EXPECT_TRUE(
        std::regex_match(saved.filename().string(), std::regex(R"(MsgXml-\d{8}-\d{6}\.xls)")))
        << saved;
    EXPECT_NE(err.find(saved.string()), std::string::npos) << err;
    EXPECT_NE(err.find("MsgXml.xls"), std::string::npos) << err;
    const auto b = xlstest::ReadBack(saved, "full");
    ASSERT_TRUE(b.ok) << b.output;
    EXPECT_EQ(b.sheets.at(0).cells.at({1, 3}).value, "kept anyway");

    // A second save in the same second does not overwrite the first fallback file.
    const int fd2 = ::open((dir / "MsgXml.xls").c_str(), O_RDWR);
    ASSERT_EQ(::fcntl(fd2, F_OFD_SETLK, &lk), 0);
    MessageLogWorkbook other;
    OneRow(other, "another");
    testing::internal::CaptureStderr();
    const fs::path saved2 = other.SaveAtExit(dir);
    testing::internal::GetCapturedStderr();
    ::close(fd2);
    EXPECT_FALSE(saved2.empty());
    EXPECT_NE(saved2, saved);
    EXPECT_EQ(xlstest::ReadBack(saved, "full").sheets.at(0).cells.at({1, 3}).value, "kept anyway");
}

TEST(XlsSave, LibreOfficeLockFileCountsAsLocked) {
    const fs::path dir = xlstest::TempDir("lofile");
    std::ofstream(dir / "MsgXml.xls") << "open in LibreOffice";
    std::ofstream(dir / ".~lock.MsgXml.xls#") << "user,host,...";
    MessageLogWorkbook book;
    OneRow(book, "x");
    testing::internal::CaptureStderr();
    const fs::path saved = book.SaveAtExit(dir);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadAll(dir / "MsgXml.xls"), "open in LibreOffice");
    ASSERT_FALSE(saved.empty());
    EXPECT_NE(saved.filename(), "MsgXml.xls");
    fs::remove(dir / ".~lock.MsgXml.xls#");
    EXPECT_EQ(book.SaveAtExit(dir), dir / "MsgXml.xls");
}

TEST(XlsSave, UncreatableFileFallsBackAndANowhereDirectoryIsReported) {
    const fs::path dir = xlstest::TempDir("blocked");
    fs::create_directory(dir / "MsgXml.xls"); // a directory in the way
    MessageLogWorkbook book;
    OneRow(book, "x");
    testing::internal::CaptureStderr();
    const fs::path saved = book.SaveAtExit(dir);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(saved.empty());
    EXPECT_NE(saved.filename(), "MsgXml.xls");
    EXPECT_TRUE(fs::is_regular_file(saved));
    EXPECT_NE(err.find(saved.string()), std::string::npos) << err;

    testing::internal::CaptureStderr();
    const fs::path none = book.SaveAtExit(dir / "missing" / "dir");
    const std::string err2 = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(none.empty());
    EXPECT_NE(err2.find("could not be saved"), std::string::npos) << err2;
}

TEST(XlsSave, DefaultDirectoryIsTheWorkingDirectory) {
    const fs::path dir = xlstest::TempDir("cwd");
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    MessageLogWorkbook book;
    const fs::path saved = book.SaveAtExit();
    fs::current_path(old);
    EXPECT_EQ(saved, "MsgXml.xls");
    EXPECT_TRUE(fs::is_regular_file(dir / "MsgXml.xls"));
}

TEST(TextDecode, DeclarationThenUtf8ThenGb18030) {
    // Declared GB2312 / GBK: decoded as GB18030 even when the bytes happen to be UTF-8-valid.
    EXPECT_EQ(DecodeToUtf16("<?xml version=\"1.0\" encoding=\"GB2312\"?><a>\xC4\xE3</a>"),
              u"<?xml version=\"1.0\" encoding=\"GB2312\"?><a>你</a>");
    EXPECT_EQ(DecodeToUtf16("<?xml version='1.0' encoding='gbk'?><a>\xC4\xE3</a>"),
              u"<?xml version='1.0' encoding='gbk'?><a>你</a>");
    // No declaration: valid UTF-8 is UTF-8.
    EXPECT_EQ(DecodeToUtf16("注册信息"), u"注册信息");
    // Declared UTF-8 but holding GBK bytes: not valid UTF-8, so GB18030.
    EXPECT_EQ(DecodeToUtf16("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\xC4\xE3"),
              u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>你");
    // Characters outside the BMP come through as surrogate pairs.
    EXPECT_EQ(DecodeToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    // Bytes that are nothing in GB18030 become U+FFFD, the rest is kept.
    EXPECT_EQ(DecodeToUtf16("a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf16ToUtf8(u"设备\U0001F600"), "设备\xF0\x9F\x98\x80");
}

TEST(XlsModel, CellsSheetsAndFormats) {
    BasicExcel xls;
    xls.New(3);
    EXPECT_EQ(xls.GetWorksheet(2)->GetAnsiSheetName(), "Sheet3");
    EXPECT_TRUE(xls.RenameWorksheet(0, "Recv Msg"));
    EXPECT_FALSE(xls.RenameWorksheet(1, "Recv Msg")) << "names are unique";
    EXPECT_EQ(xls.AddWorksheet()->GetAnsiSheetName(), "Sheet1");
    EXPECT_EQ(xls.GetWorksheet("Recv Msg"), xls.GetWorksheet(0));

    BasicExcelWorksheet* s = xls.GetWorksheet(0);
    EXPECT_EQ(s->Cell(65536, 0), nullptr);
    EXPECT_EQ(s->Cell(0, 256), nullptr);
    s->Cell(3, 4)->SetString("abc");
    s->Cell(1, 1)->SetWString(u"中文");
    EXPECT_EQ(s->GetTotalRows(), 4);
    EXPECT_EQ(s->GetTotalCols(), 5);
    EXPECT_EQ(s->FindCell(0, 0), nullptr);
    EXPECT_EQ(s->FindCell(3, 4)->GetString(), "abc");
    EXPECT_EQ(s->FindCell(1, 1)->GetWString(), u"中文");
    EXPECT_EQ(s->FindCell(1, 1)->Type(), BasicExcelCell::WSTRING);

    // One XF per distinct format, one FONT per distinct font.
    XLSFormatManager fm(xls);
    CellFormat a = MessageLogWorkbook::HeaderFormat();
    CellFormat b = a;
    b.alignment = 0x21; // same font, other alignment
    EXPECT_EQ(fm.GetFormatIdx(a), 16);
    EXPECT_EQ(fm.GetFormatIdx(b), 17);
    EXPECT_EQ(fm.GetFormatIdx(a), 16);
    EXPECT_EQ(xls.Fonts().size(), 1u);
    EXPECT_EQ(xls.XFs().size(), 2u);
    EXPECT_EQ(xls.XFs()[0].fontIndex, 5);

    // A text longer than a cell holds is cut at a character boundary.
    std::u16string longText(40000, u'x');
    longText[kMaxCellChars - 1] = 0xD83D; // high surrogate at the cut
    longText[kMaxCellChars] = 0xDE00;
    s->Cell(5, 0)->SetWString(longText);
    EXPECT_EQ(s->FindCell(5, 0)->GetWString().size(), kMaxCellChars - 1);
}
