#include "base/WorkDir.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace tarvex {

std::filesystem::path ProgramHome() {
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/')
        return std::filesystem::path(x) / "tarvex";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home) return {};
    return std::filesystem::path(home) / ".config" / "tarvex";
}

bool IsBuildTree(const std::filesystem::path& exeDir) {
    std::error_code ec;
    return !exeDir.empty() && std::filesystem::exists(exeDir / "CMakeCache.txt", ec);
}

WorkDirChoice ChooseWorkDir(bool here, const std::filesystem::path& exeDir) {
    WorkDirChoice c;
    if (here || IsBuildTree(exeDir)) return c;
    c.dir = ProgramHome();
    if (c.dir.empty()) c.error = "no home directory (HOME and XDG_CONFIG_HOME are unset)";
    return c;
}

std::string EnterWorkDir(const WorkDirChoice& choice) {
    if (!choice.error.empty()) return choice.error;
    if (choice.dir.empty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(choice.dir, ec);
    if (ec) return choice.dir.string() + ": " + ec.message();
    if (::chdir(choice.dir.c_str()) != 0) return choice.dir.string() + ": " + std::strerror(errno);
    return {};
}

} // namespace tarvex
