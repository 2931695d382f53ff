// Subscriptions of SipAgent: the SUBSCRIBE we send (NOTIFYs within them are
// taken by the dialog layer).
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

int SipAgent::BuildInitialSubscribe(MessagePtr& out, const char* to, const char* from,
                                    const char* route, const char* event, int expires) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    int rc = impl_->BuildOutOfDialog(out, "SUBSCRIBE", to, from, route);
    if (rc != 0) return rc;
    if (event && *event) osip_message_set_header(out.get(), "Event", event);
    osip_message_set_expires(out.get(), std::to_string(expires < 0 ? 0 : expires).c_str());
    impl_->AddContact(out.get(), out->from, impl_->DestHostOf(out.get()));
    return 0;
}

int SipAgent::SendInitialSubscribe(MessagePtr subscribe) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!subscribe || !impl_->transport || !subscribe->sip_method ||
        strcmp(subscribe->sip_method, "SUBSCRIBE") != 0)
        return -1;
    SubRec s;
    s.sid = impl_->NewId();
    s.callId = CallIdText(subscribe.get());
    s.localTag = TagOf(subscribe->from);
    osip_header_t* ev = nullptr;
    if (osip_message_header_get_byname(subscribe.get(), "Event", 0, &ev) >= 0 && ev && ev->hvalue)
        s.event = ev->hvalue;
    int sid = s.sid;
    impl_->subs[sid] = std::move(s);
    int tid = impl_->StartClient(subscribe.release(), NICT, Scope::Subscribe, 0, 0, sid);
    if (tid <= 0) {
        impl_->subs.erase(sid);
        return -1;
    }
    return sid;
}

} // namespace sipua
