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
#include <QApplication>
#include <QDir>
#include <QProgressDialog>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

const std::string kCamera = TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera";

TEST(CheckWindow, MenuEntryChecksTheCurrentDeviceWithProgress) {
    TempDir dir;
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.Path())));
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"),
              systest::MediaConfig(port, 0, FreeMediaPorts(),
                                   "\r\n[互联系统]\r\n心跳周期=1\r\n"));
    QStringList messages;
    SetShellMessageHook([&](QWidget*, const QString& text) { messages << text; });
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(dir.File("config.ini"));
    parts.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    dlg.SetCheckWindow(std::chrono::milliseconds(1000));
    dlg.show();

    dlg.CheckAction()->trigger();
    EXPECT_FALSE(dlg.CheckRunning());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("设备未注册到服务器"))) << messages[0].toStdString();

    systest::Program camera(dir.Path(),
                            {"--server", "127.0.0.1:" + std::to_string(port), "--keepalive", "1",
                             "--channels", "1"},
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
            if (progress && !labels.contains(progress->labelText())) labels << progress->labelText();
            return !dlg.CheckRunning();
        },
        240000);
    ASSERT_TRUE(ended) << labels.join("\n").toStdString();
    for (const char* step : {"2/8 Catalog, DeviceInfo and DeviceStatus of 34020000001320000001",
                             "4/8 live view over UDP", "6/8 live view over TCP active",
                             "7/8 playback with PAUSE and PLAY Scale"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(step))) << step << "\n"
                                                              << labels.join("\n").toStdString();
    EXPECT_EQ(dlg.findChild<QProgressDialog*>("checkProgress"), nullptr);
    QTest::qWait(50); // the deleted progress window goes
    ASSERT_EQ(messages.size(), 2);
    const std::string end = messages[1].toStdString();
    EXPECT_NE(end.find("34020000001320000001: 20 pass, 0 fail, 0 not supported, 1 not run"),
              std::string::npos)
        << end;
    const std::string html = end.substr(end.rfind('\n') + 1);
    EXPECT_EQ(html.rfind(dir.Path() + "/tarvex-check-", 0), 0u) << html;
    EXPECT_TRUE(std::filesystem::exists(html)) << html;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(html).parent_path() / "MsgXml.xls"));

    // 停止 ends a second check early; its report is still written.
    dlg.CheckAction()->trigger();
    progress = dlg.findChild<QProgressDialog*>("checkProgress");
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return progress->labelText().startsWith(QStringLiteral("4/8")); }, 60000));
    progress->cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.CheckRunning(); }, 30000));
    QTest::qWait(50);
    ASSERT_EQ(messages.size(), 3);
    EXPECT_NE(messages[2].toStdString().find("not run"), std::string::npos);
    const std::string html2 = messages[2].toStdString().substr(messages[2].toStdString().rfind('\n') + 1);
    EXPECT_TRUE(std::filesystem::exists(html2)) << html2;
    SetShellMessageHook({});
    QDir::setCurrent(QDir::tempPath());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
