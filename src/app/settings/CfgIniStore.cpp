#include "app/settings/CfgIniStore.h"

#include "base/ConfigINI.h"
#include "base/TextCodec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

CfgIniStore::CfgIniStore(const std::string& fileName)
    : fileName_(fileName), ini_(std::make_unique<ConfigINI>(fileName.c_str())) {}

CfgIniStore::~CfgIniStore() = default;

bool CfgIniStore::GetValue(const std::string& section, const std::string& key,
                           std::string& value) const {
    const std::string s = TextCodec::Utf8ToGbk(section), k = TextCodec::Utf8ToGbk(key);
    const char* v = ini_->GetValue(s.c_str(), k.c_str());
    if (!v) return false;
    value = TextCodec::GbkToUtf8(v);
    return true;
}

void CfgIniStore::SetValue(const std::string& value, const std::string& section,
                           const std::string& key) {
    const std::string v = TextCodec::Utf8ToGbk(value);
    const std::string s = TextCodec::Utf8ToGbk(section), k = TextCodec::Utf8ToGbk(key);
    ini_->SetValue(v.c_str(), s.c_str(), k.c_str());
}

void CfgIniStore::Save() {
    if (ini_->Save()) return;
    const int why = errno;
    std::fprintf(stderr, "tarvex: %s could not be written (%s); it keeps the settings it had\n",
                 fileName_.c_str(), std::strerror(why));
}

std::unique_ptr<CDlgCfg> LoadSettings(const std::string& fileName) {
    return std::make_unique<CDlgCfg>(std::make_unique<CfgIniStore>(fileName));
}

std::unique_ptr<CDlgCfg> LoadSettingsWithDefaults(const std::string& fileName,
                                                  const std::string& address) {
    std::error_code ec;
    const bool firstRun = !std::filesystem::exists(fileName, ec);
    auto cfg = LoadSettings(fileName);
    // A hand-written file is completed in memory only; it changes at the exit
    // button or an OK of the settings, as before.
    if (cfg->ApplyDefaults(DefaultCfgTexts(address)) > 0 && firstRun) cfg->Store();
    return cfg;
}
