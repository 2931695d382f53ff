// The user agent against SIPp playing the device, over UDP and TCP.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>

#include "UaTestSupport.h"
#include "base/Socket.h"

using namespace uatest;
using sipua::EventKind;
using sipua::MessagePtr;

namespace {

struct Param {
    const char* name;
    int protocol;
    const char* sippTransport;
};

class SippFlows : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        ASSERT_EQ(ua.Init(), 0);
        ASSERT_EQ(ua.Listen(GetParam().protocol, "127.0.0.1", 0, AF_INET, false), 0);
        ua.SetUserAgent("Tarvex\r\n");
        port = ua.BoundPort();
        ASSERT_GT(port, 0);
        sippPort = FreePort();
        ASSERT_GT(sippPort, 0);
    }
    std::vector<std::string> Args(const std::string& scenario, int calls = 1) {
        return SippArgs(port, sippPort, scenario, GetParam().sippTransport, calls);
    }
    std::string DeviceUri() {
        return "<sip:34010000001320000001@127.0.0.1:" + std::to_string(sippPort) + ">";
    }
    std::string OurUri() {
        return "<sip:34020000002000000001@127.0.0.1:" + std::to_string(port) + ">";
    }

    // Answers the device's REGISTER as the endpoint does: 200 with extra headers.
    sipua::EventPtr AnswerRegister() {
        auto reg = WaitFor(
            ua,
            [](const sipua::Event& e) {
                return e.kind == EventKind::OutOfCallRequest &&
                       Method(e.request.get()) == "REGISTER";
            },
            10000);
        if (!reg) return nullptr;
        sipua::AgentLock lock(ua);
        ua.DefaultAction(*reg);
        MessagePtr answer;
        EXPECT_EQ(ua.BuildAnswer(reg->tid, 200, answer), 0);
        if (!answer) return nullptr;
        osip_message_set_header(answer.get(), "X-Test", "hello");
        osip_message_set_header(answer.get(), "Date", "2026-12-08T01:02:03");
        EXPECT_EQ(ua.SendAnswer(reg->tid, 200, std::move(answer)), 0);
        return reg;
    }

    sipua::SipAgent ua;
    int port = 0;
    int sippPort = 0;
};

TEST_P(SippFlows, RegisterGetsOneEventAndOurAnswerWithExtraHeader) {
    Sipp sipp(Args("register_uac.xml"));
    auto reg = AnswerRegister();
    ASSERT_TRUE(reg);
    EXPECT_GT(reg->tid, 0);
    EXPECT_EQ(reg->did, 0);
    EXPECT_EQ(reg->cid, 0);
    ASSERT_TRUE(reg->request->from && reg->request->from->url);
    EXPECT_STREQ(reg->request->from->url->username, "34010000001320000001");
    // The endpoint reads the source port from rport of the top Via.
    auto* via = static_cast<osip_via_t*>(osip_list_get(&reg->request->vias, 0));
    osip_generic_param_t* rport = nullptr;
    ASSERT_EQ(osip_via_param_get_byname(via, const_cast<char*>("rport"), &rport), 0);
    ASSERT_TRUE(rport && rport->gvalue);
    EXPECT_EQ(atoi(rport->gvalue), sippPort);
    std::vector<sipua::EventPtr> rest;
    WaitFor(
        ua, [](const sipua::Event&) { return false; }, 1000, &rest);
    for (auto& e : rest)
        EXPECT_NE(Method(e->request.get()), "REGISTER") << e->text;
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

TEST_P(SippFlows, RegisterBehindNatNamesThePacketSource) {
    Sipp sipp(Args("register_nat_uac.xml"));
    auto reg = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 20000);
    ASSERT_TRUE(reg);
    auto* via = static_cast<osip_via_t*>(osip_list_get(&reg->request->vias, 0));
    ASSERT_TRUE(via && via->host);
    EXPECT_STREQ(via->host, "192.168.1.64");
    osip_generic_param_t* rport = nullptr;
    EXPECT_NE(osip_via_param_get_byname(via, const_cast<char*>("rport"), &rport), 0);
    EXPECT_EQ(reg->sourceHost, "127.0.0.1");
    EXPECT_EQ(reg->sourcePort, sippPort);
    EXPECT_TRUE(reg->datagramBody.empty());
    ASSERT_EQ(ua.SendAnswer(reg->tid, 200, nullptr), 0);
    EXPECT_EQ(sipp.Wait(30000), 0) << sipp.Log();
}

TEST_P(SippFlows, RetransmittedRegisterStillGivesOneEvent) {
    if (GetParam().protocol != IPPROTO_UDP) GTEST_SKIP() << "no retransmissions on a stream";
    Sipp sipp(Args("register_uac.xml"));
    auto reg = WaitFor(
        ua, [](const sipua::Event& e) { return Method(e.request.get()) == "REGISTER"; }, 10000);
    ASSERT_TRUE(reg);
    // SIPp repeats the REGISTER at 0.5 s and 1.5 s while we keep silent.
    std::vector<sipua::EventPtr> during;
    WaitFor(
        ua, [](const sipua::Event&) { return false; }, 1800, &during);
    EXPECT_TRUE(during.empty());
    MessagePtr answer;
    ASSERT_EQ(ua.BuildAnswer(reg->tid, 200, answer), 0);
    osip_message_set_header(answer.get(), "X-Test", "hello");
    ASSERT_EQ(ua.SendAnswer(reg->tid, 200, std::move(answer)), 0);
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
    while (auto e = ua.WaitEvent(0, 0))
        EXPECT_NE(Method(e->request.get()), "REGISTER");
}

TEST_P(SippFlows, MessageToDeviceIsAnswered) {
    auto args = Args("register_uac.xml");
    args.push_back("-oocsf");
    args.push_back(ScenarioDir() + "ooc_answer.xml");
    Sipp sipp(args);
    ASSERT_TRUE(AnswerRegister());
    MessagePtr msg;
    ASSERT_EQ(ua.BuildRequest(msg, "MESSAGE", DeviceUri().c_str(), OurUri().c_str(), nullptr), 0);
    const char* body =
        "<?xml version=\"1.0\"?>\r\n<Query>\r\n<CmdType>Catalog</CmdType>\r\n</Query>\r\n";
    osip_message_set_body(msg.get(), body, strlen(body));
    osip_message_set_content_type(msg.get(), "Application/MANSCDP+xml");
    int tid = ua.SendRequest(std::move(msg));
    ASSERT_GT(tid, 0);
    auto ans = WaitFor(
        ua, [tid](const sipua::Event& e) { return e.tid == tid; }, 10000);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->kind, EventKind::OutOfCallAnswered) << ans->text;
    ASSERT_TRUE(ans->response);
    EXPECT_EQ(ans->response->status_code, 200);
    ASSERT_TRUE(ans->request);
    EXPECT_EQ(Method(ans->request.get()), "MESSAGE");
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

TEST_P(SippFlows, DeviceMessagesAreEachServedOnce) {
    Sipp sipp(Args("message_uac.xml", 20));
    int served = 0;
    while (served < 20) {
        auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(e) << "served " << served;
        ASSERT_EQ(Method(e->request.get()), "MESSAGE");
        ASSERT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
        // A second answer to a finished transaction is refused.
        EXPECT_NE(ua.SendAnswer(e->tid, 200, nullptr), 0);
        ++served;
    }
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

TEST_P(SippFlows, CallWithSdpAckInfoBothWaysAndOurBye) {
    Sipp sipp(Args("call_uas.xml"));
    ASSERT_TRUE(WaitBound(sippPort, GetParam().protocol == IPPROTO_TCP)); // SIPp binds its port
    MessagePtr inv;
    ASSERT_EQ(ua.BuildInitialInvite(inv, DeviceUri().c_str(), OurUri().c_str(), nullptr, "INVITE"),
              0);
    std::string sdp =
        "v=0\r\no=34010000001320000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\nc=IN IP4 127.0.0.1\r\n"
        "t=0 0 \r\nm=video 9000 RTP/AVP 96 98 97\r\na=recvonly\r\na=rtpmap:96 PS/90000\r\n";
    osip_message_set_body(inv.get(), sdp.data(), sdp.size());
    osip_message_set_content_type(inv.get(), "application/sdp");
    int cid = ua.SendInitialInvite(std::move(inv));
    ASSERT_GT(cid, 0);

    auto ans = WaitFor(ua, Kind(EventKind::CallAnswered), 10000);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->cid, cid);
    ASSERT_GT(ans->did, 0);
    ASSERT_TRUE(ans->response);
    EXPECT_EQ(ans->response->status_code, 200);
    int did = ans->did;
    {
        sipua::AgentLock lock(ua);
        MessagePtr ack;
        ASSERT_EQ(ua.BuildAck(did, ack), 0);
        ASSERT_EQ(ua.SendAck(did, std::move(ack)), 0);
    }
    sipua::SdpPtr remote = ua.RemoteSdp(did);
    ASSERT_TRUE(remote);
    EXPECT_STREQ(sdp_message_m_media_get(remote.get(), 0), "video");
    EXPECT_STREQ(sdp_message_m_port_get(remote.get(), 0), "6000");
    EXPECT_STREQ(sdp_message_c_addr_get(remote.get(), -1, 0), "127.0.0.1");

    MessagePtr info;
    ASSERT_EQ(ua.BuildInfo(did, info), 0);
    std::string rtsp = "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n";
    osip_message_set_body(info.get(), rtsp.data(), rtsp.size());
    osip_message_set_content_type(info.get(), "Application/MANSRTSP");
    int infoTid = ua.SendCallRequest(did, std::move(info));
    ASSERT_GT(infoTid, 0);
    std::vector<sipua::EventPtr> other;
    auto infoAns = WaitFor(
        ua, [infoTid](const sipua::Event& e) { return e.tid == infoTid; }, 10000, &other);
    ASSERT_TRUE(infoAns);
    EXPECT_EQ(infoAns->kind, EventKind::CallRequestAnswered);
    EXPECT_EQ(infoAns->did, did);

    auto theirs = WaitFor(ua, Kind(EventKind::CallRequest), 10000);
    ASSERT_TRUE(theirs);
    EXPECT_EQ(Method(theirs->request.get()), "INFO");
    EXPECT_EQ(theirs->did, did);
    EXPECT_EQ(theirs->cid, cid);
    osip_body_t* b = nullptr;
    osip_message_get_body(theirs->request.get(), 0, &b);
    ASSERT_TRUE(b && b->body);
    EXPECT_EQ(std::string(b->body, 5), "PAUSE");
    MessagePtr ok;
    ASSERT_EQ(ua.BuildCallAnswer(theirs->tid, 200, ok), 0);
    ASSERT_EQ(ua.SendCallAnswer(theirs->tid, 200, std::move(ok)), 0);

    ASSERT_EQ(ua.TerminateCall(cid, did), 0);
    auto rel = WaitFor(ua, Kind(EventKind::CallReleased), 10000);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->cid, cid);
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
    // The dialog is gone with the call.
    MessagePtr late;
    EXPECT_NE(ua.BuildInfo(did, late), 0);
}

TEST_P(SippFlows, DeviceEndsTheCallWithBye) {
    Sipp sipp(Args("call_bye_uas.xml"));
    ASSERT_TRUE(WaitBound(sippPort, GetParam().protocol == IPPROTO_TCP));
    MessagePtr inv;
    ASSERT_EQ(ua.BuildInitialInvite(inv, DeviceUri().c_str(), OurUri().c_str(), nullptr, "INVITE"),
              0);
    int cid = ua.SendInitialInvite(std::move(inv));
    ASSERT_GT(cid, 0);
    auto ans = WaitFor(ua, Kind(EventKind::CallAnswered), 10000);
    ASSERT_TRUE(ans);
    MessagePtr ack;
    ASSERT_EQ(ua.BuildAck(ans->did, ack), 0);
    ASSERT_EQ(ua.SendAck(ans->did, std::move(ack)), 0);
    auto closed = WaitFor(ua, Kind(EventKind::CallClosed), 10000);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->cid, cid);
    EXPECT_EQ(Method(closed->request.get()), "BYE");
    auto rel = WaitFor(ua, Kind(EventKind::CallReleased), 10000);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->cid, cid);
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

TEST_P(SippFlows, SubscribeIsAnsweredAndNotifyArrives) {
    Sipp sipp(Args("subscribe_uas.xml"));
    ASSERT_TRUE(WaitBound(sippPort, GetParam().protocol == IPPROTO_TCP));
    MessagePtr sub;
    ASSERT_EQ(ua.BuildInitialSubscribe(sub, DeviceUri().c_str(), OurUri().c_str(), nullptr,
                                       "presence", 90),
              0);
    const char* body = "<?xml version=\"1.0\"?>\r\n<Query><CmdType>Alarm</CmdType></Query>\r\n";
    osip_message_set_body(sub.get(), body, strlen(body));
    osip_message_set_content_type(sub.get(), "Application/MANSCDP+xml");
    int sid = ua.SendInitialSubscribe(std::move(sub));
    ASSERT_GT(sid, 0);
    auto ans = WaitFor(ua, Kind(EventKind::SubscriptionAnswered), 10000);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->sid, sid);
    ASSERT_TRUE(ans->response);
    EXPECT_EQ(ans->response->status_code, 200);
    auto notify = WaitFor(ua, Kind(EventKind::SubscriptionNotify), 10000);
    ASSERT_TRUE(notify);
    EXPECT_EQ(notify->sid, sid);
    EXPECT_EQ(Method(notify->request.get()), "NOTIFY");
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

TEST_P(SippFlows, CallCancelledBeforeItsAnswer) {
    Sipp sipp(Args("cancel_uas.xml"));
    ASSERT_TRUE(WaitBound(sippPort, GetParam().protocol == IPPROTO_TCP));
    MessagePtr inv;
    ASSERT_EQ(ua.BuildInitialInvite(inv, DeviceUri().c_str(), OurUri().c_str(), nullptr, "INVITE"),
              0);
    int cid = ua.SendInitialInvite(std::move(inv));
    ASSERT_GT(cid, 0);
    auto ringing = WaitFor(ua, Kind(EventKind::CallRinging), 10000);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(ringing->cid, cid);
    ASSERT_EQ(ua.TerminateCall(cid, 0), 0);
    auto rejected = WaitFor(ua, Kind(EventKind::CallRejected), 10000);
    ASSERT_TRUE(rejected);
    ASSERT_TRUE(rejected->response);
    EXPECT_EQ(rejected->response->status_code, 487);
    EXPECT_EQ(rejected->cid, cid);
    // SIPp ends only once the 487 was acknowledged.
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
    // No BYE or second CANCEL for a call that never was answered.
    MessagePtr bye;
    EXPECT_NE(ua.BuildCallRequest(rejected->did, "BYE", bye), 0);
    if (GetParam().protocol == IPPROTO_TCP) {
        // Over a stream the INVITE transaction ends at once, and the call with it.
        auto rel = WaitFor(ua, Kind(EventKind::CallReleased), 10000);
        ASSERT_TRUE(rel);
        EXPECT_EQ(rel->cid, cid);
    }
}

TEST_P(SippFlows, DeviceOpensACallThatWeAnswer) {
    Sipp sipp(Args("invite_uac.xml"));
    auto inv = WaitFor(ua, Kind(EventKind::CallIncoming), 10000);
    ASSERT_TRUE(inv);
    EXPECT_GT(inv->cid, 0);
    EXPECT_EQ(Method(inv->request.get()), "INVITE");
    MessagePtr ok;
    ASSERT_EQ(ua.BuildCallAnswer(inv->tid, 200, ok), 0);
    std::string sdp = "v=0\r\no=34020000002000000001 0 0 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 "
                      "127.0.0.1\r\nt=0 0\r\nm=audio 8000 RTP/AVP 8\r\n";
    osip_message_set_body(ok.get(), sdp.data(), sdp.size());
    osip_message_set_content_type(ok.get(), "application/sdp");
    ASSERT_EQ(ua.SendCallAnswer(inv->tid, 200, std::move(ok)), 0);
    auto ack = WaitFor(ua, Kind(EventKind::CallAckReceived), 10000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->cid, inv->cid);
    ASSERT_GT(ack->did, 0);
    sipua::SdpPtr remote = ua.RemoteSdp(ack->did);
    ASSERT_TRUE(remote);
    EXPECT_STREQ(sdp_message_m_port_get(remote.get(), 0), "7000");
    auto closed = WaitFor(ua, Kind(EventKind::CallClosed), 10000);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->cid, inv->cid);
    EXPECT_TRUE(WaitFor(ua, Kind(EventKind::CallReleased), 10000));
    EXPECT_EQ(sipp.Wait(60000), 0) << sipp.Log();
}

// 1,100 connections that never send a byte, then a real device over TCP: at
// the limit (1,024) each new connection closes the idlest, so the device's
// connection is taken and its REGISTER answered.
TEST(SippIdle, IdleConnectionsDoNotShutOutATcpDevice) {
    constexpr int kIdle = 1100;
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    const rlim_t need = 2 * kIdle + 512; // our clients and the agent's side
    if (rl.rlim_cur < need) {
        if (rl.rlim_max < need) GTEST_SKIP() << "descriptor limit " << rl.rlim_max << " < " << need;
        rlimit more = rl;
        more.rlim_cur = need;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &more), 0);
    }
    sipua::SipAgent ua;
    ASSERT_EQ(ua.Init(), 0);
    ASSERT_EQ(ua.Listen(IPPROTO_TCP, "127.0.0.1", 0, AF_INET, false), 0);
    int port = ua.BoundPort();
    std::vector<UniqueSocket> idle;
    for (int i = 0; i < kIdle; ++i) {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(s.valid());
        ASSERT_EQ(ConnectWithTimeout(s.get(), "127.0.0.1", port, 10000), 0) << "connection " << i;
        idle.push_back(std::move(s));
    }
    // Every one was accepted in turn: the oldest 76 were closed for the newest.
    auto closedByAgent = [&] {
        int n = 0;
        for (auto& s : idle) {
            pollfd p{s.get(), POLLIN, 0};
            char b;
            if (poll(&p, 1, 0) > 0 && recv(s.get(), &b, 1, MSG_PEEK) == 0) ++n;
        }
        return n;
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (closedByAgent() < kIdle - 1024 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(closedByAgent(), kIdle - 1024);
    EXPECT_EQ(ua.ConnectionCount(), 1024);

    int sippPort = FreePort();
    Sipp sipp(SippArgs(port, sippPort, "register_nat_uac.xml", "t1"));
    auto reg = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 30000);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->sourcePort, sippPort);
    ASSERT_EQ(ua.SendAnswer(reg->tid, 200, nullptr), 0);
    EXPECT_EQ(sipp.Wait(30000), 0) << sipp.Log();
    EXPECT_LE(ua.ConnectionCount(), 1024);
}

INSTANTIATE_TEST_SUITE_P(Transports, SippFlows,
                         ::testing::Values(Param{"Udp", IPPROTO_UDP, "u1"},
                                           Param{"Tcp", IPPROTO_TCP, "t1"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
