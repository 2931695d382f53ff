// A device that misses its keepalives is marked offline in the device tree
// after the configured number of intervals, and back online with the next
// keepalive; the core's clock is stepped by hand.
#include "app/core/CoreRig.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const std::string kDevice = "34020000001320000001";

LoggedMessage Keepalive(bool declaration) {
    LoggedMessage m;
    m.direction = kLogReceived;
    m.peerUser = kDevice;
    m.head = "MESSAGE sip:34020000002000000001@10.1.1.1:5060 SIP/2.0\r\nFrom: <sip:" + kDevice +
             "@3402000000>;tag=1\r\n\n";
    m.body = std::string(declaration ? "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" : "") +
             "<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>1</SN>\r\n<DeviceID>" + kDevice +
             "</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n";
    return m;
}

// The offline marks the view would get now.
std::vector<std::pair<int, bool>> Marks(CoreRig& rig) { return rig.core->TakeTreeDelta().offline; }

TEST(KeepaliveOffline, MarkedAfterTheMissesAndBackWithTheNextKeepalive) {
    CoreRig rig; // no 心跳周期 configured: every 60 s, 3 misses
    rig.core->Initialise();
    rig.core->OnDeviceRegistered({kDevice, "10.1.1.2", 5060});
    Marks(rig); // the registration's own redraw
    int item = 0;
    rig.core->VisitDevices([&](const DeviceNode& n) { item = n.treeItem; });
    ASSERT_GT(item, 0);

    struct Step {
        int advanceMs;
        int keepalive; // 0 none, 1 with declaration, 2 without
        bool offline;
        std::vector<std::pair<int, bool>> marks;
    };
    const Step steps[] = {
        {170000, 1, false, {}},         // in time
        {180000, 0, false, {}},         // silent for exactly three intervals: not yet
        {1, 0, true, {{item, true}}},   // beyond them: offline
        {60000, 0, true, {}},           // stays offline, marked once
        {1000, 2, false, {{item, false}}}, // a keepalive without declaration counts too
        {180001, 0, true, {{item, true}}},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE("step " + std::to_string(++n));
        rig.Advance(s.advanceMs);
        if (s.keepalive) rig.core->OnMessageLogged(Keepalive(s.keepalive == 1));
        EXPECT_EQ(rig.core->DeviceOffline(kDevice), s.offline);
        EXPECT_EQ(Marks(rig), s.marks);
    }
    // A new registration is online again at once.
    rig.core->OnDeviceRegistered({kDevice, "10.1.1.2", 5060});
    EXPECT_FALSE(rig.core->DeviceOffline(kDevice));
    EXPECT_EQ(Marks(rig), (std::vector<std::pair<int, bool>>{{item, false}}));
}

// The core's own timer thread marks the device on the real clock: one
// keepalives of 1 s missed (心跳周期=1, 心跳超时次数=2) are enough.
TEST(KeepaliveOffline, TheTimerThreadMarksWithoutAnyOtherEvent) {
    auto data = std::make_shared<MemoryStore::Data>();
    data->values = {{"本地服务器/协议", "0"}, {"本地服务器/ID", "34020000002000000001"},
                    {"互联系统/心跳周期", "1"}};
    CTarvexCore::Parts p;
    p.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(data));
    p.sip = std::make_unique<FakeEndpoint>(std::make_shared<SipLog>());
    p.searchIni = "/dev/null";
    p.keepaliveMisses = 2;
    CTarvexCore core(std::move(p));
    RecordingView view;
    core.SetView(&view);
    testing::internal::CaptureStdout();
    core.Initialise();
    core.OnDeviceRegistered({kDevice, "10.1.1.2", 5060});
    auto waitOffline = [&](bool offline) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (core.DeviceOffline(kDevice) != offline && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return core.DeviceOffline(kDevice) == offline;
    };
    EXPECT_TRUE(waitOffline(true));
    core.OnMessageLogged(Keepalive(true));
    EXPECT_FALSE(core.DeviceOffline(kDevice));
    EXPECT_TRUE(waitOffline(true)); // and again after the next silence
    core.Stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("device " + kDevice + " offline: 2 keepalives missed (interval 1 s)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("device " + kDevice + " online again"), std::string::npos) << out;
}

} // namespace
