#pragma once
// The core's side of the 2022 transfers: before 图像抓拍配置 (row 9) or
// 设备软件升级 (row 44) is built, the transfer server is started (on the
// configured HTTP port, at the local address) and the row's empty address is
// filled with ours: a fresh snapshot session's upload path, or the one-time
// path of the firmware file the operator picked. When the device's
// UploadSnapShotFinished or DeviceUpgradeResult arrives, its log line says
// what the server saw (pictures saved, bytes of firmware served).

#include "export/http/TransferServer.h"
#include "manscdp/gb2022/RowInputs.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class CoreTransfers {
public:
    CoreTransfers();
    ~CoreTransfers();

    // rowValues of a click of list/row for channel (or the device when
    // empty). address and port from the settings; port <= 0: the system
    // picks. Messages for the operator are appended to messages.
    void Prepare(int list, int row, const std::string& channel, const std::string& address, int port,
                 RowValues& values, std::vector<std::string>& messages);
    // A received body: the match of a snapshot or upgrade notification is
    // added to its log line.
    void Annotate(const std::string& body, std::string& typeText);

    // What the server saw for a session, for the device check: a snapshot
    // session (closed: its notification came) or the firmware offered.
    bool SnapshotSeen(const std::string& sessionId, tarvex::http::SnapshotSession& out, bool& closed) const;
    bool FirmwareSeen(const std::string& sessionId, tarvex::http::FirmwareOffer& out) const;

    // The server's base URL, "" while it does not run (for tests).
    std::string BaseUrl() const;

private:
    bool EnsureServer(const std::string& address, int port, std::vector<std::string>& messages);

    std::unique_ptr<tarvex::http::TransferBook> book_;
    std::unique_ptr<tarvex::http::TransferServer> server_;
    std::vector<tarvex::http::SnapshotSession> closed_; // the latest sessions notified
    std::string address_;
    int port_ = -1;
};
