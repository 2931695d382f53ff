#pragma once
// One node of the device tree: a device (from a REGISTER), a channel (from a
// Catalog answer) or a recording (from a RecordInfo answer).

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

enum NodeKind : int { kNodeNone = 0, kNodeDevice = 1, kNodeChannel = 2, kNodeRecording = 3 };

class EXOSIP2INFO {
public:
    static constexpr std::size_t kFieldSize = 32; // 31 characters and a terminator

    EXOSIP2INFO() = default;
    virtual ~EXOSIP2INFO() = default;
    EXOSIP2INFO(const EXOSIP2INFO&) = delete;
    EXOSIP2INFO& operator=(const EXOSIP2INFO&) = delete;

    char address[kFieldSize] = {};
    char id[kFieldSize] = {};
    char startTime[kFieldSize] = {};
    char endTime[kFieldSize] = {};
    std::uint16_t port = 0;
    int kind = kNodeNone;
    int treeItem = 0; // item of the device tree model; 0 until inserted
    std::vector<std::unique_ptr<EXOSIP2INFO>> children;

    // Copies at most 31 bytes, cutting a longer text, never overrunning the
    // field. A cut never splits a UTF-8 sequence.
    static void SetField(char (&field)[kFieldSize], std::string_view text);
};

// Decimal value of the leading digits, cut to 16 bits as the port fields are.
std::uint16_t PortFromText(std::string_view text);
