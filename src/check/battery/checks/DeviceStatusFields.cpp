// DeviceStatus fields present: Result OK, Online (ONLINE or OFFLINE) and Status
// (OK or ERROR); Encode and Record (ON or OFF) and DeviceTime (a MANSCDP time)
// may be left out but must be well formed when given.
#include "check/battery/Exchange.h"

namespace tarvex::check {

CheckResult CheckDeviceStatusFields(const Observation& obs) {
    return CheckAnswerFields(obs, "DeviceStatus",
                             {{"Result", true, {"OK"}},
                              {"Online", true, {"ONLINE", "OFFLINE"}},
                              {"Status", true, {"OK", "ERROR"}},
                              {"Encode", false, {"ON", "OFF"}},
                              {"Record", false, {"ON", "OFF"}},
                              {"DeviceTime", false, {}, FieldRule::kTime}});
}

} // namespace tarvex::check
