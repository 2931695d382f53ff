#include "sip/auth/Digest.h"

#include <openssl/evp.h>

#include <cctype>

namespace tarvex::sipauth {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Get(const std::map<std::string, std::string>& m, const char* key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

bool Has(const std::map<std::string, std::string>& m, const char* key) {
    return m.count(key) > 0;
}

// Algorithm named by the credentials, else by the challenge, else MD5.
std::string AlgorithmOf(const std::map<std::string, std::string>& challenge,
                        const std::map<std::string, std::string>& credentials) {
    std::string a = Get(credentials, "algorithm");
    if (a.empty()) a = Get(challenge, "algorithm");
    return a.empty() ? "MD5" : a;
}

bool IsSess(std::string_view algorithm) {
    return algorithm.size() > 5 && EqualsNoCase(algorithm.substr(algorithm.size() - 5), "-sess");
}

// The qop values a challenge offers ("auth,auth-int").
bool Offers(const std::string& qopList, const std::string& qop) {
    std::size_t i = 0;
    while (i <= qopList.size()) {
        std::size_t comma = qopList.find(',', i);
        if (comma == std::string::npos) comma = qopList.size();
        if (EqualsNoCase(Trim(std::string_view(qopList).substr(i, comma - i)), qop)) return true;
        i = comma + 1;
    }
    return false;
}

} // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::map<std::string, std::string> ParseAuthParams(std::string_view value, std::string* scheme) {
    std::map<std::string, std::string> out;
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    const std::size_t sp = value.find_first_of(" \t", i);
    if (scheme) *scheme = std::string(value.substr(i, sp == value.npos ? value.npos : sp - i));
    if (sp == std::string_view::npos) return out;
    i = sp;
    while (i < value.size()) {
        while (i < value.size() && (IsBlank(value[i]) || value[i] == ',')) ++i;
        const std::size_t eq = value.find('=', i);
        if (eq == std::string_view::npos) break;
        std::string name = Lower(Trim(value.substr(i, eq - i)));
        i = eq + 1;
        while (i < value.size() && IsBlank(value[i])) ++i;
        std::string v;
        if (i < value.size() && value[i] == '"') {
            ++i;
            while (i < value.size() && value[i] != '"') {
                if (value[i] == '\\' && i + 1 < value.size()) ++i;
                v += value[i++];
            }
            ++i; // closing quote
        } else {
            const std::size_t comma = value.find(',', i);
            v = Trim(value.substr(i, comma == value.npos ? value.npos : comma - i));
            i = comma == std::string_view::npos ? value.size() : comma;
        }
        if (!name.empty()) out[name] = v;
    }
    return out;
}

std::string DigestHash(std::string_view algorithm, std::string_view text) {
    std::string base(algorithm);
    if (IsSess(base)) base.resize(base.size() - 5);
    const EVP_MD* md = nullptr;
    if (EqualsNoCase(base, "MD5"))
        md = EVP_md5();
    else if (EqualsNoCase(base, "SHA-256"))
        md = EVP_sha256();
    else if (EqualsNoCase(base, "SHA-512-256"))
        md = EVP_sha512_256();
    else if (EqualsNoCase(base, "SM3"))
        md = EVP_get_digestbyname("SM3"); // where the OpenSSL build has it
    if (!md) return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(text.data(), text.size(), out, &n, md, nullptr) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[out[i] >> 4];
        hex += kHex[out[i] & 15];
    }
    return hex;
}

std::string ExpectedDigestResponse(const std::map<std::string, std::string>& challenge,
                                   const std::map<std::string, std::string>& credentials,
                                   std::string_view method, std::string_view password,
                                   std::string_view body) {
    const std::string alg = AlgorithmOf(challenge, credentials);
    const auto H = [&](const std::string& s) { return DigestHash(alg, s); };
    const std::string nonce = Get(credentials, "nonce"), cnonce = Get(credentials, "cnonce");
    std::string ha1 = H(Get(credentials, "username") + ":" + Get(credentials, "realm") + ":" +
                        std::string(password));
    if (IsSess(alg)) ha1 = H(ha1 + ":" + nonce + ":" + cnonce);
    const std::string qop = Get(credentials, "qop");
    std::string a2 = std::string(method) + ":" + Get(credentials, "uri");
    if (EqualsNoCase(qop, "auth-int")) a2 += ":" + H(std::string(body));
    const std::string ha2 = H(a2);
    if (qop.empty()) return H(ha1 + ":" + nonce + ":" + ha2);
    return H(ha1 + ":" + nonce + ":" + Get(credentials, "nc") + ":" + cnonce + ":" + qop + ":" +
             ha2);
}

std::string DigestProblem(const std::map<std::string, std::string>& challenge,
                          const std::map<std::string, std::string>& credentials,
                          std::string_view method, std::string_view password,
                          std::string_view body) {
    for (const char* key : {"username", "realm", "nonce", "uri", "response"})
        if (!Has(credentials, key)) return std::string("Authorization without ") + key;
    if (Get(credentials, "realm") != Get(challenge, "realm"))
        return "realm \"" + Get(credentials, "realm") + "\" is not the challenge's \"" +
               Get(challenge, "realm") + "\"";
    if (Get(credentials, "nonce") != Get(challenge, "nonce"))
        return "nonce \"" + Get(credentials, "nonce") + "\" is not the challenge's";
    if (Has(challenge, "opaque") && Get(credentials, "opaque") != Get(challenge, "opaque"))
        return "opaque not returned as the challenge gave it";
    const std::string alg = AlgorithmOf(challenge, credentials);
    if (Has(challenge, "algorithm") && !EqualsNoCase(alg, Get(challenge, "algorithm")))
        return "algorithm " + alg + " is not the challenge's " + Get(challenge, "algorithm");
    if (DigestHash(alg, "").empty()) return "algorithm " + alg + " is unknown";
    const std::string qop = Get(credentials, "qop");
    if (Has(challenge, "qop")) {
        if (qop.empty())
            return "qop missing although the challenge offered \"" + Get(challenge, "qop") + "\"";
        if (!Offers(Get(challenge, "qop"), qop)) return "qop " + qop + " was not offered";
        if (Get(credentials, "cnonce").empty()) return "qop " + qop + " without cnonce";
        const std::string nc = Get(credentials, "nc");
        bool hex = nc.size() == 8;
        for (char c : nc)
            hex = hex && std::isxdigit(static_cast<unsigned char>(c));
        if (!hex) return "nc \"" + nc + "\" is not 8 hexadecimal digits";
    } else if (!qop.empty()) {
        return "qop " + qop + " although the challenge offered none";
    }
    const std::string expected =
        ExpectedDigestResponse(challenge, credentials, method, password, body);
    if (!EqualsNoCase(Get(credentials, "response"), expected))
        return "response " + Get(credentials, "response") + " does not match the password";
    return {};
}

} // namespace tarvex::sipauth
