// A device registers with build/tarvex (offscreen, its window and tree view
// running) and answers the Catalog query with `channels` channels in
// `messages` MESSAGEs of one SN; the program's CPU time for the whole run,
// from start to exit, against a reference run with the same number of
// keepalives padded to the same size.
//
//   bench_catalog [channels] [messages]      (default 10000 in 1000)
//
// Target: the catalog run under 10 s of CPU.

#include "Harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdio>
#include <set>

using namespace systest;

namespace {

const char* kDevice = "34010000001320000001";

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string ChannelId(int i) {
    char id[32];
    std::snprintf(id, sizeof id, "340100000013100%05d", i);
    return id;
}

std::string HeaderOf(const std::string& msg, const char* name) {
    const std::size_t p = msg.find(std::string("\r\n") + name + ":");
    if (p == std::string::npos) return {};
    std::size_t v = p + std::strlen(name) + 3;
    while (v < msg.size() && msg[v] == ' ') ++v;
    return msg.substr(v, msg.find("\r\n", v) - v);
}

// The device: one UDP socket, requests sent with a window of unanswered ones,
// every request of the program answered 200.
class Device {
public:
    explicit Device(int programPort)
        : fd_(LoopbackUdpTo(programPort)), port_(LocalPortOf(fd_)), programPort_(programPort) {}
    ~Device() { close(fd_); }

    void Request(const std::string& method, const std::string& body) {
        const std::string n = std::to_string(++cseq_);
        const std::string m = method + " sip:" + kLocalId + "@127.0.0.1:" + std::to_string(programPort_) +
                              " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(port_) +
                              ";rport;branch=z9hG4bKcat" + n + "\r\nFrom: <sip:" + kDevice + "@127.0.0.1:" +
                              std::to_string(port_) + ">;tag=d" + n + "\r\nTo: <sip:" + kLocalId +
                              "@127.0.0.1>\r\nCall-ID: cat" + n + "\r\nCSeq: 1 " + method +
                              "\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd_, m.data(), m.size(), 0);
        ++open_;
    }
    // Takes what arrived for up to ms: answers to ours, requests of the program
    // (answered 200; the SN of a Catalog query is kept).
    void Pump(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return;
        char buf[65536];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) return;
            const std::string msg(buf, static_cast<std::size_t>(n));
            if (msg.rfind("SIP/2.0 ", 0) == 0) {
                if (answered_.insert(HeaderOf(msg, "Call-ID")).second) --open_;
                continue;
            }
            if (msg.find("<CmdType>Catalog</CmdType>") != std::string::npos) catalogSn_ = SnOf(msg);
            std::string ok = "SIP/2.0 200 OK\r\n";
            for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
                ok += std::string(h) + ": " + HeaderOf(msg, h) + (std::string(h) == "To" ? ";tag=dev" : "") + "\r\n";
            ok += "Content-Length: 0\r\n\r\n";
            ::send(fd_, ok.data(), ok.size(), 0);
        }
    }
    int Open() const { return open_; }
    int CatalogSn() const { return catalogSn_; }

private:
    int fd_ = -1, port_ = 0, programPort_ = 0, cseq_ = 0, open_ = 0, catalogSn_ = -1;
    std::set<std::string> answered_;
};

std::string CatalogPart(int sn, int sum, int first, int count) {
    std::string s = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n<SN>" +
                    std::to_string(sn) + "</SN>\r\n<DeviceID>" + kDevice + "</DeviceID>\r\n<SumNum>" +
                    std::to_string(sum) + "</SumNum>\r\n<DeviceList Num=\"" + std::to_string(count) + "\">\r\n";
    for (int i = first; i < first + count; ++i)
        s += "<Item>\r\n<DeviceID>" + ChannelId(i) + "</DeviceID>\r\n<Name>Camera</Name>\r\n<Manufacturer>Test"
             "</Manufacturer>\r\n<Status>ON</Status>\r\n<IPAddress>192.168.1.10</IPAddress>\r\n<Port>5060"
             "</Port>\r\n</Item>\r\n";
    return s + "</DeviceList>\r\n</Response>\r\n";
}

struct Run {
    double cpu = 0, wall = 0;
    int status = -1;
    bool complete = false;
};

// One program from start to exit; catalog: the catalog, else keepalives.
Run RunProgram(bool catalog, int channels, int messages) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    const int per = channels / messages;
    const std::string last = catalog ? ChannelId(per * messages) : "<SN>" + std::to_string(messages) + "</SN>";
    WriteFile(dir.File("run.txt"), "wait-registered 30000\nwait-log " + last + " 600000\nexit\n");
    Run r;
    const double cpu0 = ChildrenCpu();
    const auto t0 = std::chrono::steady_clock::now();
    Program program(dir.Path(), {"--script", "run.txt"});
    if (!program.WaitOut("SIP endpoint start transport 0")) return r;
    Device dev(port);
    dev.Request("REGISTER", "");
    // The chain's Catalog query comes a second after the registration.
    for (int i = 0; i < 300 && dev.CatalogSn() < 0; ++i) dev.Pump(100);
    if (dev.CatalogSn() < 0) return r;
    for (int m = 0; m < messages; ++m) {
        while (dev.Open() > 16) dev.Pump(200);
        std::string body = CatalogPart(dev.CatalogSn(), channels, m * per + 1, per);
        if (!catalog) {
            std::string keepalive = "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>" +
                                    std::to_string(m + 1) + "</SN>\r\n<DeviceID>" + kDevice +
                                    "</DeviceID>\r\n<Status>OK</Status>\r\n<Info>";
            keepalive += std::string(body.size() > keepalive.size() + 30 ? body.size() - keepalive.size() - 30 : 0, 'x');
            body = keepalive + "</Info>\r\n</Notify>\r\n";
        }
        dev.Request("MESSAGE", body);
        dev.Pump(0);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (std::chrono::steady_clock::now() < end && kill(program.Pid(), 0) == 0 &&
           program.Out().find("line 3: exit") == std::string::npos)
        dev.Pump(100);
    r.status = program.Wait(120000);
    // The script's wait-log found the last one: every message was logged.
    const std::string out = program.Out();
    r.complete = out.find("line 2: wait-log") != std::string::npos && out.find("FAILED") == std::string::npos &&
                 out.find("line 3: exit") != std::string::npos;
    if (std::getenv("BENCH_CATALOG_VERBOSE")) std::printf("%s\n", out.c_str());
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.cpu = ChildrenCpu() - cpu0;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int messages = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (channels <= 0 || messages <= 0 || channels % messages != 0) {
        std::fprintf(stderr, "usage: bench_catalog [channels] [messages] (channels a multiple of messages)\n");
        return 2;
    }
    std::printf("catalog of %d channels in %d MESSAGEs into build/tarvex (offscreen, window running)\n",
                channels, messages);
    const Run ref = RunProgram(false, channels, messages);
    std::printf("reference: %d keepalives of the same size: CPU %.2f s, wall %.1f s, exit %d%s\n", messages,
                ref.cpu, ref.wall, ref.status, ref.complete ? "" : ", NOT all logged");
    const Run cat = RunProgram(true, channels, messages);
    std::printf("catalog:   CPU %.2f s, wall %.1f s, exit %d%s\n", cat.cpu, cat.wall, cat.status,
                cat.complete ? "" : ", NOT all logged");
    std::printf("ratio catalog / keepalives: %.2f\n", ref.cpu > 0 ? cat.cpu / ref.cpu : 0.0);
    const bool ok = cat.status == 0 && ref.status == 0 && cat.complete && ref.complete && cat.cpu < 10.0;
    std::printf("target: catalog run under 10 s of CPU: %s (%.2f s, %.0f %% of the target)\n", ok ? "met" : "NOT met",
                cat.cpu, cat.cpu * 10.0);
    return ok ? 0 : 1;
}
