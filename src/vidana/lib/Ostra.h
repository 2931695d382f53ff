// The Ostra decoder: raw I420 pictures (a Y plane of width x height, then U and
// V planes of ceil(width / 2) x ceil(height / 2)) turned into packed BGR24 with
// the BT.601 studio-range matrix, in integer arithmetic (internal).
#pragma once

#include <cstdint>
#include <vector>

struct VidanaOstraRequest {
    const uint8_t* input = nullptr;
    int32_t length = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint8_t* output = nullptr; // width * height * 3 bytes
};

struct VidanaOstraState {
    // Per-value lookup tables of the matrix, built once per state.
    int32_t y[256];
    int32_t rv[256];
    int32_t gu[256];
    int32_t gv[256];
    int32_t bu[256];
    uint64_t pictures = 0;

    VidanaOstraState();
    // Decodes request.input into request.output; false when the request does
    // not describe a whole picture.
    bool Decode(const VidanaOstraRequest& request);
};
