#pragma once
// The system's settings: every field of config.ini, the validation of the
// settings dialog's boxes and the restart reference of the SIP endpoint.
// Toolkit-free; the Qt dialog "国标参数配置" is a view over it.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Where the settings live. ConfigIniStore (CfgIniStore.h) keeps them in
// config.ini; tests may supply their own. Texts are UTF-8 on this side.
class ICfgStore {
public:
    virtual ~ICfgStore() = default;
    // False when the key does not exist.
    virtual bool GetValue(const std::string& section, const std::string& key,
                          std::string& value) const = 0;
    virtual void SetValue(const std::string& value, const std::string& section,
                          const std::string& key) = 0;
    virtual void Save() = 0;
};

// The boxes of the dialog, in the order the fields are stored.
enum class CfgField : int {
    LocalTransport,
    LocalId,
    LocalDomain,
    LocalAddress,
    LocalPort,
    LocalPassword,
    LocalVerifyPassword, // "验证密码": challenge REGISTER with the password (0 or 1)
    PeerId,
    PeerDomain,
    PeerAddress,
    PeerPort,
    PeerPassword,
    RegistrationTime,
    HeartbeatPeriod,
    MediaTransport,
    MediaAddress,
    MediaPort,
    DownloadSpeed,
    PtzAddress,
    PtzSpeed,
    MediaServerId,
    MediaServerAddress,
    MediaServerPort,
    MediaSetupLegacy, // "TCP旧角色读法": a=setup names the device's role, not ours (0 or 1)
    GbEdition, // "国标版本": 2016 or 2022 (empty: 2022), where the editions differ
    HttpPort,  // "HTTP端口": snapshot uploads and firmware downloads (empty or 0: one the system picks)
    MediaSavePs, // "保存PS流": a download also keeps the program stream as received (0 or 1)
    DigestAlgorithm, // "摘要算法": MD5, SHA-256 or SM3 (empty: MD5), what REGISTER is challenged with
    Count
};
constexpr int kCfgFieldCount = static_cast<int>(CfgField::Count);

enum class CfgKind { Transport, Text, Int, Byte, Speed, Flag };

struct CfgFieldInfo {
    CfgField field;
    const char* name;    // field name of operator scripts, e.g. "local.port"
    const char* section; // config.ini section (UTF-8)
    const char* key;     // config.ini key (UTF-8)
    CfgKind kind;
};
const CfgFieldInfo& CfgInfo(CfgField f);
// The field with the script name, or CfgField::Count.
CfgField CfgFieldByName(const std::string& name);

// Items of the two drop-downs.
extern const std::array<const char*, 4> kLocalTransports;
extern const std::array<const char*, 5> kMediaTransports;

// Texts of the dialog's boxes; the drop-downs carry their index as text.
using CfgTexts = std::array<std::string, kCfgFieldCount>;

// The values of a first run: SIP over UDP on 5060, the sample identifiers,
// media on 6000; every address is `address` (the host's, chosen by the caller).
CfgTexts DefaultCfgTexts(const std::string& address);

class CDlgCfg {
public:
    // Loads every field from the store (missing keys give "", -1 or 255) and sets
    // the restart reference to the loaded port and identifier.
    explicit CDlgCfg(std::unique_ptr<ICfgStore> store);
    virtual ~CDlgCfg();
    CDlgCfg(const CDlgCfg&) = delete;
    CDlgCfg& operator=(const CDlgCfg&) = delete;

    // Writes every field in table order and saves the store; a field whose
    // value Check refuses is not written (the file keeps what it had).
    void Store();

    // The text a box shows for the current value.
    std::string FieldText(CfgField f) const;
    CfgTexts Texts() const;

    // The standard validation message for the text of box f, or "" when it is
    // acceptable as a number of its kind. Text and transport fields always pass.
    static std::string Validate(CfgField f, const std::string& text);
    // Validate, then what a working endpoint needs: ports 1 to 65535,
    // registration 1 to 86400 s, keepalive 1 to 3600 s, a transport of the
    // drop-down (index or name), the local identifier not empty. The OK, Store,
    // the script's settings step and the command line all refuse with it.
    static std::string Check(CfgField f, const std::string& text);

    // Every field that is missing or holds a value Check refuses (the -1 and
    // 255 of an old save) takes its text from `defaults`. Returns how many did.
    int ApplyDefaults(const CfgTexts& defaults);

    // A value for this run only (command line): validated as the dialog does,
    // used at once, but Store keeps writing what was stored before unless the
    // operator changes that field in the dialog. False with the message when
    // the value is refused.
    bool OverrideForThisRun(CfgField f, const std::string& text, std::string* message);

    // The OK of the dialog: validates every box in order; on the first failure
    // returns false with that box and its message and changes nothing. Otherwise
    // takes all values, sets the restart flag, moves the reference, stores and
    // returns true.
    bool Accept(const CfgTexts& texts, CfgField* badField, std::string* message);

    bool RestartNeeded() const { return restart; }

    // Fields, in the order in which they are stored.
    int localTransport = -1;
    std::string localId, localDomain, localAddress;
    int localPort = -1;
    std::string localPassword;
    bool localVerifyPassword = false;
    std::string peerId, peerDomain, peerAddress;
    int peerPort = -1;
    std::string peerPassword;
    int registrationTime = -1;
    int heartbeatPeriod = -1;
    int mediaTransport = -1;
    std::string mediaAddress;
    int mediaPort = -1;
    std::uint8_t downloadSpeed = 255;
    std::uint8_t ptzAddress = 255;
    std::uint8_t ptzSpeed = 255;
    std::string mediaServerId, mediaServerAddress;
    int mediaServerPort = -1;
    bool mediaSetupLegacy = false;
    std::string gbEdition;
    std::string digestAlgorithm;
    int httpPort = -1;
    bool mediaSavePs = false;

    // Restart reference: local port and identifier at the last load or OK.
    int refPort = -1;
    std::string refId;
    bool restart = false;

private:
    void SetFromText(CfgField f, const std::string& text);
    std::unique_ptr<ICfgStore> store_;
    // Stored texts of the fields overridden for this run, by field index.
    std::array<std::optional<std::string>, kCfgFieldCount> stored_;
};

// Decimal reading of a stored value the way the store's callers read it:
// leading blanks, optional sign, leading digits; no digits give 0.
int CfgAtoi(const std::string& s);
