#include "app/settings/CDlgCfg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <strings.h>

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
    {CfgField::MediaSetupLegacy, "media.setupLegacy", kMedia, "TCP旧角色读法", CfgKind::Flag},
    {CfgField::GbEdition, "gb.edition", kLocal, "国标版本", CfgKind::Text},
    {CfgField::HttpPort, "http.port", kLocal, "HTTP端口", CfgKind::Int},
    {CfgField::MediaSavePs, "media.savePs", kMedia, "保存PS流", CfgKind::Flag},
    {CfgField::DigestAlgorithm, "local.digest", kLocal, "摘要算法", CfgKind::Text},
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

// Index of a transport text Check accepts (an index or an item's name); -1 otherwise.
int TransportIndex(CfgField f, const std::string& text) {
    const bool local = f == CfgField::LocalTransport;
    const int n = local ? static_cast<int>(kLocalTransports.size())
                        : static_cast<int>(kMediaTransports.size());
    for (int i = 0; i < n; ++i)
        if (strcasecmp(text.c_str(), local ? kLocalTransports[i] : kMediaTransports[i]) == 0)
            return i;
    long long v = -1;
    return ParseWhole(text, v) && v >= 0 && v < n ? static_cast<int>(v) : -1;
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
    case CfgField::MediaSetupLegacy: mediaSetupLegacy = text == "1"; break;
    case CfgField::GbEdition: gbEdition = text; break;
    case CfgField::DigestAlgorithm: digestAlgorithm = text; break;
    case CfgField::HttpPort: httpPort = num(); break;
    case CfgField::MediaSavePs: mediaSavePs = text == "1"; break;
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
    case CfgField::MediaSetupLegacy: return mediaSetupLegacy ? "1" : "0";
    case CfgField::GbEdition: return gbEdition;
    case CfgField::DigestAlgorithm: return digestAlgorithm;
    case CfgField::HttpPort: return httpPort < 0 ? std::string() : std::to_string(httpPort);
    case CfgField::MediaSavePs: return mediaSavePs ? "1" : "0";
    case CfgField::Count: break;
    }
    return {};
}

CfgTexts CDlgCfg::Texts() const {
    CfgTexts t;
    for (int i = 0; i < kCfgFieldCount; ++i) t[i] = FieldText(static_cast<CfgField>(i));
    return t;
}

CfgTexts DefaultCfgTexts(const std::string& address) {
    CfgTexts t;
    auto set = [&](CfgField f, const std::string& v) { t[static_cast<int>(f)] = v; };
    set(CfgField::LocalTransport, "0");
    set(CfgField::LocalId, "34020000002000000001");
    set(CfgField::LocalDomain, "3402000000");
    set(CfgField::LocalAddress, address);
    set(CfgField::LocalPort, "5060");
    set(CfgField::LocalPassword, "12345678");
    set(CfgField::LocalVerifyPassword, "0");
    set(CfgField::PeerId, "34020000001320000001");
    set(CfgField::PeerDomain, "3402000000");
    set(CfgField::PeerAddress, address);
    set(CfgField::PeerPort, "5060");
    set(CfgField::PeerPassword, "12345678");
    set(CfgField::RegistrationTime, "3600");
    set(CfgField::HeartbeatPeriod, "60");
    set(CfgField::MediaTransport, "0");
    set(CfgField::MediaAddress, address);
    set(CfgField::MediaPort, "6000");
    set(CfgField::DownloadSpeed, "4");
    set(CfgField::PtzAddress, "1");
    set(CfgField::PtzSpeed, "128");
    set(CfgField::MediaServerId, "34020000002020000001");
    set(CfgField::MediaServerAddress, address);
    set(CfgField::MediaServerPort, "10000");
    return t;
}

std::string CDlgCfg::Validate(CfgField f, const std::string& text) {
    const CfgKind kind = CfgInfo(f).kind;
    if (f == CfgField::GbEdition && !text.empty() && text != "2016" && text != "2022")
        return "国标版本请输入 2016 或 2022。";
    if (f == CfgField::DigestAlgorithm && !text.empty() && text != "MD5" && text != "SHA-256" &&
        text != "SM3")
        return "摘要算法请输入 MD5、SHA-256 或 SM3。";
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

std::string CDlgCfg::Check(CfgField f, const std::string& text) {
    const CfgKind kind = CfgInfo(f).kind;
    if (kind == CfgKind::Text) {
        // Without its own identifier the endpoint answers nobody.
        if (f == CfgField::LocalId && text.find_first_not_of(" \t") == std::string::npos)
            return "请输入本地服务器的 ID。";
        return {};
    }
    long long v = 0;
    if (kind == CfgKind::Transport) {
        // The drop-down's index, or the name of one of its items.
        const bool local = f == CfgField::LocalTransport;
        const int n = local ? static_cast<int>(kLocalTransports.size())
                            : static_cast<int>(kMediaTransports.size());
        if (TransportIndex(f, text) >= 0) return {};
        std::string names;
        for (int i = 0; i < n; ++i) {
            names += i ? "、" : "";
            names += local ? kLocalTransports[i] : kMediaTransports[i];
        }
        return "请选择一种协议：" + names + "。";
    }
    // The HTTP port may stay empty: the system picks one.
    if (f == CfgField::HttpPort && text.find_first_not_of(" \t") == std::string::npos) return {};
    if (std::string why = Validate(f, text); !why.empty()) return why;
    if (kind != CfgKind::Int) return {};
    ParseWhole(text, v);
    switch (f) {
    case CfgField::RegistrationTime:
        if (v < 1 || v > 86400) return RangeMessage(1, 86400);
        break;
    case CfgField::HeartbeatPeriod:
        if (v < 1 || v > 3600) return RangeMessage(1, 3600);
        break;
    case CfgField::HttpPort:
        if (v < 0 || v > 65535) return RangeMessage(0, 65535);
        break;
    default: // the ports
        if (v < 1 || v > 65535) return RangeMessage(1, 65535);
        break;
    }
    return {};
}

bool CDlgCfg::Accept(const CfgTexts& texts, CfgField* badField, std::string* message) {
    const CfgTexts before = Texts();
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const auto f = static_cast<CfgField>(i);
        std::string err = Check(f, texts[i]);
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
            SetFromText(f, std::to_string(TransportIndex(f, texts[i])));
        } else {
            long long v = 0;
            ParseWhole(texts[i], v);
            SetFromText(f, std::to_string(v));
        }
    }
    // A field the operator changed is the operator's from now on, also in the file.
    for (int i = 0; i < kCfgFieldCount; ++i)
        if (stored_[i] && FieldText(static_cast<CfgField>(i)) != before[i]) stored_[i].reset();
    restart = localPort != refPort || localId != refId;
    refPort = localPort;
    refId = localId;
    Store();
    return true;
}

void CDlgCfg::Store() {
    if (!store_) return;
    for (const auto& i : kInfo) {
        const int k = static_cast<int>(i.field);
        const std::string text = stored_[k] ? *stored_[k] : FieldText(i.field);
        if (Check(i.field, text).empty()) store_->SetValue(text, i.section, i.key);
    }
    store_->Save();
}

int CDlgCfg::ApplyDefaults(const CfgTexts& defaults) {
    int applied = 0;
    for (const auto& i : kInfo) {
        const int k = static_cast<int>(i.field);
        std::string v;
        bool keep = store_ && store_->GetValue(i.section, i.key, v);
        if (keep && i.kind == CfgKind::Text)
            // An empty address is no address; other texts stay as the operator left them.
            keep = !(v.empty() && std::string_view(i.key) == "地址") &&
                   Check(i.field, v).empty();
        else if (keep)
            keep = Check(i.field, FieldText(i.field)).empty();
        if (keep) continue;
        SetFromText(i.field, i.kind == CfgKind::Transport
                                 ? std::to_string(TransportIndex(i.field, defaults[k]))
                                 : defaults[k]);
        ++applied;
    }
    refPort = localPort;
    refId = localId;
    return applied;
}

bool CDlgCfg::OverrideForThisRun(CfgField f, const std::string& text, std::string* message) {
    const std::string why = Check(f, text);
    if (!why.empty()) {
        if (message) *message = why;
        return false;
    }
    const int k = static_cast<int>(f);
    if (!stored_[k]) stored_[k] = FieldText(f);
    const CfgKind kind = CfgInfo(f).kind;
    SetFromText(f, kind == CfgKind::Transport ? std::to_string(TransportIndex(f, text)) : text);
    if (kind == CfgKind::Int) {
        long long v = 0;
        ParseWhole(text, v);
        SetFromText(f, std::to_string(v));
    }
    refPort = localPort;
    refId = localId;
    return true;
}
