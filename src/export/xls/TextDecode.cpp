// Text decoding for the UTF-16 cells of the workbook.
#include "export/xls/BasicExcel.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <string>

namespace tarvex::xls {
namespace {

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size()) return false;
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong three/four-byte forms, surrogates and values past U+10FFFF.
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// The encoding named by a leading XML declaration, lower-cased, or empty.
std::string DeclaredEncoding(std::string_view s) {
    std::size_t p = 0;
    if (s.substr(0, 3) == "\xEF\xBB\xBF") p = 3;
    while (p < s.size() && std::isspace(static_cast<unsigned char>(s[p]))) ++p;
    if (s.substr(p, 5) != "<?xml") return {};
    const std::size_t end = s.find("?>", p);
    const std::string_view decl = s.substr(p, end == std::string_view::npos ? s.size() - p : end - p);
    const std::size_t key = decl.find("encoding");
    if (key == std::string_view::npos) return {};
    std::size_t q = key + 8;
    while (q < decl.size() && (decl[q] == ' ' || decl[q] == '=' || decl[q] == '\t')) ++q;
    if (q >= decl.size() || (decl[q] != '"' && decl[q] != '\'')) return {};
    const char quote = decl[q++];
    const std::size_t close = decl.find(quote, q);
    if (close == std::string_view::npos) return {};
    std::string name(decl.substr(q, close - q));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

class Iconv {
public:
    explicit Iconv(const char* from) : cd_(iconv_open("UTF-16LE", from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts everything; a byte that starts no valid sequence becomes U+FFFD.
    std::u16string Convert(std::string_view in) {
        std::u16string out;
        out.reserve(in.size());
        std::string buf(4096, '\0');
        char* src = const_cast<char*>(in.data());
        std::size_t left = in.size();
        while (left > 0) {
            char* dst = buf.data();
            std::size_t room = buf.size();
            const std::size_t r = iconv(cd_, &src, &left, &dst, &room);
            Append(out, buf.data(), buf.size() - room);
            if (r == static_cast<std::size_t>(-1)) {
                if (errno == E2BIG) continue;
                // EILSEQ or EINVAL (truncated tail): replace one byte and go on.
                out.push_back(u'\uFFFD');
                ++src;
                --left;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

private:
    static void Append(std::u16string& out, const char* p, std::size_t n) {
        for (std::size_t i = 0; i + 1 < n; i += 2)
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[i]) |
                                                (static_cast<unsigned char>(p[i + 1]) << 8)));
    }
    iconv_t cd_;
};

std::u16string ConvertFrom(const char* from, std::string_view bytes) {
    Iconv cv(from);
    if (!cv.ok()) return {};
    return cv.Convert(bytes);
}

} // namespace

std::u16string DecodeToUtf16(std::string_view bytes) {
    bool ascii = std::all_of(bytes.begin(), bytes.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return std::u16string(bytes.begin(), bytes.end());

    const std::string declared = DeclaredEncoding(bytes);
    if (declared == "gb2312" || declared == "gbk" || declared == "gb18030" ||
        declared == "cp936")
        return ConvertFrom("GB18030", bytes);
    if (!declared.empty() && declared != "utf-8" && declared != "utf8") {
        Iconv cv(declared.c_str());
        if (cv.ok()) return cv.Convert(bytes);
    }
    if (IsValidUtf8(bytes)) return ConvertFrom("UTF-8", bytes);
    return ConvertFrom("GB18030", bytes);
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace tarvex::xls
