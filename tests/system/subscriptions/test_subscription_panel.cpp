// The subscriptions window offscreen over a core with a recording endpoint:
// its buttons subscribe and unsubscribe the selected target, its tables
// follow answers and notifications, 报警复位 goes out for the chosen alarm,
// the plot takes the channel's positions; and the same buttons over the real
// endpoint against a SIPp device that serves subscriptions its own way.

#include "app/core/CoreRig.h"
#include "app/shell/CListX.h"
#include "app/shell/SubscriptionPanel.h"
#include "app/shell/TreeEventMarker.h"
#include "sip/endpoint/CSIP.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "support/common/Sipp.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <sys/socket.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

constexpr const char* kDev = "34020000001320000001";

void Log(CoreRig& rig, int dir, const std::string& head, const std::string& body,
         LoggedMessage::Role role = LoggedMessage::Role::Plain) {
    LoggedMessage m;
    m.direction = dir;
    m.role = role;
    m.deviceId = role == LoggedMessage::Role::Plain ? "" : kDev;
    m.peerUser = kDev;
    m.sourceHost = "127.0.0.1";
    m.head = head;
    m.body = body;
    rig.core->OnMessageLogged(m);
}

template <class W> W* Find(QWidget& w, const char* name) {
    W* c = w.findChild<W*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

TEST(SubscriptionPanel, ButtonsTablesAcknowledgeAndPlot) {
    CoreRig rig;
    Log(rig, kLogReceived, "REGISTER sip:x SIP/2.0\r\n\r\n\n", "No Body!\n", LoggedMessage::Role::Register);
    rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    SubscriptionPanel panel(*rig.core);
    Find<QComboBox>(panel, "subscriptionPackage")->setCurrentIndex(1); // 报警
    Find<QSpinBox>(panel, "subscriptionExpires")->setValue(600);
    Find<QSpinBox>(panel, "alarmStartPriority")->setValue(2);
    Find<QPushButton>(panel, "subscribe")->click();
    std::vector<SipRequest> subs;
    for (const auto& r : rig.Sent())
        if (r.kind == 7) subs.push_back(r);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].expires, 600);
    EXPECT_NE(subs[0].body.find("<StartAlarmPriority>2</StartAlarmPriority>"), std::string::npos);
    auto* table = Find<QTableWidget>(panel, "subscriptionTable");
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, 2)->text().toStdString(), "等待应答");
    SubscriptionReport ok;
    ok.subscriptionId = rig.core->Subscriptions()[0].sid;
    ok.status = 200;
    ok.expires = 600;
    rig.core->OnSubscription(ok);
    panel.Poll();
    EXPECT_EQ(table->item(0, 2)->text().toStdString(), "有效");

    for (int i = 0; i < 3; ++i)
        Log(rig, kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n",
            "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Alarm</CmdType><SN>" + std::to_string(i) +
                "</SN><DeviceID>34020000001340000001</DeviceID><AlarmMethod>5</AlarmMethod><AlarmDescription>a" +
                std::to_string(i) + "</AlarmDescription><Info><AlarmType>2</AlarmType></Info></Notify>\r\n");
    for (int i = 0; i < 4; ++i)
        Log(rig, kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n",
            "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>MobilePosition</CmdType><DeviceID>" + std::string(kDev) +
                "</DeviceID><Longitude>116." + std::to_string(i) + "</Longitude><Latitude>39.9</Latitude></Notify>\r\n");
    panel.Poll();
    auto* alarms = Find<QTableWidget>(panel, "alarmTable");
    ASSERT_EQ(alarms->rowCount(), 3);
    EXPECT_EQ(alarms->item(0, 6)->text().toStdString(), "a2"); // newest first
    alarms->selectRow(2);
    Find<QPushButton>(panel, "acknowledgeAlarm")->click();
    const SipRequest reset = rig.Sent().back();
    EXPECT_EQ(reset.kind, 4);
    EXPECT_NE(reset.body.find("<AlarmCmd>ResetAlarm</AlarmCmd>"), std::string::npos);
    EXPECT_NE(reset.body.find("<DeviceID>34020000001340000001</DeviceID>"), std::string::npos);
    EXPECT_NE(reset.body.find("<AlarmMethod>5</AlarmMethod>"), std::string::npos);
    EXPECT_NE(reset.body.find("<AlarmType>2</AlarmType>"), std::string::npos);
    EXPECT_EQ(alarms->item(2, 8)->text().toStdString(), "已复位");
    EXPECT_EQ(alarms->item(0, 8)->text().toStdString(), "");

    auto* plot = panel.findChild<PositionPlot*>("positionPlot");
    ASSERT_NE(plot, nullptr);
    EXPECT_EQ(plot->Track().size(), 4u);
    EXPECT_EQ(Find<QComboBox>(panel, "positionChannel")->currentText().toStdString(), kDev);
    panel.resize(400, 300);
    QImage image(panel.size(), QImage::Format_RGB32);
    plot->render(&image); // paints without a map
    Find<QPushButton>(panel, "unsubscribe")->click();
    EXPECT_EQ(rig.Sent().back().kind, 7);
    EXPECT_EQ(rig.Sent().back().expires, 0);
}

// PTZ位置 is offered only while the target's device declared X-GB-Ver 3.x;
// its 489 fallback shows in the state column, its Notify in the PTZ line.
TEST(SubscriptionPanel, PtzPositionOnlyFor2022DevicesWithItsFallbackShown) {
    for (const char* version : {"2.0", "3.0"}) {
        SCOPED_TRACE(version);
        const bool is2022 = std::string(version) == "3.0";
        CoreRig rig;
        Log(rig, kLogReceived, std::string("REGISTER sip:x SIP/2.0\r\nX-GB-Ver: ") + version + "\r\n\r\n\n", "No Body!\n",
            LoggedMessage::Role::Register);
        rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
        SubscriptionPanel panel(*rig.core);
        auto* package = Find<QComboBox>(panel, "subscriptionPackage");
        ASSERT_EQ(package->count(), is2022 ? 4 : 3);
        if (!is2022) continue;
        EXPECT_EQ(package->itemText(3).toStdString(), "PTZ位置");
        package->setCurrentIndex(3);
        Find<QPushButton>(panel, "subscribe")->click();
        SubscriptionReport r;
        r.subscriptionId = rig.core->Subscriptions()[0].sid;
        r.status = 489;
        r.phrase = "Bad Event";
        rig.core->OnSubscription(r);
        rig.Advance(0);
        r.subscriptionId = rig.core->Subscriptions()[0].sid;
        r.status = 200;
        r.expires = 3600;
        rig.core->OnSubscription(r);
        panel.Poll();
        auto* table = Find<QTableWidget>(panel, "subscriptionTable");
        ASSERT_EQ(table->rowCount(), 1);
        EXPECT_EQ(table->item(0, 1)->text().toStdString(), "PTZ位置");
        EXPECT_EQ(table->item(0, 2)->text().toStdString(), "有效 (489 后改用 Event: presence)");
        Log(rig, kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n",
            std::string("<?xml version=\"1.0\"?>\r\n<Notify><CmdType>PTZPosition</CmdType><SN>1</SN><DeviceID>") + kDev +
                "</DeviceID><Pan>120.50</Pan><Tilt>-15.00</Tilt><Zoom>4.00</Zoom></Notify>\r\n");
        panel.Poll();
        EXPECT_EQ(Find<QComboBox>(panel, "positionChannel")->currentText().toStdString(), kDev);
        const std::string ptz = Find<QLabel>(panel, "ptzText")->text().toStdString();
        EXPECT_EQ(ptz.rfind("PTZ 位置: Pan 120.50, Tilt -15.00, Zoom 4.00 (", 0), 0u) << ptz;
        EXPECT_NE(ptz.find("共 1 次"), std::string::npos) << ptz;
        // Unsubscribe from the same choice: Expires 0 in its dialog.
        Find<QPushButton>(panel, "unsubscribe")->click();
        EXPECT_EQ(rig.Sent().back().expires, 0);
        EXPECT_EQ(rig.Sent().back().subscriptionId, r.subscriptionId);
    }
}

// An alarm badges its device in the tree (icon, count, tooltip with the last
// position) until it is acknowledged; its log row is drawn dark red on pink.
TEST(TreeEventMarker, BadgeTooltipAndLogColourFollowTheAlarms) {
    CoreRig rig;
    Log(rig, kLogReceived, "REGISTER sip:x SIP/2.0\r\n\r\n\n", "No Body!\n", LoggedMessage::Role::Register);
    rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    int deviceItem = 0;
    std::function<void(const TreeItem&)> find = [&](const TreeItem& t) {
        if (t.kind == kNodeDevice) deviceItem = t.item;
        for (const auto& c : t.children) find(c);
    };
    find(rig.core->TreeSnapshot());
    ASSERT_GT(deviceItem, 0);
    QTreeWidget tree;
    auto* item = new QTreeWidgetItem(&tree, {QString(kDev)});
    item->setToolTip(0, "X-GB-Ver 2.0 (2016)");
    TreeEventMarker marker(nullptr, *rig.core, [&](int i) { return i == deviceItem ? item : nullptr; });
    marker.Refresh();
    EXPECT_TRUE(item->icon(0).isNull());

    for (int i = 0; i < 2; ++i)
        Log(rig, kLogReceived, "MESSAGE sip:p SIP/2.0\r\n\r\n\n",
            "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Alarm</CmdType><SN>1</SN><DeviceID>" +
                std::string(kDev) + "</DeviceID><AlarmMethod>5</AlarmMethod></Notify>\r\n");
    Log(rig, kLogReceived, "MESSAGE sip:p SIP/2.0\r\n\r\n\n",
        "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>MobilePosition</CmdType><DeviceID>" +
            std::string(kDev) + "</DeviceID><Time>2026-12-09T01:00:00</Time><Longitude>116.5</Longitude>"
            "<Latitude>39.9</Latitude></Notify>\r\n");
    marker.Refresh();
    EXPECT_FALSE(item->icon(0).isNull());
    EXPECT_EQ(item->data(0, TreeEventMarker::kAlarmsRole).toInt(), 2);
    EXPECT_EQ(item->toolTip(0).toStdString(),
              "X-GB-Ver 2.0 (2016)\n报警 2 条未复位\n位置: 经度 116.500000, 纬度 39.900000 (2026-12-09T01:00:00)");
    marker.Refresh(); // nothing new: the tooltip is not added twice
    EXPECT_EQ(item->toolTip(0).count("报警"), 1);

    // The log rows: the two alarms, not the REGISTER or the position.
    CLogModel model(rig.core->Log());
    model.TakeNewRows();
    int alarmRows = 0;
    for (int r = 0; r < model.rowCount(); ++r)
        alarmRows += model.index(r, 3).data(CLogModel::kAlarmRole).toBool();
    EXPECT_EQ(alarmRows, 2);
    QColor text, back;
    CListX::RowColours(false, false, true, text, back);
    EXPECT_EQ(text, QColor(170, 0, 0));
    EXPECT_EQ(back, QColor(255, 228, 228));
    CListX::RowColours(true, false, true, text, back); // checked wins
    EXPECT_EQ(back, QColor(0, 0, 128));

    for (const auto& a : rig.core->Alarms()) rig.core->AcknowledgeAlarm(a.serial);
    marker.Refresh();
    EXPECT_TRUE(item->icon(0).isNull());
    EXPECT_EQ(item->toolTip(0).toStdString(),
              "X-GB-Ver 2.0 (2016)\n位置: 经度 116.500000, 纬度 39.900000 (2026-12-09T01:00:00)");
    // A PTZ position follows the position, with the time it came.
    Log(rig, kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n",
        "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>PTZPosition</CmdType><DeviceID>" + std::string(kDev) +
            "</DeviceID><Pan>1</Pan><Tilt>2</Tilt><Zoom>3</Zoom></Notify>\r\n");
    marker.Refresh();
    const std::string tip = item->toolTip(0).toStdString();
    EXPECT_NE(tip.find("(2026-12-09T01:00:00)\nPTZ 位置: Pan 1.00, Tilt 2.00, Zoom 3.00 ("), std::string::npos) << tip;
}

// A storm of 1,000 alarm NOTIFYs a second from another thread (as the
// endpoint's) for a second: the window's event loop keeps turning (a 20 ms
// timer goes on firing, the open panel keeps polling) and every one is taken.
TEST(SubscriptionPanel, ANotifyStormNeverBlocksTheWindow) {
    CoreRig rig;
    Log(rig, kLogReceived, "REGISTER sip:x SIP/2.0\r\n\r\n\n", "No Body!\n", LoggedMessage::Role::Register);
    rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    SubscriptionPanel panel(*rig.core);
    panel.show();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    std::atomic<bool> done{false};
    std::thread storm([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            Log(rig, kLogReceived, "NOTIFY sip:p SIP/2.0\r\n\r\n\n",
                "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Alarm</CmdType><SN>" + std::to_string(i) +
                    "</SN><DeviceID>" + std::string(kDev) + "</DeviceID></Notify>\r\n");
            std::this_thread::sleep_until(start + std::chrono::milliseconds(i + 1));
        }
        done = true;
    });
    int ticksDuringStorm = 0;
    while (!done) {
        QTest::qWait(5);
        ticksDuringStorm = ticks;
    }
    storm.join();
    // About 50 ticks fit in the storm's second; a blocked loop would give none.
    EXPECT_GE(ticksDuringStorm, 5);
    EXPECT_EQ(rig.core->EventsTaken().first, 1000u);
    QTest::qWait(300); // one more poll of the panel
    EXPECT_EQ(Find<QTableWidget>(panel, "alarmTable")->rowCount(), 1000);
}


// SIPp plays a device with a scenario of its own: the panel's 订阅 button
// subscribes it to Catalog, Alarm and MobilePosition over the real endpoint;
// within the three dialogs it notifies a catalog change, three alarms and
// ten positions 100 ms apart, which the tree, the alarm table and the plot
// show; the 取消订阅 button ends each dialog (SIPp takes the SUBSCRIBE with
// Expires: 0, answers it 200 and sends its final NOTIFY).
TEST(SubscriptionPanel, SippDeviceNotifiesWithinTheDialogsTheButtonsOpened) {
    constexpr const char* kSippDev = "34010000001320000001";
    constexpr const char* kGate = "34010000001310000001";
    constexpr const char* kAdded = "34010000001310000002";
    TempDir dir;
    auto data = std::make_shared<MemoryStore::Data>();
    data->values = {{"本地服务器/协议", "0"}, {"本地服务器/ID", "34020000002000000001"},
                    {"本地服务器/端口", "0"}, {"本地服务器/地址", "127.0.0.1"}};
    auto sip = std::make_unique<CSIP>();
    CSIP* endpoint = sip.get();
    CTarvexCore::Parts parts;
    parts.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(data));
    parts.sip = std::move(sip);
    parts.searchIni = dir.File("Search.ini");
    CTarvexCore core(std::move(parts));
    RecordingView view;
    core.SetView(&view);
    core.Initialise();
    struct Stop {
        CTarvexCore& c;
        ~Stop() { c.Stop(); }
    } stop{core};
    ASSERT_GT(endpoint->BoundPort(), 0);

    DeviceScript script;
    script.deviceId = kSippDev;
    script.holdMs = 7000; // the subscriptions live in SIPp's out-of-call instances meanwhile
    WriteFile(dir.File("dev.xml"), MainScenario(script));
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(endpoint->BoundPort()), "-sf", dir.File("dev.xml"),
                            "-oocsf",
                            std::string(TARVEX_SOURCE_DIR) +
                                "/tests/system/subscriptions/scenarios/device_subscription_uas.xml",
                            "-set", "flow", "notify", "-i", "127.0.0.1", "-p",
                            std::to_string(FreePort(SOCK_DGRAM)), "-m", "1", "-t", "u1", "-nostdin", "-timeout",
                            "30s", "-trace_msg", "-message_file", dir.File("sipp.msg"), "-trace_err",
                            "-error_file", dir.File("sipp.err")},
                           dir.File("sipp.out")));
    auto channel = [&](const char* id) {
        std::optional<std::string> status;
        core.VisitDevices([&](const DeviceNode& d) {
            for (const auto& c : d.children)
                if (std::string(c->id) == id) status = c->status;
        });
        return status;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return channel(kGate).has_value(); }, 15000))
        << ReadFile(dir.File("sipp.err"));
    EXPECT_FALSE(channel(kAdded).has_value());

    SubscriptionPanel panel(core);
    auto* package = Find<QComboBox>(panel, "subscriptionPackage");
    Find<QSpinBox>(panel, "subscriptionInterval")->setValue(1);
    for (int i = 0; i < 3; ++i) {
        package->setCurrentIndex(i);
        Find<QPushButton>(panel, "subscribe")->click();
    }
    auto* subs = Find<QTableWidget>(panel, "subscriptionTable");
    auto* alarms = Find<QTableWidget>(panel, "alarmTable");
    auto* plot = panel.findChild<PositionPlot*>("positionPlot");
    ASSERT_NE(plot, nullptr);
    // The catalog change in the tree: the channel OFF, the added one there.
    EXPECT_TRUE(QTest::qWaitFor([&] { return channel(kGate) == "OFF" && channel(kAdded); }, 10000));
    std::function<bool(const TreeItem&)> shows = [&](const TreeItem& t) {
        if (t.text.find(kAdded) != std::string::npos || t.text.find("Added") != std::string::npos) return true;
        for (const auto& c : t.children)
            if (shows(c)) return true;
        return false;
    };
    EXPECT_TRUE(shows(core.TreeSnapshot()));
    // Three alarms in the table (newest first) and ten positions in the plot, in order.
    EXPECT_TRUE(QTest::qWaitFor([&] { return alarms->rowCount() == 3 && plot->Track().size() == 10u; }, 10000))
        << alarms->rowCount() << " alarms, " << plot->Track().size() << " positions";
    ASSERT_EQ(alarms->rowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(alarms->item(r, 2)->text().toStdString(), kGate);
        EXPECT_EQ(alarms->item(r, 3)->text().toStdString(), std::to_string(3 - r));
        EXPECT_EQ(alarms->item(r, 6)->text().toStdString(), "alarm " + std::to_string(3 - r));
    }
    ASSERT_EQ(plot->Track().size(), 10u);
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(plot->Track()[i].longitude, 116.10 + 0.01 * i);
        EXPECT_EQ(plot->Track()[i].time, "2026-12-09T10:00:" + std::to_string(10 + i));
    }
    ASSERT_EQ(subs->rowCount(), 3);
    const char* notified[] = {"1", "3", "10"};
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(subs->item(r, 2)->text().toStdString(), "有效");
        EXPECT_EQ(subs->item(r, 5)->text().toStdString(), notified[r]);
    }

    for (int i = 0; i < 3; ++i) {
        package->setCurrentIndex(i);
        Find<QPushButton>(panel, "unsubscribe")->click();
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (int r = 0; r < 3; ++r)
                if (subs->item(r, 2)->text() != QString::fromUtf8("已终止")) return false;
            return true;
        },
        10000));
    for (const auto& s : core.Subscriptions()) EXPECT_EQ(s.reason, "unsubscribed") << tvsub::PackageName(s.request.package);
    EXPECT_EQ(sipp.Wait(20000), 0) << ReadFile(dir.File("sipp.out")) << ReadFile(dir.File("sipp.err"));
    // SIPp only logs a failed check of the Expires it took: none may be there.
    EXPECT_EQ(ReadFile(dir.File("sipp.err")).find("Failed regexp"), std::string::npos)
        << ReadFile(dir.File("sipp.err"));
    // From SIPp's side: each dialog ended by our Expires: 0, answered 200 and
    // followed by its final NOTIFY; each of its NOTIFYs answered 200.
    const auto trace = ReadSippTrace(dir.File("sipp.msg"));
    auto answered = [&](const TracedMessage& request, bool bySipp) {
        for (const auto& m : trace)
            if (m.sentBySipp == bySipp && m.Status() == 200 && m.Header("Call-ID") == request.Header("Call-ID") &&
                m.Header("CSeq") == request.Header("CSeq"))
                return true;
        return false;
    };
    int ends = 0;
    for (const auto& sub : ReceivedRequests(trace, "SUBSCRIBE")) {
        if (sub.Header("Expires") != "0") continue;
        ++ends;
        EXPECT_TRUE(answered(sub, true)) << sub.text;
        bool finalNotify = false;
        for (const auto& m : trace)
            finalNotify |= m.sentBySipp && m.Method() == "NOTIFY" && m.Header("Call-ID") == sub.Header("Call-ID") &&
                           m.Header("Subscription-State") == "terminated";
        EXPECT_TRUE(finalNotify) << sub.text;
    }
    std::set<std::string> notifies;
    for (const auto& m : trace)
        if (m.sentBySipp && m.Method() == "NOTIFY" && answered(m, false)) notifies.insert(m.Transaction());
    EXPECT_EQ(notifies.size(), 17u); // 1 + 3 + 10 and the three final ones
    EXPECT_EQ(ends, 3);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
