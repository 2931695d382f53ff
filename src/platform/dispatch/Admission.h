#pragma once
// Which answer a device's request gets, decided before it is logged or
// applied: a request is taken only from a registered device (its From user,
// or one of its channels) at the host it registered from, and a Catalog only
// when it names that device or one of its channels. Anything else gets 403,
// so that a device that is not registered (never, after Expires 0, or after a
// restart of Tarvex) registers again, and nobody else's catalog replaces a
// device's channels.

#include "platform/devices/DeviceRegistry.h"
#include "sip/endpoint/SipEndpoint.h"

constexpr int kRefusedStatus = 403;
constexpr int kRegistryFullStatus = 503;

// The registered record that sent the request, or null.
const DeviceRecord* SenderOf(const DeviceRegistry& registry, const IncomingRequest& request);
DeviceRecord* SenderOf(DeviceRegistry& registry, const std::string& fromUser,
                       const std::string& sourceHost);

// 200, kRefusedStatus or kRegistryFullStatus (a REGISTER of a new device
// when the registry is full).
int Admit(const DeviceRegistry& registry, const IncomingRequest& request);
