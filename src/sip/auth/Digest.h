// HTTP digest (RFC 2617, RFC 7616) as a SIP registrar verifies it: the device's
// credentials against a challenge and a password. No text made here ever holds
// the response that the password would give.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace tarvex::sipauth {

// auth-params of a Digest challenge or credentials: lower-case names, values
// without quotes. scheme gets the word before them ("Digest").
std::map<std::string, std::string> ParseAuthParams(std::string_view value, std::string* scheme);

// Lower-case hexadecimal hash of text by the digest algorithm's name ("MD5",
// "SHA-256", "SHA-512-256", "SM3", with or without "-sess"); empty for an
// unknown name, and for SM3 where OpenSSL lacks it.
std::string DigestHash(std::string_view algorithm, std::string_view text);

// The response value the credentials should carry. challenge and credentials
// are auth-params as ParseAuthParams reads them; body is the request's body
// (only qop=auth-int hashes it). For comparison only: never show it.
std::string ExpectedDigestResponse(const std::map<std::string, std::string>& challenge,
                                   const std::map<std::string, std::string>& credentials,
                                   std::string_view method, std::string_view password,
                                   std::string_view body = {});

// Empty when the credentials answer the challenge with the password; otherwise
// what is wrong with them, in one line (a wrong response is "does not match the
// password", without the value that would have matched).
std::string DigestProblem(const std::map<std::string, std::string>& challenge,
                          const std::map<std::string, std::string>& credentials,
                          std::string_view method, std::string_view password,
                          std::string_view body = {});

bool EqualsNoCase(std::string_view a, std::string_view b);

} // namespace tarvex::sipauth
