#pragma once
// Elements of the configuration bodies of the signalling list that follow the
// envelope: DeviceConfig, ConfigDownload and the setting commands with their
// fixed sample values.

#include "base/TimeText.h"
#include "manscdp/xml/XMLNode.h"

// Values taken from the settings and the clock.
struct ConfigInputs {
    int expiration = 3600;      // registration time, seconds
    int heartBeatInterval = 60; // heartbeat period, seconds
    WallClock clock;            // empty: the system clock
};

// Sample values of our own choosing: documentation addresses (RFC 5737), so
// that no real server is ever addressed by accident.
inline constexpr const char kFtpServer[] = "192.0.2.10:21";
inline constexpr const char kFtpUser[] = "tarvex";
inline constexpr const char kDnsPrimary[] = "192.0.2.53";
inline constexpr const char kDnsSecondary[] = "198.51.100.53";

// Appends the body of signalling row `row`; false for a row without one.
bool AppendConfigBody(int row, const ConfigInputs& in, XMLNode& root);
