#pragma once
// TCP socket helpers for the active (connecting) media transport.

#include <string>

struct Exception {
    Exception(int c, const char* msg);
    int code;
    char message[256];
};

// A non-blocking IPv4 TCP socket, bound to port when port > 0; -1 on failure,
// with errno saying why.
// Throws Exception(0, "Unable to Set Blocking") when the mode cannot be set.
int CreateTcpSocket(int port);

// Connects sock to address:port, waiting at most timeoutMs (3 s by default) for the
// connection. 0 when connected, -1 otherwise.
int ConnectWithTimeout(int sock, const char* address, int port, int timeoutMs = 3000);

// Closes a descriptor when it is not -1 and sets it to -1.
void CloseSocket(int& sock);

// Owns one socket descriptor.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(int fd) : fd_(fd) {}
    ~UniqueSocket() { CloseSocket(fd_); }
    UniqueSocket(UniqueSocket&& o) noexcept : fd_(o.release()) {}
    UniqueSocket& operator=(UniqueSocket&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        CloseSocket(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
