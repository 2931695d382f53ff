// What the 2022 checks share: the edition the device declares (X-GB-Ver on
// its REGISTERs) and the answer to a 2022 request that a device may decline.
#pragma once

#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

#include <optional>
#include <string>

namespace tarvex::check {

// The X-GB-Ver values of the device's REGISTERs: the first one given ("" when
// none gave one), and whether one names the 2022 edition (3.0 and above).
struct DeclaredEdition {
    std::string version;
    bool is2022 = false;
    int registers = 0;
};
DeclaredEdition DeviceEdition(const Observation& obs);

// The major number of an X-GB-Ver value ("3.0" -> 3), -1 when the value is
// not digits, a dot and digits.
int GbVersionMajor(const std::string& value);

// Not supported, said as the device declared it, for a check whose 2022
// request was not sent because the device speaks an earlier edition; nothing
// when the device declared 2022.
std::optional<CheckResult> NotA2022Device(const Observation& obs, const char* what);

// Not supported when the request's final SIP answer declines it (405, 415,
// 488, 501); nothing otherwise.
std::optional<CheckResult> Declined(const Observation& obs, int request, const std::string& what);

// The first Control (DeviceControl or DeviceConfig) Tarvex sent that carries
// element name, -1 when none did.
int SentControlWith(const Observation& obs, const char* cmdType, const char* element);

} // namespace tarvex::check
