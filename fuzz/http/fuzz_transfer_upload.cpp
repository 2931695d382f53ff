// Sends arbitrary bytes as HTTP requests to the transfer server over
// loopback, with one snapshot session open, and checks what it kept: every
// saved file is a JPEG within the size bound, never more files than the
// session's bound, and every file lies under snapshots/<channel>/.

#include "export/http/TransferServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace tarvex::http;

struct Rig {
    fs::path dir;
    TransferLimits limits;
    std::unique_ptr<TransferBook> book;
    std::unique_ptr<TransferServer> server;
    Rig() {
        char tmpl[] = "/tmp/tarvex-fuzz-http-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        limits.maxUploadBytes = 2048;
        limits.maxFilesPerSession = 3;
        book = std::make_unique<TransferBook>(dir, limits);
        server = std::make_unique<TransferServer>(*book);
        std::string error;
        if (!server->Start("127.0.0.1", 0, error)) std::abort();
    }
};

Rig& TheRig() {
    static Rig r;
    return r;
}

void Exchange(int port, const uint8_t* data, size_t size) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) std::abort();
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    size_t off = 0;
    while (off < size) {
        const ssize_t n = send(fd, data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    // The end of the input is the end of the request: no wait for the time-out.
    shutdown(fd, SHUT_WR);
    char buf[4096];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& r = TheRig();
    r.book->OpenSnapshot("S1", "ch1");
    Exchange(r.server->Port(), data, size);
    SnapshotSession s;
    if (!r.book->CloseSnapshot("S1", s)) std::abort(); // nothing but time closes it
    if (static_cast<int>(s.files.size()) > r.limits.maxFilesPerSession) std::abort();
    int onDisk = 0;
    for (const auto& e : fs::recursive_directory_iterator(r.dir)) {
        if (!e.is_regular_file()) continue;
        ++onDisk;
        if (e.path().parent_path() != r.dir / "snapshots" / "ch1") std::abort();
        std::ifstream in(e.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() > r.limits.maxUploadBytes || !LooksLikeJpeg(bytes)) std::abort();
    }
    if (onDisk != static_cast<int>(s.files.size())) std::abort();
    for (const auto& f : s.files) fs::remove(f);
    return 0;
}
