// Feeds arbitrary bytes to the body text codec: whatever a device sends, the
// text shown is well-formed UTF-8 (and UTF-16), and operator text goes out in
// the encoding its declaration names.

#include "base/TextCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
bool Utf16Ok(const std::u16string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string shown = TextCodec::BodyToUtf8(in);
    if (!TextCodec::IsValidUtf8(shown)) std::abort();
    // Valid UTF-8 without a declaration is shown as it is.
    if (TextCodec::DeclaredEncoding(in).empty() && TextCodec::IsValidUtf8(in) && shown != in) std::abort();
    if (!Utf16Ok(TextCodec::BodyToUtf16(in))) std::abort();
    if (!TextCodec::IsValidUtf8(TextCodec::GbkToUtf8(in))) std::abort();
    const std::string gbk = TextCodec::Utf8ToGbk(in);
    if (TextCodec::IsValidUtf8(in) && !TextCodec::HasNonAscii(in) && gbk != in) std::abort();
    if (!Utf16Ok(TextCodec::Utf8ToUtf16(in))) std::abort();
    // Operator text: kept as typed without a declaration; converted (for the GB
    // family and its aliases) only into bytes that read back as what was typed.
    const std::string body = TextCodec::OperatorTextToBody(in);
    if (TextCodec::IsValidUtf8(in)) {
        if (TextCodec::DeclaredEncoding(in).empty() && body != in) std::abort();
        if (body != in && TextCodec::BodyToUtf8(body) != in) std::abort();
    }
    TextCodec::ConfigBytesToGbk(in);
    TextCodec::Convert(in, "UTF-8", "UTF-16LE");
    return 0;
}
