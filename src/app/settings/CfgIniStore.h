#pragma once
// The settings' store on an INI file (config.ini): names and values are UTF-8
// on the settings' side and GBK in the file, as the Windows version wrote them.

#include "app/settings/CDlgCfg.h"

#include <memory>
#include <string>

class ConfigINI;

class CfgIniStore final : public ICfgStore {
public:
    // Loads the file at once (a missing file gives an empty store).
    explicit CfgIniStore(const std::string& fileName);
    ~CfgIniStore() override;
    bool GetValue(const std::string& section, const std::string& key,
                  std::string& value) const override;
    void SetValue(const std::string& value, const std::string& section,
                  const std::string& key) override;
    // A file that cannot be written is left as it was, and standard error says so.
    void Save() override;
    ConfigINI& Ini() { return *ini_; }

private:
    std::string fileName_;
    std::unique_ptr<ConfigINI> ini_;
};

// The settings object on fileName, loaded as it is (a missing key reads as "",
// -1 or 255).
std::unique_ptr<CDlgCfg> LoadSettings(const std::string& fileName = "config.ini");

// The settings of a program start: loaded, every missing or invalid field
// given its first-run value (DefaultCfgTexts(address)); without a file, the
// file is written at once, so that a first start leaves a complete config.ini.
std::unique_ptr<CDlgCfg> LoadSettingsWithDefaults(const std::string& fileName,
                                                  const std::string& address);
