#pragma once
// One node of the device tree: a device (from a REGISTER), a channel (from a
// Catalog) or a recording (from a RecordInfo answer). Identifier fields keep
// at most 31 bytes, as devices are told they may send.

#include "sip/endpoint/SipEndpoint.h" // PortFromText

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum NodeKind : int { kNodeNone = 0, kNodeDevice = 1, kNodeChannel = 2, kNodeRecording = 3 };

class DeviceNode {
public:
    static constexpr std::size_t kFieldSize = 32; // 31 characters and a terminator

    DeviceNode() = default;
    virtual ~DeviceNode() = default;
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    char address[kFieldSize] = {};
    char id[kFieldSize] = {};
    char startTime[kFieldSize] = {};
    char endTime[kFieldSize] = {};
    std::uint16_t port = 0;
    int kind = kNodeNone;
    int treeItem = 0; // item of the device tree model; 0 until inserted
    // A channel's Name and Status from the Catalog (as sent, UTF-8), a
    // device's transport ("UDP", "TCP").
    std::string name;
    std::string status;
    std::vector<std::unique_ptr<DeviceNode>> children;

    // The tree's text: the identifier, a channel's name beside it, a
    // recording as its start–end.
    std::string TreeText() const;

    // Copies at most 31 bytes, cutting a longer text, never overrunning the
    // field. A cut never splits a UTF-8 sequence.
    static void SetField(char (&field)[kFieldSize], std::string_view text);
};
