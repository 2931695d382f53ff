// The status line's count of input that was no SIP message, per source.

#include "app/core/InputStatus.h"

#include <gtest/gtest.h>

namespace {

TEST(InputStatus, CountsTheInputAndNamesItsBusiestSource) {
    struct Case {
        std::map<std::string, std::uint64_t> bySource;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{{"127.0.0.1:40000", 0}}, ""},
        {{{"127.0.0.1:40000", 7}}, "无效输入 7 条，来自 127.0.0.1:40000"},
        {{{"127.0.0.1:40000", 2}, {"127.0.0.1:40001", 5}, {"other", 1}},
         "无效输入 8 条，来自 3 个来源（最多 127.0.0.1:40001，5 条）"},
        {{{"10.0.0.1:5060", 3}, {"10.0.0.2:5060", 0}}, "无效输入 3 条，来自 10.0.0.1:5060"},
    };
    for (const Case& c : cases) EXPECT_EQ(InvalidInputStatusText(c.bySource), c.text) << c.text;
}

} // namespace
