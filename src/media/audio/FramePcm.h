#pragma once
// A decoded FFmpeg audio frame as 16-bit interleaved PCM at its own rate and
// channels, through swresample; the converter is made again when the
// frame's rate, channels or sample format change.

#include "media/audio/AudioStages.h"

struct AVFrame;
struct SwrContext;

namespace tvaudio {

class FramePcm {
public:
    FramePcm() = default;
    ~FramePcm();
    FramePcm(const FramePcm&) = delete;
    FramePcm& operator=(const FramePcm&) = delete;
    // False (out untouched) for a frame it cannot convert.
    bool Convert(AVFrame* frame, PcmBlock& out);

private:
    SwrContext* swr_ = nullptr;
    int rate_ = 0, channels_ = 0, format_ = -1;
};

} // namespace tvaudio
