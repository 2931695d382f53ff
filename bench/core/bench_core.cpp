// Keepalives from SIPp into build/tarvex, offscreen, as a busy device would send
// them.
//
//   bench_core [messages] [rate]          (default 100000 at 1000 a second)
//
// Runs, each against a fresh program:
//   idle      the program registered and quiet for 10 s: its CPU share (the
//             reference the next figure is set against);
//   100/s     keepalives at 100 a second for 20 s: CPU share of one core
//             (target: under 10 %), and the ratio to idle;
//   bulk      `messages` keepalives at `rate` a second: failed transactions
//             (SIPp's failed calls; target 0), then the time an operator
//             script's wait-log needs for a fresh message (target: under 1 s),
//             the memory the program holds per logged message beyond the
//             messages' own bytes once the SIP transactions have expired
//             (target: under 2 KB), and the workbook's rows (target: every one).

#include "Harness.h"

#include <sys/resource.h>

#include <cmath>
#include <fstream>

using namespace systest;

namespace {

const char* kDevice = "34010000001320000001";

double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t p = s.rfind(')');
    if (p == std::string::npos) return 0;
    std::istringstream in(s.substr(p + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// SIPp's mean time from a keepalive to its 200 (Response Time 1), in ms.
double ResponseMs(const std::string& out) {
    const std::size_t p = out.rfind("Response Time 1");
    if (p == std::string::npos) return -1;
    const std::size_t bar = out.find('|', out.find('|', p) + 1);
    int h = 0, m = 0, s = 0, us = 0;
    if (std::sscanf(out.c_str() + bar + 1, " %d:%d:%d:%d", &h, &m, &s, &us) != 4) return -1;
    return ((h * 60 + m) * 60 + s) * 1000.0 + us / 1000.0;
}

// SIPp's failed calls from its final statistics, -1 when not found.
long FailedCalls(const std::string& out) {
    const std::size_t p = out.rfind("Failed call");
    if (p == std::string::npos) return -1;
    const std::size_t bar = out.find('|', out.find('|', p) + 1);
    return std::atol(out.c_str() + bar + 1);
}

struct Run {
    TempDir dir;
    int port = FreePort(SOCK_DGRAM);
    std::unique_ptr<Program> program;
    pid_t pid = 0;

    explicit Run(const std::string& script) {
        WriteFile(dir.File("config.ini"), Config(port));
        WriteFile(dir.File("run.txt"), script);
        program = std::make_unique<Program>(dir.Path(), std::vector<std::string>{"--script", "run.txt"});
        program->WaitOut("SIP endpoint start transport");
        pid = program->Pid();
        WaitPortBound(port, false);
        DeviceScript reg;
        reg.deviceId = kDevice;
        reg.holdMs = 0;
        SippProcess sipp;
        WriteFile(dir.File("reg.xml"), MainScenario(reg));
        sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("reg.xml"), "-i", "127.0.0.1", "-m", "1",
                    "-nostdin", "-timeout", "20s"},
                   dir.File("reg.out"));
        sipp.Wait(20000);
        program->WaitOut("] registered");
        // The chain's Catalog query goes unanswered; let it settle.
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    // Keepalives at rate for count; returns SIPp's output.
    std::string Keepalives(int count, int rate) {
        WriteFile(dir.File("ka.xml"), KeepaliveScenario(kDevice));
        SippProcess sipp;
        sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("ka.xml"), "-i", "127.0.0.1", "-m",
                    std::to_string(count), "-r", std::to_string(rate), "-l", "100000", "-nostdin",
                    "-timeout", "900s", "-recv_timeout", "20000"},
                   dir.File("ka.out"));
        sipp.Wait(count / rate * 1000 + 120000);
        return ReadFile(dir.File("ka.out"));
    }
};

double ClockOf(const std::string& stamp) {
    std::tm tm{};
    const char* rest = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!rest) return 0;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm)) + std::atof(rest);
}

double Now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 1000;

    double idleShare = 0;
    {
        Run r("wait-registered 30000\nsleep 600000\n");
        const double c0 = CpuSeconds(r.pid);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        idleShare = (CpuSeconds(r.pid) - c0) / 10.0;
        std::printf("idle      CPU %.2f %% of a core\n", idleShare * 100);
    }
    {
        Run r("wait-registered 30000\nsleep 600000\n");
        const double c0 = CpuSeconds(r.pid);
        const double t0 = Now();
        const std::string out = r.Keepalives(2000, 100);
        const double share = (CpuSeconds(r.pid) - c0) / (Now() - t0);
        std::printf("100/s     CPU %.2f %% of a core (target < 10 %%; %.1f x idle), failed %ld of 2000, "
                    "200 OK after %.0f ms on average (SIPp counts whole ms; target < 50 ms)\n",
                    share * 100, idleShare > 0 ? share / idleShare : 0.0, FailedCalls(out), ResponseMs(out));
    }
    {
        Run r("wait-registered 30000\nwait-log FRESH-MARK 3600000\nexit\n");
        const long rss0 = ProcRssKb(r.pid);
        const double t0 = Now();
        const std::string out = r.Keepalives(messages, rate);
        const double took = Now() - t0;
        std::printf("bulk      %d keepalives at %d/s in %.1f s (%.0f/s), failed transactions %ld (target 0)\n",
                    messages, rate, took, messages / took, FailedCalls(out));
        // The SIP transactions of the bulk expire (timer J, 32 s over UDP).
        std::this_thread::sleep_for(std::chrono::seconds(35));
        const long rss1 = ProcRssKb(r.pid);
        // A fresh message: how long until the operator script sees it.
        DeviceScript fresh;
        fresh.deviceId = kDevice;
        fresh.registerFirst = false;
        fresh.messages = {{0, "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n"
                              "<Note>FRESH-MARK</Note>\r\n</Notify>", true}};
        fresh.holdMs = 0;
        WriteFile(r.dir.File("fresh.xml"), MainScenario(fresh));
        SippProcess sipp;
        const double sent = Now();
        sipp.Start({"127.0.0.1:" + std::to_string(r.port), "-sf", r.dir.File("fresh.xml"), "-i", "127.0.0.1", "-m",
                    "1", "-nostdin", "-timeout", "20s"},
                   r.dir.File("fresh.out"));
        const int rc = r.program->Wait(120000);
        sipp.Wait(20000);
        const std::string pout = r.program->Out();
        const std::size_t at = pout.find("] log row ");
        const std::size_t open = pout.rfind('[', at);
        const double seen = at == std::string::npos ? 0 : ClockOf(pout.substr(open + 1, at - open - 1));
        std::printf("window    wait-log saw the fresh message %.0f ms after it was sent (target < 1000 ms), "
                    "exit %d\n",
                    (seen - sent) * 1000, rc);
        // The workbook: every row, and the messages' own bytes.
        const auto rows = ReadWorkbook(r.dir);
        std::size_t keepalives = 0, bytes = 0;
        for (const auto& row : rows) {
            keepalives += row.sheet.rfind("Recv", 0) == 0 && CmdOf(row.body) == "Keepalive";
            bytes += row.body.size() + row.head.size();
        }
        const double perMessage = (static_cast<double>(rss1 - rss0) * 1024 - static_cast<double>(bytes)) / messages;
        std::printf("memory    RSS %ld -> %ld KB: %.0f bytes per message beyond its %.0f bytes of rows "
                    "(target < 2048)\n",
                    rss0, rss1, perMessage, static_cast<double>(bytes) / messages);
        std::printf("workbook  %zu of %d keepalives, %zu rows in all\n", keepalives, messages + 1, rows.size());
    }
    return 0;
}
