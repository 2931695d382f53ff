#include "base/TextCodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace TextCodec {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Owns one iconv descriptor.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is ill-formed.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// Runs iconv over text. With strict set, any unconvertible input fails the whole
// conversion; otherwise replacement is appended for it and skip(i) bytes of input
// are passed over.
template <class Skip>
std::optional<std::string> Run(const Iconv& cv, std::string_view text, bool strict,
                               std::string_view replacement, Skip skip) {
    std::string out(text.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t used = 0;
    iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        char* dst = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t r = iconv(cv.get(), &in, &inLeft, &dst, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (strict) return std::nullopt;
        // EILSEQ (not convertible) or EINVAL (cut short at the end).
        const int err = errno;
        // The buffer only ever doubles: sizing it anew by what is left of the
        // input at every bad byte made a long run of them quadratic.
        if (out.size() - used < replacement.size()) out.resize(out.size() * 2 + replacement.size());
        out.replace(used, replacement.size(), replacement);
        used += replacement.size();
        const std::size_t pos = text.size() - inLeft;
        const std::size_t n = err == EINVAL ? inLeft : std::max<std::size_t>(1, skip(pos));
        in += std::min(n, inLeft);
        inLeft -= std::min(n, inLeft);
        iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state.
    for (;;) {
        char* dst = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t r = iconv(cv.get(), nullptr, nullptr, &dst, &outLeft);
        used = out.size() - outLeft;
        if (r == static_cast<std::size_t>(-1) && errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        break;
    }
    out.resize(used);
    return out;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool IsGbFamily(const std::string& upperName) {
    return upperName == "GB2312" || upperName == "GBK" || upperName == "GB18030" ||
           upperName == "CP936" || upperName == "X-GBK" || upperName == "EUC-CN" ||
           upperName == "GB_2312-80" || upperName == "WINDOWS-936";
}

std::string DecodeLenient(std::string_view text, const char* from) {
    Iconv cv("UTF-8", from);
    if (!cv.ok()) return std::string(text);
    return *Run(cv, text, false, kReplacementUtf8, [](std::size_t) { return 1; });
}

} // namespace

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8SequenceAt(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool HasNonAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

std::optional<std::string> Convert(std::string_view text, const char* from, const char* to) {
    Iconv cv(to, from);
    if (!cv.ok()) return std::nullopt;
    return Run(cv, text, true, {}, [](std::size_t) { return 1; });
}

std::string GbkToUtf8(std::string_view gbk) {
    if (!HasNonAscii(gbk)) return std::string(gbk);
    return DecodeLenient(gbk, "GB18030");
}

std::string Utf8ToGbk(std::string_view utf8) {
    if (!HasNonAscii(utf8)) return std::string(utf8);
    Iconv cv("GBK", "UTF-8");
    if (!cv.ok()) return std::string(utf8);
    return *Run(cv, utf8, false, "?", [&](std::size_t pos) {
        const std::size_t n = Utf8SequenceAt(utf8, pos);
        return n == 0 ? std::size_t{1} : n;
    });
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t n = Utf8SequenceAt(utf8, i);
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(utf8[i + k]); };
        char32_t cp;
        switch (n) {
        case 1:
            cp = b(0);
            break;
        case 2:
            cp = (b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu);
            break;
        case 3:
            cp = (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
            break;
        case 4:
            cp = (b(0) & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
            break;
        default:
            cp = 0xFFFD;
            break;
        }
        i += n == 0 ? 1 : n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string DeclaredEncoding(std::string_view body) {
    std::size_t i = 0;
    if (body.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    while (i < body.size() && std::strchr(" \t\r\n", body[i]) && body[i] != '\0')
        ++i;
    if (body.substr(i, 5) != "<?xml") return {};
    const std::size_t end = body.find("?>", i);
    const std::string_view decl =
        body.substr(i, end == std::string_view::npos ? body.size() - i : end - i);
    const std::string upper = Upper(std::string(decl));
    std::size_t k = upper.find("ENCODING");
    if (k == std::string::npos) return {};
    k += 8;
    while (k < decl.size() &&
           (decl[k] == ' ' || decl[k] == '\t' || decl[k] == '\r' || decl[k] == '\n'))
        ++k;
    if (k >= decl.size() || decl[k] != '=') return {};
    ++k;
    while (k < decl.size() &&
           (decl[k] == ' ' || decl[k] == '\t' || decl[k] == '\r' || decl[k] == '\n'))
        ++k;
    if (k >= decl.size()) return {};
    const char quote = decl[k];
    if (quote == '"' || quote == '\'') {
        const std::size_t close = decl.find(quote, k + 1);
        if (close == std::string_view::npos) return {};
        return std::string(decl.substr(k + 1, close - k - 1));
    }
    std::size_t e = k;
    while (e < decl.size() && decl[e] != ' ' && decl[e] != '\t' && decl[e] != '?' &&
           decl[e] != '\r' && decl[e] != '\n')
        ++e;
    return std::string(decl.substr(k, e - k));
}

std::string BodyToUtf8(std::string_view body) {
    const std::string declared = Upper(DeclaredEncoding(body));
    if (!declared.empty() && declared != "UTF-8" && declared != "UTF8") {
        if (IsGbFamily(declared)) return GbkToUtf8(body);
        Iconv probe("UTF-8", declared.c_str());
        if (probe.ok()) return DecodeLenient(body, declared.c_str());
    }
    if (IsValidUtf8(body)) return std::string(body);
    return GbkToUtf8(body);
}

std::u16string BodyToUtf16(std::string_view body) {
    return Utf8ToUtf16(BodyToUtf8(body));
}

std::string OperatorTextToBody(std::string_view utf8) {
    const std::string declared = Upper(DeclaredEncoding(utf8));
    if (declared.empty() || !IsGbFamily(declared) || !HasNonAscii(utf8)) return std::string(utf8);
    // GB18030 encodes every character, so nothing typed is lost.
    if (auto gb = Convert(utf8, "UTF-8", "GB18030")) return *gb;
    return std::string(utf8);
}

std::string ConfigBytesToGbk(std::string_view fileBytes) {
    if (!HasNonAscii(fileBytes) || !IsValidUtf8(fileBytes)) return std::string(fileBytes);
    if (fileBytes.substr(0, 3) == "\xEF\xBB\xBF") fileBytes.remove_prefix(3);
    if (auto gbk = Convert(fileBytes, "UTF-8", "GBK")) return *gbk;
    // A character outside GBK: GB18030 encodes every character and agrees with GBK
    // on the two-byte ones, so section and key names still match.
    if (auto gb = Convert(fileBytes, "UTF-8", "GB18030")) return *gb;
    return Utf8ToGbk(fileBytes);
}

} // namespace TextCodec
