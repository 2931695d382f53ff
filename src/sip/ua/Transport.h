#pragma once
// Sockets of one SIP context: a UDP socket or a TCP listener with its
// connections, optionally wrapped in DTLS or TLS. Not thread-safe: the agent
// calls it with its own lock held.

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Socket.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace sipua {

// Largest header section we accept on a stream before giving up on the peer.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Most connections (TCP/TLS) or sessions (DTLS) kept open at once, by default.
constexpr std::size_t kMaxConnections = 1024;
// A connection or DTLS session without traffic for this long is closed, by
// default: three keep-alive periods of the usual 60 s.
constexpr int kDefaultIdleSeconds = 180;
// Descriptors left to the rest of the process when the connection limit has
// to fit under the process's descriptor limit.
constexpr std::size_t kSpareDescriptors = 256;
// Largest body we accept.
constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

// Result of cutting one message off the front of a stream buffer.
enum class FrameResult { Need, Message, Bad };
// Looks for one complete message (headers + Content-Length bytes) at the start
// of buf; leading CR/LF keep-alives are skipped. On Message, *len is the
// message's size and *skip the keep-alive bytes before it.
FrameResult CutStreamMessage(std::string_view buf, std::size_t* skip, std::size_t* len);
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
    // Set for the bytes of a stream whose framing was lost: not a message, but
    // reported as input that cannot be one (why says how).
    const char* invalid = nullptr;
};

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

class Transport {
public:
    Transport(int protocol, bool secure);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Settings of the connection housekeeping; may change at any time.
    // idle 0 keeps idle connections for ever.
    void SetLimits(std::size_t maxConns, std::chrono::milliseconds idle);
    void SetClock(SteadyClock clock) { clock_ = std::move(clock); }
    // Prints connection openings, closings and counts on stderr.
    void SetTrace(bool on) { trace_ = on; }

    int Open(const char* address, int port);
    int BoundPort() const { return boundPort_; }
    bool Reliable() const { return stream_; }
    // Plain UDP: one socket that never changes, every send done at once.
    bool PlainDatagrams() const { return !stream_ && !secure_; }
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
    // Closes connections idle for longer than the idle limit.
    void ExpireIdle();
    // Connections (and DTLS sessions) open now, and the most kept at once.
    std::size_t Count() const;
    std::size_t Limit() const { return maxConns_; }
    // Everything one peer sent on a stream connection before closing it, as
    // if read from a socket (for fuzzing and tests).
    void InjectStream(const std::string& bytes, const std::string& host, int port,
                      const std::function<void(Datagram&)>& deliver);
    void Close();

private:
    struct Conn;
    int AcceptOne();
    void ReadConn(Conn& c, const std::function<void(Datagram&)>& deliver);
    // Cuts every complete message off c.in and delivers it.
    void Frame(Conn& c, const std::function<void(Datagram&)>& deliver);
    // Makes room for one more connection when the limit is reached: closes the
    // idlest one (one that never carried a whole message first, then the one
    // with the oldest traffic). False when there was nothing to close.
    bool MakeRoom(const char* why);
    Conn& Adopt(std::unique_ptr<Conn> c, const char* how);
    std::chrono::steady_clock::time_point Now() const;
    // Fits the connection limit under the process's descriptor limit, raising
    // the soft limit towards the hard one when needed.
    void FitDescriptorLimit();
    // Erases the connections marked dead.
    void Sweep();
    void Trace(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
    void ReadUdp(const std::function<void(Datagram&)>& deliver);
    void DtlsInput(const std::string& pkt, const sockaddr_in& from,
                   const std::function<void(Datagram&)>& deliver);
    void FlushDtls(Conn& c);
    // Send by transport: c is the connection or session chosen (may be null).
    int SendUdp(const std::string& data, const std::string& host, int port);
    int SendDtls(const std::string& data, Conn* c);
    int SendStream(const std::string& data, const std::string& host, int port, Conn* c);
    int WriteAll(Conn& c, const char* p, std::size_t n);
    int ConnectTo(const std::string& host, int port);
    void DropConn(int id, const char* why);
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
    std::map<std::string, int> aliases_;        // "host:port" -> connection
    std::size_t wantedConns_ = kMaxConnections; // as the owner set it
    std::size_t maxConns_ = kMaxConnections;    // what fits under the descriptor limit
    int busyConn_ = 0; // the connection being read: never closed to make room
    std::chrono::milliseconds idle_{std::chrono::seconds(kDefaultIdleSeconds)};
    SteadyClock clock_;
    bool trace_ = false;
    // Accept stops for a moment when the process is out of descriptors and
    // no connection can make room, rather than spin on the ready listener.
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
};

} // namespace sipua
