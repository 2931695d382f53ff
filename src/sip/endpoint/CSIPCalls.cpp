// Calls a device opens with us: the INVITE of a voice broadcast, by which the
// device asks for our audio. The core decides the answer and its SDP.
#include "sip/endpoint/CSIP.h"

namespace {

std::string UriUser(osip_from_t* a) {
    return a && a->url && a->url->username ? a->url->username : "";
}

} // namespace

void CSIP::OnCallIncoming(sipua::Event& ev) {
    osip_message_t* req = ev.request.get();
    if (!req) return;
    OfferedCall call;
    call.callId = ev.cid;
    call.fromUser = UriUser(osip_message_get_from(req));
    call.toUser = UriUser(osip_message_get_to(req));
    call.sourceHost = ev.sourceHost;
    call.sourcePort = ev.sourcePort;
    osip_body_t* b = nullptr;
    if (osip_message_get_body(req, 0, &b) == 0 && b && b->body) call.sdp.assign(b->body, b->length);
    Log(req, kLogReceived);
    const CallAnswer a = events_ ? events_->OnCallOffered(call) : CallAnswer{};
    sipua::AgentLock lock(*Agent());
    sipua::MessagePtr answer;
    if (Agent()->BuildCallAnswer(ev.tid, a.status, answer) != 0 || !answer) return;
    if (a.status >= 200 && a.status < 300 && !a.sdp.empty()) {
        osip_message_set_body(answer.get(), a.sdp.data(), a.sdp.size());
        osip_message_set_content_type(answer.get(), "application/sdp");
    }
    Log(answer.get(), kLogSent);
    Agent()->SendCallAnswer(ev.tid, a.status, std::move(answer));
}
