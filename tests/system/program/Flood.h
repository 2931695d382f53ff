#pragma once
// A device's keepalive flood against build/tarvex over UDP, with the answers
// read back: which keepalives (by SN) got their 200 OK.

#include "Harness.h"

#include <poll.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace systest {

class KeepaliveFlood {
public:
    KeepaliveFlood(int port, std::string device) : device_(std::move(device)) {
        fd_ = LoopbackUdpTo(port);
        reader_ = std::thread([this] { Read(); });
    }
    ~KeepaliveFlood() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    // REGISTER (sn 0), answered before it returns true.
    bool Register(int timeoutMs = 10000) {
        Send("REGISTER", 0, "");
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Answered().count(0)) return true;
            Send("REGISTER", 0, "");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }
    // Keepalive sn (1 and up).
    void Keepalive(int sn) {
        Send("MESSAGE", sn, "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>" +
                                std::to_string(sn) + "</SN>\r\n<DeviceID>" + device_ +
                                "</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n");
    }
    // Sends keepalives first..last at about perSecond, calling at(sn) before each.
    template <class F> void Run(int first, int last, int perSecond, F at) {
        const auto start = std::chrono::steady_clock::now();
        for (int sn = first; sn <= last; ++sn) {
            at(sn);
            Keepalive(sn);
            const auto due = start + std::chrono::microseconds(static_cast<long long>(sn - first + 1) *
                                                               1'000'000 / perSecond);
            if ((sn & 15) == 0) std::this_thread::sleep_until(due);
        }
    }
    // SNs whose 200 OK came back.
    std::set<int> Answered() {
        std::lock_guard<std::mutex> lk(m_);
        return answered_;
    }
    // The same, each with when its 200 OK was read.
    std::map<int, std::chrono::steady_clock::time_point> AnsweredAt() {
        std::lock_guard<std::mutex> lk(m_);
        return answeredAt_;
    }

private:
    void Send(const std::string& method, int sn, const std::string& body) {
        const std::string k = std::to_string(sn);
        const std::string m = method + " sip:" + std::string(kLocalId) +
                              "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;rport;branch=z9hG4bKfl" + k +
                              "\r\nFrom: <sip:" + device_ + "@127.0.0.1:9>;tag=f" + k + "\r\nTo: <sip:" +
                              kLocalId + "@127.0.0.1>\r\nCall-ID: flood" + k + "\r\nCSeq: 1 " + method +
                              "\r\nMax-Forwards: 70\r\nExpires: 3600\r\n" +
                              (body.empty() ? "" : "Content-Type: Application/MANSCDP+xml\r\n") +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd_, m.data(), m.size(), 0);
    }
    void Read() {
        char buf[65536];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            // Never blocks: poll also wakes for a pending ICMP error, which recv
            // may have taken, and a join must not wait for a datagram.
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) continue;
            const std::string a(buf, static_cast<std::size_t>(n));
            if (a.compare(0, 12, "SIP/2.0 200 ") != 0) continue;
            const std::size_t at = a.find("Call-ID: flood");
            if (at == std::string::npos) continue;
            std::lock_guard<std::mutex> lk(m_);
            const int sn = std::atoi(a.c_str() + at + 14);
            answered_.insert(sn);
            answeredAt_.emplace(sn, std::chrono::steady_clock::now());
        }
    }

    std::string device_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::set<int> answered_;
    std::map<int, std::chrono::steady_clock::time_point> answeredAt_;
    std::thread reader_;
};

// SNs of the keepalives in the Recv Msg sheet of dir/MsgXml.xls.
inline std::set<int> LoggedKeepalives(const TempDir& dir) {
    std::set<int> logged;
    for (const auto& r : ReadWorkbook(dir))
        if (r.sheet == "Recv Msg" && CmdOf(r.body) == "Keepalive") logged.insert(SnOf(r.body));
    return logged;
}

} // namespace systest
