// Bytes that are no SIP message show in the program's log: a Recv Msg row of
// type 无效消息 under their source, the bytes escaped, in MsgXml.xls.

#include "Harness.h"

#include <gtest/gtest.h>

using namespace systest;

namespace {

TEST(BadInput, GarbageDatagramIsAWorkbookRowOfItsOwn) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    Program tarvex(dir.Path(), {});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    ASSERT_TRUE(WaitPortBound(port, false));
    const int fd = LoopbackUdpTo(port);
    const std::string junk("\x16\x03\x01 not sip\x00!", 13);
    ASSERT_EQ(send(fd, junk.data(), junk.size(), 0), static_cast<ssize_t>(junk.size()));
    const int source = LocalPortOf(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tarvex.Signal(SIGTERM);
    ASSERT_EQ(tarvex.Wait(30000), 0) << tarvex.Out();
    close(fd);
    int found = 0;
    for (const auto& r : ReadWorkbook(dir)) {
        if (r.type != "无效消息") continue;
        ++found;
        EXPECT_EQ(r.sheet, "Recv Msg");
        EXPECT_EQ(r.device, "127.0.0.1:" + std::to_string(source));
        EXPECT_NE(r.body.find("\\x16\\x03\\x01 not sip\\x00!"), std::string::npos) << r.body;
        EXPECT_NE(r.head.find("no end of the header section"), std::string::npos) << r.head;
    }
    EXPECT_EQ(found, 1);
}

} // namespace
