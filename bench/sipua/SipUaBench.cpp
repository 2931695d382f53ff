// MESSAGE transactions per second through the user agent.
//
//   tarvex_sipua_bench [transactions] [window]
//
// Three runs on 127.0.0.1 UDP, each with at most `window` transactions open:
//   reference  two plain UDP sockets exchanging the same request and answer
//              texts (what the kernel's loopback costs alone);
//   sipp       our agent sends MESSAGE, SIPp answers 200 (when sipp is found);
//   agents     our agent sends MESSAGE, a second agent in this process
//              answers each one from its event loop, as the endpoint does.
// Figures are printed with their ratio to the reference and to the 2,000 per
// second target, and as transactions per CPU-second of this process (both
// agents together in the last run). The process is pinned to one CPU (SIPp
// runs beside it).

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sip/ua/SipAgent.h"

using namespace std::chrono;
using sipua::EventKind;
using sipua::MessagePtr;

namespace {

int FreeUdpPort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    close(s);
    return ntohs(a.sin_port);
}

const char* kBody =
    "<?xml version=\"1.0\"?>\r\n<Query>\r\n<CmdType>DeviceStatus</CmdType>\r\n<SN>17</SN>\r\n"
    "<DeviceID>34010000001320000001</DeviceID>\r\n</Query>\r\n";

// Drives `total` MESSAGE transactions from ua to `to`; returns per second.
double DriveAgent(sipua::SipAgent& ua, const std::string& to, int total, int window, int* failed) {
    std::string from =
        "<sip:34020000002000000001@127.0.0.1:" + std::to_string(ua.BoundPort()) + ">";
    int sent = 0, done = 0;
    *failed = 0;
    auto send = [&] {
        MessagePtr m;
        if (ua.BuildRequest(m, "MESSAGE", to.c_str(), from.c_str(), nullptr) != 0) return false;
        osip_message_set_body(m.get(), kBody, strlen(kBody));
        osip_message_set_content_type(m.get(), "Application/MANSCDP+xml");
        return ua.SendRequest(std::move(m)) > 0;
    };
    auto t0 = steady_clock::now();
    while (sent < total && sent < window)
        sent += send() ? 1 : 0;
    auto deadline = t0 + seconds(60);
    while (done < total && steady_clock::now() < deadline) {
        sipua::EventPtr e = ua.WaitEvent(1, 0);
        if (!e) continue;
        if (e->kind == EventKind::OutOfCallProceeding) continue;
        if (e->kind != EventKind::OutOfCallAnswered) ++*failed;
        ++done;
        if (sent < total) sent += send() ? 1 : 0;
    }
    double s = duration<double>(steady_clock::now() - t0).count();
    return done / s;
}

double Reference(int total, int window) {
    int a = socket(AF_INET, SOCK_DGRAM, 0), b = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in aa{}, ba{};
    aa.sin_family = ba.sin_family = AF_INET;
    aa.sin_addr.s_addr = ba.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(a, reinterpret_cast<sockaddr*>(&aa), sizeof aa);
    bind(b, reinterpret_cast<sockaddr*>(&ba), sizeof ba);
    socklen_t l = sizeof aa;
    getsockname(a, reinterpret_cast<sockaddr*>(&aa), &l);
    l = sizeof ba;
    getsockname(b, reinterpret_cast<sockaddr*>(&ba), &l);
    std::string req =
        "MESSAGE sip:34010000001320000001@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP "
        "127.0.0.1:5080;rport;branch=z9hG4bK0123456789abcdef\r\nFrom: "
        "<sip:34020000002000000001@127.0.0.1:5080>;tag=0123456789\r\nTo: "
        "<sip:34010000001320000001@127.0.0.1:5060>\r\nCall-ID: 0123456789abcdef01234567\r\n"
        "CSeq: 1 MESSAGE\r\nContent-Type: Application/MANSCDP+xml\r\nMax-Forwards: 70\r\n"
        "User-Agent: Tarvex\r\nContent-Length: 120\r\n\r\n" +
        std::string(kBody);
    std::string ans =
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP "
        "127.0.0.1:5080;rport=5080;branch=z9hG4bK0123456789abcdef"
        "\r\nFrom: <sip:34020000002000000001@127.0.0.1:5080>;tag=0123456789\r\nTo: "
        "<sip:34010000001320000001@127.0.0.1:5060>;tag=abc\r\nCall-ID: 0123456789abcdef01234567\r\n"
        "CSeq: 1 MESSAGE\r\nContent-Length: 0\r\n\r\n";
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        char buf[4096];
        while (!stop) {
            pollfd p{b, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            if (recvfrom(b, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl) > 0)
                sendto(b, ans.data(), ans.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    });
    int sent = 0, done = 0;
    char buf[4096];
    auto t0 = steady_clock::now();
    while (done < total) {
        while (sent < total && sent - done < window) {
            sendto(a, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&ba), sizeof ba);
            ++sent;
        }
        pollfd p{a, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        if (recv(a, buf, sizeof buf, 0) > 0) ++done;
    }
    double s = duration<double>(steady_clock::now() - t0).count();
    stop = true;
    peer.join();
    close(a);
    close(b);
    return done / s;
}

pid_t StartSipp(int port) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::string sf = std::string(TARVEX_SOURCE_DIR) + "/bench/sipua/uas_message.xml";
        std::string p = std::to_string(port);
        // The CPU next to ours, when there is one.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(1, &set);
        sched_setaffinity(0, sizeof set, &set);
        execlp("sipp", "sipp", "-sf", sf.c_str(), "-i", "127.0.0.1", "-p", p.c_str(), "-t", "u1",
               "-nostdin", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Wall-clock rate, and the rate per CPU-second this process used (which the
// load of other processes on the machine does not change).
void Report(const char* name, double tps, double ref, int failed, double cpuPerTx) {
    printf("%-10s %9.0f transactions/s   ratio to reference %.3f   ratio to target 2000/s %.2f   "
           "%.0f per CPU-second   failed %d\n",
           name, tps, ref > 0 ? tps / ref : 0.0, tps / 2000.0, cpuPerTx > 0 ? 1.0 / cpuPerTx : 0.0,
           failed);
}

} // namespace

int main(int argc, char** argv) {
    int total = argc > 1 ? atoi(argv[1]) : 20000;
    int window = argc > 2 ? atoi(argv[2]) : 32;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);

    double c0 = CpuSeconds();
    double ref = Reference(total, window);
    Report("reference", ref, ref, 0, (CpuSeconds() - c0) / total);

    // Against SIPp.
    if (system("command -v sipp >/dev/null 2>&1") == 0) {
        int sp = FreeUdpPort();
        pid_t sipp = StartSipp(sp);
        std::this_thread::sleep_for(milliseconds(500));
        sipua::SipAgent ua;
        ua.Init();
        if (ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false) == 0) {
            ua.SetUserAgent("Tarvex");
            int failed = 0;
            std::string to = "<sip:34010000001320000001@127.0.0.1:" + std::to_string(sp) + ">";
            double c1 = CpuSeconds();
            double tps = DriveAgent(ua, to, total, window, &failed);
            Report("sipp", tps, ref, failed, (CpuSeconds() - c1) / total);
        }
        ::kill(sipp, SIGTERM);
        waitpid(sipp, nullptr, 0);
    }

    // Two agents.
    sipua::SipAgent server, client;
    server.Init();
    client.Init();
    if (server.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false) != 0 ||
        client.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false) != 0)
        return 1;
    server.SetUserAgent("Tarvex");
    client.SetUserAgent("Tarvex");
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        while (!stop) {
            sipua::EventPtr e = server.WaitEvent(0, 100);
            if (!e || e->kind != EventKind::OutOfCallRequest) continue;
            sipua::AgentLock lock(server);
            MessagePtr a;
            if (server.BuildAnswer(e->tid, 200, a) == 0) {
                osip_message_set_header(a.get(), "Date", "2026-12-08T01:02:03");
                server.SendAnswer(e->tid, 200, std::move(a));
            }
        }
    });
    int failed = 0;
    std::string to =
        "<sip:34010000001320000001@127.0.0.1:" + std::to_string(server.BoundPort()) + ">";
    double c2 = CpuSeconds();
    double tps = DriveAgent(client, to, total, window, &failed);
    Report("agents", tps, ref, failed, (CpuSeconds() - c2) / total);
    stop = true;
    answerer.join();
    return 0;
}
