#pragma once
// Sockets of one SIP context: a UDP socket or a TCP listener with its
// connections, optionally wrapped in DTLS or TLS. Not thread-safe: the agent
// calls it with its own lock held.

#include <netinet/in.h>
#include <poll.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Socket.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace sipua {

// Largest header section we accept on a stream before giving up on the peer.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Most connections (TCP/TLS) or sessions (DTLS) kept open at once.
constexpr std::size_t kMaxConnections = 1024;
// Largest body we accept.
constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

// Result of cutting one message off the front of a stream buffer.
enum class FrameResult { Need, Message, Bad };
// Looks for one complete message (headers + Content-Length bytes) at the start
// of buf; leading CR/LF keep-alives are skipped. On Message, *len is the
// message's size and *skip the keep-alive bytes before it.
FrameResult CutStreamMessage(const std::string& buf, std::size_t* skip, std::size_t* len);
// Content-Length of a header section (full or compact "l:" form); -1 when
// absent, -2 when malformed.
long FindContentLength(const char* head, std::size_t headLen);

// Makes sure both files exist, creating a self-signed pair when either is
// missing. 0 on success.
int EnsureCertificate(const char* certPath, const char* keyPath);

struct Datagram {
    std::string data;
    std::string host; // source address, dotted
    int port = 0;     // source port
    int connId = 0;   // stream connection or DTLS session; 0 for plain UDP
};

class Transport {
public:
    Transport(int protocol, bool secure);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    int Open(const char* address, int port);
    int BoundPort() const { return boundPort_; }
    bool Reliable() const { return stream_; }
    const char* ViaName() const;
    // Which descriptors to poll.
    void CollectFds(std::vector<pollfd>& fds) const;
    // Reads what the descriptors in fds have; every complete message goes to deliver.
    void HandleReady(const std::vector<pollfd>& fds, const std::function<void(Datagram&)>& deliver);
    // Sends one message: on connection connId when it is still open, else on a
    // connection to host:port (reused or opened). 0 on success.
    int Send(const std::string& data, const std::string& host, int port, int connId);
    // Remembers that connection connId also stands for host:port (the sent-by
    // of a request that arrived on it).
    void AddAlias(int connId, const std::string& host, int port);
    void Close();

private:
    struct Conn;
    int AcceptOne();
    void ReadConn(Conn& c, const std::function<void(Datagram&)>& deliver);
    void ReadUdp(const std::function<void(Datagram&)>& deliver);
    void DtlsInput(const std::string& pkt, const sockaddr_in& from,
                   const std::function<void(Datagram&)>& deliver);
    void FlushDtls(Conn& c);
    int WriteAll(Conn& c, const char* p, std::size_t n);
    int ConnectTo(const std::string& host, int port);
    void DropConn(int id);
    Conn* FindConn(const std::string& host, int port);

    int protocol_;
    bool secure_;
    bool stream_;
    UniqueSocket sock_;
    int boundPort_ = 0;
    SSL_CTX* serverCtx_ = nullptr;
    SSL_CTX* clientCtx_ = nullptr;
    int nextConn_ = 1;
    std::map<int, std::unique_ptr<Conn>> conns_;
    std::map<std::string, int> aliases_; // "host:port" -> connection
};

} // namespace sipua
