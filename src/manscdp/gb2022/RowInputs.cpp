#include "manscdp/gb2022/RowInputs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const auto b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

std::string Range(const RowField& f) {
    auto num = [](double v) {
        std::string t = std::to_string(v);
        t.erase(t.find_last_not_of('0') + 1);
        if (!t.empty() && t.back() == '.') t.pop_back();
        return t;
    };
    return num(f.min) + " 到 " + num(f.max);
}

// Strict number syntax: no hexadecimal, no exponent, no "inf"/"nan", so that
// what the device receives is what the operator sees.
bool NumberSyntax(const std::string& v, bool allowFraction) {
    std::size_t i = 0;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) ++i;
    std::size_t digits = 0, dots = 0;
    for (; i < v.size(); ++i) {
        if (v[i] >= '0' && v[i] <= '9')
            ++digits;
        else if (v[i] == '.' && allowFraction && dots == 0)
            ++dots;
        else
            return false;
    }
    return digits > 0 && v.back() != '.';
}

} // namespace

std::string RowValue(const RowValues& values, const std::string& key) {
    for (const auto& [k, v] : values)
        if (k == key) return Trim(v);
    return {};
}

std::string CheckField(const RowField& f, const std::string& value) {
    const std::string name = std::string(f.label) + " (" + f.key + ")";
    if (value.empty()) return f.required ? name + " 不能为空" : std::string();
    switch (f.kind) {
    case FieldKind::Integer:
    case FieldKind::Decimal: {
        if (!NumberSyntax(value, f.kind == FieldKind::Decimal))
            return name + " 应为" + (f.kind == FieldKind::Integer ? "整数" : "数值") + ", 而不是 \"" +
                   value + "\"";
        errno = 0;
        const double v = std::strtod(value.c_str(), nullptr);
        if (errno == ERANGE || v < f.min || v > f.max)
            return name + " 应在 " + Range(f) + " 之间, 而不是 " + value;
        return {};
    }
    case FieldKind::Text:
        if (f.max > 0 && value.size() > static_cast<std::size_t>(f.max))
            return name + " 最多 " + std::to_string(static_cast<int>(f.max)) + " 字节";
        for (unsigned char c : value)
            if (c < 0x20 || c == 0x7F) return name + " 含有控制字符";
        return {};
    case FieldKind::Choice: {
        const char* p = f.choices ? f.choices : "";
        while (*p) {
            const char* bar = std::strchr(p, '|');
            const std::size_t n = bar ? static_cast<std::size_t>(bar - p) : std::strlen(p);
            if (value.size() == n && value.compare(0, n, p, n) == 0) return {};
            p += n + (bar ? 1 : 0);
        }
        return name + " 应为 " + std::string(f.choices ? f.choices : "") + " 之一, 而不是 \"" +
               value + "\"";
    }
    case FieldKind::Url: {
        const bool scheme = value.rfind("http://", 0) == 0 || value.rfind("https://", 0) == 0;
        const std::size_t host = value.find("://") + 3;
        if (!scheme || host >= value.size() || value[host] == '/')
            return name + " 应为 http:// 或 https:// 地址, 而不是 \"" + value + "\"";
        for (unsigned char c : value)
            if (c <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"')
                return name + " 含有地址中不允许的字符";
        if (f.max > 0 && value.size() > static_cast<std::size_t>(f.max))
            return name + " 最多 " + std::to_string(static_cast<int>(f.max)) + " 字节";
        return {};
    }
    }
    return {};
}

std::string CheckFields(std::span<const RowField> fields, const RowValues& values) {
    for (const RowField& f : fields) {
        const std::string why = CheckField(f, RowValue(values, f.key));
        if (!why.empty()) return why;
    }
    return {};
}
