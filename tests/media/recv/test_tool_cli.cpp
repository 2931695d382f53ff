// The command lines of tarvex-recv and vidana-play: --help and --version
// answer on standard output with status 0 (help2man and scripts read them
// there); wrong usage goes to standard error with a non-zero status.

#include "base/Version.h"
#include "media/MediaTestUtil.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* tool; // path under the build directory
    std::vector<std::string> args;
    int status;
    const char* out; // what standard output starts with ("" = nothing at all)
    const char* err; // what standard error contains ("" = nothing at all)
};

std::string Slurp(const std::string& p) {
    const auto b = mt::ReadFile(p);
    return std::string(b.begin(), b.end());
}

TEST(ToolCommandLines, HelpAndVersionOnStandardOutputWrongUsageOnStandardError) {
    const char* recv = "/tools/tarvex-recv/tarvex-recv";
    const char* play = "/tools/vidana-play/vidana-play";
    const std::string recvVersion = std::string("tarvex-recv ") + TARVEX_VERSION + "\n";
    const std::string playVersion = std::string("vidana-play ") + TARVEX_VERSION + "\n";
    const Case cases[] = {
        {recv, {"--help"}, 0, "Usage: tarvex-recv --port P --out FILE", ""},
        {recv, {"-h"}, 0, "Usage: tarvex-recv --port P --out FILE", ""},
        {recv, {"--version"}, 0, recvVersion.c_str(), ""},
        {recv, {"--port", "6000", "--version"}, 0, recvVersion.c_str(), ""},
        {recv, {}, 2, "", "Usage: tarvex-recv"},
        {recv, {"--bogus"}, 2, "", "unknown argument --bogus"},
        {recv, {"--port"}, 2, "", "bad or missing value for --port"},
        {play, {"--help"}, 0, "Usage: vidana-play --in FILE --size WxH", ""},
        {play, {"-h"}, 0, "Usage: vidana-play --in FILE --size WxH", ""},
        {play, {"--version"}, 0, playVersion.c_str(), ""},
        {play, {"--size", "64x48", "--version"}, 0, playVersion.c_str(), ""},
        {play, {}, 1, "", "Usage: vidana-play"},
        {play, {"--bogus", "1"}, 1, "", "unknown option --bogus"},
        {play, {"--in"}, 1, "", "missing value after --in"},
    };
    const std::string dir = mt::TempDir("cli");
    for (const Case& c : cases) {
        std::vector<std::string> argv{std::string(TARVEX_BINARY_DIR) + c.tool};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string line;
        for (const auto& a : argv)
            line += a + " ";
        mt::Proc p(argv, dir + "/out", dir + "/err");
        EXPECT_EQ(p.Wait(30), c.status) << line;
        const std::string out = Slurp(dir + "/out"), err = Slurp(dir + "/err");
        if (*c.out)
            EXPECT_EQ(out.rfind(c.out, 0), 0u) << line << "\nstdout: " << out;
        else
            EXPECT_EQ(out, "") << line;
        if (*c.err)
            EXPECT_NE(err.find(c.err), std::string::npos) << line << "\nstderr: " << err;
        else
            EXPECT_EQ(err, "") << line;
        // Every help text lists both of these options, as the manual pages show them.
        if (c.status == 0 && out.rfind("Usage:", 0) == 0) {
            EXPECT_NE(out.find("\n  -h, --help "), std::string::npos) << line;
            EXPECT_NE(out.find("\n  --version "), std::string::npos) << line;
        }
    }
}

} // namespace
