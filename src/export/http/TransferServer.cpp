#include "export/http/TransferServer.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>

namespace tarvex::http {

TransferServer::TransferServer(TransferBook& book) : book_(book) {}

TransferServer::~TransferServer() { Stop(); }

std::string TransferServer::BaseUrl() const {
    const bool v6 = address_.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_);
}

bool TransferServer::Start(const std::string& address, int port, std::string& error) {
    Stop();
    auto s = std::make_unique<httplib::Server>();
    s->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // A picture a little over the bound still reaches the book, which says 413
    // and counts it; far larger bodies httplib refuses unread (413 as well).
    s->set_payload_max_length(book_.Limits().maxUploadBytes + 64 * 1024);
    s->set_read_timeout(kReadTimeoutSeconds, 0);
    s->set_write_timeout(kReadTimeoutSeconds, 0);
    s->set_keep_alive_max_count(10);
    // httplib's default adds SO_REUSEPORT, which lets a second program take
    // the same port and half of the uploads: only SO_REUSEADDR here.
    s->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    auto upload = [this](const httplib::Request& req, httplib::Response& res) {
        const std::string* picture = &req.body;
        std::string formSession;
        if (req.is_multipart_form_data()) {
            // The picture is the part with a file name; a SessionID field, as
            // devices send one, must name the path's session.
            static const std::string kNone;
            picture = &kNone;
            for (const auto& [name, part] : req.files) {
                if (name == "SessionID" && part.filename.empty()) formSession = part.content;
                else if (picture == &kNone && !part.filename.empty()) picture = &part.content;
            }
        }
        const UploadVerdict v = book_.TakeUpload(req.path, *picture, formSession);
        res.status = v.status;
        res.set_content(v.status == 200 ? "OK\n" : v.reason + "\n", "text/plain");
    };
    s->Post("/snapshot/.*", upload);
    s->Put("/snapshot/.*", upload);
    s->Get("/firmware/.*", [this](const httplib::Request& req, httplib::Response& res) {
        std::string token;
        std::shared_ptr<const std::string> bytes = book_.TakeDownload(req.path, token);
        if (!bytes) {
            res.status = 404;
            res.set_content("no such file\n", "text/plain");
            return;
        }
        res.status = 200;
        res.set_content_provider(
            bytes->size(), "application/octet-stream",
            [this, bytes, token](size_t offset, size_t length, httplib::DataSink& sink) {
                const size_t n = std::min<size_t>(length, 64 * 1024);
                if (!sink.write(bytes->data() + offset, n)) return false;
                book_.CountServed(token, n, offset + n == bytes->size());
                return true;
            });
    });
    s->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
    });
    int bound = port;
    if (port == 0) {
        bound = s->bind_to_any_port(address);
        if (bound <= 0) bound = 0;
    } else if (!s->bind_to_port(address, port)) {
        bound = 0;
    }
    if (bound <= 0) {
        error = "HTTP 端口 " + address + ":" + std::to_string(port) + " 无法监听";
        return false;
    }
    address_ = address;
    port_ = bound;
    server_ = std::move(s);
    thread_ = std::thread([srv = server_.get()] { srv->listen_after_bind(); });
    // httplib's stop() does nothing before the loop runs: wait for it, so
    // that a Stop right after Start cannot leave the loop running.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void TransferServer::Stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
    port_ = 0;
}

} // namespace tarvex::http
