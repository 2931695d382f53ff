#pragma once
// The one harness of the whole-program tests: build/tarvex started offscreen in
// a scratch working directory with its config.ini (and an operator script),
// SIPp cameras beside it, the message traces and the workbook read back.

#include "base/TextCodec.h"
#include "support/common/ChildProcess.h"
#include "support/common/Sipp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace systest {

constexpr const char* kLocalId = "34020000002000000001";

// config.ini as the Windows version writes it (GBK names, CR LF), with the
// media receiver on 127.0.0.1 at mediaPort over mediaTransport.
inline std::string MediaConfig(int port, int mediaTransport, int mediaPort,
                               const std::string& extra = {}, int transport = 0) {
    return TextCodec::Utf8ToGbk(
        "[本地服务器]\r\n协议=" + std::to_string(transport) + "\r\nID=" + kLocalId +
        "\r\n域=3402000000\r\n地址=127.0.0.1\r\n端口=" + std::to_string(port) +
        "\r\n\r\n[媒体接收者]\r\n协议=" + std::to_string(mediaTransport) +
        "\r\n地址=127.0.0.1\r\n端口=" + std::to_string(mediaPort) +
        "\r\n"
        "下载速度=4\r\n\r\n[云台控制]\r\n地址位=0\r\n速度=50\r\n" +
        extra);
}

inline std::string Config(int port, int transport = 0, const std::string& extra = {}) {
    return MediaConfig(port, 0, 6000, extra, transport);
}

// build/tarvex (or exe) in dir with args and the extra environment env
// ("NAME=value"); its standard output and error go to out (default dir/out).
class Program {
public:
    Program(const std::string& dir, const std::vector<std::string>& args,
            std::string exe = TARVEX_BINARY_DIR "/tarvex", const std::vector<std::string>& env = {},
            std::string out = {})
        : out_(out.empty() ? dir + "/out" : std::move(out)) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            argv.push_back(exe.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Exit status, or -1 after timeoutMs (then it is killed).
    int Wait(int timeoutMs) {
        const int rc = testsupport::WaitChild(pid_, timeoutMs);
        pid_ = -1;
        return rc;
    }
    void Signal(int sig) { kill(pid_, sig); }
    pid_t Pid() const { return pid_; }
    std::string Out() const { return ReadFile(out_); }
    // Waits until the output holds text (count times).
    bool WaitOut(const std::string& text, int timeoutMs = 30000, int count = 1) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            const std::string out = Out();
            int n = 0;
            for (std::size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1))
                ++n;
            if (n >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    std::string out_;
    pid_t pid_ = -1;
};

// A SIPp camera with its scenario files, message trace and log in dir.
class Camera {
public:
    Camera(const TempDir& dir, std::string name, bool tcp) : dir_(dir), name_(std::move(name)), tcp_(tcp) {}
    ~Camera() = default;
    bool Start(int programPort, const std::string& main, const std::string& ooc = {}) {
        WriteFile(dir_.File(name_ + ".xml"), main);
        port_ = FreePort(tcp_ ? SOCK_STREAM : SOCK_DGRAM);
        std::vector<std::string> args = {"127.0.0.1:" + std::to_string(programPort), "-sf",
                                         dir_.File(name_ + ".xml"), "-i", "127.0.0.1", "-p",
                                         std::to_string(port_), "-m", "1", "-t", tcp_ ? "t1" : "u1",
                                         "-trace_msg", "-message_file", dir_.File(name_ + ".msg"),
                                         "-trace_err", "-error_file", dir_.File(name_ + ".err"), "-nostdin",
                                         "-timeout", "90s", "-max_recv_loops", "1000"};
        if (!ooc.empty()) {
            WriteFile(dir_.File(name_ + "-ooc.xml"), ooc);
            args.insert(args.end(), {"-oocsf", dir_.File(name_ + "-ooc.xml")});
        }
        return sipp_.Start(args, dir_.File(name_ + ".out"));
    }
    bool Start(int programPort, const DeviceScript& s) { return Start(programPort, MainScenario(s), OocScenario(s)); }
    // SIPp's exit status (0: the scenario went as written).
    int Wait(int timeoutMs = 60000) { return sipp_.Wait(timeoutMs); }
    std::vector<TracedMessage> Trace() const { return ReadSippTrace(dir_.File(name_ + ".msg")); }
    std::string Report() const {
        return "---- sipp " + name_ + ":\n" + ReadFile(dir_.File(name_ + ".out")) +
               ReadFile(dir_.File(name_ + ".err")) + "\n";
    }
    int Port() const { return port_; }

private:
    const TempDir& dir_;
    std::string name_;
    bool tcp_;
    int port_ = 0;
    SippProcess sipp_;
};

// A MESSAGE from the device to the program over UDP, outside SIPp (a marker the
// operator script can wait for with wait-log).
inline void SendDeviceMessage(int port, const std::string& deviceId, const std::string& body) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static int n = 0;
    const std::string k = std::to_string(++n);
    const std::string m =
        "MESSAGE sip:" + std::string(kLocalId) +
        "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;"
        "rport;branch=z9hG4bKmarker" +
        k + "\r\nFrom: <sip:" + deviceId + "@127.0.0.1:9>;tag=m" + k + "\r\nTo: <sip:" + kLocalId +
        "@127.0.0.1>\r\nCall-ID: marker" + k +
        "\r\nCSeq: 1 MESSAGE\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

// One row of the workbook: sheet ("Recv Msg" or "Send Msg"), the five cells.
struct BookRow {
    std::string sheet, time, type, device, body, head;
};

// Reads dir/MsgXml.xls with xlrd; rows in sheet order.
inline std::vector<BookRow> ReadWorkbook(const TempDir& dir) {
    WriteFile(dir.File("read.py"),
              "import sys, xlrd\n"
              "b = xlrd.open_workbook(sys.argv[1])\n"
              "out = open(sys.argv[2], 'w', encoding='utf-8', newline='')\n"
              "for s in b.sheets():\n"
              "    for r in range(1, s.nrows):\n"
              "        v = [str(s.cell_value(r, c)) for c in range(5)]\n"
              "        out.write('\\x1e'.join([s.name] + v) + '\\x1d')\n");
    const std::string cmd = "/usr/bin/python3 " + dir.File("read.py") + " " + dir.File("MsgXml.xls") + " " +
                            dir.File("rows.txt") + " > " + dir.File("read.err") + " 2>&1";
    std::vector<BookRow> rows;
    if (std::system(cmd.c_str()) != 0) return rows;
    const std::string all = ReadFile(dir.File("rows.txt"));
    std::size_t p = 0;
    while (p < all.size()) {
        const std::size_t e = all.find('\x1d', p);
        const std::string rec = all.substr(p, e - p);
        p = e == std::string::npos ? all.size() : e + 1;
        std::vector<std::string> f;
        std::size_t q = 0;
        while (true) {
            const std::size_t k = rec.find('\x1e', q);
            f.push_back(rec.substr(q, k - q));
            if (k == std::string::npos) break;
            q = k + 1;
        }
        if (f.size() == 6) rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return rows;
}

// The SN of a MANSCDP body, -1 without one.
inline int SnOf(const std::string& body) {
    const std::size_t p = body.find("<SN>");
    return p == std::string::npos ? -1 : std::atoi(body.c_str() + p + 4);
}

inline std::string CmdOf(const std::string& body) {
    const std::size_t p = body.find("<CmdType>");
    if (p == std::string::npos) return {};
    return body.substr(p + 9, body.find("</CmdType>", p) - p - 9);
}

// A SIPp scenario of one keepalive MESSAGE from deviceId and its 200, for -r/-m runs.
inline std::string KeepaliveScenario(const std::string& deviceId) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"keepalive\">\n"
           "  <send start_rtd=\"1\"><![CDATA[\nMESSAGE sip:" + std::string(kLocalId) + "@[remote_ip]:[remote_port] SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]\n"
           "From: <sip:" + deviceId + "@[local_ip]:[local_port]>;tag=[call_number]\n"
           "To: <sip:" + kLocalId + "@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 MESSAGE\n"
           "Content-Type: Application/MANSCDP+xml\nMax-Forwards: 70\nContent-Length: [len]\n\n"
           "<?xml version=\"1.0\"?>\n<Notify>\n<CmdType>Keepalive</CmdType>\n<SN>[call_number]</SN>\n"
           "<DeviceID>" + deviceId + "</DeviceID>\n<Status>OK</Status>\n</Notify>\n]]></send>\n"
           "  <recv response=\"200\" rtd=\"1\"/>\n</scenario>\n";
}

// A process's resident memory (VmRSS) in KB, 0 when it is gone.
inline long ProcRssKb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

} // namespace systest
