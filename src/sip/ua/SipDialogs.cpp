// Dialogs and INVITE in SipAgent: requests from peers, calls, CANCEL, BYE and
// requests within a dialog.
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

DialogRec* SipAgent::Impl::FindDialogAsUas(osip_message_t* req) {
    for (auto& [id, dr] : dialogs)
        if (dr->d && osip_dialog_match_as_uas(dr->d, req) == 0) return dr.get();
    return nullptr;
}

void SipAgent::Impl::AutoAnswer(TxRec& t, int status) {
    osip_message_t* r = MakeResponse(t.tr->orig_request, status, t.localTag);
    if (r) QueueAnswer(t, MessagePtr(r));
}

void SipAgent::Impl::ReleaseCall(int cid, osip_message_t* resp, const TxRec* t) {
    auto it = calls.find(cid);
    if (it == calls.end()) return;
    auto e = MakeEvent(EventKind::CallReleased, t);
    e->cid = cid;
    e->did = it->second.did;
    if (resp) e->response = Clone(resp);
    if (it->second.did) dialogs.erase(it->second.did);
    calls.erase(it);
    Push(std::move(e));
}

void SipAgent::Impl::OnServerRequest(TxRec& t, osip_message_t* m) {
    const char* method = m->sip_method;
    std::string toTag = TagOf(m->to);
    if (!strcmp(method, "CANCEL")) {
        OnCancel(t, m);
        return;
    }
    if (!toTag.empty()) {
        DialogRec* dr = FindDialogAsUas(m);
        if (dr && dr->cid) {
            t.scope = Scope::InCall;
            t.cid = dr->cid;
            t.did = dr->did;
            osip_dialog_update_osip_cseq_as_uas(dr->d, m);
            if (!strcmp(method, "BYE")) {
                auto e = MakeEvent(EventKind::CallClosed, &t);
                e->request = Clone(m);
                Push(std::move(e));
                AutoAnswer(t, 200);
                ReleaseCall(dr->cid, nullptr, &t);
                return;
            }
            auto e = MakeEvent(EventKind::CallRequest, &t);
            e->request = Clone(m);
            Push(std::move(e));
            return;
        }
        if (!strcmp(method, "NOTIFY") && OnSubscriptionNotify(t, m)) return;
        if (!strcmp(method, "SUBSCRIBE") && Serves(m)) {
            t.scope = Scope::OutOfCall;
            auto e = MakeEvent(EventKind::OutOfCallRequest, &t);
            e->request = Clone(m);
            Push(std::move(e));
            return;
        }
        if (strcmp(method, "MESSAGE") != 0 && strcmp(method, "REGISTER") != 0 &&
            strcmp(method, "OPTIONS") != 0) {
            if (!strcmp(method, "NOTIFY")) RefuseNotify(t, m, 481);
            else AutoAnswer(t, 481);
            return;
        }
    } else if (!strcmp(method, "BYE") || !strcmp(method, "NOTIFY") || !strcmp(method, "INFO") ||
               !strcmp(method, "PRACK")) {
        if (!strcmp(method, "NOTIFY")) RefuseNotify(t, m, 481);
        else AutoAnswer(t, 481);
        return;
    }
    t.scope = Scope::OutOfCall;
    auto e = MakeEvent(EventKind::OutOfCallRequest, &t);
    e->request = Clone(m);
    Push(std::move(e));
}

void SipAgent::Impl::OnCancel(TxRec& t, osip_message_t* m) {
    auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
    osip_generic_param_t* br = nullptr;
    if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &br);
    for (auto& [cid, c] : calls) {
        if (c.outgoing || c.answered) continue;
        auto it = txs.find(c.inviteTid);
        if (it == txs.end() || !it->second.tr || !it->second.tr->orig_request) continue;
        auto* iv =
            static_cast<osip_via_t*>(osip_list_get(&it->second.tr->orig_request->vias, 0));
        osip_generic_param_t* ib = nullptr;
        if (iv) osip_via_param_get_byname(iv, const_cast<char*>("branch"), &ib);
        if (!br || !ib || !br->gvalue || !ib->gvalue || strcmp(br->gvalue, ib->gvalue) != 0)
            continue;
        AutoAnswer(t, 200);
        if (!it->second.finalSent) AutoAnswer(it->second, 487);
        auto e = MakeEvent(EventKind::CallCancelled, &it->second);
        e->request = Clone(m);
        Push(std::move(e));
        return;
    }
    AutoAnswer(t, 481);
}

void SipAgent::Impl::OnInvite(TxRec& t, osip_message_t* m) {
    if (!TagOf(m->to).empty()) {
        DialogRec* dr = FindDialogAsUas(m);
        if (!dr) {
            AutoAnswer(t, 481);
            return;
        }
        t.scope = Scope::InCall;
        t.cid = dr->cid;
        t.did = dr->did;
        std::string sdp = BodyText(m);
        if (!sdp.empty()) dr->remoteSdp = sdp;
        auto e = MakeEvent(EventKind::CallRequest, &t);
        e->request = Clone(m);
        Push(std::move(e));
        return;
    }
    CallRec c;
    c.cid = NewId();
    c.inviteTid = t.tid;
    c.outgoing = false;
    t.scope = Scope::Incoming;
    t.cid = c.cid;
    calls[c.cid] = std::move(c);
    // Tell the peer we are on it so that it stops retransmitting.
    osip_message_t* r = MakeResponse(m, 100, t.localTag);
    if (r) {
        osip_event_t* ev = osip_new_outgoing_sipmessage(r);
        ev->transactionid = t.tr->transactionid;
        Run(t.tr, ev);
    }
    auto e = MakeEvent(EventKind::CallIncoming, &t);
    e->request = Clone(m);
    Push(std::move(e));
}

void SipAgent::Impl::OnInviteAnswer(TxRec& t, osip_message_t* resp, bool timeout) {
    auto cit = calls.find(t.cid);
    if (cit == calls.end()) return;
    CallRec& c = cit->second;
    int st = timeout ? 0 : resp->status_code;
    auto e = MakeEvent(EventKind::CallNoAnswer, &t);
    e->request = Clone(t.tr->orig_request);
    if (resp) e->response = Clone(resp);
    if (timeout) {
        Push(std::move(e));
        c.finalSeen = true;
        ReleaseCall(c.cid, nullptr, &t);
        return;
    }
    if (st < 300 && !TagOf(resp->to).empty()) {
        DialogRec* dr = Dialog(c.did);
        if (dr && dr->d) {
            if (st >= 200) {
                osip_dialog_update_route_set_as_uac(dr->d, resp);
                osip_dialog_update_tag_as_uac(dr->d, resp);
                osip_dialog_set_state(dr->d, DIALOG_CONFIRMED);
            }
        } else {
            osip_dialog_t* d = nullptr;
            if (osip_dialog_init_as_uac(&d, resp) == 0) {
                auto n = std::make_unique<DialogRec>();
                n->did = NewId();
                n->cid = c.cid;
                n->d = d;
                c.did = n->did;
                dr = n.get();
                dialogs[n->did] = std::move(n);
            }
        }
        if (dr) {
            std::string sdp = BodyText(resp);
            if (!sdp.empty()) dr->remoteSdp = sdp;
        }
        e->did = t.did = c.did;
    }
    if (st < 200) {
        e->kind = st == 180 ? EventKind::CallRinging : EventKind::CallProceeding;
    } else if (st < 300) {
        e->kind = EventKind::CallAnswered;
        c.answered = true;
        c.finalSeen = true;
    } else {
        c.finalSeen = true;
        // An early dialog (from a 1xx with a tag) dies with the INVITE.
        if (c.did) {
            dialogs.erase(c.did);
            c.did = 0;
        }
        // The transaction layer acknowledged the final answer itself: the
        // ACK goes with the event, for the log.
        if (t.tr && t.tr->ack) e->ack = Clone(t.tr->ack);
        e->kind = st < 400   ? EventKind::CallRedirected
                  : st < 500 ? EventKind::CallRejected
                  : st < 600 ? EventKind::CallServerFailure
                             : EventKind::CallGlobalFailure;
    }
    e->text = EventKindName(e->kind);
    Push(std::move(e));
}

// A request inside dialog dr with the dialog's route set and remote target.
int SipAgent::Impl::BuildInDialog(DialogRec& dr, const char* method, int cseqNum, MessagePtr& out) {
    osip_dialog_t* d = dr.d;
    if (!d || !d->remote_uri || !d->local_uri || !d->call_id) return -1;
    osip_message_t* m = nullptr;
    if (osip_message_init(&m) != 0) return -1;
    MessagePtr hold(m);
    osip_message_set_method(m, osip_strdup(method));
    osip_message_set_version(m, osip_strdup("SIP/2.0"));
    osip_to_clone(d->remote_uri, &m->to);
    osip_from_clone(d->local_uri, &m->from);
    if (!m->to || !m->from) return -1;
    if (TagOf(m->from).empty() && d->local_tag)
        osip_from_set_tag(m->from, osip_strdup(d->local_tag));
    if (TagOf(m->to).empty() && d->remote_tag)
        osip_to_set_tag(m->to, osip_strdup(d->remote_tag));
    osip_message_set_call_id(m, d->call_id);
    std::string cseq = std::to_string(cseqNum) + " " + method;
    osip_message_set_cseq(m, cseq.c_str());
    osip_uri_t* target = nullptr;
    if (d->remote_contact_uri && d->remote_contact_uri->url)
        osip_uri_clone(d->remote_contact_uri->url, &target);
    else
        osip_uri_clone(d->remote_uri->url, &target);
    if (!target) return -1;
    // Loose routing only: the route set goes into Route headers in order.
    int n = osip_list_size(&d->route_set);
    for (int i = 0; i < n; ++i) {
        auto* r = static_cast<osip_route_t*>(osip_list_get(&d->route_set, i));
        osip_route_t* rc = nullptr;
        if (osip_route_clone(r, &rc) == 0) osip_list_add(&m->routes, rc, -1);
    }
    osip_message_set_uri(m, target);
    AddVia(m, DestHostOf(m));
    osip_message_set_max_forwards(m, "70");
    SetUa(m);
    out = std::move(hold);
    return 0;
}

int SipAgent::BuildInitialInvite(MessagePtr& out, const char* to, const char* from,
                                 const char* route, const char* subject) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    int rc = impl_->BuildOutOfDialog(out, "INVITE", to, from, route);
    if (rc != 0) return rc;
    if (subject && *subject) osip_message_set_subject(out.get(), subject);
    impl_->AddContact(out.get(), out->from, impl_->DestHostOf(out.get()));
    return 0;
}

int SipAgent::SendInitialInvite(MessagePtr invite) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!invite || !impl_->transport || !IsInvite(invite.get())) return -1;
    CallRec c;
    c.cid = impl_->NewId();
    c.invite = Clone(invite.get());
    int cid = c.cid;
    impl_->calls[cid] = std::move(c);
    int tid = impl_->StartClient(invite.release(), ICT, Scope::Invite, cid, 0, 0);
    if (tid <= 0) {
        impl_->calls.erase(cid);
        return -1;
    }
    auto it = impl_->calls.find(cid);
    if (it != impl_->calls.end()) it->second.inviteTid = tid;
    return cid;
}

int SipAgent::BuildCallRequest(int did, const char* method, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || !dr->cid || !method || !strcmp(method, "ACK") || !strcmp(method, "INVITE") ||
        !strcmp(method, "CANCEL"))
        return -3;
    // Requests within a call wait for its answer (RFC 3261 15: CANCEL, not
    // BYE, ends an unanswered call).
    if (!dr->d || dr->d->state != DIALOG_CONFIRMED) return -3;
    return impl_->BuildInDialog(*dr, method, dr->d->local_cseq + 1, out);
}

int SipAgent::SendCallRequest(int did, MessagePtr request) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!request || !dr || !impl_->transport) return -3;
    if (request->cseq && request->cseq->number) {
        int n = atoi(request->cseq->number);
        if (n > dr->d->local_cseq) dr->d->local_cseq = n;
    }
    return impl_->StartClient(request.release(), NICT, Scope::InCall, dr->cid, did, 0);
}

int SipAgent::BuildAck(int did, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || !dr->cid || !dr->d || dr->d->type != CALLER) return -3;
    auto c = impl_->calls.find(dr->cid);
    if (c == impl_->calls.end() || !c->second.answered || !c->second.invite) return -3;
    int inviteCseq = atoi(c->second.invite->cseq->number);
    int rc = impl_->BuildInDialog(*dr, "ACK", inviteCseq, out);
    if (rc != 0) return rc;
    // The ACK carries the same credentials as the INVITE (RFC 3261 17.1.1.3).
    osip_list_clone(&c->second.invite->authorizations, &out->authorizations,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_authorization_clone));
    osip_list_clone(&c->second.invite->proxy_authorizations, &out->proxy_authorizations,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_authorization_clone));
    return 0;
}

int SipAgent::SendAck(int did, MessagePtr ack) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!ack || !dr || !impl_->transport) return -3;
    std::string host;
    int port = 5060;
    impl_->NextHop(ack.get(), host, port);
    int rc = impl_->SendRaw(ack.get(), host, port, 0);
    dr->ack = std::move(ack);
    dr->ackHost = host;
    dr->ackPort = port;
    return rc == 0 ? 0 : -1;
}

int SipAgent::BuildCallAnswer(int tid, int status, MessagePtr& out) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->txs.find(tid);
    if (status < 100 || status > 699) return -2;
    if (it == impl_->txs.end() || !it->second.tr || !it->second.tr->orig_request) return -3;
    TxRec& t = it->second;
    if (t.finalSent || (!t.cid && t.scope != Scope::InCall)) return -3;
    osip_message_t* r = impl_->MakeResponse(t.tr->orig_request, status, t.localTag);
    if (!r) return -1;
    if (t.tr->ctx_type == IST && status < 300)
        impl_->AddContact(r, r->to, impl_->DestHostOf(t.tr->orig_request));
    out.reset(r);
    return 0;
}

int SipAgent::SendCallAnswer(int tid, int status, MessagePtr answer) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!answer) {
        if (int rc = BuildCallAnswer(tid, status, answer); rc != 0) return rc;
    }
    auto it = impl_->txs.find(tid);
    if (it == impl_->txs.end() || !it->second.tr || it->second.finalSent) return -3;
    TxRec& t = it->second;
    if (answer->status_code != status && status >= 100 && status <= 699) {
        answer->status_code = status;
        osip_free(answer->reason_phrase);
        const char* r = osip_message_get_reason(status);
        answer->reason_phrase = osip_strdup(r ? r : "Unknown");
        osip_message_force_update(answer.get());
    }
    if (t.tr->ctx_type == IST && status >= 200 && status < 300) {
        auto c = impl_->calls.find(t.cid);
        if (c != impl_->calls.end() && !c->second.did) {
            osip_dialog_t* d = nullptr;
            if (osip_dialog_init_as_uas(&d, t.tr->orig_request, answer.get()) == 0) {
                auto dr = std::make_unique<DialogRec>();
                dr->did = impl_->NewId();
                dr->cid = t.cid;
                dr->d = d;
                dr->remoteSdp = BodyText(t.tr->orig_request);
                c->second.did = dr->did;
                impl_->dialogs[dr->did] = std::move(dr);
            }
            c->second.answered = true;
        }
    }
    return impl_->QueueAnswer(t, std::move(answer));
}

int SipAgent::TerminateCall(int cid, int did) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    auto it = impl_->calls.find(cid);
    if (it == impl_->calls.end() && did) {
        DialogRec* dr = impl_->Dialog(did);
        if (dr) it = impl_->calls.find(dr->cid);
    }
    if (it == impl_->calls.end() || !impl_->transport) return -3;
    CallRec& c = it->second;
    if (c.did && c.answered) {
        MessagePtr bye;
        if (BuildCallRequest(c.did, "BYE", bye) != 0) return -1;
        return SendCallRequest(c.did, std::move(bye)) > 0 ? 0 : -1;
    }
    if (!c.outgoing) return SendCallAnswer(c.inviteTid, 603, nullptr);
    if (c.finalSeen || !c.invite) return -1;
    // CANCEL: same request URI, Call-ID, From, To, top Via and route as the INVITE.
    osip_message_t* inv = c.invite.get();
    osip_message_t* m = nullptr;
    if (osip_message_init(&m) != 0) return -1;
    osip_message_set_method(m, osip_strdup("CANCEL"));
    osip_message_set_version(m, osip_strdup("SIP/2.0"));
    osip_uri_t* u = nullptr;
    osip_uri_clone(inv->req_uri, &u);
    osip_message_set_uri(m, u);
    osip_to_clone(inv->to, &m->to);
    osip_from_clone(inv->from, &m->from);
    osip_call_id_clone(inv->call_id, &m->call_id);
    std::string cseq = Str(inv->cseq->number) + " CANCEL";
    osip_message_set_cseq(m, cseq.c_str());
    auto* v = static_cast<osip_via_t*>(osip_list_get(&inv->vias, 0));
    osip_via_t* vc = nullptr;
    if (v && osip_via_clone(v, &vc) == 0) osip_list_add(&m->vias, vc, -1);
    osip_list_clone(&inv->routes, &m->routes,
                    reinterpret_cast<int (*)(void*, void**)>(&osip_route_clone));
    osip_message_set_max_forwards(m, "70");
    impl_->SetUa(m);
    return impl_->StartClient(m, NICT, Scope::Cancel, cid, 0, 0) > 0 ? 0 : -1;
}

SdpPtr SipAgent::RemoteSdp(int did) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    DialogRec* dr = impl_->Dialog(did);
    if (!dr || dr->remoteSdp.empty()) return nullptr;
    sdp_message_t* s = nullptr;
    if (sdp_message_init(&s) != 0) return nullptr;
    // libosip2's parser refuses line types it does not know, such as the
    // y= (SSRC) and f= (media format) lines that GB/T 28181 devices add.
    std::string text;
    std::size_t pos = 0;
    const std::string& in = dr->remoteSdp;
    while (pos < in.size()) {
        std::size_t e = in.find('\n', pos);
        std::string line = in.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? in.size() : e + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 2 && line[1] == '=' && strchr("vosiuepcbtrzkam", line[0]))
            text += line + "\r\n";
    }
    if (sdp_message_parse(s, text.c_str()) != 0) {
        sdp_message_free(s);
        return nullptr;
    }
    return SdpPtr(s);
}

} // namespace sipua
