#include "media/audio/FramePcm.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace tvaudio {

FramePcm::~FramePcm() { swr_free(&swr_); }

bool FramePcm::Convert(AVFrame* frame, PcmBlock& out) {
    const int channels = frame->ch_layout.nb_channels;
    const int rate = frame->sample_rate;
    if (channels <= 0 || rate <= 0 || frame->nb_samples <= 0) return false;
    if (!swr_ || rate != rate_ || channels != channels_ || frame->format != format_) {
        swr_free(&swr_);
        if (swr_alloc_set_opts2(&swr_, &frame->ch_layout, AV_SAMPLE_FMT_S16, rate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), rate, 0, nullptr) < 0 ||
            swr_init(swr_) < 0) {
            swr_free(&swr_);
            return false;
        }
        rate_ = rate;
        channels_ = channels;
        format_ = frame->format;
    }
    PcmBlock b;
    b.rate = rate;
    b.channels = channels;
    b.samples.resize(static_cast<std::size_t>(frame->nb_samples) * static_cast<std::size_t>(channels));
    auto* dst = reinterpret_cast<uint8_t*>(b.samples.data());
    const int n = swr_convert(swr_, &dst, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                              frame->nb_samples);
    if (n <= 0) return false;
    b.samples.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(channels));
    out = std::move(b);
    return true;
}

} // namespace tvaudio
