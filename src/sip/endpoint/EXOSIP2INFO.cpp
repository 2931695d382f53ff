#include "sip/endpoint/EXOSIP2INFO.h"

#include <cstring>

void EXOSIP2INFO::SetField(char (&field)[kFieldSize], std::string_view text) {
    std::size_t n = text.size() < kFieldSize - 1 ? text.size() : kFieldSize - 1;
    if (n < text.size()) {
        // Step back over continuation bytes so that the cut ends on a whole
        // character of a UTF-8 text (at most three steps, so other encodings
        // lose no more than a partial character).
        std::size_t k = n;
        while (k > 0 && n - k < 3 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) --k;
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) n = k;
    }
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, kFieldSize - n);
}

std::uint16_t PortFromText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10u + static_cast<std::uint32_t>(text[i] - '0'); // wraps like the C conversion
    if (negative) v = 0u - v;
    return static_cast<std::uint16_t>(v);
}
