// The digest verification the checks use is the endpoint's own (sip/auth).
#pragma once

#include "sip/auth/Digest.h"

namespace tarvex::check {
using tarvex::sipauth::DigestHash;
using tarvex::sipauth::DigestProblem;
using tarvex::sipauth::ExpectedDigestResponse;
} // namespace tarvex::check
