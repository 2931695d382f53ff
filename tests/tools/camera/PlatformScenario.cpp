#include "PlatformScenario.h"

#include "Files.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <strings.h>
#include <sstream>

namespace camtest {

namespace {

std::string Answer(int status, const char* reason, const std::string& extra) {
    return "  <send><![CDATA[\nSIP/2.0 " + std::to_string(status) + " " + reason +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]plat[call_number]\n[last_Call-ID:]\n"
           "[last_CSeq:]\n" + extra + "Content-Length: 0\n\n]]></send>\n";
}

std::string Request(const std::string& method, const std::string& user, int cseq,
                    const std::string& contentType, const std::string& body, bool inDialog) {
    std::ostringstream o;
    o << "  <send><![CDATA[\n"
      << method << " sip:" << user << "@[$hp] SIP/2.0\n"
      << "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]\n"
      << "From: <sip:" << kServerId << "@[local_ip]:[local_port]>;tag=[pid]p" << (inDialog || method == "INVITE" ? "call" : std::to_string(cseq)) << "\n"
      << "To: <sip:" << user << "@[$hp]>" << (inDialog ? "[peer_tag_param]" : "") << "\n"
      << "Call-ID: [call_id]\n"
      << "CSeq: " << cseq << " " << method << "\n"
      << "Max-Forwards: 70\n"
      << "User-Agent: Platform\n";
    if (method == "INVITE") o << "Contact: <sip:" << kServerId << "@[local_ip]:[local_port]>\nSubject: INVITE\n";
    if (!body.empty()) o << "Content-Type: " << contentType << "\n";
    o << "Content-Length: [len]\n\n" << body << "]]></send>\n";
    return o.str();
}

} // namespace

std::string PlatformScenario(const Platform& p) {
    std::ostringstream o;
    // Written at once (SIPp's own logs are buffered), and before the last
    // answer: a camera that leaves on it closes its TCP connection, and SIPp
    // then drops the call before its next step.
    const std::string done = "  <nop>\n    <action>\n      <exec command=\"echo platform done >> " +
                             p.doneFile + "\"/>\n    </action>\n  </nop>\n";
    // SIPp takes no out-of-call scenario in server mode: every call starts
    // here, and what is not the REGISTER of the main call (the camera's
    // answers and keepalives, each a call of its own) is answered 200 at once.
    o << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"platform\">\n"
      << "  <recv request=\"REGISTER|MESSAGE\" regexp_match=\"true\">\n    <action>\n"
      << "      <ereg regexp=\"^([A-Z]+) \" search_in=\"msg\" assign_to=\"line,method\"/>\n"
      << "      <strcmp assign_to=\"cmp\" variable=\"method\" value=\"REGISTER\"/>\n"
      << "      <test assign_to=\"isRegister\" variable=\"cmp\" compare=\"equal\" value=\"0\"/>\n"
      << "      <log message=\"first [$line]\"/>\n"
      << "      <ereg regexp=\"&lt;sip:[^@&gt;]*@([^&gt;;]*)\" search_in=\"hdr\" header=\"Contact:\""
         " assign_to=\"contact,hp\"/>\n"
      << "      <log message=\"contact [$contact] [$hp]\"/>\n"
      << "    </action>\n  </recv>\n"
      << "  <nop next=\"main\" test=\"isRegister\"/>\n"
      << Answer(200, "OK", "") << "  <nop next=\"end\"/>\n"
      << "  <label id=\"main\"/>\n";
    if (p.challenge) {
        o << Answer(401, "Unauthorized",
                    "WWW-Authenticate: Digest realm=\"3402000000\", nonce=\"6fa3c7b21d\", algorithm=MD5\n")
          << "  <recv request=\"REGISTER\">\n    <action>\n"
          << "      <verifyauth assign_to=\"authok\" username=\"" << p.deviceId << "\" password=\""
          << p.password << "\"/>\n    </action>\n  </recv>\n"
          << "  <nop next=\"authgood\" test=\"authok\"/>\n"
          << Answer(403, "Forbidden", "") << "  <nop next=\"fail\"/>\n"
          << "  <label id=\"authgood\"/>\n";
    }
    o << Answer(200, "OK", "Expires: " + std::to_string(p.expires) + "\nDate: 2026-03-03T09:05:07\n");
    if (p.expectRefresh)
        o << "  <recv request=\"REGISTER\" timeout=\"30000\"/>\n" << Answer(200, "OK", "Expires: 3600\n");
    int cseq = 1;
    for (const auto& q : p.queries) {
        o << "  <pause milliseconds=\"200\"/>\n"
          << Request("MESSAGE", p.deviceId, cseq, "Application/MANSCDP+xml", q.body, false)
          << "  <recv response=\"" << q.status << "\"/>\n";
        ++cseq;
        if (q.pauseMs) o << "  <pause milliseconds=\"" << q.pauseMs << "\"/>\n";
    }
    if (!p.offer.empty()) {
        const int inviteCseq = cseq++;
        o << Request("INVITE", p.inviteTo.empty() ? p.deviceId : p.inviteTo, inviteCseq,
                     "application/sdp", p.offer, false)
          << "  <recv response=\"100\" optional=\"true\"/>\n"
          << "  <recv response=\"200\" rrs=\"true\"/>\n"
          << "  <send><![CDATA[\nACK [next_url] SIP/2.0\n"
             "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]\n"
             "From: <sip:" << kServerId << "@[local_ip]:[local_port]>;tag=[pid]pcall\n"
             "To: <sip:" << (p.inviteTo.empty() ? p.deviceId : p.inviteTo) << "@[$hp]>[peer_tag_param]\n"
             "Call-ID: [call_id]\nCSeq: " << inviteCseq << " ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n";
        for (const auto& i : p.infos) {
            const int n = cseq++;
            o << "  <pause milliseconds=\"" << i.pauseMs << "\"/>\n"
              << Request("INFO", p.inviteTo.empty() ? p.deviceId : p.inviteTo, n,
                         "Application/MANSRTSP", i.body, true)
              << "  <recv response=\"200\"/>\n";
        }
        if (p.deviceSendsBye) {
            o << "  <recv request=\"BYE\" timeout=\"" << p.holdMs << "\"/>\n" << Answer(200, "OK", "");
        } else {
            const int n = cseq++;
            o << "  <pause milliseconds=\"" << p.holdMs << "\"/>\n"
              << Request("BYE", p.inviteTo.empty() ? p.deviceId : p.inviteTo, n, "", "", true)
              << "  <recv response=\"200\"/>\n";
        }
    }
    if (p.expectUnregister) {
        o << "  <recv request=\"REGISTER\" timeout=\"60000\">\n    <action>\n"
          << "      <ereg regexp=\"^ *0$\" search_in=\"hdr\" header=\"Expires:\" check_it=\"true\""
             " assign_to=\"zero\"/>\n      <log message=\"unregister [$zero]\"/>\n"
             "    </action>\n  </recv>\n"
          << done << Answer(200, "OK", "");
    }
    // The main call is the test: its end writes doneFile and stops SIPp.
    if (!p.expectUnregister) o << done;
    o << "  <nop>\n    <action>\n      <exec int_cmd=\"stop_now\"/>\n    </action>\n  </nop>\n"
      << "  <nop next=\"end\"/>\n"
      << "  <label id=\"fail\"/>\n  <recv request=\"NEVER\" timeout=\"100\"/>\n"
      << "  <label id=\"end\"/>\n</scenario>\n";
    return o.str();
}


std::string Traced::Header(const std::string& name) const {
    std::size_t end = text.find("\r\n\r\n");
    std::size_t pos = 0;
    while (pos < end) {
        std::size_t e = text.find("\r\n", pos);
        std::string line = text.substr(pos, e - pos);
        pos = e + 2;
        std::size_t c = line.find(':');
        if (c != std::string::npos && strcasecmp(line.substr(0, c).c_str(), name.c_str()) == 0) {
            std::size_t v = line.find_first_not_of(' ', c + 1);
            return v == std::string::npos ? "" : line.substr(v);
        }
    }
    return "";
}

std::string Traced::Body() const {
    std::size_t e = text.find("\r\n\r\n");
    return e == std::string::npos ? "" : text.substr(e + 4);
}

std::vector<Traced> ReadTrace(const std::string& path) {
    // Entries start with a line of dashes and a time stamp, then
    // "UDP message sent (N bytes):" or "... message received [N] bytes :".
    std::string all = ReadFile(path);
    std::vector<Traced> out;
    std::size_t pos = 0;
    const std::string dash = "----------------------------------------------- ";
    while ((pos = all.find(dash, pos)) != std::string::npos) {
        std::size_t lineEnd = all.find('\n', pos);
        std::string stamp = all.substr(pos + dash.size(), lineEnd - pos - dash.size());
        std::size_t headEnd = all.find('\n', lineEnd + 1);
        std::string head = all.substr(lineEnd + 1, headEnd - lineEnd - 1);
        std::size_t msgStart = headEnd + 1;
        while (msgStart < all.size() && (all[msgStart] == '\n' || all[msgStart] == '\r')) ++msgStart;
        std::size_t next = all.find(dash, msgStart);
        std::string body = all.substr(msgStart, next == std::string::npos ? std::string::npos : next - msgStart);
        while (!body.empty() && (body.back() == '\n') && body.size() >= 2 && body[body.size() - 2] == '\n')
            body.pop_back();
        Traced t;
        t.sent = head.find("sent") != std::string::npos;
        // "2026-03-03 09:05:07.123456", local time
        std::tm tm{};
        double sec = 0;
        if (std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%lf", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &sec) == 6) {
            tm.tm_year -= 1900;
            tm.tm_mon -= 1;
            tm.tm_isdst = -1;
            t.time = static_cast<double>(std::mktime(&tm)) + sec;
        }
        // Bytes as on the wire: the trace keeps the CR LF line ends.
        t.text = body;
        out.push_back(std::move(t));
        pos = next == std::string::npos ? all.size() : next;
    }
    return out;
}

} // namespace camtest
