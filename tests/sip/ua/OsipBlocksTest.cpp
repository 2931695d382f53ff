// osip's large blocks from slots of our own: the two size classes take a
// slot and give it back, other sizes and requests beyond the slots go to the
// C library, a reallocation keeps the bytes, and an agent's traffic gives
// every slot back.

#include "sip/ua/OsipBlocks.h"

#include "UaTestSupport.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

using namespace sipua;

TEST(OsipBlocks, ClassSizesTakeASlotAndEverythingElseIsPlain) {
    struct Row {
        std::size_t request;
        bool slot;
    } rows[] = {{16, false}, {1024, false}, {1025, true}, {8000, true}, {8192, true},
                {8193, true}, {15184, true}, {16384, true}, {16385, false}, {100000, false}};
    for (const Row& r : rows) {
        const OsipBlockCounts before = OsipBlocksNow();
        void* a = OsipBlockAlloc(r.request);
        ASSERT_NE(a, nullptr);
        std::memset(a, 0x5a, r.request); // the whole request is usable
        EXPECT_EQ(OsipBlocksNow().served - before.served, r.slot ? 1u : 0u) << r.request;
        EXPECT_EQ(OsipBlocksNow().taken - before.taken, r.slot ? 1u : 0u) << r.request;
        OsipBlockFree(a);
        EXPECT_EQ(OsipBlocksNow().taken, before.taken) << r.request;
    }
    OsipBlockFree(nullptr);
}

TEST(OsipBlocks, BeyondTheSlotsTheCLibraryServesAndReallocationKeepsTheBytes) {
    std::vector<void*> many;
    for (std::size_t i = 0; i < kOsipLargeSlots + 10; ++i) {
        many.push_back(OsipBlockAlloc(15184));
        std::memset(many.back(), static_cast<int>(i & 0xff), 15184);
    }
    EXPECT_EQ(OsipBlocksNow().taken, kOsipLargeSlots);
    for (std::size_t i = 0; i < many.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char*>(many[i])[15183], i & 0xff) << i; // no two share a slot
    for (void* b : many)
        OsipBlockFree(b);
    EXPECT_EQ(OsipBlocksNow().taken, 0u);

    // A slot grown past its size moves to the C library with its bytes; within it stays.
    char* b = static_cast<char*>(OsipBlockAlloc(8000));
    std::memcpy(b, "keepalive", 10);
    EXPECT_EQ(OsipBlockRealloc(b, 8100), b);
    b = static_cast<char*>(OsipBlockRealloc(b, 40000));
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "keepalive");
    EXPECT_EQ(OsipBlocksNow().taken, 0u);
    OsipBlockFree(b);
}

TEST(OsipBlocks, AnAgentsAnsweredRequestsGiveEverySlotBack) {
    const OsipBlockCounts before = OsipBlocksNow();
    {
        SipAgent ua;
        ASSERT_EQ(ua.Init(), 0);
        ASSERT_EQ(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false), 0);
        const int port = ua.BoundPort();
        uatest::RawUdp dev;
        constexpr int kSent = 30;
        for (int i = 0; i < kSent; ++i)
            dev.SendTo(port, uatest::DeviceRequest("MESSAGE", port, dev.Port(), "sl-" + std::to_string(i),
                                                   "z9hG4bKsl" + std::to_string(i), "<Notify/>"));
        for (int i = 0; i < kSent; ++i) {
            EventPtr e = ua.WaitEvent(5, 0);
            ASSERT_TRUE(e) << i;
            ASSERT_EQ(e->kind, EventKind::OutOfCallRequest);
            std::string sent;
            ASSERT_EQ(ua.SendAnswer(e->tid, 200, nullptr, &sent), 0);
            EXPECT_EQ(sent.rfind("SIP/2.0 200 OK\r\n", 0), 0u);
        }
        for (int i = 0; i < kSent; ++i)
            EXPECT_NE(dev.Recv(5000).find("200 OK"), std::string::npos) << i;
#if !defined(__SANITIZE_ADDRESS__)
        // Each transaction and each answer's serialisation took a slot.
        EXPECT_GE(OsipBlocksNow().served - before.served, 2u * kSent);
#endif
    }
    EXPECT_EQ(OsipBlocksNow().taken, before.taken);
}
