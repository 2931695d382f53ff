// libFuzzer entry point for one picture path of CVidana, chosen at build time
// by VIDANA_FUZZ_TYPE (7 H.264, 8 H.265, 2 MJPEG). The first byte picks the
// view size; the rest is cut into access units (the video paths) and fed as
// the receiver feeds frames, each in its own exactly sized buffer, then the
// decoder is flushed as a file player does, which also leaves it clean for the
// next input. One decoder session serves every input (opening FFmpeg's
// decoder per input would cost most of the time); every 1000 inputs it is
// released and opened again, so that both stay covered.
#include "vidana/lib/AccessUnits.h"
#include "vidana/lib/Vidana.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

class NullSurface : public IVidanaSurface {
public:
    VidanaSize ClientSize() const override { return size; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        // Every presented byte must be readable.
        if (width <= 0 || height <= 0) std::abort();
        sum_ += bgr[0] + bgr[size_t(width) * size_t(height) * 3 - 1];
    }
    VidanaSize size{64, 48};

private:
    unsigned sum_ = 0;
};

void Feed(CVidana& v, const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size ? size : 1]);
    std::copy(data, data + size, frame.get());
    v.SetRect(VidanaRect{});
    if (v.DecodeXFrame(frame.get(), int32_t(size), VIDANA_FUZZ_TYPE) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ALSA_CONFIG_PATH", "/dev/null", 0); // the audio module is never used here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Frames of a tiny picture are small: larger inputs only slow the search.
    if (size < 1 || size > (64u << 10)) return 0;
    static const VidanaSize kViews[4] = {{64, 48}, {160, 120}, {0, 0}, {33, 17}};
    static NullSurface surface;
    static CVidana v;
    static unsigned inputs = 0;
    if (inputs++ % 1000 == 0) {
        v.ReleaseDecoder();
        v.SetHWND(&surface);
    }
    surface.size = kViews[data[0] & 3];
    const std::span<const uint8_t> body(data + 1, size - 1);
    if (VIDANA_FUZZ_TYPE == kVidanaFrameMJpeg) {
        Feed(v, body.data(), body.size());
    } else {
        for (const auto unit : vidana::SplitAccessUnits(body, VIDANA_FUZZ_TYPE == kVidanaFrameH265))
            Feed(v, unit.data(), unit.size());
        v.FlushDecoder();
    }
    return 0;
}
