// Recording search: text to seconds, Search.ini across runs, the 24-hour
// default, the RecordInfo query after OK and after Cancel, and the dialog
// offscreen.

#include "support/common/Files.h"
#include "manscdp/control/BodyHarness.h"
#include "manscdp/search/CDlgSearch.h"
#include "app/shell/CDlgSearchDialog.h"
#include "manscdp/search/SearchKeys.h"
#include "support/common/LocalTime.h"
#include "support/common/WhenModal.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// China Standard Time, no daylight saving, without needing tzdata.
struct ChinaTime {
    ChinaTime() {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? tz : "";
        had_ = tz != nullptr;
        setenv("TZ", "CST-8", 1);
        tzset();
    }
    ~ChinaTime() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved_;
    bool had_ = false;
};

using testsupport::Local;

WallClock At(int y, int mo, int d, int h, int mi, int s) {
    return [=] { return Local(y, mo, d, h, mi, s); };
}

const char* kTail[] = {" <FilePath>64010000002100000001</FilePath>", " <Address>Address1</Address>",
                       " <Secrecy>0</Secrecy>", " <RecorderID>64010000003000000001</RecorderID>"};

std::string RecordQuery(int sn, const char* start, const char* end, const char* type) {
    const std::string s = std::string(" <StartTime>") + start + "</StartTime>";
    const std::string e = std::string(" <EndTime>") + end + "</EndTime>";
    const std::string t = std::string(" <Type>") + type + "</Type>";
    return Expected("Query", "RecordInfo", sn,
                    {s.c_str(), e.c_str(), t.c_str(), kTail[0], kTail[1], kTail[2], kTail[3]});
}

using testsupport::WhenModal;

} // namespace

TEST(SearchTimes, TextToSecondsAsLocalTime) {
    ChinaTime tz;
    EXPECT_EQ(CDlgSearch::TextToSeconds("2026-03-03T09:05:07"), 1772499907);
    EXPECT_EQ(CDlgSearch::TextToSeconds("2026-02-28T00:00:00"), 1772208000);
    EXPECT_EQ(CDlgSearch::TextToSeconds("2026-03-03 09:05:07"), 0); // no T
    EXPECT_EQ(CDlgSearch::TextToSeconds("2026-03-03T09:05"), 0);    // five numbers
    EXPECT_EQ(CDlgSearch::TextToSeconds(""), 0);
    EXPECT_EQ(CDlgSearch::TextToSeconds("garbage"), 0);
    // The years a nanosecond clock holds with room to spare; beyond them the text fails.
    EXPECT_EQ(CDlgSearch::TextToSeconds("1900-01-01T00:00:00"), -2209017600);
    EXPECT_EQ(CDlgSearch::TextToSeconds("2200-12-31T23:59:59"), 7289625599);
    EXPECT_EQ(CDlgSearch::TextToSeconds("1899-12-31T23:59:59"), 0);
    EXPECT_EQ(CDlgSearch::TextToSeconds("2201-01-01T00:00:00"), 0);
    EXPECT_EQ(CDlgSearch::TextToSeconds("9999-12-31T23:59:59"), 0);
    EXPECT_EQ(CDlgSearch::TextToSeconds("99999-01-01T00:00:00"), 0);
    EXPECT_EQ(CDlgSearch::TextToSeconds("-999-01-01T00:00:00"), 0);
    // The second before 1970 in UTC is a time like any other, not mktime's failure.
    EXPECT_EQ(CDlgSearch::TextToSeconds("1970-01-01T07:59:59"), -1);
}

TEST(SearchIni, FirstRunDefaultsThenKeepsTheConditionsAcrossRuns) {
    TempDir dir;
    const std::string ini = dir.File("Search.ini");
    {
        CDlgSearch s(ini, At(2026, 3, 3, 9, 5, 7));
        EXPECT_EQ(s.startText, "");
        EXPECT_EQ(s.endText, "");
        EXPECT_EQ(s.typeIndex, -1);
        s.PrepareOpen();
        EXPECT_EQ(s.startText, "2026-03-02T09:05:07"); // 24 hours before now
        EXPECT_EQ(s.endText, "2026-03-03T09:05:07");
        s.Accept(s.startText, s.endText, 1);
        EXPECT_EQ(s.typeText, "manual");
        EXPECT_EQ(s.endTime - s.startTime, 86400);
    }
    // The file holds the GBK section and keys of the Windows version.
    const std::string bytes = ReadFile(ini);
    EXPECT_NE(bytes.find(std::string("[") + SearchKeys::kSection + "]"), std::string::npos);
    EXPECT_NE(bytes.find(std::string(SearchKeys::kStart) + "=2026-03-02T09:05:07"),
              std::string::npos);
    EXPECT_NE(bytes.find(std::string(SearchKeys::kEnd) + "=2026-03-03T09:05:07"),
              std::string::npos);
    EXPECT_NE(bytes.find(std::string(SearchKeys::kType) + "=1"), std::string::npos);
    EXPECT_NE(bytes.find("\xB2\xE9\xD1\xAF\xCC\xF5\xBC\xFE"), std::string::npos); // 查询条件

    // The next run reads them back; old texts are shown as they are.
    CDlgSearch again(ini, At(2027, 1, 1, 0, 0, 0));
    EXPECT_EQ(again.startText, "2026-03-02T09:05:07");
    EXPECT_EQ(again.endText, "2026-03-03T09:05:07");
    EXPECT_EQ(again.typeIndex, 1);
    EXPECT_EQ(again.endTime - again.startTime, 86400);
    again.PrepareOpen();
    EXPECT_EQ(again.startText, "2026-03-02T09:05:07");
}

TEST(SearchIni, ShortStartTextIsReplacedAndBadTextsAreKept) {
    TempDir dir;
    const std::string ini = dir.File("Search.ini");
    WriteFile(ini, std::string("[") + SearchKeys::kSection + "]\r\n" + SearchKeys::kStart +
                        "=2026\r\n" + SearchKeys::kEnd + "=x\r\n" + SearchKeys::kType + "=2\r\n");
    CDlgSearch s(ini, At(2026, 3, 3, 9, 5, 7));
    EXPECT_EQ(s.typeIndex, 2);
    s.PrepareOpen();
    EXPECT_EQ(s.startText, "2026-03-02T09:05:07");
    // A text without the six numbers is stored and sent unchanged, as 0 seconds.
    s.Accept("yesterday", "2026-03-03T09:05:07", 2);
    EXPECT_EQ(s.startTime, 0);
    EXPECT_EQ(s.typeText, "time");
    CDlgSearch again(ini);
    EXPECT_EQ(again.startText, "yesterday");
    EXPECT_EQ(again.startTime, 0);
}

TEST(RecordInfoQuery, AfterOkCarriesTheConditions) {
    TempDir dir;
    CDlgSearch s(dir.File("Search.ini"), At(2026, 3, 3, 9, 5, 7));
    BodyHarness h(&s);
    s.Accept("2026-03-01T08:00:00", "2026-03-01T20:00:00", 0);
    EXPECT_EQ(h.Media(0, 3), RecordQuery(10, "2026-03-01T08:00:00", "2026-03-01T20:00:00", "all"));
    EXPECT_EQ(h.sent.back().first, kKindQuery);
    s.Accept("2026-03-01T08:00:00", "2026-03-01T20:00:00", 2);
    EXPECT_EQ(h.Media(0, 3), RecordQuery(11, "2026-03-01T08:00:00", "2026-03-01T20:00:00", "time"));
}

TEST(RecordInfoQuery, AfterCancelTheWholeCurrentMonth) {
    TempDir dir;
    struct Case {
        WallClock clock;
        const char* start;
        const char* end;
    } cases[] = {
        {At(2026, 2, 14, 12, 0, 0), "2026-02-01T00:00:01", "2026-02-28T00:00:01"},
        {At(2028, 2, 29, 23, 59, 59), "2028-02-01T00:00:01", "2028-02-29T00:00:01"},
        {At(2026, 4, 30, 1, 0, 0), "2026-04-01T00:00:01", "2026-04-30T00:00:01"},
        {At(2026, 12, 1, 0, 0, 0), "2026-12-01T00:00:01", "2026-12-31T00:00:01"},
        {At(2100, 2, 3, 0, 0, 0), "2100-02-01T00:00:01", "2100-02-28T00:00:01"},
    };
    for (const auto& c : cases) {
        CDlgSearch s(dir.File("Search.ini"), c.clock);
        s.Accept("2026-03-01T08:00:00", "2026-03-01T20:00:00", 2);
        s.Cancel(); // the conditions of the OK before are not used
        BodyHarness h(&s);
        EXPECT_EQ(h.Media(0, 3), RecordQuery(10, c.start, c.end, "manual")) << c.start;
    }
}

TEST(SearchDialog, FirstOpeningShowsTheLastDayAndOkStores) {
    TempDir dir;
    const std::string ini = dir.File("Search.ini");
    CDlgSearch s(ini, At(2026, 3, 3, 9, 5, 7));
    bool checked = false;
    WhenModal([&](QDialog* d) {
        EXPECT_EQ(d->objectName(), "CDlgSearch");
        EXPECT_EQ(d->windowTitle(), QString::fromUtf8("历史文件查询条件"));
        QStringList labels;
        for (auto* l : d->findChildren<QLabel*>())
            labels << l->text();
        EXPECT_TRUE(labels.contains(QString::fromUtf8("起始时间:")))
            << labels.join("|").toStdString();
        EXPECT_TRUE(labels.contains(QString::fromUtf8("终止时间:")));
        EXPECT_TRUE(labels.contains(QString::fromUtf8("录像类型:")));
        auto* start = d->findChild<QLineEdit*>("start");
        auto* end = d->findChild<QLineEdit*>("end");
        auto* type = d->findChild<QComboBox*>("type");
        ASSERT_TRUE(start && end && type);
        EXPECT_EQ(start->text(), "2026-03-02T09:05:07");
        EXPECT_EQ(end->text(), "2026-03-03T09:05:07");
        ASSERT_EQ(type->count(), 3);
        EXPECT_EQ(type->itemText(0), QString::fromUtf8("全部录像"));
        EXPECT_EQ(type->itemText(1), QString::fromUtf8("手动录像"));
        EXPECT_EQ(type->itemText(2), QString::fromUtf8("计划录像"));
        EXPECT_EQ(type->currentIndex(), -1); // nothing stored yet
        type->setCurrentIndex(1);
        end->clear();
        QTest::keyClicks(end, "2026-03-03T10:00:00");
        auto* box = d->findChild<QDialogButtonBox*>();
        ASSERT_TRUE(box);
        QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
        checked = true;
    });
    EXPECT_TRUE(RunSearchDialog(s, nullptr));
    EXPECT_TRUE(checked);
    EXPECT_TRUE(s.LastAccepted());
    EXPECT_EQ(s.typeText, "manual");
    CDlgSearch again(ini);
    EXPECT_EQ(again.startText, "2026-03-02T09:05:07");
    EXPECT_EQ(again.endText, "2026-03-03T10:00:00");
    EXPECT_EQ(again.typeIndex, 1);
}

TEST(SearchDialog, CancelStoresNothing) {
    TempDir dir;
    const std::string ini = dir.File("Search.ini");
    {
        CDlgSearch first(ini);
        first.Accept("2026-01-05T00:00:00", "2026-01-06T00:00:00", 2);
    }
    const std::string before = ReadFile(ini);
    CDlgSearch s(ini, At(2026, 3, 3, 9, 5, 7));
    WhenModal([&](QDialog* d) {
        auto* start = d->findChild<QLineEdit*>("start");
        auto* type = d->findChild<QComboBox*>("type");
        ASSERT_TRUE(start && type);
        EXPECT_EQ(start->text(), "2026-01-05T00:00:00"); // stored, not replaced
        EXPECT_EQ(type->currentIndex(), 2);
        start->setText("2020-01-01T00:00:00");
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_FALSE(RunSearchDialog(s, nullptr));
    EXPECT_FALSE(s.LastAccepted());
    EXPECT_EQ(s.startText, "2026-01-05T00:00:00");
    EXPECT_EQ(ReadFile(ini), before);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
