// Internal to the transport's files (Transport.cpp: the socket and the poll
// loop shared by all; TransportUdp.cpp, TransportTcp.cpp: connections and
// stream framing; TransportTls.cpp: TLS certificates and DTLS sessions):
// small socket helpers and one connection's state.
#pragma once

#include "sip/ua/Transport.h"

#include "sip/ua/SipAgent.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>


namespace sipua {
namespace transport_detail {


inline bool SetNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

inline std::string Key(const std::string& host, int port) {
    return host + ":" + std::to_string(port);
}

inline bool Resolve(const std::string& host, int port, sockaddr_in* out) {
    std::memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

inline std::string HostOf(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return buf;
}

inline bool FileExists(const char* p) {
    struct stat st {};
    return stat(p, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Waits until fd is readable/writable or ms elapse.
inline bool WaitFd(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

} // namespace transport_detail

struct Transport::Conn {
    int id = 0;
    UniqueSocket fd; // stream only; DTLS sessions share the UDP socket
    sockaddr_in peer{};
    std::string host; // as we know the peer: its address, or the name we connected to
    int port = 0;
    std::string source; // the peer's address, dotted: where its packets come from
    SSL* ssl = nullptr;
    BIO* rbio = nullptr; // DTLS: datagrams from the peer
    BIO* wbio = nullptr; // DTLS: records to the peer
    bool handshaken = false;
    std::string in;
    std::vector<std::string> pending; // DTLS: written before the handshake ended
    bool dead = false;
    const char* why = "";                       // what ended it, for the trace
    bool carried = false;                       // a whole SIP message came in on it
    std::chrono::steady_clock::time_point last; // its latest traffic, either way
    ~Conn() {
        if (ssl) SSL_free(ssl); // frees the BIOs it owns
    }
};

} // namespace sipua
