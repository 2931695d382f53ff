// Diagnostics: silent unless asked for, UTF-8 on standard error, one line each.

#include "base/Diag.h"
#include "base/TextCodec.h"

#include <gtest/gtest.h>

#include <cstdlib>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Diag, SilentByDefaultThenUtf8LinesOnStandardErrorOnly) {
    unsetenv("TARVEX_DEBUG");
    const struct {
        bool verbose;
        std::string expected;
    } rows[] = {{false, ""}, {true, "tarvex: start 0 port 5060\ntarvex: [本地服务器] 端口\n"}};
    for (const auto& r : rows) {
        tarvex::SetVerbose(r.verbose);
        CaptureStdout();
        CaptureStderr();
        tarvex::Diag("start %d port %d", 0, 5060);
        tarvex::DiagGbk("", TextCodec::Utf8ToGbk("[本地服务器] 端口\n"));
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(err, r.expected);
    }
    tarvex::SetVerbose(false);
}
