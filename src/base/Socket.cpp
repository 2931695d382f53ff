#include "base/Socket.h"

#include "base/Diag.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

Exception::Exception(int c, const char* msg) : code(c) {
    std::snprintf(message, sizeof message, "%s", msg ? msg : "");
}

void CloseSocket(int& sock) {
    if (sock >= 0) ::close(sock);
    sock = -1;
}

int CreateTcpSocket(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (port > 0) {
        int on = 1;
        if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            tarvex::Diag("setsockopt SO_REUSEADDR Error");
            ::close(s); // not left open, unlike the bind path's sibling in older code
            return -1;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            const int why = errno; // the caller reports it; shutdown() would overwrite it
            tarvex::Diag("Bind Error:%s", std::strerror(why));
            ::shutdown(s, SHUT_WR);
            ::close(s);
            errno = why;
            return -1;
        }
    }
    int fl = ::fcntl(s, F_GETFL, 0);
    if (fl < 0 || ::fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0) {
        ::close(s);
        throw Exception(0, "Unable to Set Blocking");
    }
    return s;
}

int ConnectWithTimeout(int sock, const char* address, int port, int timeoutMs) {
    if (sock == -1 || !address || port < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1) return -1;
    if (::connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK) {
        tarvex::Diag("In %s err = %d", "IsSktError", errno);
        return -1;
    }
    pollfd p{sock, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
    return 0;
}
