// The menu entry 设备检查 of the window, offscreen, against the real
// tarvex-camera: refused without a device; with one it shows its progress
// step by step, names the report at the end and leaves the window responsive.
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "app/settings/CfgIniStore.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "system/program/Harness.h"

#include <QAction>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QProgressDialog>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

// Takes the URLs QDesktopServices would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls << url; }
};

// The failed rows of a report.json, id and reason, for a failure's message.
std::string FailedChecks(const std::filesystem::path& json) {
    const std::string text = ReadFile(json.string());
    std::string out;
    for (std::size_t at = text.find("\"verdict\": \"fail\""); at != std::string::npos;
         at = text.find("\"verdict\": \"fail\"", at + 1)) {
        const std::size_t from = text.rfind("{\"id\"", at);
        const std::size_t to = text.find("\"measurements\"", at);
        if (from != std::string::npos) out += text.substr(from, to - from) + "\n";
    }
    return out;
}

const std::string kCamera = TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera";

TEST(CheckWindow, MenuEntryChecksTheCurrentDeviceWithProgress) {
    TempDir dir;
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.Path())));
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"),
              systest::MediaConfig(port, 0, FreeMediaPorts(), "\r\n[互联系统]\r\n心跳周期=1\r\n"));
    QStringList messages;
    // The check's download is saved and says where; every other message counts.
    SetShellMessageHook([&](QWidget*, const QString& text) {
        if (!text.startsWith(QStringLiteral("download saved: "))) messages << text;
    });
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(dir.File("config.ini"));
    parts.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    dlg.SetCheckWindow(std::chrono::milliseconds(1000));
    dlg.show();

    dlg.CheckAction()->trigger();
    EXPECT_FALSE(dlg.CheckRunning());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("设备未注册到服务器")))
        << messages[0].toStdString();

    systest::Program camera(dir.Path(),
                            {"--server", "127.0.0.1:" + std::to_string(port), "--keepalive", "1",
                             "--channels", "1", "--clip", "8"},
                            kCamera, {}, dir.File("camera.out"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Core().CurrentDeviceId().has_value(); }, 30000));
    dlg.CheckAction()->trigger();
    ASSERT_TRUE(dlg.CheckRunning());
    auto* progress = dlg.findChild<QProgressDialog*>("checkProgress");
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(progress->isVisible());
    EXPECT_FALSE(progress->isModal());
    // Every step's label shows while the GUI thread keeps running its loop.
    QStringList labels;
    const bool ended = QTest::qWaitFor(
        [&] {
            if (progress && !labels.contains(progress->labelText()))
                labels << progress->labelText();
            return !dlg.CheckRunning();
        },
        240000);
    ASSERT_TRUE(ended) << labels.join("\n").toStdString();
    // Step 2 shows its first line only for a moment: the 2022 exchange follows at once.
    for (const char* step : {"2/8 the 2022 queries, snapshot and upgrade",
                             "4/8 live view over UDP", "6/8 live view over TCP active",
                             "7/8 playback with PAUSE and PLAY Scale"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(step))) << step << "\n"
                                                              << labels.join("\n").toStdString();
    EXPECT_EQ(dlg.findChild<QProgressDialog*>("checkProgress"), nullptr);
    QTest::qWait(50); // the deleted progress window goes
    // The end: a box with the counts, the report's path and 打开报告, which
    // opens report.html (caught here by the URL handler instead of a browser).
    auto endBox = [&]() -> QMessageBox* {
        QMessageBox* box = nullptr;
        (void)QTest::qWaitFor(
            [&] { return (box = dlg.findChild<QMessageBox*>("checkDone")) != nullptr; }, 5000);
        return box;
    };
    QMessageBox* box = endBox();
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(messages.size(), 1);
    const std::string end = box->text().toStdString();
    const std::string html = end.substr(end.rfind('\n') + 1);
    EXPECT_NE(end.find("34020000001320000001: 39 pass, 0 fail, 0 not supported, 4 not run"),
              std::string::npos)
        << end << "\n"
        << FailedChecks(std::filesystem::path(html).parent_path() / "report.json");
    EXPECT_EQ(html.rfind(dir.Path() + "/tarvex-check-", 0), 0u) << html;
    EXPECT_TRUE(std::filesystem::exists(html)) << html;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(html).parent_path() / "MsgXml.xls"));
    // The window's report is in Chinese.
    EXPECT_NE(ReadFile(html).find("<html lang=\"zh-CN\">"), std::string::npos);
    EXPECT_NE(ReadFile(html).find("设备检查："), std::string::npos);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "Open");
    auto* open = box->findChild<QPushButton*>("openReport");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), QString::fromUtf8("打开报告"));
    open->click();
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0].toLocalFile().toStdString(), html);
    box->close();
    QTest::qWait(50);

    // 停止 ends a second check early; its report is still written.
    dlg.CheckAction()->trigger();
    progress = dlg.findChild<QProgressDialog*>("checkProgress");
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return progress->labelText().startsWith(QStringLiteral("4/8")); }, 60000));
    progress->cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.CheckRunning(); }, 30000));
    box = endBox();
    ASSERT_NE(box, nullptr);
    const std::string end2 = box->text().toStdString();
    EXPECT_NE(end2.find("not run"), std::string::npos);
    const std::string html2 = end2.substr(end2.rfind('\n') + 1);
    EXPECT_TRUE(std::filesystem::exists(html2)) << html2;
    box->close();
    SetShellMessageHook({});
    QDir::setCurrent(QDir::tempPath());
}

// The first item of that kind in the tree, depth first; 0 when there is none.
int FirstItem(const TreeItem& t, int kind) {
    if (t.kind == kind) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = FirstItem(c, kind)) return i;
    return 0;
}

// A row of the log from the device whose head starts with start.
bool DeviceSent(const MessageLog& log, const std::string& start) {
    MessageLog::RowText r;
    for (std::size_t i = 0, n = log.Size(); i < n && log.Row(i, r); ++i)
        if (r.direction == 2 && r.head.rfind(start, 0) == 0) return true;
    return false;
}

// What an operator did before the check does not move its verdicts: a
// cancelled playback, a download the camera ended itself and a live view left
// open are ended first and not judged; the check ends every call it opened.
TEST(CheckWindow, EarlierCallsDoNotDisturbTheCheck) {
    TempDir dir;
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.Path())));
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"),
              systest::MediaConfig(port, 0, FreeMediaPorts(), "\r\n[互联系统]\r\n心跳周期=1\r\n"));
    QStringList messages;
    // The check's download is saved and says where; every other message counts.
    SetShellMessageHook([&](QWidget*, const QString& text) {
        if (!text.startsWith(QStringLiteral("download saved: "))) messages << text;
    });
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(dir.File("config.ini"));
    parts.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    dlg.SetCheckWindow(std::chrono::milliseconds(1000));
    dlg.show();
    // Two-second recordings: the download (at the configured speed 4) ends soon.
    systest::Program camera(dir.Path(),
                            {"--server", "127.0.0.1:" + std::to_string(port), "--keepalive", "1",
                             "--channels", "1", "--clip", "2"},
                            kCamera, {}, dir.File("camera.out"));
    CTarvexCore& core = dlg.Core();
    const CMediaSession& media = core.MediaSession();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return DeviceSent(core.Log(), "MESSAGE") &&
                   FirstItem(core.TreeSnapshot(), kNodeChannel);
        },
        30000));
    const int channel = FirstItem(core.TreeSnapshot(), kNodeChannel);
    core.TreeClicked(channel);
    const QDateTime now = QDateTime::currentDateTime();
    const QString f = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
    core.AcceptSearch(now.addDays(-1).toString(f).toStdString(), now.toString(f).toStdString(), 0);
    core.ClickCommand(kListMedia, 3, OperatorInputs{}); // 文件检索
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return FirstItem(core.TreeSnapshot(), kNodeRecording); }, 20000));
    const int recording = FirstItem(core.TreeSnapshot(), kNodeRecording);
    // A playback, cancelled.
    core.TreeClicked(recording);
    core.ClickCommand(kListMedia, 1, OperatorInputs{}); // 文件回放
    ASSERT_TRUE(QTest::qWaitFor([&] { return media.ControlDialog().did != 0; }, 20000));
    core.ClickCommand(kListMedia, 1, OperatorInputs{}); // 回放取消
    ASSERT_TRUE(QTest::qWaitFor([&] { return !media.PlaybackOpen(); }, 20000));
    // A download the camera ends itself (MediaStatus 121, then its BYE).
    core.TreeClicked(recording);
    core.ClickCommand(kListMedia, 0, OperatorInputs{}); // 文件下载
    ASSERT_TRUE(QTest::qWaitFor([&] { return DeviceSent(core.Log(), "BYE"); }, 30000))
        << ReadFile(dir.File("camera.out"));
    // A live view left open.
    core.TreeClicked(channel);
    core.ClickCommand(kListMedia, 0, OperatorInputs{}); // 实时点播
    ASSERT_TRUE(QTest::qWaitFor([&] { return media.LiveOpen(); }, 20000));
    QTest::qWait(500);

    dlg.CheckAction()->trigger();
    ASSERT_TRUE(dlg.CheckRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.CheckRunning(); }, 240000));
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (box = dlg.findChild<QMessageBox*>("checkDone")) != nullptr; }, 5000));
    // The verdicts of a check from a fresh start (the --check of the well-behaved camera).
    const std::string end = box->text().toStdString();
    EXPECT_NE(end.find("34020000001320000001: 39 pass, 0 fail, 0 not supported, 4 not run"),
              std::string::npos)
        << end << "\n"
        << ReadFile(end.substr(end.rfind('\n') + 1));
    EXPECT_FALSE(media.LiveOpen());
    EXPECT_FALSE(media.PlaybackOpen());
    EXPECT_FALSE(media.DownloadOpen());
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    box->close();
    SetShellMessageHook({});
    QDir::setCurrent(QDir::tempPath());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "test_check_window.moc"
