#include "app/core/CoreTransfers.h"

#include "app/core/CTarvexCore.h"

#include "base/TextCodec.h"
#include "manscdp/gb2022/Gb2022Bodies.h"
#include "manscdp/gb2022/Gb2022Summary.h"

#include <algorithm>

namespace {

constexpr int kRowSnapShot = 9;
constexpr int kRowUpgrade = 44;
constexpr std::size_t kClosedKept = 16; // notified sessions kept for the device check

void Set(RowValues& v, const std::string& key, const std::string& value) {
    std::erase_if(v, [&](const auto& p) { return p.first == key; });
    v.emplace_back(key, value);
}

} // namespace

CoreTransfers::CoreTransfers() = default;
CoreTransfers::~CoreTransfers() {
    if (server_) server_->Stop();
}

std::string CoreTransfers::BaseUrl() const {
    return server_ && server_->Running() ? server_->BaseUrl() : std::string();
}

bool CoreTransfers::EnsureServer(const std::string& address, int port, std::vector<std::string>& messages) {
    const int want = std::max(0, port);
    if (server_ && server_->Running() && address == address_ && (want == 0 || want == port_)) return true;
    if (!book_) book_ = std::make_unique<tarvex::http::TransferBook>(std::filesystem::current_path());
    if (!server_) server_ = std::make_unique<tarvex::http::TransferServer>(*book_);
    std::string error;
    if (!server_->Start(address.empty() ? "127.0.0.1" : address, want, error)) {
        messages.push_back(error);
        return false;
    }
    address_ = address;
    port_ = server_->Port();
    std::fprintf(stderr, "tarvex: HTTP transfers on %s\n", server_->BaseUrl().c_str());
    return true;
}

void CoreTransfers::Prepare(int list, int row, const std::string& channel, const std::string& address,
                            int port, RowValues& values, std::vector<std::string>& messages) {
    if (list != kListSignalling || (row != kRowSnapShot && row != kRowUpgrade)) return;
    if (row == kRowSnapShot) {
        // An address the operator typed is theirs: nothing of ours is opened.
        if (!RowValue(values, "UploadURL").empty()) return;
        if (!EnsureServer(address, port, messages)) return;
        std::string id = RowValue(values, "SessionID");
        if (id.empty()) id = FreshSessionId();
        const std::string path = book_->OpenSnapshot(id, channel);
        if (path.empty()) {
            messages.push_back("会话ID 只能由字母、数字、- 和 _ 组成。");
            return;
        }
        Set(values, "SessionID", id);
        Set(values, "UploadURL", server_->BaseUrl() + path);
        return;
    }
    const std::string file = RowValue(values, "FirmwareFile");
    if (file.empty() || !RowValue(values, "FileURL").empty()) return;
    if (!EnsureServer(address, port, messages)) return;
    std::string id = RowValue(values, "SessionID");
    if (id.empty()) id = FreshSessionId();
    std::string error;
    const std::string path = book_->OfferFirmware(file, id, error);
    if (path.empty()) {
        messages.push_back(error);
        return;
    }
    Set(values, "SessionID", id);
    Set(values, "FileURL", server_->BaseUrl() + path);
}

void CoreTransfers::Annotate(const std::string& body, std::string& typeText) {
    if (!book_ || body.find("CmdType") == std::string::npos) return;
    const XMLNode doc = XMLNode::Parse(TextCodec::BodyToUtf8(body));
    if (SnapShotFinished s; ReadSnapShotFinished(doc, s)) {
        tarvex::http::SnapshotSession got;
        if (!book_->CloseSnapshot(s.sessionId, got)) {
            typeText += " | 无此抓拍会话";
            return;
        }
        closed_.push_back(got);
        if (closed_.size() > kClosedKept) closed_.erase(closed_.begin());
        typeText += " | 收到 " + std::to_string(got.files.size()) + " 张";
        if (got.files.size() != s.fileIds.size())
            typeText += ", 与通知的 " + std::to_string(s.fileIds.size()) + " 张不符";
        if (got.refused) typeText += ", 拒收 " + std::to_string(got.refused) + " 次";
        if (!got.files.empty())
            typeText += " (" + std::filesystem::relative(got.files.front().parent_path(),
                                                         std::filesystem::current_path()).string() + ")";
        return;
    }
    if (UpgradeResult u; ReadUpgradeResult(doc, u)) {
        tarvex::http::FirmwareOffer o;
        if (!book_->OfferFor(u.sessionId, o)) return; // an address of the operator's own
        typeText += " | 固件已下载 " + std::to_string(o.served) + "/" + std::to_string(o.bytes->size()) +
                    " 字节" + (o.fetched ? "" : " (设备未取)");
    }
}

bool CoreTransfers::SnapshotSeen(const std::string& sessionId, tarvex::http::SnapshotSession& out,
                                 bool& closed) const {
    for (auto it = closed_.rbegin(); it != closed_.rend(); ++it)
        if (it->sessionId == sessionId) {
            out = *it;
            closed = true;
            return true;
        }
    closed = false;
    return book_ && book_->PeekSnapshot(sessionId, out);
}

bool CoreTransfers::FirmwareSeen(const std::string& sessionId, tarvex::http::FirmwareOffer& out) const {
    return book_ && book_->OfferFor(sessionId, out);
}

bool CTarvexCore::SnapshotSeen(const std::string& sessionId, tarvex::http::SnapshotSession& out, bool& closed) {
    std::lock_guard<std::mutex> lk(mutex_);
    return transfers_.SnapshotSeen(sessionId, out, closed);
}

bool CTarvexCore::FirmwareSeen(const std::string& sessionId, tarvex::http::FirmwareOffer& out) {
    std::lock_guard<std::mutex> lk(mutex_);
    return transfers_.FirmwareSeen(sessionId, out);
}
