// Two devices of two channels each (tarvex-camera --devices 2 --channels 2),
// driven through the window's own handlers, offscreen: every tree selection
// sends its live view, pan-tilt-zoom and record search to that channel of
// that device, as the camera saw them; the workbook files each row under its
// sender with its own type.
#include "support/common/TreeItems.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "export/xls/MessageLogSave.h"
#include "app/settings/CfgIniStore.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "support/common/WhenModal.h"
#include "system/program/Harness.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <map>

namespace {

const std::string kCamera = TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera";
constexpr const char* kDevices[] = {"34020000001320000001", "34020000001320000002"};
constexpr const char* kChannels[2][2] = {{"34020000001310000101", "34020000001310000102"},
                                         {"34020000001310000201", "34020000001310000202"}};

// Lines of the camera's output that say what one device received.
int Count(const std::string& out, const std::string& device, const std::string& text) {
    int n = 0;
    for (std::size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1)) {
        const std::size_t line = out.rfind('\n', p);
        const std::string head = out.substr(line == std::string::npos ? 0 : line + 1, p - line);
        n += head.find(device) != std::string::npos;
    }
    return n;
}

TEST(TwoDevices, EachSelectionReachesItsChannelAndEachRowItsSender) {
    TempDir dir;
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.Path())));
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, FreeMediaPorts()));
    QStringList messages;
    SetShellMessageHook([&](QWidget*, const QString& text) { messages << text; });
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(dir.File("config.ini"));
    parts.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    dlg.show();
    systest::Program camera(dir.Path(),
                            {"--server", "127.0.0.1:" + std::to_string(port), "--devices", "2",
                             "--channels", "2", "--keepalive", "1"},
                            kCamera, {}, dir.File("camera.out"));
    QTreeWidget* tree = dlg.DeviceTree();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const auto& d : kChannels)
                for (const char* c : d)
                    if (!ItemOf(tree, c)) return false;
            return true;
        },
        30000));
    // Nothing selected and two devices: a command asks for a selection.
    dlg.OnListClicked(1080, 17);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 5000));
    EXPECT_TRUE(messages.back().contains(QString::fromUtf8("请先在设备树中选择设备或通道")));
    for (int d = 0; d < 2; ++d) {
        for (int c = 0; c < 2; ++c) {
            const std::string channel = kChannels[d][c];
            dlg.OnDeviceTreeClicked(ItemOf(tree, channel));
            dlg.OnListClicked(1081, 0); // 实时点播
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return Count(ReadFile(dir.File("camera.out")), kDevices[d], "INVITE Play for " + channel) == 1; },
                15000))
                << channel << "\n" << ReadFile(dir.File("camera.out"));
            ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Core().Media().livePlaying; }, 15000));
            // The view says whose stream it shows.
            auto* source = qobject_cast<QLabel*>(dlg.Control(1095));
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return source && source->text().contains(QString::fromStdString(channel)); }, 5000));
            EXPECT_TRUE(source->text().contains(QString::fromUtf8(kDevices[d])));
            EXPECT_TRUE(dlg.windowTitle().contains(QString::fromStdString(channel)));
            dlg.OnListClicked(1081, 1); // 向上
            dlg.OnListClicked(1081, 0); // 点播取消
            testsupport::WhenModal([](QDialog* d) { d->accept(); }); // the search conditions as they are
            dlg.OnListClicked(1081, 3); // 文件检索
        }
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::string out = ReadFile(dir.File("camera.out"));
            for (int d = 0; d < 2; ++d)
                for (const char* c : kChannels[d])
                    if (Count(out, kDevices[d], "recordings of " + std::string(c)) < 1) return false;
            return true;
        },
        15000))
        << ReadFile(dir.File("camera.out"));
    const std::string out = ReadFile(dir.File("camera.out"));
    for (int d = 0; d < 2; ++d) {
        // Each device got the pan-tilt-zoom of its own two channels, and
        // refused nothing as not its own.
        EXPECT_EQ(Count(out, kDevices[d], "PTZ "), 2) << out;
        EXPECT_EQ(Count(out, kDevices[d], "not one of"), 0) << out;
    }
    // The workbook: every row under its sender, typed by itself.
    dlg.Core().Stop();
    ASSERT_FALSE(tarvex::xls::SaveMessageLog(dlg.Core().Log(), dir.Path()).written.empty());
    const auto rows = systest::ReadWorkbook(dir);
    ASSERT_GT(rows.size(), 40u);
    std::map<std::string, int> byDevice;
    for (const auto& r : rows) {
        EXPECT_TRUE(r.device == kDevices[0] || r.device == kDevices[1]) << r.device << " " << r.head.substr(0, 60);
        ++byDevice[r.device];
        if (r.sheet == "Recv Msg" && systest::CmdOf(r.body) == "Keepalive") {
            EXPECT_EQ(r.type, "心跳包");
        }
        if (r.sheet == "Recv Msg" && systest::CmdOf(r.body) == "Catalog") {
            EXPECT_EQ(r.type, "目录查询");
        }
        const std::string to = r.head.substr(0, r.head.find('\r'));
        for (int d = 0; d < 2; ++d)
            for (const char* c : kChannels[d])
                if (to.find(std::string("INVITE sip:") + c) != std::string::npos) {
                    EXPECT_EQ(r.device, kDevices[d]);
                }
    }
    EXPECT_GT(byDevice[kDevices[0]], 10);
    EXPECT_GT(byDevice[kDevices[1]], 10);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
