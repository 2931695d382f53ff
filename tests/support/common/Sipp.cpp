#include "Sipp.h"

#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <set>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

SippProcess::~SippProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool SippProcess::Start(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    std::string prog = "/usr/bin/sipp";
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int r = posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) pid_ = -1;
    return r == 0;
}

int SippProcess::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const int rc = testsupport::WaitChild(pid_, timeoutMs);
    pid_ = -1;
    return rc;
}

namespace {

const char* kPlatform = "34020000002000000001";

// Out-of-call instances of SIPp all count as call 0, so their branches would
// repeat and a second answer would look like a retransmission of the first:
// the query's Call-ID keeps them apart.
std::string MessageTo(const std::string& fromUser, const std::string& tagNo, int cseq,
                      const std::string& body, bool ooc = false) {
    std::ostringstream o;
    o << "  <send><![CDATA[\n"
      << "MESSAGE sip:" << kPlatform << "@[remote_ip]:[remote_port] SIP/2.0\n"
      << "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]"
      << (ooc ? "x[call_id]" : "") << "\n"
      << "From: <sip:" << fromUser << "@[local_ip]:[local_port]>;tag=[pid]SIPpTag" << tagNo
      << "[call_number]" << (ooc ? "x[call_id]" : "") << "\n"
      << "To: <sip:" << kPlatform << "@[remote_ip]:[remote_port]>\n"
      << "Call-ID: [call_id]\n"
      << "CSeq: " << cseq << " MESSAGE\n"
      << "Content-Type: Application/MANSCDP+xml\n"
      << "Max-Forwards: 70\n"
      << "User-Agent: IPC\n"
      << "Content-Length: [len]\n\n"
      << body << "\n]]></send>\n";
    return o.str();
}

// SIPp ends a message at the last line; bodies keep their own CR LF.
std::string Crlf(const std::string& lines) {
    std::string out;
    for (char c : lines) {
        if (c == '\n') out += "\r\n";
        else out += c;
    }
    return out;
}

} // namespace

std::string MainScenario(const DeviceScript& s) {
    std::string user = s.fromUser.empty() ? s.deviceId : s.fromUser;
    const bool nat = !s.natAddress.empty();
    std::string hostPort = nat ? s.natAddress : s.fromPort ? "[local_ip]:[local_port]" : "[local_ip]";
    const std::string viaSentBy =
        nat ? s.natAddress + ":9" : std::string("[local_ip]:[local_port]") + (s.viaRport ? ";rport" : "");
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"camera\">\n";
    if (s.firstPauseMs > 0) o << "  <pause milliseconds=\"" << s.firstPauseMs << "\"/>\n";
    int cseq = 1;
    if (s.registerFirst) {
        for (int i = 0; i < s.registers; ++i) {
            if (i > 0) o << "  <pause milliseconds=\"1500\"/>\n";
            o << "  <send><![CDATA[\n"
              << "REGISTER sip:" << kPlatform << "@[remote_ip]:[remote_port] SIP/2.0\n"
              << "Via: SIP/2.0/[transport] " << viaSentBy << ";branch=[branch]\n"
              << "From: <sip:" << user << "@" << hostPort << ">;tag=[pid]SIPpTag00[call_number]\n"
              << "To: <sip:" << user << "@" << hostPort << ">\n"
              << "Call-ID: [call_id]\n"
              << "CSeq: " << cseq++ << " REGISTER\n"
              << "Contact: <sip:" << user << "@" << (nat ? s.natAddress : "[local_ip]:[local_port]") << ">\n"
              << "Max-Forwards: 70\n"
              << "Expires: 3600\n"
              << "User-Agent: IPC\n"
              << "Content-Length: 0\n\n]]></send>\n";
            if (nat) continue;
            o << "  <recv response=\"200\">\n    <action>\n"
              << "      <ereg regexp=\"^ *[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}$\""
                 " search_in=\"hdr\" header=\"Date:\" check_it=\"true\" assign_to=\"date\"/>\n"
              << "      <ereg regexp=\"^ *Tarvex$\" search_in=\"hdr\" header=\"User-Agent:\""
                 " check_it=\"true\" assign_to=\"ua\"/>\n"
              << "      <log message=\"register answered [$date] [$ua]\"/>\n"
              << "    </action>\n  </recv>\n";
        }
    }
    int tag = 10;
    for (const auto& m : s.messages) {
        if (m.pauseMs > 0) o << "  <pause milliseconds=\"" << m.pauseMs << "\"/>\n";
        o << MessageTo(user, std::to_string(tag++), cseq++, m.body);
        if (m.expectAnswer) o << "  <recv response=\"" << m.status << "\"/>\n";
    }
    o << "  <pause milliseconds=\"" << s.holdMs << "\"/>\n</scenario>\n";
    return o.str();
}

std::string OocScenario(const DeviceScript& s) {
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"camera answers\">\n"
      << "  <recv request=\""
      << (s.inviteAnswer.empty() ? "MESSAGE|SUBSCRIBE" : "MESSAGE|SUBSCRIBE|INVITE")
      << "\" regexp_match=\"true\">\n    <action>\n"
      << "      <ereg regexp=\"<CmdType>([A-Za-z]+)</CmdType>\" search_in=\"body\""
         " assign_to=\"whole,cmd\"/>\n"
      << "      <ereg regexp=\"<SN>([0-9]+)</SN>\" search_in=\"body\" assign_to=\"wsn,sn\"/>\n"
      << "      <log message=\"query [$cmd] [$sn] [$whole] [$wsn]\"/>\n"
      << "      <strcmp assign_to=\"c1\" variable=\"cmd\" value=\"Catalog\"/>\n"
      << "      <test assign_to=\"isCatalog\" variable=\"c1\" compare=\"equal\" value=\"0\"/>\n"
      << "      <strcmp assign_to=\"c2\" variable=\"cmd\" value=\"DeviceInfo\"/>\n"
      << "      <test assign_to=\"isInfo\" variable=\"c2\" compare=\"equal\" value=\"0\"/>\n"
      << "      <strcmp assign_to=\"c3\" variable=\"cmd\" value=\"DeviceStatus\"/>\n"
      << "      <test assign_to=\"isStatus\" variable=\"c3\" compare=\"equal\" value=\"0\"/>\n"
      << "      <strcmp assign_to=\"c4\" variable=\"cmd\" value=\"RecordInfo\"/>\n"
      << "      <test assign_to=\"isRecord\" variable=\"c4\" compare=\"equal\" value=\"0\"/>\n"
      << (s.inviteAnswer.empty()
              ? ""
              : "      <ereg regexp=\"^([A-Z]+) \" search_in=\"msg\" assign_to=\"wm,method\"/>\n"
                "      <strcmp assign_to=\"c5\" variable=\"method\" value=\"INVITE\"/>\n"
                "      <test assign_to=\"isInvite\" variable=\"c5\" compare=\"equal\" "
                "value=\"0\"/>\n"
                "      <log message=\"request [$wm]\"/>\n")
      << (s.inviteByeAfterMs < 0 ? ""
                                 : "      <ereg regexp=\".*\" search_in=\"hdr\" header=\"From:\" "
                                   "assign_to=\"caller\"/>\n")
      << "    </action>\n  </recv>\n"
      << (s.inviteAnswer.empty() ? "" : "  <nop next=\"invite\" test=\"isInvite\"/>\n")
      << "  <send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
         "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
         "User-Agent: IPC\nContent-Length: 0\n\n]]></send>\n";
    auto branch = [&](const char* label, bool has, const char* var) {
        o << "  <nop next=\"" << (has ? label : "end") << "\" test=\"" << var << "\"/>\n";
    };
    branch("catalog", !s.catalog.empty(), "isCatalog");
    branch("info", !s.deviceInfo.empty(), "isInfo");
    branch("status", !s.deviceStatus.empty(), "isStatus");
    branch("record", !s.recordInfo.empty(), "isRecord");
    o << "  <nop next=\"end\"/>\n";
    int cseq = 20;
    auto answer = [&](const char* label, const std::vector<std::string>& bodies) {
        if (bodies.empty() || bodies[0].empty()) return;
        o << "  <label id=\"" << label << "\"/>\n";
        for (const auto& b : bodies) {
            o << MessageTo(s.deviceId, std::to_string(cseq), cseq, b, true);
            ++cseq;
            o << "  <recv response=\"200\"/>\n";
        }
        o << "  <nop next=\"end\"/>\n";
    };
    answer("catalog", s.catalog);
    answer("info", {s.deviceInfo});
    answer("status", {s.deviceStatus});
    answer("record", {s.recordInfo});
    if (!s.inviteAnswer.empty() && !s.inviteRefusal.empty()) {
        // Every INVITE refused: the final answer, its ACK, then the next request.
        o << "  <label id=\"invite\"/>\n"
          << "  <send><![CDATA[\nSIP/2.0 " << s.inviteRefusal
          << "\n[last_Via:]\n[last_From:]\n"
             "[last_To:];tag=[pid]SIPpTag03[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
             "Content-Length: 0\n\n]]></send>\n"
          << "  <recv request=\"ACK\" next=\"end\"/>\n";
    } else if (!s.inviteAnswer.empty()) {
        // A call: the answer, its ACK, then INFOs until the BYE.
        o << "  <label id=\"invite\"/>\n"
          << "  <send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
             "[last_To:];tag=[pid]SIPpTag02[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
             "Contact: <sip:"
          << s.deviceId
          << "@[local_ip]:[local_port]>\n"
             "Content-Type: application/sdp\nContent-Length: [len]\n\n"
          << s.inviteAnswer << "]]></send>\n"
          << "  <recv request=\"ACK\"/>\n";
        if (s.inviteByeAfterMs >= 0) {
            o << "  <pause milliseconds=\"" << s.inviteByeAfterMs << "\"/>\n"
              << "  <send><![CDATA[\nBYE sip:" << kPlatform
              << "@[remote_ip]:[remote_port] SIP/2.0\n"
                 "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]\n"
                 "From: <sip:"
              << s.deviceId
              << "@[local_ip]:[local_port]>;tag=[pid]SIPpTag02[call_number]\n"
                 "To:[$caller]\nCall-ID: [call_id]\nCSeq: 1 BYE\nMax-Forwards: 70\n"
                 "Content-Length: 0\n\n]]></send>\n"
              << "  <recv response=\"200\" next=\"end\"/>\n";
        }
        o // Answers go with next, so that the call waits at its recv again
          // at once: INFOs may come in a burst.
          << "  <label id=\"incall\"/>\n"
          << "  <recv request=\"INFO\" optional=\"true\" next=\"info\"/>\n"
          << "  <recv request=\"BYE\"/>\n"
          << "  <send next=\"end\"><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
             "[last_To:]\n"
             "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n"
          << "  <label id=\"info\"/>\n"
          << "  <send next=\"incall\"><![CDATA[\nSIP/2.0 200 "
             "OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
             "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";
    }
    o << "  <label id=\"end\"/>\n</scenario>\n";
    return o.str();
}

std::string CatalogAnswer(const std::string& deviceId, int sumNum,
                          const std::vector<std::string>& channelIds, bool withNum,
                          const std::string& nameOfFirst) {
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Response>\n<CmdType>Catalog</CmdType>\n"
      << "<SN>[$sn]</SN>\n<DeviceID>" << deviceId << "</DeviceID>\n<SumNum>" << sumNum
      << "</SumNum>\n<DeviceList" << (withNum ? " Num=\"" + std::to_string(channelIds.size()) + "\"" : "")
      << ">\n";
    for (std::size_t i = 0; i < channelIds.size(); ++i) {
        o << "<Item>\n<DeviceID>" << channelIds[i] << "</DeviceID>\n<Name>"
          << (i == 0 ? nameOfFirst : "Camera " + std::to_string(i + 1)) << "</Name>\n"
          << "<Manufacturer>Test</Manufacturer>\n<Status>ON</Status>\n"
          << "<IPAddress>192.168.1." << (i + 10) << "</IPAddress>\n<Port>" << (5060 + i)
          << "</Port>\n</Item>\n";
    }
    o << "</DeviceList>\n</Response>";
    return Crlf(o.str());
}

std::string SimpleAnswer(const char* cmdType, const std::string& deviceId, const std::string& extra) {
    return Crlf(std::string("<?xml version=\"1.0\"?>\n<Response>\n<CmdType>") + cmdType +
                "</CmdType>\n<SN>[$sn]</SN>\n<DeviceID>" + deviceId + "</DeviceID>\n" + extra +
                "<Result>OK</Result>\n</Response>");
}

std::string RecordAnswer(const std::string& deviceId, const std::string& channelId, int items) {
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\n<Response>\n<CmdType>RecordInfo</CmdType>\n<SN>[$sn]</SN>\n"
      << "<DeviceID>" << channelId << "</DeviceID>\n<Name>" << deviceId << "</Name>\n<SumNum>"
      << items << "</SumNum>\n<RecordList Num=\"" << items << "\">\n";
    for (int i = 0; i < items; ++i) {
        o << "<Item>\n<DeviceID>" << channelId << "</DeviceID>\n<Name>rec</Name>\n"
          << "<FilePath>/rec/file" << i << ".mp4</FilePath>\n"
          << "<StartTime>2024-05-06T1" << i << ":00:00</StartTime>\n"
          << "<EndTime>2024-05-06T1" << i << ":1" << i << ":0" << i << "</EndTime>\n"
          << "<Type>time</Type>\n</Item>\n";
    }
    o << "</RecordList>\n</Response>";
    return Crlf(o.str());
}

std::string KeepaliveNotify(const std::string& deviceId) {
    return Crlf("<?xml version=\"1.0\"?>\n<Notify>\n<CmdType>Keepalive</CmdType>\n<SN>77</SN>\n"
                "<DeviceID>" + deviceId + "</DeviceID>\n<Status>OK</Status>\n</Notify>");
}

std::string CallScenario(const std::string& sdp, int byeAfterMs) {
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"device call\">\n"
      << "  <recv request=\"INVITE\"/>\n"
      << "  <send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
         "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
         "Contact: <sip:[local_ip]:[local_port];transport=[transport]>\n"
         "Content-Type: application/sdp\nContent-Length: [len]\n\n"
      << sdp << "]]></send>\n"
      << "  <recv request=\"ACK\"/>\n";
    if (byeAfterMs >= 0) {
        o << "  <pause milliseconds=\"" << byeAfterMs << "\"/>\n"
          << "  <send><![CDATA[\nBYE sip:" << kPlatform << "@[remote_ip]:[remote_port] SIP/2.0\n"
          << "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]\n"
             "[last_To:]\n[last_From:]\n[last_Call-ID:]\nCSeq: 2 BYE\nMax-Forwards: 70\n"
             "Content-Length: 0\n\n]]></send>\n"
          << "  <recv response=\"200\"/>\n";
    } else {
        o << "  <recv request=\"BYE\"/>\n"
          << "  <send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
             "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";
    }
    o << "  <pause milliseconds=\"500\"/>\n</scenario>\n";
    return o.str();
}

std::string TracedMessage::StartLine() const { return text.substr(0, text.find("\r\n")); }

std::string TracedMessage::Method() const {
    const std::string l = StartLine();
    if (l.rfind("SIP/2.0", 0) == 0) return {};
    return l.substr(0, l.find(' '));
}

int TracedMessage::Status() const {
    const std::string l = StartLine();
    if (l.rfind("SIP/2.0 ", 0) != 0) return 0;
    return std::atoi(l.c_str() + 8);
}

std::string TracedMessage::Header(const std::string& name) const {
    const std::string key = "\r\n" + name + ":";
    const std::size_t headEnd = text.find("\r\n\r\n");
    std::size_t p = text.find(key);
    if (p == std::string::npos || (headEnd != std::string::npos && p > headEnd)) return {};
    std::size_t v = p + key.size();
    while (v < text.size() && text[v] == ' ') ++v;
    return text.substr(v, text.find("\r\n", v) - v);
}

std::string TracedMessage::Body() const {
    const std::size_t p = text.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : text.substr(p + 4);
}

std::string TracedMessage::Transaction() const {
    std::string via = Header("Via");
    const std::size_t b = via.find("branch=");
    std::string branch = b == std::string::npos ? via : via.substr(b + 7);
    branch = branch.substr(0, branch.find_first_of(";, "));
    return branch + "|" + Header("CSeq");
}

std::vector<TracedMessage> ReadSippTrace(const std::string& file) {
    const std::string all = ReadFile(file);
    const std::string sep = "----------------------------------------------- ";
    std::vector<TracedMessage> out;
    std::size_t p = all.find(sep);
    while (p != std::string::npos) {
        const std::size_t next = all.find("\n" + sep, p + sep.size());
        const std::string block = all.substr(p, next == std::string::npos ? std::string::npos : next + 1 - p);
        p = next == std::string::npos ? next : next + 1;
        // "date time", then "UDP message sent (N bytes):" or "... received [N] bytes :".
        const std::size_t l1 = block.find('\n');
        const std::size_t l2 = block.find('\n', l1 + 1);
        if (l1 == std::string::npos || l2 == std::string::npos) continue;
        TracedMessage m;
        const std::string stamp = block.substr(sep.size(), l1 - sep.size());
        std::tm tm{};
        double frac = 0;
        if (const char* rest = strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) frac = std::atof(rest);
        tm.tm_isdst = -1;
        m.time = static_cast<double>(std::mktime(&tm)) + frac;
        m.sentBySipp = block.compare(l1 + 1, l2 - l1 - 1, "") != 0 &&
                       block.substr(l1 + 1, l2 - l1 - 1).find(" sent ") != std::string::npos;
        std::string text = block.substr(l2 + 1);
        while (!text.empty() && (text[0] == '\n' || text[0] == '\r')) text.erase(0, 1);
        // The trace adds a line end after each message.
        if (text.size() >= 1 && text.back() == '\n' && text.size() >= 2 && text[text.size() - 2] != '\r')
            text.pop_back();
        m.text = std::move(text);
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<TracedMessage> ReceivedRequests(const std::vector<TracedMessage>& trace,
                                            const std::string& method) {
    std::vector<TracedMessage> out;
    std::set<std::string> seen;
    for (const auto& m : trace)
        if (!m.sentBySipp && m.Method() == method && seen.insert(m.Transaction()).second) out.push_back(m);
    return out;
}
