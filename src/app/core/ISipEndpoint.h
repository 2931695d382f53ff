#pragma once
// What the application core needs from the SIP endpoint.
//
// The endpoint itself (CSIP with its event thread, src/sip/endpoint/) plugs in
// here: CTarvexCore is given one ISipEndpoint at construction and calls only
// these operations, in the order of start-up, settings restart and exit.

#include <string>

class CDlgCfg;

class ISipEndpoint {
public:
    virtual ~ISipEndpoint() = default;
    // Copies the local settings it needs (port, address, identifier, domain)
    // and listens on the transport index (0 UDP, 1 TCP, 2 TLS, 3 DTLS; any other
    // index listens nowhere). 0 on success, -1 on failure.
    virtual int Start(int transport, const CDlgCfg& settings) = 0;
    // Ends the event thread and shuts the SIP library down. Safe when stopped.
    virtual void Stop() = 0;
    // Content type of every request body except INVITE's.
    virtual void SetContentType(const char* contentType) = 0;
    // True while the event thread and the library are up.
    virtual bool IsStarted() const = 0;
    // True once any device has registered (never reset).
    virtual bool IsRegistered() const = 0;
    // Sends body as a request of the currently selected kind to the device that
    // registered last. 0, or -1 when no device is registered.
    virtual int SendRequest(const std::string& body) = 0;
    // The device tree gets a new root with this system's identifier.
    virtual void ResetTree(const std::string& localId) { (void)localId; }
};

// Stands in while no SIP user agent is linked into the program: it listens
// nowhere and every Start fails, so the window runs without signalling.
class NoSipEndpoint final : public ISipEndpoint {
public:
    int Start(int, const CDlgCfg&) override { return -1; }
    void Stop() override {}
    void SetContentType(const char*) override {}
    bool IsStarted() const override { return false; }
    bool IsRegistered() const override { return false; }
    int SendRequest(const std::string&) override { return -1; }
};
