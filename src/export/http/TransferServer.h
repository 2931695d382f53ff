#pragma once
// The platform's HTTP server for the 2022 transfers (cpp-httplib): devices
// POST or PUT their snapshot pictures to /snapshot/<session id> (the body is
// the JPEG, or a multipart form whose first file is), and GET the firmware a
// DeviceUpgrade names from its one-time path. The TransferBook decides; a
// path it does not know gets 404. Requests are served on two threads of the
// server's own; none of them touches anything but the book.

#include "export/http/TransferBook.h"

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace tarvex::http {

class TransferServer {
public:
    explicit TransferServer(TransferBook& book);
    ~TransferServer();
    TransferServer(const TransferServer&) = delete;
    TransferServer& operator=(const TransferServer&) = delete;

    // Listens on address:port (port 0: one the system picks). False with
    // error set when the port cannot be bound.
    bool Start(const std::string& address, int port, std::string& error);
    void Stop();
    bool Running() const { return port_ > 0; }
    int Port() const { return port_; }
    // "http://address:port", for the URLs handed to devices.
    std::string BaseUrl() const;

    static constexpr int kThreads = 2;
    static constexpr int kReadTimeoutSeconds = 10;

private:
    TransferBook& book_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string address_;
    int port_ = 0;
};

} // namespace tarvex::http
