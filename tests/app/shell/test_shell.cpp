// The main window, the settings dialog, the viewers and operator scripts,
// offscreen.

#include "app/core/OperatorScript.h"
#include "app/shell/CAboutDlg.h"
#include "app/shell/CDlgCfgDialog.h"
#include "app/shell/CDlgVHeader.h"
#include "app/shell/CListX.h"
#include "app/shell/CLadderView.h"
#include "app/shell/CMessageView.h"
#include "app/shell/CMediaPlots.h"
#include "app/shell/CScriptRunner.h"
#include "app/shell/CStaticEx.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "app/shell/SnapshotPanel.h"
#include "base/TextCodec.h"
#include "app/shell/AudioMeterView.h"
#include "app/settings/CfgIniStore.h"
#include "manscdp/search/CDlgSearch.h"

#include "support/common/FfmpegStreams.h"
#include "support/common/Files.h"
#include "vidana/lib/AccessUnits.h"
#include "audio/AlsaTestDevices.h"
#include "app/core/CoreRig.h"
#include "support/common/WhenModal.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QImage>
#include <QBackingStore>
#include <QPalette>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cmath>
#include <thread>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The application lives in main(), so that it ends before Qt's own statics.
QApplication& App() { return *static_cast<QApplication*>(QCoreApplication::instance()); }

QString U(const char* s) { return QString::fromUtf8(s); }

std::string Ini() {
    return TextCodec::Utf8ToGbk("[本地服务器]\r\n协议=0\r\nID=34020000002000000001\r\n"
                                "地址=127.0.0.1\r\n端口=5060\r\n\r\n[媒体接收者]\r\n下载速度=4\r\n"
                                "\r\n[云台控制]\r\n地址位=1\r\n速度=50\r\n");
}

// Collects message boxes instead of showing them.
struct Messages {
    QStringList texts;
    Messages() {
        SetShellMessageHook([this](QWidget*, const QString& t) { texts << t; });
    }
    ~Messages() { SetShellMessageHook({}); }
};

struct Window {
    TempDir dir;
    std::shared_ptr<SipLog> sip = std::make_shared<SipLog>();
    std::unique_ptr<CTarvexDlg> dlg;
    // The settings as the program loads them (first-run values completed and
    // written); without config.ini and firstRun false, as the file holds them
    // (nothing written before the exit button).
    explicit Window(bool withIni = true, CTarvexCore::AdapterLister lister = {},
                    bool firstRun = false) {
        App();
        if (withIni) WriteFile(Ini(), dir.File("config.ini"));
        if (!lister)
            lister = [](std::vector<LocalAdapter>& out) {
                out = {{"eth0", {"192.168.1.10", "192.168.1.11"}},
                       {"wlan0", {"0.0.0.0"}},
                       {"lo", {"127.0.0.1"}}};
                return true;
            };
        CaptureStdout();
        CTarvexCore::Parts p;
        // Without config.ini, as the program starts: the first-run values.
        p.settings = withIni || firstRun
                         ? LoadSettingsWithDefaults(dir.File("config.ini"), "127.0.0.1")
                         : LoadSettings(dir.File("config.ini"));
        p.sip = std::make_unique<FakeEndpoint>(sip);
        p.lister = lister;
        p.searchIni = dir.File("Search.ini");
        dlg = std::make_unique<CTarvexDlg>(std::make_unique<CTarvexCore>(std::move(p)));
        GetCapturedStdout();
    }
    // A device registers (as the endpoint reports it), optionally with one
    // channel from its catalog answer.
    void Register(const char* id, const char* channel = nullptr) {
        CTarvexCore& core = dlg->Core();
        core.OnDeviceRegistered({id, "127.0.0.1", 5060});
        if (channel) {
            LoggedMessage m;
            m.peerUser = id;
            m.head = "MESSAGE sip:x SIP/2.0\r\n\r\n\n";
            m.body = std::string("<?xml version=\"1.0\"?>\r\n<Response><CmdType>Catalog</CmdType><SN>1</SN>"
                                 "<DeviceList Num=\"1\"><Item><DeviceID>") +
                     channel + "</DeviceID></Item></DeviceList></Response>\r\n";
            core.OnMessageLogged(m);
        }
        dlg->TakeLogRows();
        QApplication::processEvents();
        QTest::qWait(CTarvexDlg::kTreeBatchMs + 50);
    }
    std::vector<SipRequest> Sent() {
        std::lock_guard<std::mutex> lk(sip->m);
        return sip->sent;
    }
    static void WriteFile(const std::string& bytes, const std::string& file) {
        ::WriteFile(file, bytes);
    }
    bool HasIni() const { return std::filesystem::exists(dir.File("config.ini")); }
    std::string IniText() const { return TextCodec::GbkToUtf8(ReadFile(dir.File("config.ini"))); }
};

using testsupport::WhenModal;

} // namespace

TEST(MainWindow, EveryControlOfTemplate102WithKindAndCaption) {
    Window w;
    CTarvexDlg& d = *w.dlg;
    EXPECT_EQ(d.windowTitle(), U("国标测试工具"));
    EXPECT_FALSE(d.windowIcon().isNull());
    EXPECT_TRUE(d.Ctl<QTreeWidget>(1006));
    EXPECT_TRUE(d.Ctl<QTreeWidget>(1094));
    EXPECT_TRUE(d.Ctl<CStaticEx>(1007));
    EXPECT_TRUE(d.Ctl<CListX>(1008));
    EXPECT_TRUE(d.Ctl<QLabel>(1090));
    EXPECT_TRUE(d.Ctl<QPlainTextEdit>(1091));
    EXPECT_TRUE(d.Ctl<QSlider>(1056));
    for (int id : {1058, 1065, 1104, 1105}) EXPECT_TRUE(d.Ctl<QLineEdit>(id)) << id;
    EXPECT_TRUE(d.Ctl<QProgressBar>(1100));
    EXPECT_TRUE(d.Ctl<QLabel>(1101));
    EXPECT_TRUE(dynamic_cast<AudioMeterView*>(d.Control(1103)));
    EXPECT_TRUE(dynamic_cast<AudioMeterView*>(d.Control(1106)));
    ASSERT_TRUE(d.Ctl<QCheckBox>(1092));
    EXPECT_EQ(d.Ctl<QCheckBox>(1092)->text(), U("自定义消息"));
    const std::pair<int, const char*> buttons[] = {
        {1093, "发送"}, {1053, "参数设置"}, {1, "退出"}, {1102, "开启音频"}};
    for (auto [id, caption] : buttons) {
        ASSERT_TRUE(d.Ctl<QPushButton>(id)) << id;
        EXPECT_EQ(d.Ctl<QPushButton>(id)->text(), U(caption));
    }
    auto* l1 = d.Ctl<QTreeWidget>(1080);
    auto* l2 = d.Ctl<QTreeWidget>(1081);
    ASSERT_TRUE(l1 && l2);
    EXPECT_EQ(l1->headerItem()->text(0), U("序号"));
    EXPECT_EQ(l1->headerItem()->text(1), U("控制和查询信令"));
    EXPECT_EQ(l2->headerItem()->text(1), U("媒体控制信令"));
    auto* log = d.MessageList();
    const char* cols[] = {"时间", "方向", "对端", "类型", "设备ID", "信息体", "信息头"};
    ASSERT_EQ(log->model()->columnCount(), 7);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(log->model()->headerData(i, Qt::Horizontal).toString(), U(cols[i]));
    EXPECT_EQ(d.AboutAction()->text(), U("关于 Tarvex(&A)..."));
    // Captions beside the progress bar and the meters; the meters are shown.
    QStringList labels;
    for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
    for (const char* c : {"下载进度:", "音频输入:", "音频输出:", "速度:", "地址位:", "编号:", "名称:"})
        EXPECT_TRUE(labels.contains(U(c))) << c;
    QStringList groups;
    for (auto* g : d.findChildren<QGroupBox*>()) groups << g->title();
    EXPECT_EQ(groups, QStringList{U("云台和预置位控制:")});
    d.show();
    for (int id : {1102, 1103, 1106}) EXPECT_TRUE(d.Control(id)->isVisible()) << id;
}

// 码流 (1111) beside 录像: 主码流 by default; 子码流 makes the next live
// offer ask for the sub stream (国标版本 2022, the default).
TEST(MainWindow, StreamBoxChoosesTheLiveOffersStreamNumber) {
    Window w;
    auto* stream = w.dlg->Ctl<QComboBox>(1111);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->count(), 2);
    EXPECT_EQ(stream->itemText(0), U("主码流"));
    EXPECT_EQ(stream->itemText(1), U("子码流"));
    EXPECT_EQ(stream->currentIndex(), 0);
    w.Register("34020000001320000001", "34020000001310000001");
    for (int index : {1, 0}) {
        stream->setCurrentIndex(index);
        const std::size_t before = w.Sent().size();
        w.dlg->Core().ClickCommand(kListMedia, 0, {}); // 实时点播
        ASSERT_EQ(w.Sent().size(), before + 1);
        EXPECT_NE(w.Sent().back().body.find("a=streamnumber:" + std::to_string(index) + "\r\n"),
                  std::string::npos)
            << w.Sent().back().body;
        w.dlg->Core().ClickCommand(kListMedia, 0, {}); // 点播取消
    }
}

TEST(MainWindow, UsableAt1280x720WithoutOverlaps) {
    Window w;
    w.dlg->resize(1280, 720);
    w.dlg->show();
    QApplication::processEvents();
    EXPECT_LE(w.dlg->minimumSizeHint().width(), 1280);
    EXPECT_LE(w.dlg->minimumSizeHint().height(), 720);
    // The main areas each get room, and none overlaps another.
    std::vector<std::pair<int, QRect>> areas;
    for (int id : {1006, 1094, 1007, 1008, 1080, 1081, 1091, 1090, 1100, 1103, 1106, 1053, 1}) {
        QWidget* c = w.dlg->Control(id);
        QRect r(c->mapTo(w.dlg.get(), QPoint(0, 0)), c->size());
        EXPECT_GT(r.width(), 20) << id;
        EXPECT_GT(r.height(), 10) << id;
        EXPECT_TRUE(w.dlg->rect().contains(r)) << id;
        for (const auto& [other, o] : areas) EXPECT_FALSE(r.intersects(o)) << id << " " << other;
        areas.emplace_back(id, r);
    }
    EXPECT_GE(w.dlg->VideoView()->width(), 480);
}

TEST(MainWindow, InitialisationFillsTreesSpeedAndStartsEndpoint) {
    Window w;
    CTarvexDlg& d = *w.dlg;
    ASSERT_EQ(d.DeviceTree()->topLevelItemCount(), 1);
    EXPECT_EQ(d.DeviceTree()->topLevelItem(0)->text(0), "34020000002000000001");
    EXPECT_EQ(d.Ctl<QSlider>(1056)->minimum(), 1);
    EXPECT_EQ(d.Ctl<QSlider>(1056)->maximum(), 255);
    EXPECT_EQ(d.Ctl<QSlider>(1056)->value(), 50);
    EXPECT_EQ(d.Ctl<QLineEdit>(1065)->text(), "50");
    EXPECT_EQ(d.Ctl<QLineEdit>(1104)->text(), "1");
    EXPECT_EQ(d.Ctl<QLineEdit>(1105)->text(), "Preset");
    EXPECT_EQ(w.sip->calls, (std::vector<std::string>{"content application/MANSCDP+xml\r\n",
                                                      "start 0 5060 127.0.0.1"}));
    // Local addresses: both of eth0, none for wlan0's 0.0.0.0, loopback.
    QTreeWidget* a = d.AddressTree();
    ASSERT_EQ(a->topLevelItemCount(), 1);
    QTreeWidgetItem* root = a->topLevelItem(0);
    EXPECT_EQ(root->text(0), U("本地联接:"));
    QStringList items;
    for (int i = 0; i < root->childCount(); ++i) items << root->child(i)->text(0);
    EXPECT_EQ(items, (QStringList{"192.168.1.10", "192.168.1.11", "127.0.0.1"}));
}

TEST(MainWindow, InputBoxesLeftOutOfRangeShowTheStandardMessage) {
    Messages m;
    Window w;
    struct Case {
        int id;
        const char* text;
        const char* message; // "" for none
    } cases[] = {
        // The ranges are the core's (InputBoxes); here: each box, left.
        {1058, "255", "请输入一个介于 0 和 254 之间的整数。"},
        {1104, "7", ""},
        {1065, "256", "请输入一个介于 0 和 255 之间的整数。"},
    };
    for (const Case& c : cases) {
        m.texts.clear();
        auto* box = w.dlg->Ctl<QLineEdit>(c.id);
        box->setText(U(c.text));
        emit box->editingFinished(); // the box is left
        EXPECT_EQ(m.texts, *c.message ? QStringList{U(c.message)} : QStringList{}) << c.id << " " << c.text;
    }
}

TEST(MainWindow, SignallingListFilledWhenADeviceIsAddedOrClicked) {
    Window w;
    auto* l1 = w.dlg->Ctl<QTreeWidget>(1080);
    EXPECT_EQ(l1->topLevelItemCount(), 0);
    w.Register("34020000001320000001");
    EXPECT_EQ(l1->topLevelItemCount(), static_cast<int>(kSignallingRows));
    l1->clear();
    w.dlg->OnDeviceTreeClicked(w.dlg->DeviceTree()->topLevelItem(0)->child(0));
    QApplication::processEvents();
    EXPECT_EQ(l1->topLevelItemCount(), static_cast<int>(kSignallingRows));
}

TEST(MainWindow, DeviceTreeTakesOnlyTheRowsThatChanged) {
    Window w;
    w.Register("34020000001320000001", "34020000001310000001");
    QTreeWidget* tree = w.dlg->DeviceTree();
    QTreeWidgetItem* device = tree->topLevelItem(0)->child(0);
    QTreeWidgetItem* first = device->child(0);
    first->setCheckState(0, Qt::Checked);
    tree->setCurrentItem(first);
    // Three more messages of a new catalog of 1 + 3 x 100 channels, one SN.
    auto catalog = [](int from, int count) {
        std::string s = "<?xml version=\"1.0\"?>\r\n<Response><CmdType>Catalog</CmdType><SN>9</SN>"
                        "<SumNum>301</SumNum><DeviceList>";
        for (int i = from; i < from + count; ++i)
            s += "<Item><DeviceID>3402000000131" + std::to_string(1000000 + i) + "</DeviceID></Item>";
        return s + "</DeviceList></Response>\r\n";
    };
    LoggedMessage m;
    m.peerUser = "34020000001320000001";
    m.head = "MESSAGE sip:x SIP/2.0\r\n\r\n\n";
    m.body = catalog(0, 1);
    w.dlg->Core().OnMessageLogged(m);
    // The window takes tree changes in batches: wait for the batch, not a time.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QTreeWidgetItem* d = tree->topLevelItem(0)->child(0); // a full rebuild would replace it
            return d->childCount() == 1 && d->child(0)->text(0) == "34020000001311000000";
        },
        10000));
    first = device->child(0); // the new catalog replaced the old channel
    first->setCheckState(0, Qt::Checked);
    for (int part = 0; part < 3; ++part) {
        m.body = catalog(1 + part * 100, 100);
        w.dlg->Core().OnMessageLogged(m);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return tree->topLevelItem(0)->child(0)->childCount() == 101 + part * 100; }, 10000));
        // The rows already shown stay the same rows, with their check marks.
        ASSERT_EQ(tree->topLevelItem(0)->child(0), device);
        EXPECT_EQ(device->child(0), first);
        EXPECT_EQ(first->checkState(0), Qt::Checked);
    }
    // What the view shows is the core's tree, in order.
    const TreeItem model = w.dlg->Core().TreeSnapshot();
    ASSERT_EQ(model.children.size(), 1u);
    ASSERT_EQ(device->childCount(), 301);
    ASSERT_EQ(model.children[0].children.size(), 301u);
    for (int i = 0; i < 301; ++i)
        EXPECT_EQ(device->child(i)->text(0).toStdString(), model.children[0].children[i].text) << i;
    EXPECT_TRUE(device->isExpanded());
    // A click on a new row finds its node.
    w.dlg->OnDeviceTreeClicked(device->child(300));
    EXPECT_EQ(w.dlg->Ctl<QTreeWidget>(1081)->topLevelItemCount(), 6);
}

TEST(MainWindow, AdapterFailureShowsMessageAndRootOnly) {
    Messages m;
    Window w(true, [](std::vector<LocalAdapter>&) { return false; });
    QTRY_COMPARE(m.texts, QStringList{"Call to GetAdaptersInfo failed.\n"});
    ASSERT_EQ(w.dlg->AddressTree()->topLevelItemCount(), 1);
    EXPECT_EQ(w.dlg->AddressTree()->topLevelItem(0)->childCount(), 0);
}

TEST(MainWindow, CheckingAddressChecksDescendantsAndSetsLocalAddress) {
    Window w;
    QTreeWidgetItem* root = w.dlg->AddressTree()->topLevelItem(0);
    root->setCheckState(0, Qt::Checked);
    for (int i = 0; i < root->childCount(); ++i)
        EXPECT_EQ(root->child(i)->checkState(0), Qt::Checked);
    root->child(1)->setCheckState(0, Qt::Unchecked);
    root->child(1)->setCheckState(0, Qt::Checked);
    EXPECT_EQ(w.dlg->Core().Settings().localAddress, "192.168.1.11");
    root->setCheckState(0, Qt::Unchecked);
    for (int i = 0; i < root->childCount(); ++i)
        EXPECT_EQ(root->child(i)->checkState(0), Qt::Unchecked);
}

TEST(MainWindow, SpeedSliderAndEditFollowEachOther) {
    Window w;
    auto* slider = w.dlg->Ctl<QSlider>(1056);
    auto* edit = w.dlg->Ctl<QLineEdit>(1065);
    slider->setValue(120);
    EXPECT_EQ(edit->text(), "120");
    EXPECT_EQ(w.dlg->Core().SpeedByte(), 120);
    EXPECT_EQ(w.dlg->Core().Settings().ptzSpeed, 120);
    edit->setText("33");
    EXPECT_EQ(slider->value(), 33);
    EXPECT_EQ(w.dlg->Core().Settings().ptzSpeed, 33);
}

TEST(MainWindow, CommandListClickTicksOnlyTheLastRowAcrossBothLists) {
    Window w;
    w.Register("34020000001320000001", "34020000001310000001");
    auto* l1 = w.dlg->Ctl<QTreeWidget>(1080);
    auto* l2 = w.dlg->Ctl<QTreeWidget>(1081);
    ASSERT_EQ(l1->topLevelItemCount(), static_cast<int>(kSignallingRows));
    EXPECT_EQ(l1->topLevelItem(2)->text(0), "03");
    EXPECT_EQ(l1->topLevelItem(2)->text(1), U("目录查询"));
    w.dlg->show();
    QApplication::processEvents();
    l1->scrollToItem(l1->topLevelItem(17));
    QRect r = l1->visualItemRect(l1->topLevelItem(17));
    QTest::mouseClick(l1->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(l1->topLevelItem(17)->checkState(0), Qt::Checked);
    ASSERT_EQ(w.Sent().size(), 1u);
    EXPECT_NE(w.Sent()[0].body.find("<CmdType>TimeInfo</CmdType>"), std::string::npos);
    // The channel's media list, then a click on its "文件检索" row: 取消 in the
    // search dialog cancels the search: nothing is sent, the row is not ticked.
    w.dlg->OnDeviceTreeClicked(w.dlg->DeviceTree()->topLevelItem(0)->child(0)->child(0));
    ASSERT_EQ(l2->topLevelItemCount(), 6);
    QString cancelText;
    WhenModal([&](QDialog* d) {
        auto* box = d->findChild<QDialogButtonBox*>();
        if (box) cancelText = box->button(QDialogButtonBox::Cancel)->text();
        d->reject();
    });
    r = l2->visualItemRect(l2->topLevelItem(3));
    QTest::mouseClick(l2->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(cancelText, U("取消"));
    EXPECT_EQ(l2->topLevelItem(3)->checkState(0), Qt::Unchecked);
    ASSERT_EQ(w.Sent().size(), 1u);
    // With 确定 the search goes out, and only that row is ticked.
    WhenModal([](QDialog* d) { d->accept(); });
    QTest::mouseClick(l2->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(l1->topLevelItem(17)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(l2->topLevelItem(3)->checkState(0), Qt::Checked);
    ASSERT_EQ(w.Sent().size(), 2u);
    EXPECT_NE(w.Sent()[1].body.find("<CmdType>RecordInfo</CmdType>"), std::string::npos) << w.Sent()[1].body;
}

TEST(MainWindow, SearchDialogBeforeTheRecordingSearchAndDragZoomFromTheVideoView) {
    Window w;
    w.Register("34020000001320000001", "34020000001310000001");
    w.dlg->resize(1280, 720);
    w.dlg->show();
    QApplication::processEvents();
    QTreeWidgetItem* channel = w.dlg->DeviceTree()->topLevelItem(0)->child(0)->child(0);
    w.dlg->OnDeviceTreeClicked(channel);
    WhenModal([](QDialog* d) {
        d->findChild<QLineEdit*>("start")->setText("2026-03-01T08:00:00");
        d->findChild<QLineEdit*>("end")->setText("2026-03-01T20:00:00");
        d->findChild<QComboBox*>("type")->setCurrentIndex(2);
        d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    w.dlg->OnListClicked(1081, 3);
    ASSERT_EQ(w.Sent().size(), 1u);
    EXPECT_NE(w.Sent()[0].body.find(" <StartTime>2026-03-01T08:00:00</StartTime>\r\n <EndTime>"
                                    "2026-03-01T20:00:00</EndTime>\r\n <Type>time</Type>\r\n"),
              std::string::npos);
    EXPECT_EQ(CDlgSearch(w.dir.File("Search.ini")).startText, "2026-03-01T08:00:00");
    // During a live view (media set 1) a drag over the view sends drag zoom
    // with the view's size and the boxes' speed.
    w.dlg->OnListClicked(1081, 0); // 实时点播: the offer goes out, set 1
    ASSERT_EQ(w.Sent().size(), 2u);
    EXPECT_EQ(w.Sent()[1].kind, 5);
    QWidget* video = w.dlg->Control(1007);
    QTest::mousePress(video, Qt::LeftButton, {}, {100, 50});
    QTest::mouseMove(video, {200, 100});
    QTest::mouseRelease(video, Qt::LeftButton, {}, {300, 150});
    ASSERT_EQ(w.Sent().size(), 3u);
    EXPECT_NE(w.Sent()[2].body.find(" <DragZoomIn>\r\n  <Length>" +
                                    std::to_string(video->height()) + "</Length>\r\n  <Width>" +
                                    std::to_string(video->width()) + "</Width>"),
              std::string::npos)
        << w.Sent()[2].body;
    EXPECT_EQ(w.dlg->Ctl<QTreeWidget>(1081)->topLevelItem(15)->checkState(0), Qt::Checked);
}

TEST(MainWindow, SendButtonSendsCustomTextOnlyWhenTicked) {
    Window w;
    w.Register("34020000001320000001");
    w.dlg->Ctl<QPlainTextEdit>(1091)->setPlainText("<Query/>");
    w.dlg->Ctl<QPushButton>(1093)->click();
    EXPECT_TRUE(w.Sent().empty() && w.sip->unsent.empty());
    w.dlg->Ctl<QCheckBox>(1092)->click();
    w.dlg->Ctl<QPushButton>(1093)->click();
    ASSERT_EQ(w.sip->unsent.size(), 1u); // no build yet: the kind sends nothing
    EXPECT_EQ(w.sip->unsent[0].body, "<Query/>");
}

TEST(MainWindow, ExitButtonStoresConfigAndCloseBoxDoesNot) {
    {
        Window w(false);
        w.dlg->show();
        w.dlg->Core().SpeedFromSlider(77);
        w.dlg->close(); // the close box
        EXPECT_EQ(w.dlg->result(), QDialog::Rejected);
        EXPECT_FALSE(w.HasIni());
        // Destruction still stops the endpoint.
        w.dlg.reset();
        EXPECT_EQ(w.sip->calls.back(), "stop");
        EXPECT_FALSE(w.HasIni());
    }
    {
        Window w(false);
        w.dlg->show();
        QTest::keyClick(w.dlg.get(), Qt::Key_Escape);
        EXPECT_FALSE(w.dlg->isVisible());
        EXPECT_FALSE(w.HasIni());
    }
    {
        Window w(false);
        w.dlg->show();
        w.dlg->Core().SpeedFromSlider(77);
        w.sip->calls.clear();
        QTest::mouseClick(w.dlg->Ctl<QPushButton>(1), Qt::LeftButton);
        EXPECT_EQ(w.dlg->result(), QDialog::Accepted);
        EXPECT_EQ(w.sip->calls, (std::vector<std::string>{"stop"}));
        ASSERT_TRUE(w.HasIni());
        EXPECT_NE(w.IniText().find("[云台控制]\r\n地址位=255\r\n速度=77"), std::string::npos)
            << w.IniText();
    }
}

TEST(MainWindow, AboutBoxShowsNameAndVersion) {
    Window w;
    QString name, version;
    QString folder;
    WhenModal([&](QDialog* d) {
        name = d->findChild<QLabel*>("name")->text();
        version = d->findChild<QLabel*>("version")->text();
        folder = d->findChild<QLabel*>("folder")->text();
        d->accept();
    });
    w.dlg->AboutAction()->trigger();
    EXPECT_EQ(name, "Tarvex");
    EXPECT_EQ(version, "2.0");
    // Where config.ini and the workbooks are: the working folder.
    EXPECT_EQ(folder, U("工作目录: ") + QDir::currentPath());
}

// 图像 → 抓拍图片: the pictures under snapshots/<channel>/ of the working
// folder (JPEGs written by Qt's own writer, as the transfer server names
// them), newest first per channel, the chosen one decoded and shown; 刷新
// takes a new upload, and a file that does not decode says so.
TEST(MainWindow, SnapshotPanelListsAndShowsTheUploadedPictures) {
    Window w;
    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(w.dir.Path());
    const std::filesystem::path ch1 = std::filesystem::path("snapshots") / "34020000001320000001";
    const std::filesystem::path ch2 = std::filesystem::path("snapshots") / "34020000001310000002";
    std::filesystem::create_directories(ch1);
    std::filesystem::create_directories(ch2);
    auto jpeg = [](const std::filesystem::path& p, int width, int height) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        ASSERT_TRUE(image.save(QString::fromStdString(p.string()), "JPG"));
    };
    jpeg(ch1 / "20261209T050000.000.jpg", 64, 48);
    jpeg(ch1 / "20261209T050001.500.jpg", 80, 60);
    jpeg(ch2 / "20261209T040000.000.jpg", 32, 32);
    ::WriteFile((ch2 / "notes.txt").string(), "not a picture");

    QAction* open = w.dlg->findChild<QAction*>("actionSnapshots");
    ASSERT_NE(open, nullptr);
    open->trigger();
    auto* panel = w.dlg->findChild<SnapshotPanel*>("snapshotPanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->Count(), 3);
    auto* list = panel->findChild<QTreeWidget*>("snapshotList");
    auto* info = panel->findChild<QLabel*>("snapshotInfo");
    auto* picture = panel->findChild<QLabel*>("snapshotPicture");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* first = list->topLevelItem(1); // channels in name order
    EXPECT_EQ(first->text(0), U("34020000001320000001 (2 张)"));
    ASSERT_EQ(first->childCount(), 2);
    EXPECT_EQ(first->child(0)->text(0), "20261209T050001.500");
    EXPECT_EQ(first->child(1)->text(0), "20261209T050000.000");
    // The first listed is shown at once, decoded from the file.
    EXPECT_TRUE(info->text().contains(U("32×32 JPEG"))) << info->text().toStdString();
    EXPECT_FALSE(picture->pixmap().isNull());
    list->setCurrentItem(first->child(0));
    EXPECT_TRUE(info->text().contains(U("20261209T050001.500.jpg  80×60 JPEG"))) << info->text().toStdString();
    list->setCurrentItem(first->child(1));
    EXPECT_TRUE(info->text().contains(U("64×48 JPEG"))) << info->text().toStdString();

    // A new upload and a broken one, taken by 刷新; the chosen one stays chosen.
    jpeg(ch1 / "20261209T050002.000.jpg", 16, 16);
    ::WriteFile((ch1 / "20261209T050003.000.jpg").string(), "\xFF\xD8 cut short");
    QTest::mouseClick(panel->findChild<QPushButton*>("snapshotRefresh"), Qt::LeftButton);
    EXPECT_EQ(panel->Count(), 5);
    EXPECT_EQ(list->currentItem()->text(0), "20261209T050000.000");
    list->setCurrentItem(list->topLevelItem(1)->child(0));
    EXPECT_TRUE(picture->text().startsWith(U("无法解码"))) << picture->text().toStdString();
    // Opened again from the menu: the same panel, read again.
    open->trigger();
    EXPECT_EQ(w.dlg->findChildren<SnapshotPanel*>().size(), 1);
    std::filesystem::current_path(old);
}

// ---- settings dialog

TEST(SettingsDialog, GroupsDropDownsAndStoredValues) {
    Window w;
    CDlgCfgDialog dlg(w.dlg->Core().Settings());
    EXPECT_EQ(dlg.windowTitle(), U("国标参数配置"));
    QStringList groups;
    for (auto* g : dlg.findChildren<QGroupBox*>()) groups << g->title();
    for (const char* g : {"本地服务器:", "互联网服务器:", "媒体接收者:", "云台控制:", "媒体服务器:"})
        EXPECT_TRUE(groups.contains(U(g))) << g;
    auto* local = qobject_cast<QComboBox*>(dlg.Box(CfgField::LocalTransport));
    auto* media = qobject_cast<QComboBox*>(dlg.Box(CfgField::MediaTransport));
    ASSERT_TRUE(local && media);
    QStringList li, mi;
    for (int i = 0; i < local->count(); ++i) li << local->itemText(i);
    for (int i = 0; i < media->count(); ++i) mi << media->itemText(i);
    EXPECT_EQ(li, (QStringList{"UDP", "TCP", "TLS", "DTLS"}));
    EXPECT_EQ(mi, (QStringList{"UDP", "TCP passive", "TCP active", "TCP actpass", "holdconn"}));
    EXPECT_EQ(local->currentIndex(), 0);
    EXPECT_EQ(media->currentIndex(), 0); // missing in the file: the first run's UDP
    EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.Box(CfgField::LocalPort))->text(), "5060");
    EXPECT_EQ(dlg.SpeedSlider()->minimum(), 1);
    EXPECT_EQ(dlg.SpeedSlider()->maximum(), 16);
    EXPECT_EQ(dlg.SpeedSlider()->pageStep(), 2);
    EXPECT_EQ(dlg.SpeedSlider()->value(), 4);
}

TEST(SettingsDialog, SpeedBoxMovesSliderAndShowsWhereItEnded) {
    Messages m;
    Window w;
    CDlgCfgDialog dlg(w.dlg->Core().Settings());
    auto* box = qobject_cast<QLineEdit*>(dlg.Box(CfgField::DownloadSpeed));
    box->setText("40");
    EXPECT_EQ(dlg.SpeedSlider()->value(), 16);
    EXPECT_EQ(box->text(), "16");
    box->setText("7");
    EXPECT_EQ(dlg.SpeedSlider()->value(), 7);
    dlg.SpeedSlider()->setValue(9);
    EXPECT_EQ(box->text(), "9");
    EXPECT_TRUE(m.texts.isEmpty());
    box->setText("0");
    EXPECT_EQ(m.texts, QStringList{U("请输入一个介于 1 和 64 之间的整数。")});
    EXPECT_EQ(dlg.SpeedSlider()->value(), 9);
    // Every change of the box checks all boxes: the first bad one is named and
    // gets the focus; the slider stays.
    dlg.show();
    m.texts.clear();
    auto* port = qobject_cast<QLineEdit*>(dlg.Box(CfgField::PeerPort));
    port->setText("50a");
    box->setText("5");
    EXPECT_EQ(m.texts, QStringList{U("请输入一个整数。")});
    EXPECT_EQ(dlg.SpeedSlider()->value(), 9);
    EXPECT_TRUE(port->hasFocus() || QApplication::focusWidget() == nullptr);
    port->setText("5070");
    box->setText("6");
    EXPECT_EQ(dlg.SpeedSlider()->value(), 6);
    EXPECT_EQ(m.texts.size(), 1);
}

// The boxes the test's config.ini leaves at -1, which the OK refuses, take
// first-run values.
void FillRefusedBoxes(CDlgCfgDialog& dlg) {
    const CfgTexts first = DefaultCfgTexts("127.0.0.1");
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const auto f = static_cast<CfgField>(i);
        if (!CDlgCfg::Check(f, dlg.CurrentTexts()[i]).empty()) {
            EXPECT_EQ(dlg.SetField(f, QString::fromStdString(first[i])), "") << CfgInfo(f).name;
        }
    }
}

TEST(SettingsDialog, OkValidatesAndStaysOpenOnBadBox) {
    Messages m;
    Window w;
    CDlgCfgDialog dlg(w.dlg->Core().Settings());
    dlg.show();
    FillRefusedBoxes(dlg);
    auto* port = qobject_cast<QLineEdit*>(dlg.Box(CfgField::PeerPort));
    port->setText("50a");
    dlg.accept();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(m.texts, QStringList{U("请输入一个整数。")});
    port->setText("5070");
    qobject_cast<QLineEdit*>(dlg.Box(CfgField::PtzAddress))->setText("256");
    dlg.accept();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(m.texts.last(), U("请输入一个介于 0 和 255 之间的整数。"));
    qobject_cast<QLineEdit*>(dlg.Box(CfgField::PtzAddress))->setText("2");
    dlg.accept();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(w.dlg->Core().Settings().peerPort, 5070);
    EXPECT_NE(w.IniText().find("地址位=2"), std::string::npos);
}

TEST(SettingsDialog, CancelTakesNothing) {
    Window w;
    const std::string before = ReadFile(w.dir.File("config.ini"));
    CDlgCfgDialog dlg(w.dlg->Core().Settings());
    qobject_cast<QLineEdit*>(dlg.Box(CfgField::LocalPort))->setText("6000");
    dlg.reject();
    EXPECT_EQ(w.dlg->Core().Settings().localPort, 5060);
    EXPECT_EQ(ReadFile(w.dir.File("config.ini")), before);
}

TEST(SettingsDialog, NewPortRestartsEndpointAfterOneSecondWithoutFreezing) {
    Window w;
    w.sip->calls.clear();
    WhenModal([](QDialog* d) {
        auto* cfg = qobject_cast<CDlgCfgDialog*>(d);
        ASSERT_TRUE(cfg);
        FillRefusedBoxes(*cfg);
        cfg->SetField(CfgField::LocalPort, "5077");
        cfg->SetField(CfgField::LocalId, "34020000002000000099");
        cfg->accept();
    });
    QElapsedTimer t; // a timer never fires early: the start comes a second after the OK
    t.start();
    w.dlg->Ctl<QPushButton>(1053)->click();
    QTRY_COMPARE(w.dlg->DeviceTree()->topLevelItem(0)->text(0), QString("34020000002000000099"));
    EXPECT_EQ(w.sip->calls, (std::vector<std::string>{"stop"}));
    // The GUI thread keeps running during the pause.
    int spins = 0;
    while (w.sip->calls.size() < 2 && t.elapsed() < 5000) {
        QTest::qWait(20);
        ++spins;
    }
    EXPECT_GE(t.elapsed(), 1000);
    EXPECT_GT(spins, 10);
    EXPECT_EQ(w.sip->calls, (std::vector<std::string>{"stop", "start 0 5077 127.0.0.1"}));
}

TEST(SettingsDialog, WithoutConfigTheFirstRunListensOn5060AndOkRefusesInvalidValues) {
    Messages m;
    Window w(false, {}, true);
    // The first-run values, written at once; the line under the log says where SIP listens.
    EXPECT_EQ(w.sip->calls.back(), "start 0 5060 127.0.0.1");
    EXPECT_EQ(w.dlg->DeviceTree()->topLevelItem(0)->text(0), "34020000002000000001");
    ASSERT_TRUE(w.HasIni());
    EXPECT_NE(w.IniText().find("协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n地址=127.0.0.1\r\n端口=5060"),
              std::string::npos) << w.IniText();
    EXPECT_EQ(w.IniText().find("=-1"), std::string::npos) << w.IniText();
    EXPECT_EQ(w.IniText().find("=255"), std::string::npos) << w.IniText();
    auto* status = w.dlg->findChild<QLabel*>("listenStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "listening on 0.0.0.0:5060/udp");
    EXPECT_FALSE(w.dlg->findChild<QPushButton*>("listenSettings")->isVisibleTo(w.dlg.get()));
    CDlgCfgDialog dlg(w.dlg->Core().Settings());
    dlg.show();
    EXPECT_EQ(qobject_cast<QComboBox*>(dlg.Box(CfgField::LocalTransport))->currentIndex(), 0);
    EXPECT_EQ(qobject_cast<QComboBox*>(dlg.Box(CfgField::MediaTransport))->currentIndex(), 0);
    EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.Box(CfgField::LocalPort))->text(), "5060");
    EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.Box(CfgField::PtzSpeed))->text(), "128");
    auto* verify = qobject_cast<QCheckBox*>(dlg.Box(CfgField::LocalVerifyPassword));
    ASSERT_NE(verify, nullptr);
    EXPECT_EQ(verify->text(), "验证密码");
    EXPECT_FALSE(verify->isChecked());
    EXPECT_EQ(dlg.SetField(CfgField::LocalVerifyPassword, "yes"), "请输入 0 或 1。");
    EXPECT_EQ(dlg.SetField(CfgField::LocalVerifyPassword, "1"), "");
    EXPECT_TRUE(verify->isChecked());
    // What the OK refuses, the script's field setter refuses with the same words.
    EXPECT_EQ(dlg.SetField(CfgField::LocalTransport, "SCTP"), "请选择一种协议：UDP、TCP、TLS、DTLS。");
    EXPECT_EQ(dlg.SetField(CfgField::LocalTransport, "tcp"), "");
    EXPECT_EQ(qobject_cast<QComboBox*>(dlg.Box(CfgField::LocalTransport))->currentIndex(), 1);
    EXPECT_EQ(dlg.SetField(CfgField::LocalTransport, "UDP"), "");
    qobject_cast<QLineEdit*>(dlg.Box(CfgField::LocalPort))->setText("-1");
    dlg.accept();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(m.texts.last(), U("请输入一个介于 1 和 65535 之间的整数。"));
    qobject_cast<QComboBox*>(dlg.Box(CfgField::MediaTransport))->setCurrentIndex(-1);
    qobject_cast<QLineEdit*>(dlg.Box(CfgField::LocalPort))->setText("15060");
    dlg.accept();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(m.texts.last(), U("请选择一种协议：UDP、TCP passive、TCP active、TCP actpass、holdconn。"));
    EXPECT_EQ(w.IniText().find("=-1"), std::string::npos) << w.IniText();
    qobject_cast<QComboBox*>(dlg.Box(CfgField::MediaTransport))->setCurrentIndex(0);
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    w.dlg->Core().SettingsAccepted();
    QTRY_COMPARE_WITH_TIMEOUT(w.sip->calls.back(), std::string("start 0 15060 127.0.0.1"), 5000);
    EXPECT_NE(w.IniText().find("协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n地址=127.0.0.1\r\n端口=15060\r\n密码=12345678\r\n验证密码=1"),
              std::string::npos) << w.IniText();
}

TEST(ListenLine, AFailedStartIsRedWithTheCauseAndAButtonToTheSettings) {
    // Something else holds the port: the endpoint's start fails, the line says why.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    App();
    TempDir dir;
    auto sip = std::make_shared<SipLog>();
    sip->startResult = -1;
    CaptureStdout();
    CTarvexCore::Parts p;
    p.settings = LoadSettingsWithDefaults(dir.File("config.ini"), "127.0.0.1");
    std::string why;
    ASSERT_TRUE(p.settings->OverrideForThisRun(CfgField::LocalPort, std::to_string(port), &why)) << why;
    p.sip = std::make_unique<FakeEndpoint>(sip);
    p.lister = [](std::vector<LocalAdapter>&) { return true; };
    p.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(p)));
    GetCapturedStdout();
    auto* status = dlg.findChild<QLabel*>("listenStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text().toStdString(), "not listening on 0.0.0.0:" + std::to_string(port) +
                                                "/udp: the port is in use by another program");
    EXPECT_NE(status->styleSheet().indexOf("color"), -1);
    auto* button = dlg.findChild<QPushButton*>("listenSettings");
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isVisibleTo(&dlg));
    // The button opens the settings; a free port there and the line turns plain.
    close(fd);
    sip->startResult = 0;
    WhenModal([](QDialog* d) {
        auto* cfg = qobject_cast<CDlgCfgDialog*>(d);
        ASSERT_TRUE(cfg);
        cfg->SetField(CfgField::LocalPort, "5093");
        cfg->accept();
    });
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("listening on 0.0.0.0:5093/udp"), 5000);
    EXPECT_FALSE(button->isVisibleTo(&dlg));
}

// ---- log list colours and the viewers

TEST(LogList, RowColours) {
    QColor t, b;
    CListX::RowColours(false, false, t, b);
    EXPECT_EQ(t, QColor(Qt::black));
    EXPECT_EQ(b, QColor(Qt::white));
    CListX::RowColours(true, false, t, b);
    EXPECT_EQ(t, QColor(255, 255, 0));
    EXPECT_EQ(b, QColor(0, 0, 128));
    CListX::RowColours(true, true, t, b);
    EXPECT_EQ(t, QColor(Qt::white));
    EXPECT_EQ(b, QColor(0, 153, 153));
}

TEST(LogList, RowsAreDrawnInTheirColours) {
    App();
    MessageLog log;
    CListX list(log);
    list.resize(800, 300);
    for (int i = 0; i < 4; ++i)
        log.Append(2, std::chrono::system_clock::now(), "心跳包", "34020000001320000001",
                   "MESSAGE sip:x SIP/2.0", "<?xml version=\"1.0\"?>\r\n<Notify/>");
    list.Model()->TakeNewRows();
    list.Model()->setData(list.Model()->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    list.Model()->setData(list.Model()->index(2, 0), Qt::Checked, Qt::CheckStateRole);
    list.setCurrentIndex(list.Model()->index(2, 3));
    list.show();
    QApplication::processEvents();
    const QImage img = list.viewport()->grab().toImage();
    auto background = [&](int row) {
        const QRect r = list.visualRect(list.Model()->index(row, 3));
        return QColor(img.pixel(r.right() - 3, r.center().y()));
    };
    EXPECT_EQ(background(0), QColor(Qt::white));
    EXPECT_EQ(background(1), QColor(0, 0, 128));
    EXPECT_EQ(background(2), QColor(0, 153, 153)); // focused wins over checked
    EXPECT_EQ(background(3), QColor(Qt::white));
    // Yellow text on the checked row.
    const QRect r1 = list.visualRect(list.Model()->index(1, 1));
    bool yellow = false;
    for (int x = r1.left(); x < r1.right(); ++x)
        for (int y = r1.top(); y < r1.bottom(); ++y) {
            QColor c(img.pixel(x, y));
            yellow |= c.red() > 200 && c.green() > 200 && c.blue() < 80;
        }
    EXPECT_TRUE(yellow);
}

TEST(LogList, TakesRowsInBatchesAndReadsThemOnDemand) {
    App();
    MessageLog log;
    CListX list(log);
    int inserts = 0;
    QObject::connect(list.Model(), &QAbstractItemModel::rowsInserted, [&] { ++inserts; });
    for (int i = 0; i < 100000; ++i)
        log.Append(i % 2 + 1, std::chrono::system_clock::now(), "k", "id", "head", "body" + std::to_string(i));
    EXPECT_EQ(list.Model()->rowCount(), 0);
    list.Model()->TakeNewRows();
    EXPECT_EQ(inserts, 1);
    EXPECT_EQ(list.Model()->rowCount(), 100000);
    EXPECT_EQ(list.Model()->Row(99999)[3], "body99999");
    EXPECT_EQ(list.Model()->data(list.Model()->index(5, CLogModel::kHead), Qt::DisplayRole).toString(), "head");
    EXPECT_EQ(list.Model()->data(list.Model()->index(5, CLogModel::kDirection), Qt::DisplayRole).toString(),
              U("← 接收"));
    EXPECT_EQ(list.Model()->data(list.Model()->index(4, CLogModel::kDirection), Qt::DisplayRole).toString(),
              U("→ 发送"));
}

// The list's filter reads rows in place and decodes only bodies that need it:
// what it keeps is what decoding every row as the list shows it keeps, for
// bodies in GB18030, UTF-8, an encoding that is not ASCII-compatible, with a
// zero byte, and across the chunks it reads the log in.
TEST(LogList, FilterKeepsWhatDecodingEveryRowKeeps) {
    App();
    MessageLog log;
    const std::string gb = TextCodec::OperatorTextToBody(
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify><CmdType>Catalog</CmdType><Name>大门</Name></Notify>");
    const std::string bodies[] = {
        gb,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Notify><CmdType>Catalog</CmdType><Name>大门</Name></Notify>",
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><Notify><CmdType>Catalog</CmdType></Notify>",
        std::string("<Notify><CmdType>Keepalive</CmdType>") + '\0' + "<DeviceID>x</DeviceID></Notify>",
        "<?xml version=\"1.0\"?><Notify><CmdType>Keepalive</CmdType><DeviceID>34020000001320000007</DeviceID></Notify>",
    };
    for (int i = 0; i < 5000; ++i)
        log.Append(i % 3 ? 2 : 1, std::chrono::system_clock::now(), "t", "3402000000132000000" + std::to_string(i % 9),
                   "MESSAGE sip:a@b SIP/2.0\r\nCall-ID: c" + std::to_string(i % 7) + "\r\n\r\n", bodies[i % 5],
                   "10.0.0." + std::to_string(i % 4) + ":5060");
    CListX list(log);
    list.Model()->TakeNewRows();
    for (const char* text : {"大门", "cmd==Catalog", "cmd==Keepalive && dev==34020000001320000007", "DeviceID",
                             "callid==c3 || peer==10.0.0.1", "!cmd==Catalog && dir==sent", "Notify"}) {
        tarvex::logfilter::Filter f;
        ASSERT_TRUE(f.Compile(text, nullptr)) << text;
        std::vector<int> want;
        MessageLog::RowText r;
        for (int i = 0; i < 5000; ++i) {
            ASSERT_TRUE(log.Row(static_cast<std::size_t>(i), r));
            const std::string body = TextCodec::BodyToUtf8(r.body);
            if (f.Matches({r.direction, r.deviceId, r.head, body, r.peer})) want.push_back(i);
        }
        std::string error;
        ASSERT_TRUE(list.Model()->SetFilter(text, &error)) << error;
        std::vector<int> got;
        for (int k = 0; k < list.Model()->rowCount(); ++k) got.push_back(list.Model()->LogRow(k));
        EXPECT_EQ(got, want) << text;
        EXPECT_FALSE(want.empty()) << text;
    }
}

TEST(Viewers, TextViewerShowsTextUnchangedReadOnly) {
    App();
    CDlgVHeader v;
    EXPECT_EQ(v.windowTitle(), "Dialog");
    const QString text = "No Body!\n";
    v.SetText(text);
    auto* box = v.findChild<QPlainTextEdit*>("ctl1002");
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isReadOnly());
    EXPECT_EQ(box->toPlainText(), text);
    EXPECT_EQ(v.Text(), text);
}

// ---- video view

TEST(VideoView, PresentFromAnotherThreadRepaintsOnGuiThread) {
    App();
    CStaticEx v;
    v.resize(64, 48);
    v.show();
    std::vector<std::uint8_t> bgr(64 * 48 * 3);
    for (std::size_t i = 0; i < bgr.size(); i += 3) {
        bgr[i] = 255; // blue
        bgr[i + 1] = 0;
        bgr[i + 2] = 0;
    }
    std::thread t([&] { v.Present(bgr.data(), 64, 48, 64 * 3); });
    t.join();
    QApplication::processEvents();
    EXPECT_EQ(QColor(v.Picture().pixel(5, 5)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(v.grab().toImage().pixel(10, 10)), QColor(0, 0, 255));
    // Bad pictures are refused.
    v.Present(nullptr, 64, 48, 64 * 3);
    v.Present(bgr.data(), 64, 48, 10);
    EXPECT_EQ(v.Picture().size(), QSize(64, 48));
}

TEST(VideoView, DragRecordsPressAndReleasePoints) {
    App();
    CStaticEx v;
    v.resize(320, 240);
    v.show();
    QPoint a, b;
    QObject::connect(&v, &CStaticEx::dragEnded, [&](QPoint p, QPoint q) {
        a = p;
        b = q;
    });
    QTest::mousePress(&v, Qt::LeftButton, {}, QPoint(10, 20));
    EXPECT_TRUE(v.Pressed());
    QTest::mouseRelease(&v, Qt::LeftButton, {}, QPoint(200, 120));
    EXPECT_FALSE(v.Pressed());
    EXPECT_EQ(a, QPoint(10, 20));
    EXPECT_EQ(b, QPoint(200, 120));
}

TEST(VideoView, DecoderDrawsIntoTheViewFromAnotherThread) {
    Window w;
    w.dlg->resize(1280, 720);
    w.dlg->show();
    QApplication::processEvents();
    CStaticEx* v = w.dlg->VideoView();
    const VidanaSize size = v->ClientSize();
    EXPECT_EQ(size.width, v->width());
    EXPECT_EQ(size.height, v->height());
    // A mid-grey I420 picture through the decoder library, on a worker thread.
    const int pw = 160, ph = 120;
    std::vector<std::uint8_t> yuv(pw * ph * 3 / 2, 128);
    std::fill(yuv.begin(), yuv.begin() + pw * ph, 200);
    CVidana& dec = w.dlg->Core().Decoder();
    int drawn = -1;
    std::thread t([&] {
        dec.SetHWND(v);
        drawn = dec.DecodeOstra(yuv.data(), static_cast<int>(yuv.size()), pw, ph);
        dec.ReleaseDecoder();
    });
    t.join();
    ASSERT_EQ(drawn, 0);
    QApplication::processEvents();
    // Shown 1:1 in the centre of the view; the rest of the view stays black.
    EXPECT_EQ(v->Picture().size(), QSize(pw, ph));
    const QImage shown = v->grab().toImage();
    const QPoint centre(v->width() / 2, v->height() / 2);
    const QColor c(shown.pixel(centre));
    EXPECT_NEAR(c.red(), c.green(), 12);
    EXPECT_GT(c.red(), 150);
    EXPECT_EQ(QColor(shown.pixel(centre + QPoint(pw / 2 + 20, 0))), QColor(Qt::black));
    EXPECT_EQ(QColor(shown.pixel(2, 2)), QColor(Qt::black));
}

// H.264 pictures are kept by the view and converted when painted, straight
// into the window's backing store: what is there equals the picture (as
// Picture() and grab() convert it), the bars are black and the parent around
// the view keeps its own colour.
TEST(VideoView, KeptPicturesArePaintedIntoTheBackingStore) {
    App();
    const TempDir dir;
    const std::string path = dir / "qqvga.h264";
    ASSERT_EQ(0, std::system(TestPatternCommand(TestCodec::H264, "size=160x120:rate=25",
                                                "-frames:v 3", "-bf 0", path)
                                 .c_str()));
    const std::string bytes = ReadFile(path);
    const std::vector<std::uint8_t> stream(bytes.begin(), bytes.end());
    QWidget top;
    top.resize(400, 300);
    top.setAutoFillBackground(true);
    QPalette red = top.palette();
    red.setColor(QPalette::Window, Qt::red);
    top.setPalette(red);
    auto* v = new CStaticEx(&top);
    v->setGeometry(20, 30, 320, 200);
    top.show();
    QApplication::processEvents();
    CVidana dec;
    std::thread t([&] {
        dec.SetHWND(v);
        for (const auto& unit : vidana::SplitAccessUnits(stream))
            dec.DecodeXFrame(unit.data(), static_cast<int>(unit.size()), kVidanaFrameH264);
        dec.ReleaseDecoder();
    });
    t.join();
    QApplication::processEvents();
    const QImage picture = v->Picture();
    ASSERT_EQ(picture.size(), QSize(267, 200)); // 4:3 fitted into 320 x 200
    v->repaint();
    auto* store = dynamic_cast<QImage*>(top.backingStore()->paintDevice());
    ASSERT_NE(store, nullptr);
    const QPoint at = v->mapTo(&top, QPoint((320 - 267) / 2, 0));
    int differing = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            differing += store->pixel(at + QPoint(x, y)) != picture.pixel(x, y);
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(QColor(store->pixel(at + QPoint(-1, 100))), QColor(Qt::black));
    EXPECT_EQ(QColor(store->pixel(at + QPoint(267, 100))), QColor(Qt::black));
    EXPECT_EQ(QColor(store->pixel(v->mapTo(&top, QPoint(-1, 100)))), QColor(Qt::red));
    EXPECT_EQ(QColor(store->pixel(v->mapTo(&top, QPoint(320, 100)))), QColor(Qt::red));
    EXPECT_EQ(QColor(store->pixel(v->mapTo(&top, QPoint(100, 200)))), QColor(Qt::red));
    EXPECT_EQ(v->grab().toImage().copy(QRect(QPoint((320 - 267) / 2, 0), picture.size()))
                  .convertToFormat(QImage::Format_RGB32),
              picture.convertToFormat(QImage::Format_RGB32));
}

TEST(Audio, ButtonTogglesCaptureAndMeterShowsIt) {
    std::vector<int16_t> tone(44100 * 2);
    for (std::size_t i = 0; i < tone.size(); i += 2)
        tone[i] = tone[i + 1] = static_cast<int16_t>(20000 * std::sin(i * 0.01));
    AlsaTestDevices::Get().WriteCapture(tone);
    Window w;
    w.dlg->show();
    auto* button = w.dlg->Ctl<QPushButton>(1102);
    auto* meter = dynamic_cast<AudioMeterView*>(w.dlg->Control(1103));
    ASSERT_TRUE(meter);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), U("停止音频"));
    QTRY_VERIFY_WITH_TIMEOUT(!meter->ShownPicture().isNull(), 5000);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), U("开启音频"));
    EXPECT_TRUE(dynamic_cast<AudioMeterView*>(w.dlg->Control(1106))->ShownPicture().isNull());
}

// ---- operator scripts in the window

namespace {
int RunScript(CTarvexDlg& dlg, const std::string& text, std::string* out = nullptr) {
    std::vector<ScriptStep> steps;
    std::string err;
    EXPECT_TRUE(ParseScript(text, steps, err)) << err;
    CaptureStdout();
    CScriptRunner runner(dlg, steps);
    runner.Start();
    dlg.exec();
    const std::string o = GetCapturedStdout();
    if (out) *out = o;
    return runner.ExitCode();
}
} // namespace

TEST(Script, ActsThroughTheWindowsHandlers) {
    Window w;
    w.Register("34020000001320000001");
    const std::string png = w.dir.File("meter.png");
    std::string out;
    const int rc = RunScript(*w.dlg,
                             "click 1080 3\n"
                             "set 1091 <Query>\\r\\n</Query>\n"
                             "check 1092 on\n"
                             "press 1093\n"
                             "click 1080 1\n"
                             "set 1065 99\n"
                             "drag 5 6 100 50\n"
                             "about\n"
                             "settings local.port=5090 ptz.speed=12 local.transport=TCP local.verify=1\n"
                             "shot " + png + " 1103\n"
                             "exit\n",
                             &out);
    EXPECT_EQ(rc, 0) << out;
    auto sent = w.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[0].body.find("<TeleBoot>Boot</TeleBoot>"), std::string::npos);
    EXPECT_EQ(sent[1].kind, 4); // the edited text goes with the kind of the last build
    EXPECT_EQ(sent[1].body, "<Query>\r\n</Query>");
    // In custom mode the click only shows its text.
    EXPECT_TRUE(w.dlg->Ctl<QPlainTextEdit>(1091)->toPlainText().contains("<CmdType>DeviceStatus</CmdType>"));
    EXPECT_EQ(w.dlg->Inputs().drag, (DragRect{5, 6, 100, 50}));
    EXPECT_NE(out.find("about: Tarvex 2.0"), std::string::npos) << out;
    EXPECT_NE(out.find("line 11: exit"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(png));
    EXPECT_EQ(w.dlg->result(), QDialog::Accepted);
    EXPECT_EQ(w.dlg->Core().Settings().localTransport, 1);
    // The exit button stored what the settings and the speed edit changed.
    EXPECT_NE(w.IniText().find("端口=5090"), std::string::npos);
    EXPECT_NE(w.IniText().find("速度=12"), std::string::npos) << w.IniText();
    EXPECT_NE(w.IniText().find("验证密码=1"), std::string::npos) << w.IniText();
}

TEST(Script, WaitsRunOutWithStatusOne) {
    Window w;
    std::string out;
    EXPECT_EQ(RunScript(*w.dlg, "wait-log Catalog 200\nexit\n", &out), 1);
    EXPECT_NE(out.find("line 1: FAILED: wait-log Catalog 200: no log row contains \"Catalog\""),
              std::string::npos)
        << out;
    EXPECT_EQ(w.dlg->result(), QDialog::Rejected);
    EXPECT_FALSE(out.find("line 2: exit") != std::string::npos);

    Window w2;
    EXPECT_EQ(RunScript(*w2.dlg, "wait-registered 100\n", &out), 1);
    EXPECT_NE(out.find("no device registered within 100 ms"), std::string::npos);
}

TEST(Script, WaitsSucceedWhenTheStateArrives) {
    Window w;
    QTimer::singleShot(100, [&] {
        w.dlg->Core().OnDeviceRegistered({"34020000001320000001", "127.0.0.1", 5060});
        LoggedMessage m;
        m.head = "MESSAGE sip:x SIP/2.0\r\n\r\n\n";
        m.body = "<Catalog/>";
        w.dlg->Core().OnMessageLogged(m);
    });
    std::string out;
    EXPECT_EQ(RunScript(*w.dlg, "wait-log <Catalog/> 3000\nwait-registered 100\nexit\n", &out), 0)
        << out;
    EXPECT_NE(out.find("log row 0 contains"), std::string::npos);
}

TEST(Script, StepsThatCannotBeDoneFail) {
    const char* scripts[] = {"click 1080 43\n", "tree nothing\n", "press 1234\n",
                             "settings local.nothing=1\n", "settings local.port=abc\n",
                             "shot /nonexistent/dir/x.png\n", "set 1007 x\n"};
    for (const char* s : scripts) {
        Window w;
        std::string out;
        EXPECT_EQ(RunScript(*w.dlg, s, &out), 1) << s << out;
        EXPECT_NE(out.find("FAILED"), std::string::npos) << s;
        EXPECT_FALSE(w.HasIni() && w.IniText().find("abc") != std::string::npos);
    }
}

TEST(Script, TreeClicksTheFirstMatchingItemDepthFirst) {
    Window w;
    // A device with a channel, and a second device whose identifier is that
    // channel's: depth first, the channel comes first.
    w.Register("34020000001320000001", "34020000001310000001");
    w.Register("34020000001310000001");
    ASSERT_EQ(w.dlg->DeviceTree()->topLevelItem(0)->childCount(), 2);
    EXPECT_EQ(RunScript(*w.dlg, "tree 34020000001310000001\nexit\n"), 0);
    EXPECT_EQ(w.dlg->Ctl<QTreeWidget>(1081)->topLevelItemCount(), 6); // a channel's media rows
}

int main(int argc, char** argv) {
    AlsaTestDevices::Get(); // before any ALSA call of the process
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// ---- the log as Wireshark users expect: display filter, find-next, auto-follow

namespace {

// A keepalive of dev received, or (sent) our 200 for it; every fifth a Catalog.
void LogRows(CTarvexDlg& dlg, int from, int count) {
    for (int i = from; i < from + count; ++i) {
        LoggedMessage m;
        m.peerUser = i % 2 ? "34020000001320000002" : "34020000001320000001";
        m.direction = i % 3 == 0 ? kLogSent : kLogReceived;
        const char* cmd = i % 5 == 0 ? "Catalog" : "Keepalive";
        m.head = "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCall-ID: row-" +
                 std::to_string(i) + "\r\n\r\n\n";
        m.body = std::string("<?xml version=\"1.0\"?>\r\n<Notify><CmdType>") + cmd + "</CmdType><SN>" +
                 std::to_string(i) + "</SN><DeviceID>" + m.peerUser + "</DeviceID></Notify>\r\n";
        dlg.Core().OnMessageLogged(m);
    }
    dlg.TakeLogRows();
}

} // namespace

// Rows are filed under a registered device; the filter's dev also reads the
// DeviceID of the body, which tells the rows' devices apart here.
TEST(LogView, DisplayFilterKeepsMatchingRowsAndNewOnesAndRefusesBadTexts) {
    Window w;
    w.Register("34020000001320000009");
    const std::size_t base = w.dlg->Core().Log().Size();
    LogRows(*w.dlg, 0, 40);
    auto* filter = w.dlg->Ctl<QLineEdit>(1201);
    ASSERT_NE(filter, nullptr);
    CLogModel* m = w.dlg->MessageList()->Model();
    // Typed into the bar and applied with Enter, as the operator does.
    filter->setText("cmd==Catalog && dev==34020000001320000001");
    QTest::keyClick(filter, Qt::Key_Return);
    // SN 0, 10, 20, 30: Catalog (multiple of 5) of device ...01 (even).
    ASSERT_EQ(m->rowCount(), 4);
    for (int r = 0; r < 4; ++r) {
        EXPECT_TRUE(m->Row(r)[3].contains(QString("<SN>%1</SN>").arg(r * 10))) << m->Row(r)[3].toStdString();
        EXPECT_EQ(m->LogRow(r), static_cast<int>(base) + r * 10);
    }
    EXPECT_EQ(w.dlg->findChild<QLabel*>("logFilterStatus")->text(), QString("4 / %1 行").arg(base + 40));
    // New rows pass the same filter as they come.
    LogRows(*w.dlg, 40, 20);
    EXPECT_EQ(m->rowCount(), 6);
    // A text that does not parse: marked, the reason shown, the rows as they were.
    filter->setText("cmd==");
    QTest::keyClick(filter, Qt::Key_Return);
    EXPECT_EQ(m->rowCount(), 6);
    EXPECT_EQ(w.dlg->findChild<QLabel*>("logFilterStatus")->text(), "\"cmd ==\" needs a value");
    EXPECT_TRUE(filter->styleSheet().contains("#ffd0d0"));
    EXPECT_TRUE(w.dlg->ApplyLogFilter("dir==sent"));
    EXPECT_EQ(m->rowCount(), 20); // i % 3 == 0 of 0..59
    // Cleared: every row again.
    EXPECT_TRUE(w.dlg->ApplyLogFilter(""));
    EXPECT_EQ(m->rowCount(), static_cast<int>(base) + 60);
}

TEST(LogView, FindNextSelectsTheNextMatchingRowAndWraps) {
    Window w;
    w.Register("34020000001320000009");
    const int base = static_cast<int>(w.dlg->Core().Log().Size());
    LogRows(*w.dlg, 0, 30);
    EXPECT_EQ(w.dlg->FindNext("Catalog"), base + 0);
    EXPECT_EQ(w.dlg->FindNext("Catalog"), base + 5);
    EXPECT_EQ(w.dlg->MessageList()->currentIndex().row(), base + 5);
    auto* text = w.dlg->Ctl<QLineEdit>(1203);
    text->setText("<SN>25</SN>");
    w.dlg->Ctl<QPushButton>(1202)->click();
    EXPECT_EQ(w.dlg->MessageList()->currentIndex().row(), base + 25);
    EXPECT_EQ(w.dlg->FindNext("Catalog"), 0 + base); // from 25 on there is none: wraps to the top
    EXPECT_EQ(w.dlg->FindNext("no such text"), -1);
}

TEST(LogView, AutoFollowPausesWhileScrolledUpAndResumesAtTheBottom) {
    Window w;
    w.Register("34020000001320000009");
    w.dlg->show();
    CListX* list = w.dlg->MessageList();
    list->resize(600, 200);
    QScrollBar* bar = list->verticalScrollBar();
    LogRows(*w.dlg, 0, 200);
    QApplication::processEvents();
    EXPECT_TRUE(w.dlg->LogFollowing());
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    // The operator scrolls up: new rows do not move the view.
    bar->setValue(bar->maximum() / 2);
    EXPECT_FALSE(w.dlg->LogFollowing());
    const int held = bar->value();
    LogRows(*w.dlg, 200, 100);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), held);
    EXPECT_LT(bar->value(), bar->maximum());
    // Back at the end: following again.
    bar->setValue(bar->maximum());
    EXPECT_TRUE(w.dlg->LogFollowing());
    LogRows(*w.dlg, 300, 100);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(list->viewport()->rect().intersects(list->visualRect(list->Model()->index(list->Model()->rowCount() - 1, 0))));
}

TEST(LogView, ScriptSetAppliesTheFilterAsEnterDoes) {
    Window w;
    w.Register("34020000001320000009");
    LogRows(*w.dlg, 0, 30);
    std::string out;
    EXPECT_EQ(RunScript(*w.dlg, "set 1201 \"cmd==Catalog && dir==received\"\nexit\n", &out), 0) << out;
    EXPECT_EQ(w.dlg->MessageList()->Model()->rowCount(), 4) << out; // 5, 10, 20, 25
}

namespace {
// One INVITE call with a keepalive in between, as the endpoint reports them:
// sent messages without a source, received ones with theirs.
void LogCall(CTarvexDlg& dlg) {
    auto log = [&](int dir, const std::string& head, const std::string& body) {
        LoggedMessage m;
        m.direction = dir;
        m.peerUser = "34020000001320000009";
        if (dir == kLogReceived) {
            m.sourceHost = "127.0.0.1";
            m.sourcePort = 5070;
        }
        m.head = head;
        m.body = body;
        dlg.Core().OnMessageLogged(m);
    };
    const std::string via = "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-1\r\n";
    log(kLogSent, "INVITE sip:34020000001310000001@127.0.0.1:5070 SIP/2.0\r\n" + via +
                      "Call-ID: call-77\r\nCSeq: 20 INVITE\r\nSubject: 34020000001310000001:0,\r\n"
                      " 34020000002000000001:0\r\n\r\n\n",
        "v=0\r\ns=Play\r\n");
    log(kLogReceived, "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCall-ID: ka-1\r\n\r\n\n",
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify><CmdType>Keepalive</CmdType><Info>" +
            TextCodec::Utf8ToGbk("在线") + "</Info></Notify>\r\n");
    log(kLogReceived, "SIP/2.0 200 OK\r\n" + via + "Call-ID: call-77\r\nCSeq: 20 INVITE\r\n\r\n\n", "v=0\r\n");
    log(kLogSent, "ACK sip:34020000001310000001@127.0.0.1:5070 SIP/2.0\r\nCall-ID: call-77\r\nCSeq: 20 ACK\r\n\r\n\n",
        "No Body!\n");
    dlg.TakeLogRows();
}
} // namespace

// The direction and peer columns, and selecting a row shows it whole: decoded
// text, every header (copyable), the raw bytes, and its call's ladder.
TEST(LogView, SelectedRowShownWholeWithHeadersBytesAndItsCallsLadder) {
    Window w;
    w.Register("34020000001320000009");
    const int base = static_cast<int>(w.dlg->Core().Log().Size());
    LogCall(*w.dlg);
    CLogModel* m = w.dlg->MessageList()->Model();
    ASSERT_EQ(m->rowCount(), base + 4);
    struct Want {
        const char* dir;
        const char* peer;
    } want[] = {{"→ 发送", "127.0.0.1:5070"}, {"← 接收", "127.0.0.1:5070"}, {"← 接收", "127.0.0.1:5070"},
                {"→ 发送", "127.0.0.1:5070"}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m->data(m->index(base + i, CLogModel::kDirection), Qt::DisplayRole).toString(), U(want[i].dir));
        EXPECT_EQ(m->data(m->index(base + i, CLogModel::kPeer), Qt::DisplayRole).toString(), U(want[i].peer));
    }
    // The filter reads the direction the column shows.
    ASSERT_TRUE(w.dlg->ApplyLogFilter("callid==call-77 && dir==received"));
    EXPECT_EQ(m->rowCount(), 1);
    ASSERT_TRUE(w.dlg->ApplyLogFilter(""));

    CMessageView* view = w.dlg->MessageView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(w.dlg->Control(1210), view);
    // Selecting the keepalive: its GB2312 body decoded, the raw bytes as logged.
    w.dlg->MessageList()->setCurrentIndex(m->index(base + 1, 0));
    EXPECT_EQ(view->ShownRow(), base + 1);
    const QString text = view->MessageText()->toPlainText();
    EXPECT_TRUE(text.contains(U("← 接收  来自 127.0.0.1:5070"))) << text.toStdString();
    EXPECT_TRUE(text.contains("MESSAGE sip:34020000002000000001@3402000000 SIP/2.0"));
    EXPECT_TRUE(text.contains(U("<Info>在线</Info>"))) << text.toStdString();
    EXPECT_TRUE(view->MessageText()->isReadOnly());
    // "在线" in GB2312 is d4 da cf df.
    EXPECT_TRUE(view->RawText()->toPlainText().contains("d4 da cf df")) << view->RawText()->toPlainText().toStdString();
    // The INVITE: every header, the folded Subject in one.
    w.dlg->MessageList()->setCurrentIndex(m->index(base, 0));
    QTreeWidget* headers = view->HeaderTree();
    ASSERT_EQ(headers->topLevelItemCount(), 5);
    EXPECT_EQ(headers->topLevelItem(0)->text(1), "INVITE sip:34020000001310000001@127.0.0.1:5070 SIP/2.0");
    EXPECT_EQ(headers->topLevelItem(4)->text(0), "Subject");
    EXPECT_EQ(headers->topLevelItem(4)->text(1), "34020000001310000001:0, 34020000002000000001:0");
    headers->topLevelItem(2)->setSelected(true);
    headers->topLevelItem(3)->setSelected(true);
    EXPECT_EQ(view->SelectedHeaders(), "Call-ID: call-77\nCSeq: 20 INVITE");
    // The ladder: the three messages of call-77, the keepalive left out.
    view->setCurrentIndex(CMessageView::kLadder);
    const CallLadder& ladder = view->Ladder()->Ladder();
    EXPECT_EQ(ladder.callId, "call-77");
    ASSERT_EQ(ladder.steps.size(), 3u);
    EXPECT_EQ(ladder.steps[0].label, "INVITE");
    EXPECT_EQ(ladder.steps[1].label, "200 OK");
    EXPECT_EQ(ladder.steps[1].direction, 2);
    EXPECT_EQ(ladder.steps[2].label, "ACK");
    EXPECT_EQ(ladder.selected, 0);
    // A click on the ACK's arrow selects its row in the list.
    w.dlg->show();
    view->Ladder()->resize(600, 300);
    QTest::mouseClick(view->Ladder(), Qt::LeftButton, {}, view->Ladder()->StepRect(2).center());
    EXPECT_EQ(w.dlg->MessageList()->currentIndex().row(), base + 3);
    EXPECT_EQ(view->Ladder()->Ladder().selected, 2);
    // A new row of the call reaches the ladder on show.
    LoggedMessage bye;
    bye.direction = kLogSent;
    bye.head = "BYE sip:34020000001310000001@127.0.0.1:5070 SIP/2.0\r\nCall-ID: call-77\r\n\r\n\n";
    bye.body = "No Body!\n";
    w.dlg->Core().OnMessageLogged(bye);
    w.dlg->TakeLogRows();
    ASSERT_EQ(view->Ladder()->Ladder().steps.size(), 4u);
    EXPECT_EQ(view->Ladder()->Ladder().steps[3].label, "BYE");
}

TEST(LogView, DoubleClickOnTheTimeColumnOpensTheWholeMessage) {
    Window w;
    w.Register("34020000001320000009");
    const int base = static_cast<int>(w.dlg->Core().Log().Size());
    LogCall(*w.dlg);
    w.dlg->show();
    CListX* list = w.dlg->MessageList();
    list->scrollTo(list->Model()->index(base + 2, 0));
    QApplication::processEvents();
    QString shown;
    int rowShown = -2;
    testsupport::WhenModal([&](QDialog* d) {
        if (auto* dlg = qobject_cast<CMessageDlg*>(d)) {
            shown = dlg->View()->MessageText()->toPlainText();
            rowShown = dlg->View()->ShownRow();
        }
        d->reject();
    });
    const QRect cell = list->visualRect(list->Model()->index(base + 2, CLogModel::kTime));
    // A real double click: press, release, then the double click on the same cell.
    const QPoint at = cell.center() + QPoint(20, 0);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(rowShown, base + 2);
    EXPECT_TRUE(shown.contains("SIP/2.0 200 OK")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("v=0"));
}

// The session's figure updates reach the plots of "媒体统计" on the GUI thread.
TEST(MediaPlots, FigureUpdatesFromAnotherThreadAreDrawnOverTime) {
    Window w;
    CMediaPlots* plots = w.dlg->MediaPlots();
    ASSERT_NE(plots, nullptr);
    EXPECT_EQ(w.dlg->Control(1216), plots);
    EXPECT_EQ(plots->Summary(), U("没有媒体流"));
    std::thread media([&] {
        for (int i = 0; i < 3; ++i) {
            MediaViewUpdate u;
            StreamFigures f;
            f.elapsed = i;
            f.frames = static_cast<std::uint32_t>(25 * (i + 1));
            f.fps = 25;
            f.kbytesPerSecond = 250;
            f.lostPackets = static_cast<std::uint64_t>(i * 4);
            f.haveJitter = i > 0;
            f.jitterMs = 2.5 * i;
            f.haveSsrc = true;
            f.ssrc = 200000001;
            f.streamType = 0x1B;
            f.width = 1920;
            f.height = 1080;
            u.figures = f;
            u.statistics = "line";
            w.dlg->ShowMediaFigures(u);
            std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        }
    });
    media.join();
    QApplication::processEvents();
    const QList<QPointF> fps = plots->Points(CMediaPlots::kFrameRate);
    ASSERT_EQ(fps.size(), 3);
    EXPECT_EQ(fps[2].y(), 25);
    EXPECT_GE(fps[2].x(), 2.0);
    EXPECT_EQ(plots->Points(CMediaPlots::kBitRate)[0].y(), 2048); // 250 KB/s
    EXPECT_GE(plots->AxisMax(CMediaPlots::kBitRate), 2048);
    EXPECT_EQ(plots->Points(CMediaPlots::kLoss)[1].y(), 4);
    EXPECT_TRUE(plots->Summary().contains(U("丢包共 8 包"))) << plots->Summary().toStdString();
    const QList<QPointF> jitter = plots->Points(CMediaPlots::kJitter);
    ASSERT_EQ(jitter.size(), 3);
    EXPECT_EQ(jitter[0].y(), 0);
    EXPECT_EQ(jitter[2].y(), 5.0);
    EXPECT_TRUE(plots->Summary().contains(U("抖动 5.0 ms"))) << plots->Summary().toStdString();
    EXPECT_EQ(plots->StreamText(), U("H.264  1920x1080  SSRC 0x0BEBC201 (200000001)"));
    EXPECT_EQ(w.dlg->Control(1218)->property("text").toString(), plots->StreamText());
}

// Two open calls in the pane's chooser, each drawing its own figures; the
// first entry follows the drawn stream, and an ended call is marked.
TEST(MediaPlots, ChooserShowsEachOpenCallsFigures) {
    Window w;
    CMediaPlots* plots = w.dlg->MediaPlots();
    QComboBox* chooser = plots->findChild<QComboBox*>("mediaCall");
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(chooser->count(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    auto call = [](int slot, int cid, const char* channel, bool drawn, int fps, int kBps,
                   std::int64_t elapsed, std::uint32_t ssrc) {
        CallFigures c;
        c.slot = slot;
        c.callId = cid;
        c.channel = channel;
        c.drawn = drawn;
        c.figures.elapsed = elapsed;
        c.figures.frames = static_cast<std::uint32_t>(fps * (elapsed + 1));
        c.figures.fps = fps;
        c.figures.kbytesPerSecond = kBps;
        c.figures.haveSsrc = true;
        c.figures.ssrc = ssrc;
        c.figures.streamType = 0x1B;
        return c;
    };
    for (int i = 0; i < 3; ++i)
        plots->UpdateCalls({call(0, 10, "34020000001310000001", true, 25, 250, i, 1),
                            call(2, 20, "34020000001310000002", false, 12, 500, i, 2)},
                           t0 + std::chrono::seconds(i));
    ASSERT_EQ(chooser->count(), 3);
    EXPECT_EQ(chooser->currentIndex(), 0); // follows the drawn stream: none posted
    EXPECT_EQ(plots->Summary(), U("没有媒体流"));
    EXPECT_EQ(chooser->itemText(1), U("实时 34020000001310000001 (显示中)"));
    EXPECT_EQ(chooser->itemText(2), U("下载 34020000001310000002"));
    const struct {
        int index;
        int fps, kbit;
        const char* stream;
    } rows[] = {{1, 25, 2048, "H.264  分辨率未知  SSRC 0x00000001 (1)"},
                {2, 12, 4096, "H.264  分辨率未知  SSRC 0x00000002 (2)"}};
    for (const auto& r : rows) {
        chooser->setCurrentIndex(r.index);
        const QList<QPointF> fps = plots->Points(CMediaPlots::kFrameRate);
        ASSERT_EQ(fps.size(), 3) << r.index;
        EXPECT_EQ(fps[2].y(), r.fps) << r.index;
        EXPECT_EQ(plots->Points(CMediaPlots::kBitRate)[2].y(), r.kbit) << r.index;
        EXPECT_EQ(plots->StreamText(), U(r.stream)) << r.index;
    }
    // The download ends: still chosen, marked, its plots kept.
    plots->UpdateCalls({call(0, 10, "34020000001310000001", true, 25, 250, 3, 1)},
                       t0 + std::chrono::seconds(3));
    EXPECT_EQ(chooser->currentIndex(), 2);
    EXPECT_EQ(chooser->itemText(2), U("下载 34020000001310000002 (已结束)"));
    EXPECT_EQ(plots->Points(CMediaPlots::kFrameRate).size(), 3);
    // Gone after its minutes: the chooser falls back to the drawn stream.
    plots->UpdateCalls({call(0, 10, "34020000001310000001", true, 25, 250, 4, 1)},
                       t0 + std::chrono::seconds(3) + MediaCalls::kDropAfter);
    EXPECT_EQ(chooser->count(), 2);
    EXPECT_EQ(chooser->currentIndex(), 0);
}

// A control on a tab page that is not shown is brought up and drawn at the size asked for.
TEST(Script, ShotOfATabPageAtAGivenSize) {
    Window w;
    w.Register("34020000001320000009");
    LogCall(*w.dlg);
    w.dlg->show();
    const std::string file = w.dir.File("ladder.png");
    std::string out;
    EXPECT_EQ(RunScript(*w.dlg, "set 1203 \"INVITE sip\"\nshot " + file + " 1214 700 380\nexit\n", &out), 0)
        << out;
    const QImage img(QString::fromStdString(file));
    EXPECT_EQ(img.size(), QSize(700, 380));
    EXPECT_EQ(w.dlg->MessageView()->currentIndex(), CMessageView::kLadder);
    EXPECT_EQ(w.dlg->MessageView()->Ladder()->Ladder().steps.size(), 3u);
    // The arrow colours of the sent INVITE (blue) and the received 200 (green) are drawn.
    bool blue = false, green = false;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c(img.pixel(x, y));
            blue |= c.blue() > 150 && c.red() < 40 && c.green() < 120;
            green |= c.green() > 100 && c.red() < 40 && c.blue() < 90;
        }
    EXPECT_TRUE(blue);
    EXPECT_TRUE(green);
}
