#pragma once
// Where a program keeps config.ini, Search.ini, the certificate and the
// workbooks. Started from the build tree (scripts/run.sh, the tests) it works in
// the current directory, as it always has; installed, it works in its own
// folder under XDG_CONFIG_HOME unless asked to stay (--here).

#include <filesystem>
#include <string>

namespace tarvex {

// XDG_CONFIG_HOME/tarvex, else ~/.config/tarvex (HOME from the environment,
// else the password database). Empty when neither can be found.
std::filesystem::path ProgramHome();

// True when exeDir is a CMake build directory (it holds CMakeCache.txt).
bool IsBuildTree(const std::filesystem::path& exeDir);

struct WorkDirChoice {
    std::filesystem::path dir; // empty: stay in the current directory
    std::string error;         // why the home folder could not be made
};
// here: --here was given. exeDir: the directory of the running program.
WorkDirChoice ChooseWorkDir(bool here, const std::filesystem::path& exeDir);

// Changes into the chosen directory, creating it when missing. Empty string on
// success (or when staying), else a message naming the directory and the cause.
std::string EnterWorkDir(const WorkDirChoice& choice);

} // namespace tarvex
