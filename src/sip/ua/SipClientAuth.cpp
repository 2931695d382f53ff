// Client authentication of SipAgent: digest answers to 401/407, redirects
// followed, the retry of a request.
#include "sip/ua/SipAgentImpl.h"

namespace sipua {

// Next hop of an in-dialog request: first Route, else the request URI.
void SipAgent::Impl::NextHop(osip_message_t* m, std::string& host, int& port) {
    osip_route_t* r = nullptr;
    osip_message_get_route(m, 0, &r);
    osip_uri_t* u = r && r->url ? r->url : m->req_uri;
    host = u && u->host ? u->host : "";
    port = u && u->port ? atoi(u->port) : 5060;
}

// Retries req as a new transaction of the same kind with CSeq + 1.
int SipAgent::Impl::Retry(const Event& ev, osip_message_t* req) {
    if (req->cseq && req->cseq->number) {
        int n = atoi(req->cseq->number) + 1;
        osip_free(req->cseq->number);
        req->cseq->number = osip_strdup(std::to_string(n).c_str());
    }
    ReplaceVia(req, DestHostOf(req));
    if (IsInvite(req)) {
        auto c = calls.find(ev.cid);
        if (c == calls.end()) {
            osip_message_free(req);
            return -1;
        }
        c->second.invite = Clone(req);
        int tid = StartClient(req, ICT, Scope::Invite, ev.cid, 0, 0);
        if (tid > 0) c->second.inviteTid = tid;
        return tid > 0 ? 0 : -1;
    }
    Scope s = ev.sid ? Scope::Subscribe : ev.did ? Scope::InCall : Scope::OutOfCall;
    if (s == Scope::InCall) {
        DialogRec* dr = Dialog(ev.did);
        if (dr && dr->d) dr->d->local_cseq = atoi(req->cseq->number);
    }
    return StartClient(req, NICT, s, ev.cid, ev.did, ev.sid) > 0 ? 0 : -1;
}

int SipAgent::Impl::Authorize(const Event& ev) {
    const osip_message_t* resp = ev.response.get();
    bool proxy = resp->status_code == 407;
    const osip_list_t* list = proxy ? &resp->proxy_authenticates : &resp->www_authenticates;
    auto* wa = static_cast<osip_www_authenticate_t*>(osip_list_get(list, 0));
    if (!wa || !wa->nonce) return -1;
    std::string realm = Unquote(wa->realm);
    const Credential* cr = nullptr;
    for (const auto& c : creds)
        if (c.realm.empty() || c.realm == realm) {
            cr = &c;
            break;
        }
    if (!cr) return -1;
    // Only one attempt per request: a request that already carries our
    // credentials and is challenged again is not retried.
    const osip_list_t* had =
        proxy ? &ev.request->proxy_authorizations : &ev.request->authorizations;
    osip_header_t* generic = nullptr;
    if (osip_list_size(had) > 0 ||
        osip_message_header_get_byname(ev.request.get(),
                                       proxy ? "Proxy-Authorization" : "Authorization", 0,
                                       &generic) >= 0)
        return -1;
    std::string alg = Unquote(wa->algorithm);
    if (!alg.empty() && strcasecmp(alg.c_str(), "MD5") != 0) return -1;
    MessagePtr req = Clone(ev.request.get());
    if (!req) return -1;
    char* uriStr = nullptr;
    osip_uri_to_str(req->req_uri, &uriStr);
    std::string uri = Str(uriStr);
    osip_free(uriStr);
    std::string nonce = Unquote(wa->nonce);
    std::string qop = Unquote(wa->qop_options);
    std::string ha1 = Md5Hex(cr->userid + ":" + realm + ":" + cr->password);
    std::string ha2 = Md5Hex(Str(req->sip_method) + ":" + uri);
    std::string hdr = "Digest username=\"" + cr->userid + "\", realm=\"" + realm +
                      "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\"";
    if (qop.find("auth") != std::string::npos) {
        std::string cnonce = Hex(16), nc = "00000001";
        std::string resp2 =
            Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
        hdr +=
            ", response=\"" + resp2 + "\", cnonce=\"" + cnonce + "\", nc=" + nc + ", qop=auth";
    } else {
        hdr += ", response=\"" + Md5Hex(ha1 + ":" + nonce + ":" + ha2) + "\"";
    }
    hdr += ", algorithm=MD5";
    if (wa->opaque) hdr += ", opaque=\"" + Unquote(wa->opaque) + "\"";
    if (proxy)
        osip_message_set_proxy_authorization(req.get(), hdr.c_str());
    else
        osip_message_set_authorization(req.get(), hdr.c_str());
    return Retry(ev, req.release());
}

int SipAgent::Impl::Redirect(const Event& ev) {
    const osip_message_t* resp = ev.response.get();
    auto* ct = static_cast<osip_contact_t*>(osip_list_get(&resp->contacts, 0));
    if (!ct || !ct->url || !ct->url->host) return -1;
    // Follow once per request: a redirected request is not redirected again.
    std::string key = CallIdText(ev.request.get()) + "|" + Str(ev.request->sip_method);
    if (!redirected.insert(key).second) return -1;
    MessagePtr req = Clone(ev.request.get());
    if (!req) return -1;
    osip_uri_t* u = nullptr;
    if (osip_uri_clone(ct->url, &u) != 0) return -1;
    osip_uri_free(req->req_uri);
    req->req_uri = u;
    return Retry(ev, req.release());
}

int SipAgent::DefaultAction(const Event& event) {
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    if (!impl_->transport || !event.response || !event.request) return -1;
    int st = event.response->status_code;
    if (st >= 300 && st < 400) return impl_->Redirect(event);
    if (st == 401 || st == 407) return impl_->Authorize(event);
    return -1;
}

int SipAgent::AddCredentials(const char* username, const char* userid, const char* password,
                             const char* realm) {
    if (!username || !password) return -1;
    std::lock_guard<std::recursive_mutex> g(impl_->mu);
    Credential c{username, userid && *userid ? userid : username, password, Str(realm)};
    impl_->creds.push_back(std::move(c));
    return 0;
}

} // namespace sipua
