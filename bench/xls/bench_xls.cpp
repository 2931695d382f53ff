// Writing the message-log workbook of 100,000 logged messages (bodies of about 500 bytes).
// Prints the save time against a reference measured in the same run: writing a buffer of
// the file's size to a file in the same directory with one call.
#include "export/xls/MessageLogWorkbook.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace tarvex::xls;
using Clock = std::chrono::steady_clock;

static double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

static long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
    const auto dir =
        std::filesystem::temp_directory_path() / ("tarvex_bench_xls_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);

    const long rssStart = PeakRssKiB();
    const auto t0 = Clock::now();
    MessageLogWorkbook book;
    for (int i = 0; i < messages; ++i) {
        char time[40];
        std::snprintf(time, sizeof time, "2024-05-06T12:%02d:%02d.%03d", i / 60000 % 60,
                      i / 1000 % 60, i % 1000);
        std::string body = "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n"
                           "<SN>" +
                           std::to_string(i) +
                           "</SN>\r\n<DeviceID>34010000001320000001"
                           "</DeviceID>\r\n<Status>OK</Status>\r\n<Info>";
        while (body.size() < 480)
            body += "<Alarm>Normal</Alarm>";
        body += "</Info>\r\n</Notify>\r\n";
        const std::string head = "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCSeq: " +
                                 std::to_string(i + 1) +
                                 " MESSAGE\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\n\r\n\n";
        book.AddRow(i % 2 ? LogDirection::Sent : LogDirection::Received, time, "心跳信息",
                    "34010000001320000001", body, head);
    }
    const auto t1 = Clock::now();
    const long rssRows = PeakRssKiB();
    const auto saved = book.SaveAtExit(dir);
    const auto t2 = Clock::now();
    const long rssSave = PeakRssKiB();
    if (saved.empty()) return 1;
    const auto size = std::filesystem::file_size(saved);

    // Reference: a fresh buffer of the file's size filled and written with one call, the
    // least any writer of this file does; taken twice, the faster counts.
    double ref = 1e9;
    for (int k = 0; k < 2; ++k) {
        const auto r0 = Clock::now();
        std::vector<char> buf(size, static_cast<char>('x' + k));
        const int fd = ::open((dir / "reference.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::size_t done = 0;
        while (fd >= 0 && done < buf.size()) {
            const ssize_t n = ::write(fd, buf.data() + done, buf.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (fd >= 0) ::close(fd);
        ref = std::min(ref, Seconds(r0, Clock::now()));
    }

    // The in-memory part of the save alone: measuring and building the stream.
    const auto b0 = Clock::now();
    const std::size_t streamSize = book.Excel().BuildStream().size();
    const auto b1 = Clock::now();

    const double save = Seconds(t1, t2);
    std::printf("messages                 %d\n", messages);
    std::printf("adding rows              %.3f s\n", Seconds(t0, t1));
    std::printf("save (build + write)     %.3f s\n", save);
    std::printf("  of it building stream  %.3f s (%.1f MB)\n", Seconds(b0, b1),
                static_cast<double>(streamSize) / 1e6);
    std::printf("file size                %.1f MB\n", static_cast<double>(size) / 1e6);
    std::printf("reference: fill + write  %.3f s\n", ref);
    std::printf("save / reference         %.2f\n", ref > 0 ? save / ref : 0.0);
    std::printf("peak RSS: rows %.1f MB, save %.1f MB (%.0f bytes per message)\n",
                static_cast<double>(rssRows - rssStart) / 1024.0,
                static_cast<double>(rssSave - rssStart) / 1024.0,
                1024.0 * static_cast<double>(rssSave - rssStart) / messages);
    std::filesystem::remove_all(dir);
    return 0;
}
