#include "manscdp/cfg/CDlgCfg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kLocal = "本地服务器";
constexpr const char* kPeer = "互联系统";
constexpr const char* kMedia = "媒体接收者";
constexpr const char* kPtz = "云台控制";
constexpr const char* kServer = "媒体服务器";

const CfgFieldInfo kInfo[kCfgFieldCount] = {
    {CfgField::LocalTransport, "local.transport", kLocal, "协议", CfgKind::Transport},
    {CfgField::LocalId, "local.id", kLocal, "ID", CfgKind::Text},
    {CfgField::LocalDomain, "local.domain", kLocal, "域", CfgKind::Text},
    {CfgField::LocalAddress, "local.address", kLocal, "地址", CfgKind::Text},
    {CfgField::LocalPort, "local.port", kLocal, "端口", CfgKind::Int},
    {CfgField::LocalPassword, "local.password", kLocal, "密码", CfgKind::Text},
    {CfgField::LocalVerifyPassword, "local.verify", kLocal, "验证密码", CfgKind::Flag},
    {CfgField::PeerId, "peer.id", kPeer, "ID", CfgKind::Text},
    {CfgField::PeerDomain, "peer.domain", kPeer, "域", CfgKind::Text},
    {CfgField::PeerAddress, "peer.address", kPeer, "地址", CfgKind::Text},
    {CfgField::PeerPort, "peer.port", kPeer, "端口", CfgKind::Int},
    {CfgField::PeerPassword, "peer.password", kPeer, "密码", CfgKind::Text},
    {CfgField::RegistrationTime, "peer.expires", kPeer, "注册时间", CfgKind::Int},
    {CfgField::HeartbeatPeriod, "peer.heartbeat", kPeer, "心跳周期", CfgKind::Int},
    {CfgField::MediaTransport, "media.transport", kMedia, "协议", CfgKind::Transport},
    {CfgField::MediaAddress, "media.address", kMedia, "地址", CfgKind::Text},
    {CfgField::MediaPort, "media.port", kMedia, "端口", CfgKind::Int},
    {CfgField::DownloadSpeed, "media.speed", kMedia, "下载速度", CfgKind::Speed},
    {CfgField::PtzAddress, "ptz.address", kPtz, "地址位", CfgKind::Byte},
    {CfgField::PtzSpeed, "ptz.speed", kPtz, "速度", CfgKind::Byte},
    {CfgField::MediaServerId, "server.id", kServer, "ID", CfgKind::Text},
    {CfgField::MediaServerAddress, "server.address", kServer, "地址", CfgKind::Text},
    {CfgField::MediaServerPort, "server.port", kServer, "端口", CfgKind::Int},
    {CfgField::GbEdition, "gb.edition", kLocal, "国标版本", CfgKind::Text},
};

// A whole number with optional surrounding blanks, as the dialog accepts it.
bool ParseWhole(const std::string& text, long long& out) {
    std::size_t i = 0, n = text.size();
    while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    while (n > i && std::isspace(static_cast<unsigned char>(text[n - 1]))) --n;
    std::string t = text.substr(i, n - i);
    if (t.empty()) return false;
    std::size_t p = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    if (p == t.size() || t.size() - p > 18) return false;
    for (std::size_t k = p; k < t.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(t[k]))) return false;
    out = std::strtoll(t.c_str(), nullptr, 10);
    return true;
}

std::string RangeMessage(int lo, int hi) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "请输入一个介于 %d 和 %d 之间的整数。", lo, hi);
    return buf;
}

} // namespace

const std::array<const char*, 4> kLocalTransports = {"UDP", "TCP", "TLS", "DTLS"};
const std::array<const char*, 5> kMediaTransports = {"UDP", "TCP passive", "TCP active",
                                                     "TCP actpass", "holdconn"};

const CfgFieldInfo& CfgInfo(CfgField f) { return kInfo[static_cast<int>(f)]; }

CfgField CfgFieldByName(const std::string& name) {
    for (const auto& i : kInfo)
        if (name == i.name) return i.field;
    return CfgField::Count;
}

int CfgAtoi(const std::string& s) {
    // strtol saturates instead of overflowing; the int cast keeps the low bits
    // like the C library's atoi does on this platform.
    errno = 0;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

CDlgCfg::CDlgCfg(std::unique_ptr<ICfgStore> store) : store_(std::move(store)) {
    for (const auto& i : kInfo) {
        std::string v;
        bool found = store_ && store_->GetValue(i.section, i.key, v);
        switch (i.kind) {
        case CfgKind::Text:
            SetFromText(i.field, found ? v : std::string());
            break;
        case CfgKind::Int:
        case CfgKind::Transport:
            SetFromText(i.field, found ? std::to_string(CfgAtoi(v)) : "-1");
            break;
        case CfgKind::Byte:
        case CfgKind::Speed:
            SetFromText(i.field, std::to_string(found ? static_cast<std::uint8_t>(CfgAtoi(v)) : 255));
            break;
        case CfgKind::Flag:
            // On only for "1", as the program reads it at start.
            SetFromText(i.field, found && v == "1" ? "1" : "0");
            break;
        }
    }
    refPort = localPort;
    refId = localId;
    restart = false;
}

CDlgCfg::~CDlgCfg() = default;

void CDlgCfg::SetFromText(CfgField f, const std::string& text) {
    auto num = [&] { return CfgAtoi(text); };
    auto byte = [&] { return static_cast<std::uint8_t>(CfgAtoi(text)); };
    switch (f) {
    case CfgField::LocalTransport: localTransport = num(); break;
    case CfgField::LocalId: localId = text; break;
    case CfgField::LocalDomain: localDomain = text; break;
    case CfgField::LocalAddress: localAddress = text; break;
    case CfgField::LocalPort: localPort = num(); break;
    case CfgField::LocalPassword: localPassword = text; break;
    case CfgField::LocalVerifyPassword: localVerifyPassword = text == "1"; break;
    case CfgField::PeerId: peerId = text; break;
    case CfgField::PeerDomain: peerDomain = text; break;
    case CfgField::PeerAddress: peerAddress = text; break;
    case CfgField::PeerPort: peerPort = num(); break;
    case CfgField::PeerPassword: peerPassword = text; break;
    case CfgField::RegistrationTime: registrationTime = num(); break;
    case CfgField::HeartbeatPeriod: heartbeatPeriod = num(); break;
    case CfgField::MediaTransport: mediaTransport = num(); break;
    case CfgField::MediaAddress: mediaAddress = text; break;
    case CfgField::MediaPort: mediaPort = num(); break;
    case CfgField::DownloadSpeed: downloadSpeed = byte(); break;
    case CfgField::PtzAddress: ptzAddress = byte(); break;
    case CfgField::PtzSpeed: ptzSpeed = byte(); break;
    case CfgField::MediaServerId: mediaServerId = text; break;
    case CfgField::MediaServerAddress: mediaServerAddress = text; break;
    case CfgField::MediaServerPort: mediaServerPort = num(); break;
    case CfgField::GbEdition: gbEdition = text; break;
    case CfgField::Count: break;
    }
}

std::string CDlgCfg::FieldText(CfgField f) const {
    switch (f) {
    case CfgField::LocalTransport: return std::to_string(localTransport);
    case CfgField::LocalId: return localId;
    case CfgField::LocalDomain: return localDomain;
    case CfgField::LocalAddress: return localAddress;
    case CfgField::LocalPort: return std::to_string(localPort);
    case CfgField::LocalPassword: return localPassword;
    case CfgField::LocalVerifyPassword: return localVerifyPassword ? "1" : "0";
    case CfgField::PeerId: return peerId;
    case CfgField::PeerDomain: return peerDomain;
    case CfgField::PeerAddress: return peerAddress;
    case CfgField::PeerPort: return std::to_string(peerPort);
    case CfgField::PeerPassword: return peerPassword;
    case CfgField::RegistrationTime: return std::to_string(registrationTime);
    case CfgField::HeartbeatPeriod: return std::to_string(heartbeatPeriod);
    case CfgField::MediaTransport: return std::to_string(mediaTransport);
    case CfgField::MediaAddress: return mediaAddress;
    case CfgField::MediaPort: return std::to_string(mediaPort);
    case CfgField::DownloadSpeed: return std::to_string(downloadSpeed);
    case CfgField::PtzAddress: return std::to_string(ptzAddress);
    case CfgField::PtzSpeed: return std::to_string(ptzSpeed);
    case CfgField::MediaServerId: return mediaServerId;
    case CfgField::MediaServerAddress: return mediaServerAddress;
    case CfgField::MediaServerPort: return std::to_string(mediaServerPort);
    case CfgField::GbEdition: return gbEdition;
    case CfgField::Count: break;
    }
    return {};
}

CfgTexts CDlgCfg::Texts() const {
    CfgTexts t;
    for (int i = 0; i < kCfgFieldCount; ++i) t[i] = FieldText(static_cast<CfgField>(i));
    return t;
}

std::string CDlgCfg::Validate(CfgField f, const std::string& text) {
    const CfgKind kind = CfgInfo(f).kind;
    if (f == CfgField::GbEdition && !text.empty() && text != "2016" && text != "2022")
        return "国标版本请输入 2016 或 2022。";
    if (kind == CfgKind::Text || kind == CfgKind::Transport) return {};
    // A check box: "1" is on, anything else off.
    if (kind == CfgKind::Flag) return {};
    long long v = 0;
    if (!ParseWhole(text, v)) return "请输入一个整数。";
    if (kind == CfgKind::Int && (v < INT_MIN || v > INT_MAX)) return "请输入一个整数。";
    if (kind == CfgKind::Byte && (v < 0 || v > 255)) return RangeMessage(0, 255);
    if (kind == CfgKind::Speed && (v < 1 || v > 64)) return RangeMessage(1, 64);
    return {};
}

bool CDlgCfg::Accept(const CfgTexts& texts, CfgField* badField, std::string* message) {
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const auto f = static_cast<CfgField>(i);
        std::string err = Validate(f, texts[i]);
        if (!err.empty()) {
            if (badField) *badField = f;
            if (message) *message = err;
            return false;
        }
    }
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const auto f = static_cast<CfgField>(i);
        const CfgKind kind = CfgInfo(f).kind;
        if (kind == CfgKind::Text || kind == CfgKind::Flag) {
            SetFromText(f, texts[i]);
        } else if (kind == CfgKind::Transport) {
            // A drop-down without a selection gives -1.
            long long v = -1;
            SetFromText(f, ParseWhole(texts[i], v) ? std::to_string(v) : "-1");
        } else {
            long long v = 0;
            ParseWhole(texts[i], v);
            SetFromText(f, std::to_string(v));
        }
    }
    restart = localPort != refPort || localId != refId;
    refPort = localPort;
    refId = localId;
    Store();
    return true;
}

void CDlgCfg::Store() {
    if (!store_) return;
    for (const auto& i : kInfo) store_->SetValue(FieldText(i.field), i.section, i.key);
    store_->Save();
}
