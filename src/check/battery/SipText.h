// Readers of the pieces of SIP header values the checks look at: addresses,
// parameters, digest credentials. Forgiving: what cannot be read is left empty.
#pragma once

#include "sip/auth/Digest.h"
#include <map>
#include <string>
#include <string_view>

namespace tarvex::check {

// A From, To or Contact value: [display] <sip:user@host:port;uri-params>;params,
// or the bare form sip:user@host:port;params.
struct SipAddress {
    bool ok = false;    // a sip: or sips: URI was found
    std::string scheme; // "sip" or "sips"
    std::string user;   // "" without one
    std::string host;
    int port = 0;                              // 0 without one
    std::map<std::string, std::string> params; // header parameters (tag, expires), lower-case names
};
SipAddress ParseSipAddress(std::string_view value);
// The same for a bare URI (Request-URI).
SipAddress ParseSipUri(std::string_view uri);

// auth-params of a Digest challenge or credentials (sip/auth's reading).
using tarvex::sipauth::ParseAuthParams;

bool IsDigits(std::string_view s, std::size_t count); // exactly count ASCII digits
bool IsDeviceCode(std::string_view s);                // the 20-digit GB/T 28181 code
using tarvex::sipauth::EqualsNoCase;
std::string Trim(std::string_view s);
std::string Lower(std::string_view s);
// Whole-text integer; nothing for anything else.
bool ParseLong(std::string_view s, long* out);
bool IsIpv4(std::string_view s);

} // namespace tarvex::check
