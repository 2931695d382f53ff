#include "export/http/TransferBook.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <system_error>

namespace tarvex::http {

namespace fs = std::filesystem;

namespace {

constexpr char kSnapshotPrefix[] = "/snapshot/";
constexpr char kFirmwarePrefix[] = "/firmware/";

bool IdChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_';
}

bool PlainId(const std::string& s, std::size_t max = 64) {
    return !s.empty() && s.size() <= max && std::all_of(s.begin(), s.end(), IdChar);
}

// The first path segment after prefix, in "/snapshot/ID" or "/snapshot/ID/NAME"
// (NAME one segment, not "." or ".."); "" for any other path.
std::string SegmentAfter(const std::string& path, const char* prefix) {
    const std::string p = prefix;
    if (path.compare(0, p.size(), p) != 0) return {};
    const std::size_t end = path.find('/', p.size());
    if (end != std::string::npos) {
        const std::string name = path.substr(end + 1);
        if (name.find('/') != std::string::npos || name == "." || name == "..") return {};
    }
    return path.substr(p.size(), end == std::string::npos ? std::string::npos : end - p.size());
}

std::string RandomToken() {
    std::random_device rd;
    static const char hex[] = "0123456789abcdef";
    std::string t;
    for (int i = 0; i < 32; ++i) t += hex[rd() & 15];
    return t;
}

// A file name from the operator's file that is safe in a URL path.
std::string UrlName(const fs::path& file) {
    std::string n = file.filename().string(), out;
    for (char c : n) out += IdChar(c) || c == '.' ? c : '_';
    if (out.empty() || out[0] == '.') out = "firmware" + out;
    return out;
}

} // namespace

bool LooksLikeJpeg(const std::string& b) {
    return b.size() >= 4 && static_cast<unsigned char>(b[0]) == 0xFF &&
           static_cast<unsigned char>(b[1]) == 0xD8 && static_cast<unsigned char>(b[2]) == 0xFF &&
           static_cast<unsigned char>(b[b.size() - 2]) == 0xFF &&
           static_cast<unsigned char>(b[b.size() - 1]) == 0xD9;
}

TransferBook::TransferBook(fs::path workDir, TransferLimits limits)
    : workDir_(std::move(workDir)), limits_(limits) {}

std::string TransferBook::OpenSnapshot(const std::string& sessionId, const std::string& channel) {
    if (!PlainId(sessionId, 128) || !PlainId(channel)) return {};
    std::lock_guard<std::mutex> g(m_);
    std::erase_if(sessions_, [&](const Open& o) { return o.s.sessionId == sessionId; });
    while (static_cast<int>(sessions_.size()) >= std::max(1, limits_.maxOpenSessions))
        sessions_.erase(sessions_.begin());
    sessions_.push_back({SnapshotSession{sessionId, channel, {}, 0}, now_()});
    return kSnapshotPrefix + sessionId;
}

fs::path TransferBook::NewPictureName(const std::string& channel) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    const fs::path dir = workDir_ / "snapshots" / channel;
    fs::path p = dir / (std::string(stamp) + ".jpg");
    for (int n = 2; fs::exists(p); ++n) p = dir / (std::string(stamp) + "-" + std::to_string(n) + ".jpg");
    return p;
}

UploadVerdict TransferBook::TakeUpload(const std::string& path, const std::string& picture,
                                       const std::string& formSession) {
    UploadVerdict v;
    std::string id = SegmentAfter(path, kSnapshotPrefix);
    if (!formSession.empty() && formSession != id) id.clear();
    std::lock_guard<std::mutex> g(m_);
    // Sessions past their life close here, so that a late device finds none.
    const auto now = now_();
    std::erase_if(sessions_, [&](const Open& o) { return now - o.opened > limits_.sessionLife; });
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const Open& o) { return !id.empty() && o.s.sessionId == id; });
    if (it == sessions_.end()) {
        v.reason = "no open snapshot session";
        return v;
    }
    SnapshotSession& s = it->s;
    if (picture.size() > limits_.maxUploadBytes) {
        v.status = 413;
        v.reason = "picture larger than " + std::to_string(limits_.maxUploadBytes) + " bytes";
    } else if (static_cast<int>(s.files.size()) >= limits_.maxFilesPerSession) {
        v.status = 429;
        v.reason = "session already has " + std::to_string(s.files.size()) + " pictures";
    } else if (!LooksLikeJpeg(picture)) {
        v.status = 415;
        v.reason = "not a JPEG picture";
    }
    if (v.status != 404) {
        ++s.refused;
        return v;
    }
    std::error_code ec;
    fs::create_directories(workDir_ / "snapshots" / s.channel, ec);
    const fs::path file = NewPictureName(s.channel);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(picture.data(), static_cast<std::streamsize>(picture.size()));
    out.close();
    if (ec || !out) {
        fs::remove(file, ec);
        v.status = 500;
        v.reason = "could not write " + file.string();
        return v;
    }
    s.files.push_back(file);
    v.status = 200;
    v.saved = file;
    return v;
}

bool TransferBook::CloseSnapshot(const std::string& sessionId, SnapshotSession& out) {
    std::lock_guard<std::mutex> g(m_);
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const Open& o) { return o.s.sessionId == sessionId; });
    if (it == sessions_.end()) return false;
    out = std::move(it->s);
    sessions_.erase(it);
    return true;
}

bool TransferBook::PeekSnapshot(const std::string& sessionId, SnapshotSession& out) const {
    std::lock_guard<std::mutex> g(m_);
    for (const Open& o : sessions_)
        if (o.s.sessionId == sessionId) {
            out = o.s;
            return true;
        }
    return false;
}

std::string TransferBook::OfferFirmware(const fs::path& file, const std::string& sessionId,
                                        std::string& error) {
    if (!PlainId(sessionId, 128)) {
        error = "升级会话 ID 只能由字母、数字、- 和 _ 组成。";
        return {};
    }
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || !fs::is_regular_file(file, ec)) {
        error = "固件文件无法读取: " + file.string();
        return {};
    }
    if (size > limits_.maxFirmwareBytes) {
        error = "固件文件超过 " + std::to_string(limits_.maxFirmwareBytes) + " 字节: " + file.string();
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    auto bytes = std::make_shared<std::string>(size, '\0');
    if (!in.read(bytes->data(), static_cast<std::streamsize>(size))) {
        error = "固件文件无法读取: " + file.string();
        return {};
    }
    FirmwareOffer o{sessionId, RandomToken(), UrlName(file), std::move(bytes)};
    const std::string path = kFirmwarePrefix + o.token + "/" + o.name;
    std::lock_guard<std::mutex> g(m_);
    std::erase_if(offers_, [&](const FirmwareOffer& f) { return f.sessionId == sessionId; });
    while (static_cast<int>(offers_.size()) >= std::max(1, limits_.maxOffers)) offers_.erase(offers_.begin());
    offers_.push_back(std::move(o));
    return path;
}

std::shared_ptr<const std::string> TransferBook::TakeDownload(const std::string& path,
                                                              std::string& token) {
    const std::string t = SegmentAfter(path, kFirmwarePrefix);
    std::lock_guard<std::mutex> g(m_);
    for (FirmwareOffer& o : offers_)
        if (!t.empty() && o.token == t && !o.fetched && path == kFirmwarePrefix + o.token + "/" + o.name) {
            o.fetched = true;
            token = o.token;
            return o.bytes;
        }
    return nullptr;
}

void TransferBook::CountServed(const std::string& token, std::uint64_t bytes, bool complete) {
    std::lock_guard<std::mutex> g(m_);
    for (FirmwareOffer& o : offers_)
        if (o.token == token) {
            o.served += bytes;
            o.complete = o.complete || complete;
        }
}

bool TransferBook::OfferFor(const std::string& sessionId, FirmwareOffer& out) const {
    std::lock_guard<std::mutex> g(m_);
    for (const FirmwareOffer& o : offers_)
        if (o.sessionId == sessionId) {
            out = o;
            return true;
        }
    return false;
}

} // namespace tarvex::http
