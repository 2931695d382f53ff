#include "platform/dispatch/Admission.h"

#include "platform/dispatch/MessageFacts.h"

DeviceRecord* SenderOf(DeviceRegistry& registry, const std::string& fromUser,
                       const std::string& sourceHost) {
    DeviceRecord* r = registry.Find(fromUser);
    if (!r || !r->registered) return nullptr;
    // Without a source (a test's fake endpoint) the user alone decides.
    if (!sourceHost.empty() && sourceHost != r->node->address) return nullptr;
    return r;
}

const DeviceRecord* SenderOf(const DeviceRegistry& registry, const IncomingRequest& request) {
    return SenderOf(const_cast<DeviceRegistry&>(registry), request.fromUser, request.sourceHost);
}

int Admit(const DeviceRegistry& registry, const IncomingRequest& request) {
    if (request.method == "REGISTER") {
        const DeviceRecord* known = registry.Find(request.fromUser);
        return known || registry.Count() < DeviceRegistry::kMaxDevices ? 200 : kRegistryFullStatus;
    }
    const DeviceRecord* sender = SenderOf(registry, request);
    if (!sender) return kRefusedStatus;
    if (request.body) {
        const BodyFacts body = ReadBody(*request.body);
        if (body.cmdType == "Catalog" && !body.deviceId.empty() &&
            !DeviceRegistry::Owns(*sender, body.deviceId))
            return kRefusedStatus;
    }
    return 200;
}
