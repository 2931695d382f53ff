#include "app/settings/ListenStatus.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* TransportName(int transport) {
    switch (transport) {
    case 0: return "udp";
    case 1: return "tcp";
    case 2: return "tls";
    case 3: return "dtls";
    default: return nullptr;
    }
}

// Why binding the port fails now, or "" when it can be bound.
std::string BindProblem(int transport, int port) {
    const bool stream = transport == 1 || transport == 2;
    const int fd = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    if (stream) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    std::string why;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;
        if (e == EADDRINUSE)
            why = "the port is in use by another program";
        else if (e == EACCES)
            why = "no permission to use the port (below 1024 needs privileges)";
        else
            why = std::strerror(e);
    }
    close(fd);
    return why;
}

} // namespace

ListenStatus DescribeListen(int transport, int port, int startResult) {
    ListenStatus s;
    const char* name = TransportName(transport);
    if (!name) {
        s.text = "not listening: no SIP transport is set";
        return s;
    }
    const std::string where = "0.0.0.0:" + std::to_string(port) + "/" + name;
    if (startResult == 0) {
        s.listening = true;
        s.text = "listening on " + where;
        return s;
    }
    std::string why = port >= 1 && port <= 65535 ? BindProblem(transport, port) : "no valid port is set";
    if (why.empty()) why = "the SIP stack could not start";
    s.text = "not listening on " + where + ": " + why;
    return s;
}
