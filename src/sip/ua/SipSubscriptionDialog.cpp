// The dialogs of subscriptions (RFC 6665): refreshes and ends of ours, the
// NOTIFYs within them, and the SUBSCRIBEs within the ones a simulator serves.
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

namespace {

std::string HeaderText(const osip_message_t* m, const char* name) {
    osip_header_t* h = nullptr;
    if (osip_message_header_get_byname(m, name, 0, &h) >= 0 && h && h->hvalue) return h->hvalue;
    return "";
}

bool Terminated(const std::string& subscriptionState) {
    std::string v;
    for (char c : subscriptionState) v += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto b = v.find_first_not_of(" \t");
    return b != std::string::npos && v.compare(b, 10, "terminated") == 0;
}

} // namespace

int SipAgent::BuildSubscribeRefresh(int sid, int expires, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->subs.find(sid);
    if (it == impl_->subs.end()) return -2;
    DialogRec* dr = it->second.did ? impl_->Dialog(it->second.did) : nullptr;
    if (!dr || !dr->d) return -3;
    int rc = impl_->BuildInDialog(*dr, "SUBSCRIBE", dr->d->local_cseq + 1, out);
    if (rc != 0) return rc;
    if (!it->second.event.empty()) osip_message_set_header(out.get(), "Event", it->second.event.c_str());
    osip_message_set_expires(out.get(), std::to_string(expires < 0 ? 0 : expires).c_str());
    impl_->AddContact(out.get(), out->from, impl_->DestHostOf(out.get()));
    return 0;
}

int SipAgent::SendSubscribeRefresh(int sid, MessagePtr request) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->subs.find(sid);
    if (!request || it == impl_->subs.end() || !impl_->transport) return -3;
    DialogRec* dr = it->second.did ? impl_->Dialog(it->second.did) : nullptr;
    if (!dr || !dr->d) return -3;
    if (request->cseq && request->cseq->number) {
        const int n = atoi(request->cseq->number);
        if (n > dr->d->local_cseq) dr->d->local_cseq = n;
    }
    return impl_->StartClient(request.release(), NICT, Scope::Subscribe, 0, dr->did, sid);
}

void SipAgent::ForgetSubscription(int sid) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->subs.find(sid);
    if (it == impl_->subs.end()) return;
    if (it->second.did) impl_->dialogs.erase(it->second.did);
    impl_->subs.erase(it);
}

void SipAgent::ServeSubscription(const std::string& callId, const std::string& localTag) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->served.insert({callId, localTag});
}

void SipAgent::StopServing(const std::string& callId, const std::string& localTag) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    impl_->served.erase({callId, localTag});
}

void SipAgent::Impl::RefuseNotify(TxRec& t, osip_message_t* m, int status) {
    osip_message_t* r = MakeResponse(t.tr->orig_request, status, t.localTag);
    if (!r) return;
    auto e = MakeEvent(EventKind::NotifyRefused, &t);
    e->request = Clone(m);
    e->response = Clone(r);
    QueueAnswer(t, MessagePtr(r));
    Push(std::move(e));
}

void SipAgent::Impl::SubscribeAnswered(const TxRec& t, const osip_message_t* req, int status) {
    auto it = subs.find(t.sid);
    if (it == subs.end() || !req) return;
    osip_header_t* e = nullptr;
    const bool ending = osip_message_get_expires(req, 0, &e) >= 0 && e && e->hvalue && atoi(e->hvalue) == 0;
    if (ending && status >= 200 && status < 300) {
        it->second.ended = true;
    } else if ((status >= 400 && status != 401 && status != 407) || status == 0) {
        // Refused or unanswered: no NOTIFY of it is taken any more (RFC 6665 4.1.2.2).
        if (it->second.did) dialogs.erase(it->second.did);
        subs.erase(it);
    }
}

bool SipAgent::Impl::Serves(const osip_message_t* m) const {
    return served.count({CallIdText(m), TagOf(m->to)}) > 0;
}

bool SipAgent::Impl::OnSubscriptionNotify(TxRec& t, osip_message_t* m) {
    const std::string callId = CallIdText(m);
    const std::string toTag = TagOf(m->to);
    for (auto it = subs.begin(); it != subs.end(); ++it) {
        SubRec& s = it->second;
        if (s.callId != callId || s.localTag != toTag) continue;
        // Once the 2xx made the dialog, its NOTIFYs come from the notifier's tag.
        DialogRec* dr = s.did ? Dialog(s.did) : nullptr;
        if (dr && dr->d && dr->d->remote_tag && TagOf(m->from) != dr->d->remote_tag) return false;
        t.scope = Scope::Subscribe;
        t.sid = s.sid;
        t.did = s.did;
        const long cseq = m->cseq && m->cseq->number ? atol(m->cseq->number) : 0;
        if (s.remoteCseq >= 0 && cseq < s.remoteCseq) {
            // Out of order (RFC 3261 12.2.2): refused, not applied.
            RefuseNotify(t, m, 500);
            return true;
        }
        s.remoteCseq = cseq;
        const bool terminated = Terminated(HeaderText(m, "Subscription-State"));
        if (s.ended && !terminated) {
            // A notification after we ended the subscription: it is over.
            RefuseNotify(t, m, 481);
            if (s.did) dialogs.erase(s.did);
            subs.erase(it);
            return true;
        }
        auto e = MakeEvent(EventKind::SubscriptionNotify, &t);
        e->request = Clone(m);
        Push(std::move(e));
        AutoAnswer(t, 200);
        if (terminated) {
            // The notifier ended it: later NOTIFYs in this dialog get 481.
            if (s.did) dialogs.erase(s.did);
            subs.erase(it);
        }
        return true;
    }
    return false;
}

} // namespace sipua
