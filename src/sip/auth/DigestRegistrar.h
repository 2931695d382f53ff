// The registrar's side of digest authentication: the challenges it sends and
// the verdict on the credentials that come back.
//
// A nonce carries the second it was made and a keyed hash (HMAC-SHA-256 with a
// secret of this registrar) over that second and the address it was sent to,
// so nothing needs to be kept per challenge: a nonce answered from another
// address, or not made here, is unknown. It is stale kNonceLifetimeSeconds
// after it was made. Every accepted (nonce, nonce-count) is remembered until
// its nonce is stale, and a second use of it is refused; without qop the nonce
// itself can be used once. At most kRememberedNonces nonces are remembered: when
// more are in use, the oldest are made stale early, never accepted again.
#pragma once

#include "base/TimeText.h"

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace tarvex::sipauth {

struct DigestRequest {
    std::string_view authorization; // the Authorization value, "" when it has none
    std::string_view method;        // "REGISTER"
    std::string_view requestUri;    // as on the request line
    std::string_view fromUser;      // user part of From: the only username accepted
    std::string_view sourceHost;    // where the request came from
    int sourcePort = 0;
};

enum class DigestVerdict {
    Accepted,  // the credentials verify: answer 200
    Challenge, // none, or for a nonce not ours or not this address's: answer 401
    Stale,     // they verify but the nonce is too old or already used: 401 stale=true
    Refused,   // they do not verify: 403
};

struct DigestOutcome {
    DigestVerdict verdict = DigestVerdict::Challenge;
    std::string reason; // one line; never holds the response the password gives
};

class DigestRegistrar {
public:
    static constexpr int kNonceLifetimeSeconds = 300;
    static constexpr std::size_t kRememberedNonces = 4096;

    // realm: the domain; clock: the time nonces carry (the system's when empty).
    explicit DigestRegistrar(std::string realm, WallClock clock = {});

    // The WWW-Authenticate value of a 401 to a request from host:port.
    std::string Challenge(std::string_view host, int port, bool stale);
    DigestOutcome Verify(const DigestRequest& request, std::string_view password);

    const std::string& Realm() const { return realm_; }
    // The algorithm the challenge names: "MD5" (the default), "SHA-256" or
    // "SM3". False, and nothing changes, for another name or an SM3 that
    // OpenSSL lacks. Whatever is challenged, every accepted algorithm is.
    bool SetChallengeAlgorithm(std::string_view algorithm);
    const std::string& ChallengeAlgorithm() const { return challengeAlgorithm_; }

private:
    std::string NonceFor(std::int64_t second, std::string_view host, int port) const;
    std::int64_t NowSecond() const;
    void Forget(std::int64_t now);

    std::string realm_;
    std::string challengeAlgorithm_ = "MD5";
    WallClock clock_;
    std::array<unsigned char, 32> secret_{};
    struct Used {
        std::int64_t second = 0;
        std::set<std::uint32_t> counts; // nonce-counts accepted; 0 for a use without qop
    };
    std::map<std::string, Used> used_;
    std::int64_t floor_ = 0; // nonces made before this second are stale
};

} // namespace tarvex::sipauth
