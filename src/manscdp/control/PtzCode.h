#pragma once
// The eight-byte pan-tilt-zoom code carried in PTZCmd: A5 0F, address,
// command, two data bytes, 00 and a checksum over the first seven bytes.

#include <array>
#include <cstdint>
#include <string>

using PtzBytes = std::array<std::uint8_t, 8>;

// Byte 3 of the code.
constexpr std::uint8_t kPtzAddressMotion = 0x01; // direction, zoom, focus, stop
constexpr std::uint8_t kPtzAddressPreset = 0x00; // set, go to, delete preset

PtzBytes MakePtzCode(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                     std::uint8_t data2);
// Sixteen upper-case hexadecimal digits, no separators.
std::string PtzText(const PtzBytes& code);

// Command byte of a row of media set 1, or -1 for a row without one.
int PtzCommandForRow(int row);
// Rows 1 to 9 move, zoom, focus or stop; rows 12 to 14 handle presets.
bool IsPtzMotionRow(int row);
bool IsPtzPresetRow(int row);

// The PTZCmd text of a media set 1 row: motion rows carry the speed, preset rows
// the preset number. Empty for a row without a code.
std::string PtzTextForRow(int row, std::uint8_t speed, std::uint8_t presetNumber);
