#include "sip/auth/DigestRegistrar.h"

#include "sip/auth/Digest.h"

#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>
#include <random>

namespace tarvex::sipauth {
namespace {

std::string Get(const std::map<std::string, std::string>& m, const char* key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

bool ParseHex(std::string_view s, std::size_t digits, std::uint64_t* out) {
    if (s.size() != digits) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<std::uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                    ? c - '0'
                                                    : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *out = v;
    return true;
}

// Both texts name the same URI: equal, or equal once blanks and the case of the
// scheme and host are set aside (devices write "SIP:" or upper-case hosts).
bool SameUri(std::string_view a, std::string_view b) {
    if (a == b) return true;
    const auto norm = [](std::string_view s) {
        std::string out;
        const std::size_t at = s.find('@');
        for (std::size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (c == ' ' || c == '\t') continue;
            const bool userPart = at != std::string_view::npos && i > s.find(':') && i < at;
            out += userPart ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return out;
    };
    return norm(a) == norm(b);
}

// The algorithms accepted: MD5 and its session form, the SHA-256 pair of
// RFC 7616 for devices that prefer them, and SM3 (GM/T 0004) of 2022 devices
// where OpenSSL has it.
bool Accepted(std::string_view alg) {
    for (const char* a : {"MD5", "MD5-sess", "SHA-256", "SHA-256-sess", "SM3", "SM3-sess"})
        if (EqualsNoCase(alg, a)) return !DigestHash(a, "").empty();
    return false;
}

} // namespace

DigestRegistrar::DigestRegistrar(std::string realm, WallClock clock)
    : realm_(std::move(realm)), clock_(std::move(clock)) {
    if (RAND_bytes(secret_.data(), static_cast<int>(secret_.size())) != 1) {
        std::random_device rd;
        for (auto& b : secret_) b = static_cast<unsigned char>(rd());
    }
}

std::int64_t DigestRegistrar::NowSecond() const {
    return std::chrono::duration_cast<std::chrono::seconds>(Now(clock_).time_since_epoch()).count();
}

std::string DigestRegistrar::NonceFor(std::int64_t second, std::string_view host, int port) const {
    char stamp[17];
    std::snprintf(stamp, sizeof stamp, "%016llx", static_cast<unsigned long long>(second));
    const std::string text = std::string(stamp) + "|" + std::string(host) + "|" + std::to_string(port);
    unsigned char mac[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &n);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string nonce(stamp);
    for (unsigned int i = 0; i < 16 && i < n; ++i) {
        nonce += kHex[mac[i] >> 4];
        nonce += kHex[mac[i] & 15];
    }
    return nonce;
}

std::string DigestRegistrar::Challenge(std::string_view host, int port, bool stale) {
    std::string value = "Digest realm=\"" + realm_ + "\", nonce=\"" + NonceFor(NowSecond(), host, port) +
                        "\", algorithm=" + challengeAlgorithm_ + ", qop=\"auth\"";
    if (stale) value += ", stale=true";
    return value;
}

void DigestRegistrar::Forget(std::int64_t now) {
    for (auto it = used_.begin(); it != used_.end();)
        it = now - it->second.second > kNonceLifetimeSeconds ? used_.erase(it) : std::next(it);
    while (used_.size() >= kRememberedNonces) {
        auto oldest = used_.begin();
        for (auto it = used_.begin(); it != used_.end(); ++it)
            if (it->second.second < oldest->second.second) oldest = it;
        floor_ = std::max(floor_, oldest->second.second + 1);
        used_.erase(oldest);
    }
}

bool DigestRegistrar::SetChallengeAlgorithm(std::string_view algorithm) {
    for (const char* a : {"MD5", "SHA-256", "SM3"}) {
        if (EqualsNoCase(algorithm, a) && Accepted(a)) {
            challengeAlgorithm_ = a;
            return true;
        }
    }
    return false;
}

DigestOutcome DigestRegistrar::Verify(const DigestRequest& r, std::string_view password) {
    using V = DigestVerdict;
    if (r.authorization.empty()) return {V::Challenge, "no credentials"};
    std::string scheme;
    const auto cred = ParseAuthParams(r.authorization, &scheme);
    if (!EqualsNoCase(scheme, "Digest")) return {V::Refused, "scheme \"" + scheme + "\" is not Digest"};
    for (const char* key : {"username", "realm", "nonce", "uri", "response"})
        if (!cred.count(key)) return {V::Refused, std::string("Authorization without ") + key};
    const std::string nonce = Get(cred, "nonce");
    if (Get(cred, "realm") != realm_)
        return {V::Challenge, "realm \"" + Get(cred, "realm") + "\" is not ours"};
    std::uint64_t second = 0;
    if (nonce.size() != 48 || !ParseHex(std::string_view(nonce).substr(0, 16), 16, &second) ||
        NonceFor(static_cast<std::int64_t>(second), r.sourceHost, r.sourcePort) != nonce)
        return {V::Challenge, "nonce not given to " + std::string(r.sourceHost) + ":" +
                                  std::to_string(r.sourcePort)};
    if (Get(cred, "username") != r.fromUser)
        return {V::Refused, "username \"" + Get(cred, "username") + "\" is not the From user \"" +
                                std::string(r.fromUser) + "\""};
    if (!SameUri(Get(cred, "uri"), r.requestUri))
        return {V::Refused, "uri \"" + Get(cred, "uri") + "\" is not the Request-URI \"" +
                                std::string(r.requestUri) + "\""};
    std::string alg = Get(cred, "algorithm");
    if (alg.empty()) alg = "MD5";
    if (!Accepted(alg)) return {V::Refused, "algorithm " + alg + " is not accepted"};
    const std::string qop = Get(cred, "qop");
    std::uint64_t count = 0;
    if (!qop.empty()) {
        if (!EqualsNoCase(qop, "auth")) return {V::Refused, "qop " + qop + " was not offered"};
        if (Get(cred, "cnonce").empty()) return {V::Refused, "qop auth without cnonce"};
        if (!ParseHex(Get(cred, "nc"), 8, &count) || count == 0)
            return {V::Refused, "nc \"" + Get(cred, "nc") + "\" is not 8 hexadecimal digits above 0"};
    }
    // The challenge as it was sent, with the algorithm the device chose; a
    // device without qop answers in the RFC 2069 form, which hashes no nc.
    std::map<std::string, std::string> challenge = {
        {"realm", realm_}, {"nonce", nonce}, {"algorithm", alg}};
    if (!qop.empty()) challenge["qop"] = "auth";
    const std::string problem = DigestProblem(challenge, cred, r.method, password);
    if (!problem.empty()) return {V::Refused, problem};
    const std::int64_t now = NowSecond();
    const auto made = static_cast<std::int64_t>(second);
    if (now - made > kNonceLifetimeSeconds || made < floor_ || made > now + 5)
        return {V::Stale, "nonce made " + std::to_string(now - made) + " s ago"};
    Forget(now);
    if (made < floor_) return {V::Stale, "nonce no longer remembered"};
    Used& u = used_[nonce];
    u.second = made;
    if (!u.counts.insert(static_cast<std::uint32_t>(count)).second)
        return {V::Stale, qop.empty() ? "nonce used already" : "nonce-count " + Get(cred, "nc") + " used already"};
    return {V::Accepted, {}};
}

} // namespace tarvex::sipauth
