#include "manscdp/control/PtzCode.h"

#include <cstdio>

PtzBytes MakePtzCode(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                     std::uint8_t data2) {
    PtzBytes b{0xA5, 0x0F, address, command, data1, data2, 0x00, 0x00};
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += b[i];
    b[7] = static_cast<std::uint8_t>(sum & 0xFF);
    return b;
}

std::string PtzText(const PtzBytes& code) {
    char out[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(out + 2 * i, 3, "%02X", code[i]);
    return std::string(out, 16);
}

int PtzCommandForRow(int row) {
    switch (row) {
    case 1:
        return 0x08; // up
    case 2:
        return 0x04; // down
    case 3:
        return 0x02; // left
    case 4:
        return 0x01; // right
    case 5:
        return 0x10; // zoom in
    case 6:
        return 0x20; // zoom out
    case 7:
        return 0x42; // focus near
    case 8:
        return 0x41; // focus far
    case 9:
        return 0x00; // stop
    case 12:
        return 0x81; // set preset
    case 13:
        return 0x82; // go to preset
    case 14:
        return 0x83; // delete preset
    default:
        return -1;
    }
}

bool IsPtzMotionRow(int row) {
    return row >= 1 && row <= 9;
}
bool IsPtzPresetRow(int row) {
    return row >= 12 && row <= 14;
}

std::string PtzTextForRow(int row, std::uint8_t speed, std::uint8_t presetNumber) {
    const int cmd = PtzCommandForRow(row);
    if (cmd < 0) return {};
    const auto c = static_cast<std::uint8_t>(cmd);
    if (IsPtzMotionRow(row)) return PtzText(MakePtzCode(kPtzAddressMotion, c, speed, 0));
    return PtzText(MakePtzCode(kPtzAddressPreset, c, 0, presetNumber));
}
