// Saving the message log of 100,000 logged messages (bodies of about 500 bytes) through
// SaveMessageLog, against two references measured in the same run:
//   - python3-xlwt writing the same rows as a workbook (time, peak memory, file size);
//   - one plain write of as many bytes as the workbook has, flushed to disk like the save.
// The save's peak memory is what the process's resident set grows by during the save,
// on top of the rows the log already holds.
//
//   bench_xls [MESSAGES]
#include "export/xls/MessageLogSave.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace tarvex::xls;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
long StatusKiB(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return 0;
}

// Makes VmHWM start again from the current resident set.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Row {
    LogDirection dir;
    std::string time, type, device, body, head;
};

class Rows final : public IMessageLogRows {
public:
    std::vector<Row> rows;
    std::size_t RowCount(LogDirection d) const override {
        return static_cast<std::size_t>(
            std::count_if(rows.begin(), rows.end(), [d](const Row& r) { return r.dir == d; }));
    }
    void ForEachRow(LogDirection d, const std::function<void(const LogRowRef&)>& f) const override {
        for (const Row& r : rows)
            if (r.dir == d) f({r.time, r.type, r.device, r.body, r.head});
    }
};

Rows MakeRows(int messages) {
    Rows out;
    out.rows.reserve(messages);
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
        std::string head = "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCSeq: " +
                           std::to_string(i + 1) +
                           " MESSAGE\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n\n";
        out.rows.push_back({i % 2 ? LogDirection::Sent : LogDirection::Received, time, "心跳信息",
                            "34010000001320000001", std::move(body), std::move(head)});
    }
    return out;
}

void WriteRowsFile(const Rows& rows, const fs::path& path) {
    std::ofstream f(path, std::ios::binary);
    auto field = [&](const std::string& s) {
        const auto n = static_cast<uint32_t>(s.size());
        const char len[4] = {static_cast<char>(n), static_cast<char>(n >> 8),
                             static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
        f.write(len, 4);
        f.write(s.data(), static_cast<std::streamsize>(s.size()));
    };
    for (const Row& r : rows.rows) {
        f.put(static_cast<char>(r.dir));
        for (const std::string* s : {&r.time, &r.type, &r.device, &r.body, &r.head})
            field(*s);
    }
}

// Opens, writes `bytes` with one call, flushes to disk when asked, closes.
double PlainWrite(const fs::path& path, const std::vector<char>& bytes, bool sync) {
    const auto t0 = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) {
        if (sync) ::fsync(fd);
        ::close(fd);
    }
    return Seconds(t0, Clock::now());
}

struct Xlwt {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
    long size = 0;
};

Xlwt RunXlwt(const fs::path& rowsFile, const fs::path& out) {
    Xlwt x;
    const std::string cmd = "/usr/bin/python3 " + std::string(TARVEX_BENCH_DIR) +
                            "/xlwt_reference.py '" + rowsFile.string() + "' '" + out.string() +
                            "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return x;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    x.ok = ::pclose(p) == 0;
    std::istringstream in(text);
    std::string key;
    while (in >> key) {
        if (key == "seconds") in >> x.seconds;
        else if (key == "peak_kib") in >> x.peakKiB;
        else if (key == "size") in >> x.size;
    }
    if (!x.ok) std::fprintf(stderr, "xlwt reference failed:\n%s\n", text.c_str());
    return x;
}

} // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
    const fs::path dir = fs::temp_directory_path() / ("tarvex_bench_xls_" + std::to_string(::getpid()));
    fs::create_directories(dir);

    const Rows rows = MakeRows(messages);
    std::size_t rowBytes = 0;
    for (const Row& r : rows.rows)
        rowBytes += r.time.size() + r.type.size() + r.device.size() + r.body.size() + r.head.size();

    // The save, as the program does it at exit.
    ResetPeak();
    const long rssBefore = StatusKiB("VmRSS");
    const auto t0 = Clock::now();
    const SaveResult saved = SaveMessageLog(rows, dir);
    const double save = Seconds(t0, Clock::now());
    const long savePeak = StatusKiB("VmHWM") - rssBefore;
    if (saved.written.empty()) return 1;
    const auto size = static_cast<long>(fs::file_size(saved.written));

    // One plain write of as many bytes, the least any writer of this file does.
    std::vector<char> bytes(static_cast<std::size_t>(size), 'x');
    double refSync = 1e9, refWrite = 1e9;
    for (int k = 0; k < 2; ++k) {
        refSync = std::min(refSync, PlainWrite(dir / "reference.bin", bytes, true));
        refWrite = std::min(refWrite, PlainWrite(dir / "reference.bin", bytes, false));
    }

    WriteRowsFile(rows, dir / "rows.bin");
    const Xlwt xlwt = RunXlwt(dir / "rows.bin", dir / "xlwt.xls");

    std::printf("messages                  %d (%.1f MB of logged text)\n", messages,
                static_cast<double>(rowBytes) / 1e6);
    std::printf("save                      %.3f s\n", save);
    std::printf("save peak memory          %.1f MB (%.0f bytes per message)\n",
                static_cast<double>(savePeak) / 1024.0, 1024.0 * static_cast<double>(savePeak) / messages);
    std::printf("file size                 %.2f MB\n", static_cast<double>(size) / 1e6);
    std::printf("plain write + fsync       %.3f s   save / it  %.2f\n", refSync,
                refSync > 0 ? save / refSync : 0.0);
    std::printf("plain write (no fsync)    %.3f s   save / it  %.2f\n", refWrite,
                refWrite > 0 ? save / refWrite : 0.0);
    if (xlwt.ok) {
        std::printf("python3-xlwt              %.3f s, peak %.1f MB, %.2f MB\n", xlwt.seconds,
                    static_cast<double>(xlwt.peakKiB) / 1024.0, static_cast<double>(xlwt.size) / 1e6);
        std::printf("ratios against xlwt       time %.3f  peak memory %.3f  file size %.3f\n",
                    save / xlwt.seconds,
                    static_cast<double>(savePeak) / static_cast<double>(std::max(1L, xlwt.peakKiB)),
                    static_cast<double>(size) / static_cast<double>(xlwt.size));
    }
    fs::remove_all(dir);
    return xlwt.ok ? 0 : 2;
}
