// libFuzzer entry point for SIP intake. The first byte chooses the transport
// (even: one UDP datagram, odd: everything one TCP connection carried); the
// rest goes into the user agent's intake as if a peer at 127.0.0.1:5060 had
// sent it. Every event raised is taken as the endpoint takes it: its default
// action, then an answer to each request (a 200 with a Date header, a call
// answered with SDP and ended again). A wire hook drops every outgoing
// message, so nothing reaches any network and no name is looked up.
#include "sip/ua/SipAgent.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct Agents {
    sipua::SipAgent udp, tcp;
    Agents() {
        for (sipua::SipAgent* a : {&udp, &tcp}) {
            a->Init();
            a->Listen(a == &udp ? IPPROTO_UDP : IPPROTO_TCP, "127.0.0.1", 0, AF_INET, false);
            a->SetUserAgent("Tarvex");
            a->SetWireHook([](std::string&, const std::string&, int) { return false; });
        }
    }
};

const char kSdp[] = "v=0\r\no=34020000002000000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n"
                    "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=video 9000 RTP/AVP 96\r\n";

void Take(sipua::SipAgent& ua, sipua::Event& e) {
    using K = sipua::EventKind;
    sipua::AgentLock lock(ua);
    ua.DefaultAction(e);
    if (e.did) ua.RemoteSdp(e.did);
    sipua::MessagePtr answer;
    switch (e.kind) {
    case K::OutOfCallRequest:
        if (ua.BuildAnswer(e.tid, 200, answer) == 0) {
            osip_message_set_header(answer.get(), "Date", "2026-12-08T01:02:03.456");
            ua.SendAnswer(e.tid, 200, std::move(answer));
        }
        break;
    case K::CallIncoming:
        if (ua.BuildCallAnswer(e.tid, 200, answer) == 0) {
            osip_message_set_body(answer.get(), kSdp, std::strlen(kSdp));
            osip_message_set_content_type(answer.get(), "application/sdp");
            ua.SendCallAnswer(e.tid, 200, std::move(answer));
            ua.TerminateCall(e.cid, 0);
        }
        break;
    case K::CallRequest:
        ua.SendCallAnswer(e.tid, 200, nullptr);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Agents agents;
    if (size == 0) return 0;
    sipua::SipAgent& ua = (data[0] & 1) ? agents.tcp : agents.udp;
    ua.InjectInput(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), "127.0.0.1",
                   5060);
    while (sipua::EventPtr e = ua.WaitEvent(0, 0))
        Take(ua, *e);
    return 0;
}
