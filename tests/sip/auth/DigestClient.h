#pragma once
// A device's side of digest, written from RFC 7616 section 3.4.1 on OpenSSL
// alone, so that the registrar is checked against credentials it did not make.

#include <openssl/evp.h>

#include <cstdio>
#include <string>

namespace digesttest {

inline std::string Hash(const std::string& alg, const std::string& text) {
    const EVP_MD* md = alg.rfind("SHA-256", 0) == 0 ? EVP_sha256()
                       : alg.rfind("SM3", 0) == 0   ? EVP_get_digestbyname("SM3")
                                                    : EVP_md5();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), out, &n, md, nullptr);
    std::string hex;
    char b[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", out[i]);
        hex += b;
    }
    return hex;
}

struct Credentials {
    std::string alg = "MD5"; // "MD5", "MD5-sess", "SHA-256", "SHA-256-sess", "SM3", "SM3-sess"
    bool qop = true;
    int nc = 1;
    std::string username, realm, nonce, uri, method = "REGISTER", password;
    std::string cnonce = "0a4f113b";
};

// The Authorization value.
inline std::string Authorization(const Credentials& c) {
    const bool sess = c.alg.size() > 5 && c.alg.compare(c.alg.size() - 5, 5, "-sess") == 0;
    std::string ha1 = Hash(c.alg, c.username + ":" + c.realm + ":" + c.password);
    if (sess) ha1 = Hash(c.alg, ha1 + ":" + c.nonce + ":" + c.cnonce);
    const std::string ha2 = Hash(c.alg, c.method + ":" + c.uri);
    char nc[9];
    std::snprintf(nc, sizeof nc, "%08x", c.nc);
    const std::string response = c.qop ? Hash(c.alg, ha1 + ":" + c.nonce + ":" + nc + ":" + c.cnonce +
                                                         ":auth:" + ha2)
                                       : Hash(c.alg, ha1 + ":" + c.nonce + ":" + ha2);
    std::string v = "Digest username=\"" + c.username + "\", realm=\"" + c.realm + "\", nonce=\"" +
                    c.nonce + "\", uri=\"" + c.uri + "\", response=\"" + response +
                    "\", algorithm=" + c.alg;
    if (c.qop) v += std::string(", qop=auth, nc=") + nc + ", cnonce=\"" + c.cnonce + "\"";
    return v;
}

// The value of name="..." or name=... in a header value, "" without it.
inline std::string Param(const std::string& value, const std::string& name) {
    std::size_t at = value.find(name + "=");
    while (at != std::string::npos && at > 0 && value[at - 1] != ' ' && value[at - 1] != ',')
        at = value.find(name + "=", at + 1);
    if (at == std::string::npos) return "";
    at += name.size() + 1;
    if (at < value.size() && value[at] == '"') return value.substr(at + 1, value.find('"', at + 1) - at - 1);
    const std::size_t end = value.find_first_of(", \r\n", at);
    return value.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

} // namespace digesttest
