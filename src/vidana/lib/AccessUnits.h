// Splits an H.264 or H.265 Annex B elementary stream into access units
// (header-only helper for the tools, tests and benchmarks; not part of
// libvidana's ABI).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vidana {

// Each access unit starts at the start code of its first NAL unit. A new unit
// begins with an access unit delimiter, SEI, parameter set or prefix NAL after
// a slice, or with a slice that starts a picture after a slice (H.264:
// first_mb_in_slice 0; H.265: first_slice_segment_in_pic_flag).
inline std::vector<std::span<const uint8_t>> SplitAccessUnits(std::span<const uint8_t> s,
                                                              bool hevc = false) {
    struct Nal {
        size_t start; // first byte of its start code
        size_t body;  // first byte after it
    };
    std::vector<Nal> nals;
    for (size_t i = 0; i + 3 <= s.size();) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            const size_t start = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
            nals.push_back({start, i + 3});
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<std::span<const uint8_t>> units;
    size_t unitStart = nals.empty() ? 0 : nals[0].start;
    bool sawSlice = false;
    for (const Nal& n : nals) {
        if (n.body >= s.size()) break;
        bool slice, opensUnit;
        if (hevc) {
            // Two header bytes; VCL types 0..31, then VPS 32, SPS 33, PPS 34,
            // AUD 35, prefix SEI 39 and the reserved 41..44, 48..55.
            const int type = (s[n.body] >> 1) & 0x3f;
            slice = type <= 31;
            const bool firstSlice = slice && n.body + 2 < s.size() && (s[n.body + 2] & 0x80);
            opensUnit = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                        (type >= 48 && type <= 55) || firstSlice;
        } else {
            const int type = s[n.body] & 0x1f;
            slice = type >= 1 && type <= 5;
            const bool firstMb = slice && n.body + 1 < s.size() && (s[n.body + 1] & 0x80);
            opensUnit = (type >= 6 && type <= 9) || (type >= 14 && type <= 18) || firstMb;
        }
        if (sawSlice && opensUnit) {
            units.push_back(s.subspan(unitStart, n.start - unitStart));
            unitStart = n.start;
            sawSlice = false;
        }
        sawSlice = sawSlice || slice;
    }
    if (unitStart < s.size() && !nals.empty()) units.push_back(s.subspan(unitStart));
    return units;
}

} // namespace vidana
