// CVidana: lifecycle, the process-wide decoder and the dispatch of frames.
#include "vidana/lib/Vidana.h"

#include "vidana/lib/DecoderState.h"
#include "vidana/lib/Ostra.h"

#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace vidana {

VideoState& Video() {
    static VideoState state;
    return state;
}

void QuietFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!std::getenv("VIDANA_FFMPEG_LOG")) av_log_set_level(AV_LOG_QUIET);
    });
}

} // namespace vidana

using namespace vidana;

CVidana::CVidana() {
    // Make the module state before the instance is complete, so that it is
    // destroyed after every instance, static ones included.
    Video();
    AudioModule();
    QuietFfmpegLog();
}

CVidana::~CVidana() {
    ReleaseDecoder();
}

namespace vidana {

CodecContextPtr OpenVideoCodec(bool hevc) {
    const AVCodec* codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) return nullptr;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return nullptr;
    // Bounds the memory and time a hostile parameter set can make the decoder
    // take: nothing larger than the display limits (plus a coding block) is
    // decoded, as none of it would be shown.
    context->max_pixels = int64_t(kMaxPictureWidth + 64) * (kMaxPictureHeight + 64);
    // One decoding thread, as for H.264: the pictures come out in the call
    // that completes them, and the receive thread is the only one decoding.
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    return context;
}

} // namespace vidana

bool CVidana::InitDecoder() {
    // A session starts with H.264, the codec of every stream that names none;
    // the first H.265 frame reopens the decoder for it.
    CodecContextPtr context = OpenVideoCodec(false);
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet) return false;

    VideoState& v = Video();
    std::lock_guard guard(v.lock);
    v.open.store(false, std::memory_order_release);
    v.codec = std::move(context);
    v.hevc = false;
    v.frame = std::move(frame);
    v.packet = std::move(packet);
    // A new session takes the view's size at its first picture.
    v.DropConverter();
    v.ResetCounts();
    return true;
}

void CVidana::SetHWND(IVidanaSurface* hWnd) {
    m_hWnd = hWnd;
    if (!InitDecoder()) return;
    InitOstraDecoder();
    Video().open.store(true, std::memory_order_release);
}

void CVidana::SetRect(VidanaRect rect) {
    m_rect = rect;
}

int32_t CVidana::DecodeXFrame(const uint8_t* data, int32_t length, int32_t type) {
    if (type == kVidanaFrameMJpeg)
        DecodeMJpeg(data, length);
    else if (type < kVidanaFrameAudio)
        DecodeVFrame(data, length, type == kVidanaFrameH265);
    else
        DecodeAFrame(data, length);
    return 0;
}

VidanaPictureCounts CVidana::PictureCounts() const {
    const VideoState& v = Video();
    VidanaPictureCounts c;
    c.shown = v.shown.load(std::memory_order_relaxed);
    c.undecodable = v.undecodable.load(std::memory_order_relaxed);
    c.refused = v.refused.load(std::memory_order_relaxed);
    const uint64_t size = v.decodedSize.load(std::memory_order_relaxed);
    c.width = static_cast<int32_t>(size >> 32);
    c.height = static_cast<int32_t>(size & 0xffffffffu);
    return c;
}

void CVidana::ReleaseDecoder() {
    VideoState& v = Video();
    std::lock_guard guard(v.lock);
    if (!v.open.load(std::memory_order_acquire)) return;
    v.open.store(false, std::memory_order_release);
    std::vector<uint8_t>().swap(m_ostraOut);
    v.DropConverter();
    std::vector<uint8_t>().swap(v.input);
    v.frame.reset();
    v.packet.reset();
    ReleaseOstraDecoder();
    v.codec.reset();
}
