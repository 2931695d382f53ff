// The subscriptions window offscreen over a core with a recording endpoint:
// its buttons subscribe and unsubscribe the selected target, its tables
// follow answers and notifications, 报警复位 goes out for the chosen alarm,
// the plot takes the channel's positions.

#include "app/core/CoreRig.h"
#include "app/shell/SubscriptionPanel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

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

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
