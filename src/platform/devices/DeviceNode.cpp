#include "platform/devices/DeviceNode.h"

#include <cstring>

void DeviceNode::SetField(char (&field)[kFieldSize], std::string_view text) {
    std::size_t n = text.size() < kFieldSize - 1 ? text.size() : kFieldSize - 1;
    if (n < text.size()) {
        // Step back over continuation bytes so that the cut ends on a whole
        // character of a UTF-8 text (at most three steps, so other encodings
        // lose no more than a partial character).
        std::size_t k = n;
        while (k > 0 && n - k < 3 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) --k;
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) n = k;
    }
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, kFieldSize - n);
}

std::string DeviceNode::TreeText() const {
    std::string t = id;
    if (kind == kNodeRecording && (startTime[0] || endTime[0])) {
        // The file path names the recording; its times say what it holds.
        t += "  " + std::string(startTime) + " – " + endTime;
    } else if (kind == kNodeChannel && !name.empty()) {
        t += "  " + name;
    }
    return t;
}
