// SIP over UDP: datagrams in and out of the one socket.
#include "sip/ua/TransportImpl.h"

namespace sipua {

using namespace transport_detail;

void Transport::ReadUdp(const std::function<void(Datagram&)>& deliver) {
    static thread_local char buf[65536];
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        long n =
            recvfrom(sock_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        if (n == 0) continue;
        if (secure_) {
            DtlsInput(std::string(buf, static_cast<std::size_t>(n)), from, deliver);
            continue;
        }
        Datagram d;
        d.data.assign(buf, static_cast<std::size_t>(n));
        d.host = HostOf(from);
        d.port = ntohs(from.sin_port);
        deliver(d);
    }
}

int Transport::SendUdp(const std::string& data, const std::string& host, int port) {
    sockaddr_in a{};
    if (!Resolve(host, port, &a) || port <= 0 || port > 65535) return -1;
    long n = sendto(sock_.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == static_cast<long>(data.size()) ? 0 : -1;
}

} // namespace sipua
