// Process-wide decoder state shared by every CVidana instance (internal).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vidana/lib/Vidana.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/buffer.h>
#include <libswscale/swscale.h>
}

namespace vidana {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
struct PoolDeleter {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
};
// Freed once the last buffer taken from it comes back.
using PoolPtr = std::unique_ptr<AVBufferPool, PoolDeleter>;

// One decoder per process: a second SetHWND replaces it, ReleaseDecoder on any
// instance closes it. The lock keeps SetHWND / ReleaseDecoder (GUI thread) and
// a decode in progress (receive thread) apart; the open flag is still set last
// so that a frame racing with SetHWND is dropped.
struct VideoState {
    std::mutex lock;
    CodecContextPtr codec;
    FramePtr frame;
    PacketPtr packet;
    std::atomic<bool> open{false};
    bool hevc = false; // the open codec: H.265, else H.264
    std::vector<uint8_t> input; // the frame being decoded, with FFmpeg's padding
    // Converter to packed BGR24 at the view size, made at the first picture,
    // and the one straight into a surface's canvas (32-bit, fast bilinear).
    SwsPtr converter;
    // The canvas path in two steps, cheaper than one scaling conversion:
    // scale in the stream's own format to the fitted size, then convert 1:1.
    SwsPtr canvasScaler;    // null when the stream already has the fitted size
    SwsPtr canvasConverter;
    std::vector<uint8_t> scaled; // the scaled picture's planes
    uint8_t* scaledData[4] = {};
    int scaledLinesize[4] = {};
    int srcWidth = 0;
    int srcHeight = 0;
    AVPixelFormat srcFormat = AV_PIX_FMT_NONE;
    int dstWidth = 0;
    int dstHeight = 0;
    // Memory of kept pictures (KeepPicture) that need the scaling step.
    PoolPtr keptPool;
    int keptBytes = 0;
    std::vector<uint8_t> picture;
    // Where the fitted picture lies in the view (its centre is the view's).
    int offsetX = 0;
    int offsetY = 0;

    // The session's figures (read from any thread) and the causes already said.
    std::atomic<uint64_t> shown{0};
    std::atomic<uint64_t> undecodable{0};
    std::atomic<uint64_t> refused{0};
    // The stream's size of the last picture decoded (PackSize), 0 before one.
    std::atomic<uint64_t> decodedSize{0};
    int saidWidth = 0, saidHeight = 0; // the last refused size said
    bool saidUndecodable = false;
    bool saidMemory = false;

    void ResetCounts() {
        shown = 0;
        undecodable = 0;
        refused = 0;
        decodedSize = 0;
        saidWidth = saidHeight = 0;
        saidUndecodable = saidMemory = false;
    }

    void DropConverter() {
        converter.reset();
        canvasConverter.reset();
        canvasScaler.reset();
        keptPool.reset();
        keptBytes = 0;
        std::vector<uint8_t>().swap(scaled);
        std::vector<uint8_t>().swap(picture);
        srcWidth = srcHeight = dstWidth = dstHeight = offsetX = offsetY = 0;
        srcFormat = AV_PIX_FMT_NONE;
    }
};

// The drag overlay in 32-bit memory, the rectangle in client coordinates of a
// view where the picture lies at offsetX, offsetY (Draw.cpp).
void DrawOverlayOn32(uint8_t* bits, int64_t stride, int32_t width, int32_t height, VidanaRect rect,
                     int32_t offsetX, int32_t offsetY);

// Width and height in one word, read together from any thread.
inline uint64_t PackSize(int width, int height) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(width)) << 32) | static_cast<uint32_t>(height);
}

VideoState& Video();
// A codec context for H.264 or H.265 with the decoder's limits, opened; null
// when FFmpeg has no such decoder or it does not open.
CodecContextPtr OpenVideoCodec(bool hevc);
// Makes the audio module state (its capture thread is joined when it goes).
void AudioModule();

// Silences FFmpeg's own log lines once per process: broken input is expected
// and is not the operator's business on standard error.
void QuietFfmpegLog();

// The fuzzing build lowers the limits (VIDANA_MAX_PICTURE) so that a mutated
// parameter set costs the decoder little; the limit checks are the same code.
#ifdef VIDANA_MAX_PICTURE
constexpr int kMaxPictureWidth = VIDANA_MAX_PICTURE;
constexpr int kMaxPictureHeight = VIDANA_MAX_PICTURE;
#else
constexpr int kMaxPictureWidth = kVidanaMaxWidth;
constexpr int kMaxPictureHeight = kVidanaMaxHeight;
#endif

} // namespace vidana

// A kept picture: the fitted picture (its own planes, or the decoder's when it
// needs no scaling) and the overlay to draw on it.
struct VidanaPicture {
    vidana::FramePtr frame;
    VidanaRect rect;
    int32_t offsetX = 0;
    int32_t offsetY = 0;
};
