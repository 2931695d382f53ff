#include "base/TextCodec.h"

#include <gtest/gtest.h>

using namespace TextCodec;

namespace {
// "1号摄像机" in GBK and in UTF-8.
const std::string kCameraGbk = "1\xBA\xC5\xC9\xE3\xCF\xF1\xBB\xFA";
const std::string kCameraUtf8 = "1号摄像机";
} // namespace

TEST(TextCodec, Utf8Validity) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("plain"));
    EXPECT_TRUE(IsValidUtf8(kCameraUtf8));
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80")); // U+1F600
    EXPECT_TRUE(IsValidUtf8(std::string("a\0b", 3)));
    EXPECT_FALSE(IsValidUtf8(kCameraGbk));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));         // overlong slash
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xE6\x91"));         // cut short
    EXPECT_TRUE(HasNonAscii(kCameraGbk));
    EXPECT_FALSE(HasNonAscii("abc"));
}

TEST(TextCodec, GbkAndUtf8BothWays) {
    EXPECT_EQ(GbkToUtf8(kCameraGbk), kCameraUtf8);
    EXPECT_EQ(Utf8ToGbk(kCameraUtf8), kCameraGbk);
    // A GB18030 four-byte sequence (U+20AC's neighbour U+00A5 is 81 30 84 36).
    EXPECT_EQ(GbkToUtf8("\x81\x30\x84\x36"), "\xC2\xA5");
    // Bytes that are not GB18030 become U+FFFD and decoding goes on.
    EXPECT_EQ(GbkToUtf8("a\xFF"
                        "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(GbkToUtf8("a\xB1"), "a\xEF\xBF\xBD"); // lead byte cut off at the end
    // Characters GBK lacks and ill-formed UTF-8 become '?'.
    EXPECT_EQ(Utf8ToGbk("x\xF0\x9F\x98\x80y"), "x?y");
    EXPECT_EQ(Utf8ToGbk("x\xC3y"), "x?y");
    EXPECT_FALSE(Convert("\xFF", "GBK", "UTF-8").has_value());
    EXPECT_FALSE(Convert("x", "NO-SUCH-CODE", "UTF-8").has_value());
}

TEST(TextCodec, Utf16) {
    EXPECT_EQ(Utf8ToUtf16("A\xE5\x8F\xB7\xF0\x9F\x98\x80"),
              (std::u16string{u'A', 0x53F7, 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf8ToUtf16("a\xFF"), (std::u16string{u'a', 0xFFFD}));
}

TEST(TextCodec, DeclaredEncoding) {
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\" encoding=\"GB2312\"?><a/>"), "GB2312");
    EXPECT_EQ(DeclaredEncoding("\xEF\xBB\xBF\r\n<?xml version='1.0' encoding = 'utf-8' ?>"),
              "utf-8");
    EXPECT_EQ(DeclaredEncoding("<?xml version=\"1.0\"?>\r\n<a encoding=\"GBK\"/>"), "");
    EXPECT_EQ(DeclaredEncoding("<Response/>"), "");
    EXPECT_EQ(DeclaredEncoding("<?xml encoding=\"GBK"), "");
    EXPECT_EQ(DeclaredEncoding(""), "");
}

TEST(TextCodec, BodyDecodingRule) {
    const std::string gbkBody =
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Name>" + kCameraGbk + "</Name>";
    EXPECT_EQ(BodyToUtf8(gbkBody),
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Name>" + kCameraUtf8 + "</Name>");
    // Declared GB18030 wins even over bytes that happen to be valid UTF-8.
    EXPECT_EQ(BodyToUtf8("<?xml version=\"1.0\" encoding=\"GBK\"?><a>\xC3\xA9</a>"),
              "<?xml version=\"1.0\" encoding=\"GBK\"?><a>\xE8\x8C\x85</a>"); // 茅
    // No declaration: valid UTF-8 stays, anything else is GB18030.
    EXPECT_EQ(BodyToUtf8("<a>" + kCameraUtf8 + "</a>"), "<a>" + kCameraUtf8 + "</a>");
    EXPECT_EQ(BodyToUtf8("<a>" + kCameraGbk + "</a>"), "<a>" + kCameraUtf8 + "</a>");
    // A UTF-8 declaration over GBK bytes is read as GB18030.
    EXPECT_EQ(BodyToUtf8("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>" + kCameraGbk + "</a>"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>" + kCameraUtf8 + "</a>");
    // Another encoding iconv knows.
    EXPECT_EQ(BodyToUtf8("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>"),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xC3\xA9</a>");
    // An unknown name falls back to the undeclared rule.
    EXPECT_EQ(BodyToUtf8("<?xml encoding=\"bogus\"?><a>" + kCameraGbk + "</a>"),
              "<?xml encoding=\"bogus\"?><a>" + kCameraUtf8 + "</a>");
    EXPECT_EQ(BodyToUtf16("<a>" + kCameraGbk + "</a>"), Utf8ToUtf16("<a>" + kCameraUtf8 + "</a>"));
}

TEST(TextCodec, ConfigRule) {
    EXPECT_EQ(ConfigBytesToGbk("[a]\nk=1\n"), "[a]\nk=1\n");
    EXPECT_EQ(ConfigBytesToGbk("\xEF\xBB\xBF[" + kCameraUtf8 + "]"), "[" + kCameraGbk + "]");
    EXPECT_EQ(ConfigBytesToGbk("[" + kCameraGbk + "]"), "[" + kCameraGbk + "]");
    // Outside GBK: GB18030's four-byte form keeps the character.
    EXPECT_EQ(ConfigBytesToGbk("\xF0\x9F\x98\x80"), "\x94\x39\xFC\x36");
}

// A long run of bad bytes, alone and between characters, decodes to one
// replacement each and nothing is lost around them (the run took quadratic time).
TEST(TextCodec, LongRunsOfBadBytes) {
    constexpr int kRun = 300000;
    const std::string bad(kRun, '\xFF');
    std::string fffd;
    for (int i = 0; i < kRun; ++i) fffd += "\xEF\xBF\xBD";
    EXPECT_EQ(GbkToUtf8(kCameraGbk + bad + kCameraGbk), kCameraUtf8 + fffd + kCameraUtf8);
    std::string mixedGbk, mixedUtf8;
    for (int i = 0; i < kRun / 3; ++i) {
        mixedGbk += "\xFF\xBA\xC5"; // a bad byte, then 号
        mixedUtf8 += "\xEF\xBF\xBD\xE5\x8F\xB7";
    }
    const std::string decl = "<?xml version=\"1.0\" encoding=\"GB2312\"?>";
    EXPECT_EQ(BodyToUtf8(decl + mixedGbk + "\xB1"), decl + mixedUtf8 + "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToGbk("x" + bad + "y"), "x" + std::string(kRun, '?') + "y");
}
