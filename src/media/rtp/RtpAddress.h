#pragma once
// Destination and source addresses of an RTP session: an IPv4 address with an
// RTP and an RTCP port (UDP), or one TCP connection carrying both (RFC 4571).

#include <cstdint>

namespace tvrtp {

class Address {
public:
    enum class Kind { IPv4, TCP };
    virtual ~Address() = default;
    Kind GetKind() const { return kind_; }

protected:
    explicit Address(Kind k) : kind_(k) {}
    Address(const Address&) = default;
    Address& operator=(const Address&) = default;

private:
    Kind kind_;
};

class Ipv4Address : public Address {
public:
    // ip in host byte order.
    Ipv4Address(uint32_t ip = 0, uint16_t rtpPort = 0, uint16_t rtcpPort = 0)
        : Address(Kind::IPv4), ip_(ip), rtpPort_(rtpPort), rtcpPort_(rtcpPort) {}
    uint32_t GetIP() const { return ip_; }
    uint16_t GetPort() const { return rtpPort_; }
    uint16_t GetRtcpPort() const { return rtcpPort_; }
    bool operator==(const Ipv4Address& o) const {
        return ip_ == o.ip_ && rtpPort_ == o.rtpPort_ && rtcpPort_ == o.rtcpPort_;
    }

private:
    uint32_t ip_;
    uint16_t rtpPort_;
    uint16_t rtcpPort_;
};

class TcpAddress : public Address {
public:
    explicit TcpAddress(int socket = -1) : Address(Kind::TCP), socket_(socket) {}
    int GetSocket() const { return socket_; }
    bool operator==(const TcpAddress& o) const { return socket_ == o.socket_; }

private:
    int socket_;
};

} // namespace tvrtp
