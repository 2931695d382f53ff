#pragma once
// The line that tells the operator where the SIP endpoint listens, or why it
// does not. Toolkit-free.

#include <string>

struct ListenStatus {
    bool listening = false;
    std::string text; // "listening on 0.0.0.0:5060/udp" or "not listening on ...: why"
};

// transport as the settings hold it (0 UDP, 1 TCP, 2 TLS, 3 DTLS); startResult
// the endpoint's Start result (0 listening). After a failure the port is tried
// once more here so that the line can name the cause (in use, no permission).
ListenStatus DescribeListen(int transport, int port, int startResult);
