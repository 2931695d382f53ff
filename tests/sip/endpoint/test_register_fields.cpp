// Device fields from a REGISTER (the packet's source, else From URI and
// rport), the registration time it asks for, and the log texts of a message
// (body, head, a long head kept whole).

#include "sip/endpoint/CSIP.h"

#include <gtest/gtest.h>


namespace {

struct Parsed {
    osip_message_t* m = nullptr;
    explicit Parsed(const std::string& text) {
        static bool init = (parser_init(), true);
        (void)init;
        osip_message_init(&m);
        if (osip_message_parse(m, text.data(), text.size()) != 0) {
            osip_message_free(m);
            m = nullptr;
        }
    }
    ~Parsed() {
        if (m) osip_message_free(m);
    }
};

std::string Register(const std::string& from, const std::string& via, const std::string& extra = "",
                     const std::string& body = "") {
    return "REGISTER sip:34020000002000000001@10.0.0.1:5060 SIP/2.0\r\n"
           "Via: " + via + "\r\n"
           "From: <" + from + ">;tag=1\r\n"
           "To: <" + from + ">\r\n"
           "Call-ID: a@b\r\nCSeq: 1 REGISTER\r\nMax-Forwards: 70\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The REGISTER came from source (the packet's), or from nowhere known.
DeviceAddress Fill(const std::string& text, const std::string& host = "198.51.100.7", int port = 40123) {
    Parsed p(text);
    DeviceAddress d;
    EXPECT_NE(p.m, nullptr);
    if (p.m) FillDeviceFromRegister(p.m, d, host, port);
    return d;
}

} // namespace

TEST(RegisterFields, RequestsGoWhereThePacketsComeFrom) {
    struct Case {
        const char* from;
        const char* via;
        bool source; // the packet's source is known
        const char* address;
        int port;
    } cases[] = {
        // Whatever From and Via say, the source is where the device is (NAT).
        {"sip:34010000002000000001@192.168.200.51:5060", "SIP/2.0/UDP 192.168.200.51:5060;branch=z9hG4bK1",
         true, "198.51.100.7", 40123},
        {"sip:34010000002000000001@3401000000:5060",
         "SIP/2.0/UDP 10.1.2.3:5070;rport=5071;received=10.9.9.9;branch=z9hG4bK1", true, "198.51.100.7", 40123},
        {"sip:34010000002000000001@192.168.1.9", "SIP/2.0/UDP 192.168.1.9:5060;branch=z9hG4bK1", true,
         "198.51.100.7", 40123},
        // No source: the From URI, and rport for a port it does not give.
        {"sip:34010000002000000001@192.168.200.51:5060", "SIP/2.0/UDP 192.168.200.51:5060;branch=z9hG4bK1",
         false, "192.168.200.51", 5060},
        {"sip:34010000002000000001@192.168.200.51", "SIP/2.0/UDP 192.168.200.51:5060;rport=40000;branch=z9hG4bK1",
         false, "192.168.200.51", 40000},
    };
    for (const Case& c : cases) {
        const DeviceAddress d = c.source ? Fill(Register(c.from, c.via)) : Fill(Register(c.from, c.via), "", 0);
        EXPECT_EQ(d.id, "34010000002000000001") << c.from;
        EXPECT_EQ(d.address, c.address) << c.from << " " << c.via;
        EXPECT_EQ(d.port, c.port) << c.from << " " << c.via;
    }
}

TEST(RegisterFields, LongPartsAreCut) {
    std::string user(60, '3');
    std::string host = "a-very-long-domain-name-that-is-no-address.example.com";
    const DeviceAddress d = Fill(Register("sip:" + user + "@" + host + ":5060",
                                          "SIP/2.0/UDP 10.1.2.3:5070;branch=z9hG4bK1"), "", 0);
    EXPECT_EQ(d.id, user.substr(0, 31));
    EXPECT_EQ(d.address, host.substr(0, 31));
}

TEST(RegisterFields, ExpiresFromHeaderElseContact) {
    struct Case {
        const char* extra;
        int expires;
    } cases[] = {
        {"Expires: 0\r\n", 0},
        {"Expires: 3600\r\n", 3600},
        {"Contact: <sip:1@1.2.3.4:5>;expires=0\r\n", 0},
        {"Contact: <sip:1@1.2.3.4:5>;expires=0\r\nExpires: 60\r\n", 60},
        {"Contact: <sip:1@1.2.3.4:5>\r\n", -1},
        {"", -1},
    };
    for (const Case& c : cases) {
        Parsed p(Register("sip:1@1.2.3.4:5", "SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK1", c.extra));
        ASSERT_NE(p.m, nullptr) << c.extra;
        EXPECT_EQ(RegisterExpires(p.m), c.expires) << c.extra;
    }
}

TEST(LogTexts, BodyAndHeadSplit) {
    std::string body = "<?xml version=\"1.0\"?>\r\n<Notify/>\r\n";
    Parsed p(Register("sip:1@1.2.3.4:5", "SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK1",
                      "Content-Type: Application/MANSCDP+xml\r\n", body));
    ASSERT_NE(p.m, nullptr);
    LogTexts t = ExtractLogTexts(p.m);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.body, body);
    EXPECT_EQ(t.head.rfind("REGISTER sip:", 0), 0u);
    EXPECT_EQ(t.head.substr(t.head.size() - 5), "\r\n\r\n\n");
    EXPECT_EQ(t.head.find("<?xml"), std::string::npos);

    Parsed q(Register("sip:1@1.2.3.4:5", "SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK1"));
    t = ExtractLogTexts(q.m);
    EXPECT_EQ(t.body, "No Body!\n");
    EXPECT_EQ(t.head.substr(t.head.size() - 5), "\r\n\r\n\n");
}

TEST(LogTexts, HeadOver2047BytesIsKeptWhole) {
    // A real message's headers past 2047 bytes (here a long X-Long and the
    // Content-Length after it) are data: serialised or from the wire, the
    // whole head is logged.
    const std::string big = "Content-Type: text/plain\r\nX-Long: " + std::string(5000, 'y') + "\r\n";
    const std::string text = Register("sip:1@1.2.3.4:5", "SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK1", big, "abc");
    Parsed p(text);
    ASSERT_NE(p.m, nullptr);
    LogTexts t = ExtractLogTexts(p.m);
    ASSERT_TRUE(t.ok);
    EXPECT_GT(t.head.size(), 5000u);
    EXPECT_NE(t.head.find(std::string(5000, 'y') + "\r\n"), std::string::npos);
    EXPECT_GT(t.head.find("Content-Length"), t.head.find(std::string(5000, 'y'))) << t.head.substr(5000);
    EXPECT_EQ(t.head.substr(t.head.size() - 5), "\r\n\r\n\n");
    EXPECT_EQ(t.head.back(), '\n');
    EXPECT_EQ(t.body, "abc");
    LogTexts w;
    ASSERT_TRUE(LogTextsFromWire(text, p.m, w));
    EXPECT_EQ(w.head, text.substr(0, text.size() - 3) + "\n");
    EXPECT_FALSE(ExtractLogTexts(nullptr).ok);
    EXPECT_EQ(ExtractLogTexts(nullptr).error.rfind("osip_message_to_str Error nRet =", 0), 0u);
}

TEST(LogTexts, FromTheBytesReceivedWhenTheyArePlainlyTheMessages) {
    const std::string body = "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Keepalive</CmdType></Notify>\r\n";
    // Compact and oddly spelt headers are logged as the device sent them.
    const std::string wire = "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n"
                             "v: SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK7\r\nf: <sip:1@1.2.3.4>;tag=1\r\n"
                             "t: <sip:2@5.6.7.8>\r\ni: ka-77@1.2.3.4\r\nCSeq: 20 MESSAGE\r\n"
                             "c: Application/MANSCDP+xml\r\nl: " + std::to_string(body.size()) + "\r\n\r\n";
    const std::string other = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK7\r\n"
                              "From: <sip:1@1.2.3.4>;tag=1\r\nTo: <sip:2@5.6.7.8>;tag=9\r\n"
                              "Call-ID: ka-77@1.2.3.4\r\nCSeq: 20 MESSAGE\r\nContent-Length: 0\r\n\r\n";
    const std::string multipart =
        "MESSAGE sip:2@5.6.7.8 SIP/2.0\r\nVia: SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK8\r\n"
        "From: <sip:1@1.2.3.4>;tag=1\r\nTo: <sip:2@5.6.7.8>\r\nCall-ID: mp@1\r\nCSeq: 1 MESSAGE\r\n"
        "Content-Type: multipart/mixed;boundary=b\r\nContent-Length: 40\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--\r\n";
    struct Case {
        const char* what;
        std::string parsed, wire;
        bool used;
        std::string body;
    } cases[] = {
        {"a keepalive, its own bytes", wire + body, wire + body, true, body},
        {"no body", other, other, true, "No Body!\n"},
        {"the bytes of another message (Call-ID)", wire + body,
         std::string(wire).replace(wire.find("ka-77"), 5, "ka-78") + body, false, ""},
        {"an answer's bytes for a request", wire + body, other, false, ""},
        {"a body other than osip read", wire + body, wire + body.substr(1) + "x", false, ""},
        {"a multipart body", multipart, multipart, false, ""},
        {"no end of the head", other, other.substr(0, other.size() - 2), false, ""},
    };
    for (const Case& c : cases) {
        Parsed p(c.parsed);
        ASSERT_NE(p.m, nullptr) << c.what;
        LogTexts t;
        EXPECT_EQ(LogTextsFromWire(c.wire, p.m, t), c.used) << c.what;
        EXPECT_EQ(t.ok, c.used) << c.what;
        if (!c.used) continue;
        EXPECT_EQ(t.body, c.body) << c.what;
        EXPECT_EQ(t.head, c.wire.substr(0, c.wire.find("\r\n\r\n") + 4) + "\n") << c.what;
        // The same body as the serialised message's.
        EXPECT_EQ(ExtractLogTexts(p.m).body, t.body) << c.what;
    }
}

namespace {
struct NoEvents : ISipEvents {
    void OnMessageLogged(const LoggedMessage&) override { ++rows; }
    void OnDeviceRegistered(const DeviceAddress&) override {}
    void OnCallAnswered(int, int, const std::string&) override {}
    void OnCallClosed(int, int) override {}
    int rows = 0;
};
} // namespace

TEST(Endpoint, TransportOutsideTheTableListensNowhereAndRestarts) {
    NoEvents events;
    CSIP sip;
    SipSettings s;
    s.port = 0;
    s.id = "34020000002000000001";
    ASSERT_EQ(sip.Start(-1, s, events), 0);
    EXPECT_TRUE(sip.IsStarted());
    EXPECT_EQ(sip.BoundPort(), 0);
    sip.Stop();
    EXPECT_FALSE(sip.IsStarted());
    // Started again after a stop, as the settings restart does.
    ASSERT_EQ(sip.Start(0, s, events), 0);
    EXPECT_GT(sip.BoundPort(), 0);
    // A request of kind 2 (NOTIFY) sends and logs nothing.
    EXPECT_FALSE(sip.Send({2, "<Notify/>", {"1", "127.0.0.1", 5060}, 0, "", ""}).sent);
    EXPECT_EQ(events.rows, 0);
}

TEST(LogTexts, FromTheBytesWeSentAsTheSerialisedMessagesTexts) {
    // The 200 to a keepalive is logged from the bytes sent: the same texts as
    // serialising the message again would give.
    const std::string body = "<?xml version=\"1.0\"?>\r\n<Notify/>\r\n";
    struct Case {
        const char* what;
        std::string extra, body;
    } cases[] = {
        {"no body", "", ""},
        {"a body", "Content-Type: Application/MANSCDP+xml\r\n", body},
    };
    for (const Case& c : cases) {
        Parsed p(Register("sip:1@1.2.3.4:5", "SIP/2.0/UDP 1.2.3.4:5;branch=z9hG4bK1", c.extra, c.body));
        ASSERT_NE(p.m, nullptr) << c.what;
        char* buf = nullptr;
        size_t len = 0;
        ASSERT_EQ(osip_message_to_str(p.m, &buf, &len), 0) << c.what;
        const std::string sent(buf, len);
        osip_free(buf);
        LogTexts t;
        ASSERT_TRUE(LogTextsFromSent(sent, t)) << c.what;
        const LogTexts e = ExtractLogTexts(p.m);
        EXPECT_EQ(t.head, e.head) << c.what;
        EXPECT_EQ(t.body, e.body) << c.what;
    }
    LogTexts none;
    EXPECT_FALSE(LogTextsFromSent("SIP/2.0 200 OK\r\nVia: x\r\n", none));
    EXPECT_FALSE(none.ok);
}
