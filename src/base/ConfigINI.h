#pragma once
// Ordered INI store behind "config.ini" and "Search.ini": keeps every line's
// entry in file order, comments included, and writes them all back on Save.
// Text is bytes (GBK section and key names); nothing is trimmed or case-folded.

#include <string>
#include <vector>

struct ConfigEntry {
    std::string section; // section of a key line; empty for a comment
    std::string key;     // text before the first "="
    std::string value;   // text after the first "="
    std::string comment; // whole comment line, "#" included
    int isComment = 0;   // 1 for a comment line, 0 for a key line
};

class ConfigINI {
public:
    // Longest line read, in bytes; longer lines are skipped whole.
    static constexpr std::size_t kMaxLine = 4095;

    // Copies the file name and loads the file at once.
    explicit ConfigINI(const char* file);
    virtual ~ConfigINI(); // saves with an "AUTO save" line when dirty
    ConfigINI(const ConfigINI&) = delete;
    ConfigINI& operator=(const ConfigINI&) = delete;

    // The value of key in section, or nullptr (with a "DEBUG:" line on standard
    // output) when the section has no such key. The text stays valid until the
    // next SetValue.
    const char* GetValue(const char* section, const char* key);
    // Replaces the key's value in its section, or inserts it after the section's
    // last entry, or appends it (a new section) at the end.
    void SetValue(const char* value, const char* section, const char* key);
    // Writes every entry to the file, replacing it. False when it cannot be
    // written (errno says why); the file is then left as it was.
    bool Save();

    // Callers' conventions: a missing number reads as missing (-1, or 255 for the
    // byte settings); a missing string as empty. Numbers are the leading digits
    // after an optional sign; no digits give 0.
    int GetInt(const char* section, const char* key, int missing = -1);
    std::string GetString(const char* section, const char* key);
    // Formats value with "%d" into scratch and stores it.
    void SetInt(int value, const char* section, const char* key);

    const std::vector<ConfigEntry>& Entries() const { return entries; }
    bool IsDirty() const { return dirty != 0; }
    const char* FileName() const { return fileName; }

    std::vector<ConfigEntry> entries;
    char scratch[4096] = {}; // callers format numbers here before SetValue
    char fileName[4096] = {};
    unsigned char dirty = 0;

private:
    void Load();
    void AddLine(const std::string& line, std::string& currentSection, bool& haveSection);
};
