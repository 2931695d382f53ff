// DeviceInfo fields present: the answer to the DeviceInfo query says Result OK
// and who made the device (Manufacturer, Model, Firmware); DeviceName and
// Channel may be left out, and Channel, when given, is a number.
#include "check/battery/Exchange.h"

namespace tarvex::check {

CheckResult CheckDeviceInfoFields(const Observation& obs) {
    return CheckAnswerFields(obs, "DeviceInfo",
                             {{"Result", true, {"OK"}},
                              {"DeviceName", false},
                              {"Manufacturer"},
                              {"Model"},
                              {"Firmware"},
                              {"Channel", false, {}, FieldRule::kNumber}});
}

} // namespace tarvex::check
