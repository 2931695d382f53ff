// Where the program works: build tree and --here stay, an installed program
// goes to its own folder under XDG_CONFIG_HOME (else ~/.config).
#include "base/WorkDir.h"
#include "support/common/Files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace tarvex;

namespace {

// Sets or clears an environment variable for one test and restores it.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvVar() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST(WorkDir, ChoiceByStartAndEnvironment) {
    TempDir t;
    const fs::path build = t.File("build"), installed = t.File("usr/bin");
    fs::create_directories(build);
    fs::create_directories(installed);
    WriteFile((fs::path(build) / "CMakeCache.txt").string(), "");
    const std::string xdg = t.File("xdg"), home = t.File("home");
    struct Case {
        bool here;
        fs::path exe;
        const char* xdg;
        const char* home;
        fs::path want;
    } cases[] = {
        {false, build, xdg.c_str(), home.c_str(), {}},
        {true, installed, xdg.c_str(), home.c_str(), {}},
        {false, installed, xdg.c_str(), home.c_str(), fs::path(xdg) / "tarvex"},
        {false, installed, nullptr, home.c_str(), fs::path(home) / ".config/tarvex"},
        // A relative XDG_CONFIG_HOME is invalid and ignored, as the basedir rules say.
        {false, installed, "relative", home.c_str(), fs::path(home) / ".config/tarvex"},
    };
    for (const Case& c : cases) {
        EnvVar x("XDG_CONFIG_HOME", c.xdg), h("HOME", c.home);
        const WorkDirChoice got = ChooseWorkDir(c.here, c.exe);
        EXPECT_EQ(got.dir, c.want) << c.exe << " here=" << c.here;
        EXPECT_TRUE(got.error.empty()) << got.error;
    }
}

TEST(WorkDir, EnterCreatesTheFolderOrSaysWhyNot) {
    TempDir t;
    const fs::path before = fs::current_path();
    WorkDirChoice c;
    c.dir = fs::path(t.Path()) / "a" / "tarvex";
    EXPECT_EQ(EnterWorkDir(c), "");
    EXPECT_EQ(fs::current_path(), c.dir);
    fs::current_path(before);

    WriteFile(t.File("file"), "x");
    c.dir = fs::path(t.Path()) / "file" / "tarvex";
    const std::string why = EnterWorkDir(c);
    EXPECT_NE(why.find(c.dir.string()), std::string::npos) << why;
    EXPECT_EQ(fs::current_path(), before);
}
