#pragma once
// Text conversions between the GBK family (the ANSI code page of config files and
// of most cameras' bodies), UTF-8 and UTF-16, done with glibc's iconv.

#include <optional>
#include <string>
#include <string_view>

namespace TextCodec {

// True when text is well-formed UTF-8 (no overlongs, surrogates or values above
// U+10FFFF). Embedded zero bytes count as ASCII.
bool IsValidUtf8(std::string_view text);

// True when text holds a byte of 0x80 or above.
bool HasNonAscii(std::string_view text);

// Strict conversion between any two encodings iconv knows; nothing when the
// encoding is unknown or a byte sequence cannot be converted.
std::optional<std::string> Convert(std::string_view text, const char* from, const char* to);

// GBK, GB2312 or GB18030 bytes to UTF-8. Decoded as GB18030 (a superset of the
// other two); a byte sequence that is not GB18030 becomes U+FFFD and decoding goes on.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 to GBK. A character GBK lacks becomes '?'; an ill-formed UTF-8 byte too.
std::string Utf8ToGbk(std::string_view utf8);

// UTF-8 to UTF-16 (host byte order). Ill-formed bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// The value of encoding="..." in a leading XML declaration (the body may start
// with a byte order mark or blanks); empty when there is none.
std::string DeclaredEncoding(std::string_view body);

// Decodes a message body kept as received bytes: by the encoding its XML
// declaration names (GB2312, GBK and GB18030 all as GB18030), else as UTF-8 when
// it is valid UTF-8, else as GB18030. A body that declares UTF-8 but is not valid
// UTF-8 is read as GB18030 as well, since that is what such devices send.
std::string BodyToUtf8(std::string_view body);
std::u16string BodyToUtf16(std::string_view body);

// Encodes text the operator typed (UTF-8) for the body it is: GB18030 bytes
// when the body's XML declaration names GB2312, GBK or GB18030, UTF-8 otherwise
// (declared UTF-8, another encoding, or no declaration). Ill-formed UTF-8 is kept.
std::string OperatorTextToBody(std::string_view utf8);

// The config.ini rule: a file that is valid UTF-8 and holds non-ASCII bytes was
// saved by a UTF-8 editor and is converted to GBK (a leading byte order mark is
// dropped); any other file is returned as it is.
std::string ConfigBytesToGbk(std::string_view fileBytes);

} // namespace TextCodec
