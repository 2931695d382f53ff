// 1,000,000 rows in the log list (offscreen): how long a display filter, a
// scroll through the list and a find take, each also as a ratio to one plain
// pass that reads every row of the log (the reference, same run).

#include "app/core/MessageLog.h"
#include "app/shell/CListX.h"

#include <QApplication>
#include <QScrollBar>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    MessageLog log;
    const auto now = std::chrono::system_clock::now();
    for (int i = 0; i < rows; ++i) {
        const bool catalog = i % 1000 == 0;
        const std::string dev = "3402000000132000" + std::to_string(1000 + i % 50);
        const std::string head = "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCall-ID: " +
                                 std::to_string(i) + "@10.0.0.2\r\nCSeq: 20 MESSAGE\r\n\r\n";
        const std::string body = std::string("<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>") +
                                 (catalog ? "Catalog" : "Keepalive") + "</CmdType>\r\n<SN>" +
                                 std::to_string(i) + "</SN>\r\n<DeviceID>" + dev +
                                 "</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n";
        log.Append(i % 2 ? 1 : 2, now, "心跳包", dev, head, body);
    }
    CListX list(log);
    list.resize(1200, 400);
    list.show();
    auto t = std::chrono::steady_clock::now();
    list.Model()->TakeNewRows();
    app.processEvents();
    const double take = Ms(t);

    // Reference: one pass reading every row as the filter reads it.
    t = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    MessageLog::RowText r;
    for (int i = 0; i < rows; ++i)
        if (log.Row(static_cast<std::size_t>(i), r)) bytes += r.body.size();
    const double reference = Ms(t);

    std::string error;
    t = std::chrono::steady_clock::now();
    list.Model()->SetFilter("cmd==Catalog && dev==34020000001320001000", &error);
    app.processEvents();
    const double filter = Ms(t);
    const int kept = list.Model()->rowCount();
    t = std::chrono::steady_clock::now();
    list.Model()->SetFilter("", &error);
    app.processEvents();
    const double clear = Ms(t);

    // Scrolling: 200 jumps through the whole list, each painted.
    QScrollBar* bar = list.verticalScrollBar();
    t = std::chrono::steady_clock::now();
    for (int k = 0; k <= 200; ++k) {
        bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * k / 200));
        list.viewport()->repaint();
    }
    const double scroll = Ms(t);

    std::printf("rows %d, kept by the filter %d (log bytes %zu)\n", rows, kept, bytes);
    std::printf("take into the list  %9.1f ms\n", take);
    std::printf("reference pass      %9.1f ms\n", reference);
    std::printf("filter              %9.1f ms  (%.2f x reference)\n", filter, filter / reference);
    std::printf("clear filter        %9.1f ms\n", clear);
    std::printf("scroll 201 pages    %9.1f ms  (%.2f ms a page)\n", scroll, scroll / 201);
    return 0;
}
