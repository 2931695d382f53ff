// The command bodies bound to the real main window offscreen: the speed and
// preset boxes feed the codes, a drag over the video view sends drag zoom,
// "文件检索" runs the search dialog first, and refusals reach a message box.

#include "BodyHarness.h"
#include "support/common/Files.h"
#include "app/core/FakeSip.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "manscdp/builder/CommandEntry.h"
#include "manscdp/cfg/CfgIniStore.h"
#include "manscdp/control/CommandBinding.h"
#include "support/common/WhenModal.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

using testsupport::WhenModal;

struct BoundWindow {
    TempDir dir;
    std::shared_ptr<SipLog> sip = std::make_shared<SipLog>();
    std::unique_ptr<CTarvexDlg> dlg;
    CommandBuilder builder;
    std::vector<std::string> sent;
    QStringList messages;
    CommandBinding* binding = nullptr;

    BoundWindow() {
        SetShellMessageHook([this](QWidget*, const QString& t) { messages << t; });
        auto core = std::make_unique<CTarvexCore>(LoadSettings(dir.File("config.ini")),
                                                  std::make_unique<FakeSip>(sip),
                                                  [](std::vector<LocalAdapter>& out) {
                                                      out = {{"lo", {"127.0.0.1"}}};
                                                      return true;
                                                  });
        dlg = std::make_unique<CTarvexDlg>(std::move(core));
        CommandBuilder::Hooks h;
        h.deviceId = [] { return std::optional<std::string>(kDevice); };
        h.send = [this](int, const std::string& text) {
            sent.push_back(text);
            return 0;
        };
        builder.SetHooks(std::move(h));
        binding = new CommandBinding(*dlg, builder, dlg->Core(), dir.File("Search.ini"));
        dlg->onCommand = [this](int id, int row) {
            binding->BeforeCommand(id, row);
            builder.ClickRow(id == 1080 ? kListSignalling : kListMedia, row);
        };
        dlg->onVideoDrag = [this](QPoint a, QPoint b) { binding->OnVideoDrag(a, b); };
        dlg->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }
    ~BoundWindow() {
        dlg.reset();
        SetShellMessageHook({});
    }
    void ShowMediaSet(int set) {
        builder.FillMedia(set);
        QStringList labels;
        for (const auto& e : MediaSet(set))
            labels << QString::fromUtf8(e.label);
        dlg->FillCommandList(1081, labels);
    }
    std::string Click(int row) {
        const std::size_t before = sent.size();
        dlg->OnListClicked(1081, row);
        return sent.size() > before ? sent.back() : std::string();
    }
    void SetBox(int id, const char* text) {
        dlg->Ctl<QLineEdit>(id)->setText(QString::fromUtf8(text));
    }
    QWidget* Video() { return dlg->Control(1007); }
    std::string Drag(QPoint a, QPoint b) {
        const std::size_t before = sent.size();
        QTest::mousePress(Video(), Qt::LeftButton, {}, a);
        QTest::mouseMove(Video(), (a + b) / 2);
        QTest::mouseRelease(Video(), Qt::LeftButton, {}, b);
        return sent.size() > before ? sent.back() : std::string();
    }
};

} // namespace

TEST(Binding, SpeedAndPresetBoxesFeedTheCodes) {
    BoundWindow w;
    w.ShowMediaSet(1);
    w.SetBox(1065, "192");
    w.SetBox(1104, "7");
    w.SetBox(1105, "door");
    EXPECT_NE(w.Click(1).find("<PTZCmd>A50F0108C000007D</PTZCmd>"), std::string::npos);
    const std::string go = w.Click(13);
    EXPECT_NE(go.find("<PTZCmd>A50F00820007003D</PTZCmd>\r\n <Info>\r\n  "
                      "<ControlPriority>5</ControlPriority>\r\n  <Name>door</Name>"),
              std::string::npos)
        << go;
    EXPECT_TRUE(w.messages.isEmpty());
    // Out of range: the standard message, and the last accepted number is used.
    w.SetBox(1104, "300");
    EXPECT_NE(w.Click(12).find("<PTZCmd>A50F00810007003C</PTZCmd>"), std::string::npos);
    ASSERT_EQ(w.messages.size(), 1);
    EXPECT_TRUE(w.messages[0].contains("255")) << w.messages[0].toStdString();
    // The row clicked last is the one ticked.
    auto* list = w.dlg->Ctl<QTreeWidget>(1081);
    EXPECT_EQ(list->topLevelItem(12)->checkState(0), Qt::Checked);
    EXPECT_EQ(list->topLevelItem(13)->checkState(0), Qt::Unchecked);
}

TEST(Binding, DragOverTheVideoViewSendsDragZoom) {
    BoundWindow w;
    w.ShowMediaSet(1);
    const int width = w.Video()->width(), height = w.Video()->height();
    ASSERT_GT(width, 300);
    ASSERT_GT(height, 150);
    const std::string size = "  <Length>" + std::to_string(height) + "</Length>\r\n  <Width>" +
                             std::to_string(width) + "</Width>\r\n";
    const std::string in = w.Drag({100, 50}, {300, 150});
    EXPECT_NE(in.find(" <DragZoomIn>\r\n" + size +
                      "  <MidPointX>200</MidPointX>\r\n  <MidPointY>100</MidPointY>\r\n"
                      "  <LengthX>200</LengthX>\r\n  <LengthY>100</LengthY>\r\n </DragZoomIn>"),
              std::string::npos)
        << in;
    const std::string out = w.Drag({300, 150}, {100, 50});
    EXPECT_NE(out.find(" <DragZoomOut>\r\n" + size +
                       "  <MidPointX>200</MidPointX>\r\n  <MidPointY>100</MidPointY>\r\n"
                       "  <LengthX>200</LengthX>\r\n  <LengthY>100</LengthY>\r\n </DragZoomOut>"),
              std::string::npos)
        << out;
    EXPECT_EQ(w.dlg->Ctl<QTreeWidget>(1081)->topLevelItem(16)->checkState(0), Qt::Checked);
    // A click without movement zooms out by nothing.
    const std::string click = w.Drag({40, 30}, {40, 30});
    EXPECT_NE(click.find("<LengthX>0</LengthX>\r\n  <LengthY>0</LengthY>\r\n </DragZoomOut>"),
              std::string::npos)
        << click;
    // Released outside the view: recorded, not sent; the list row builds it.
    EXPECT_EQ(w.Drag({10, 10}, {width + 50, 20}), "");
    EXPECT_NE(w.Click(15).find("<LengthX>" + std::to_string(width + 40) + "</LengthX>"),
              std::string::npos);
    // Without a live view (set 0) a drag sends nothing.
    w.ShowMediaSet(0);
    EXPECT_EQ(w.Drag({100, 50}, {300, 150}), "");
    EXPECT_EQ(w.binding->Bodies().Drag(), (DragRect{100, 50, 300, 150}));
}

TEST(Binding, RecordSearchRunsTheDialogFirst) {
    BoundWindow w;
    w.ShowMediaSet(0);
    // Before any registration the row opens nothing (the builder sends nothing).
    bool opened = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&opened] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = true;
            d->reject();
        }
    });
    guard.start(100);
    w.binding->BeforeCommand(1081, 3);
    guard.stop();
    EXPECT_FALSE(opened);
    w.sip->registered = true;
    WhenModal([](QDialog* d) {
        d->findChild<QLineEdit*>("start")->setText("2026-03-01T08:00:00");
        d->findChild<QLineEdit*>("end")->setText("2026-03-01T20:00:00");
        d->findChild<QComboBox*>("type")->setCurrentIndex(2);
        d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    const std::string ok = w.Click(3);
    EXPECT_NE(ok.find(" <StartTime>2026-03-01T08:00:00</StartTime>\r\n <EndTime>2026-03-01T20:00:00"
                      "</EndTime>\r\n <Type>time</Type>\r\n"),
              std::string::npos)
        << ok;
    EXPECT_EQ(w.binding->Search().typeIndex, 2);
    WhenModal([](QDialog* d) { d->reject(); });
    const std::string cancelled = w.Click(3);
    EXPECT_NE(cancelled.find(" <Type>manual</Type>\r\n"), std::string::npos) << cancelled;
    EXPECT_NE(cancelled.find("-01T00:00:01</StartTime>"), std::string::npos) << cancelled;
    // The conditions of the OK stay stored.
    CDlgSearch again(w.dir.File("Search.ini"));
    EXPECT_EQ(again.startText, "2026-03-01T08:00:00");
}

TEST(Binding, TooLongPresetNameIsRefusedWithAMessage) {
    BoundWindow w;
    w.ShowMediaSet(1);
    w.SetBox(1105, std::string(3000, 'x').c_str());
    EXPECT_EQ(w.Click(12), "");
    QTRY_COMPARE(w.messages.size(), 1);
    EXPECT_TRUE(w.messages[0].contains("2048")) << w.messages[0].toStdString();
    EXPECT_TRUE(w.sent.empty());
}

TEST(Binding, DeviceConfigReadsTheSettings) {
    BoundWindow w;
    // No config.ini: the values of empty settings.
    w.builder.FillSignalling();
    w.dlg->onCommand(1080, 7);
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_NE(w.sent.back().find("<Expiration>3600</Expiration>\r\n  "
                                 "<HeartBeatInterval>60</HeartBeatInterval>"),
              std::string::npos)
        << w.sent.back();
    w.dlg->Core().Settings().registrationTime = 1800;
    w.dlg->Core().Settings().heartbeatPeriod = 30;
    const std::size_t before = w.sent.size();
    w.dlg->onCommand(1080, 7);
    ASSERT_EQ(w.sent.size(), before + 1);
    EXPECT_NE(w.sent.back().find("<Expiration>1800</Expiration>\r\n  "
                                 "<HeartBeatInterval>30</HeartBeatInterval>"),
              std::string::npos)
        << w.sent.back();
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
