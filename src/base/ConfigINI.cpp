#include "base/ConfigINI.h"

#include "base/Diag.h"

#include "base/TextCodec.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

bool ReadAll(const char* name, std::string& out) {
    UniqueFile f(std::fopen(name, "rb"));
    if (!f) return false;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        out.append(buf, n);
    return true;
}

} // namespace

ConfigINI::ConfigINI(const char* file) {
    if (file) {
        std::strncpy(fileName, file, sizeof fileName - 1);
        fileName[sizeof fileName - 1] = '\0';
    }
    Load();
}

ConfigINI::~ConfigINI() {
    if (dirty) {
        tarvex::Diag("AUTO save Config file[%s]", fileName);
        Save();
    }
}

void ConfigINI::Load() {
    std::string raw;
    if (!ReadAll(fileName, raw)) {
        tarvex::Diag("load config, file [%s] not exist", fileName);
        return;
    }
    const std::string bytes = TextCodec::ConfigBytesToGbk(raw);

    std::string line;
    line.reserve(256);
    std::string currentSection;
    bool haveSection = false;
    bool tooLong = false;
    bool comment = false;
    const auto finish = [&] {
        if (!tooLong && !line.empty()) AddLine(line, currentSection, haveSection);
        line.clear();
        tooLong = false;
        comment = false;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        // Text mode: a CR LF pair reads as one LF.
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        if (line.empty() && !tooLong && c == '#') comment = true;
        if (c == '\n' || (comment && c == '\r')) {
            finish();
            continue;
        }
        if (tooLong) continue;
        if (line.size() < kMaxLine) {
            line.push_back(c);
        } else {
            tooLong = true; // skipped whole, up to its line end
            line.clear();
        }
    }
    finish(); // a last line without a line end
}

void ConfigINI::AddLine(const std::string& line, std::string& currentSection, bool& haveSection) {
    if (line[0] == '#') {
        ConfigEntry e;
        e.comment = line;
        e.isComment = 1;
        entries.push_back(std::move(e));
        return;
    }
    if (line[0] == '[') {
        currentSection = line.size() >= 2 ? line.substr(1, line.size() - 2) : std::string();
        haveSection = true;
        return;
    }
    if (!haveSection) return; // a key line before any section header belongs nowhere
    ConfigEntry e;
    e.section = currentSection;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
        e.key = line;
        e.value = line;
    } else {
        e.key = line.substr(0, eq);
        e.value = line.substr(eq + 1);
    }
    entries.push_back(std::move(e));
}

const char* ConfigINI::GetValue(const char* section, const char* key) {
    if (!section) section = "";
    if (!key) key = "";
    for (const ConfigEntry& e : entries)
        if (!e.isComment && e.section == section && e.key == key) return e.value.c_str();
    // Section and key names are GBK, as the file is.
    tarvex::DiagGbk("DEBUG: ", std::string("[") + section + "] of--[" + key + "] not found");
    return nullptr;
}

void ConfigINI::SetValue(const char* value, const char* section, const char* key) {
    if (!value) value = "";
    if (!section) section = "";
    if (!key) key = "";
    dirty = 1;
    ConfigEntry fresh;
    fresh.section = section;
    fresh.key = key;
    fresh.value = value;
    std::size_t i = 0;
    while (i < entries.size() && (entries[i].isComment || entries[i].section != section))
        ++i;
    if (i == entries.size()) {
        entries.push_back(std::move(fresh));
        return;
    }
    std::size_t last = i;
    for (std::size_t j = i;
         j < entries.size() && !entries[j].isComment && entries[j].section == section; ++j) {
        if (entries[j].key == key) {
            entries[j].value = value;
            return;
        }
        last = j;
    }
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(last + 1), std::move(fresh));
}

bool ConfigINI::Save() {
    dirty = 0;
    std::string out;
    const std::string* header = nullptr; // section whose header was written last
    bool written = false;
    bool commentSinceHeader = false;
    for (const ConfigEntry& e : entries) {
        if (e.isComment) {
            if (written) out += "\r\n";
            out += e.comment;
            out += "\r\n";
            written = true;
            commentSinceHeader = true;
            continue;
        }
        if (!header || *header != e.section) {
            if (written && !commentSinceHeader) out += "\r\n";
            out += '[';
            out += e.section;
            out += "]\r\n";
            written = true;
            commentSinceHeader = false;
            header = &e.section;
        }
        if (!e.key.empty() && !e.value.empty()) {
            out += e.key;
            out += '=';
            out += e.value;
            out += "\r\n";
        }
    }
    out += "\r\n";
    // Written beside the file and renamed over it, so that a full disk leaves
    // the settings as they were instead of an empty file. A link is followed,
    // and the file keeps its permissions.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(fileName, resolved) ? resolved : fileName;
    const std::string temp = target + ".new";
    UniqueFile f(std::fopen(temp.c_str(), "wb"));
    if (!f) return false;
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) ::fchmod(::fileno(f.get()), old.st_mode & 07777);
    bool ok = std::fwrite(out.data(), 1, out.size(), f.get()) == out.size();
    ok = std::fflush(f.get()) == 0 && ok;
    ok = ::fsync(::fileno(f.get())) == 0 && ok;
    ok = std::fclose(f.release()) == 0 && ok;
    if (ok && std::rename(temp.c_str(), target.c_str()) == 0) return true;
    const int why = errno;
    std::remove(temp.c_str());
    errno = why;
    return false;
}

int ConfigINI::GetInt(const char* section, const char* key, int missing) {
    const char* v = GetValue(section, key);
    if (!v) return missing;
    bool negative = false;
    if (*v == '+' || *v == '-') negative = *v++ == '-';
    long long n = 0;
    for (; *v >= '0' && *v <= '9'; ++v) {
        n = n * 10 + (*v - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) n = -n;
    if (n > INT_MAX) n = INT_MAX;
    return static_cast<int>(n);
}

std::string ConfigINI::GetString(const char* section, const char* key) {
    const char* v = GetValue(section, key);
    return v ? std::string(v) : std::string();
}

void ConfigINI::SetInt(int value, const char* section, const char* key) {
    std::snprintf(scratch, sizeof scratch, "%d", value);
    SetValue(scratch, section, key);
}
