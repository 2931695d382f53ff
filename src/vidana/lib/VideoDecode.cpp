// The two picture paths: H.264 and H.265 through the process-wide decoder, and single
// MJPEG pictures drawn at their own size.
#include "vidana/lib/Vidana.h"

#include "vidana/lib/DecoderState.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <memory>
#include <new>
#include <cstdio>

extern "C" {
#include <libavutil/imgutils.h>
}

using namespace vidana;

namespace {

// The packet borrows the decoder's staging buffer, which outlives it.
void BorrowedBufferFree(void*, uint8_t*) {}

// swscale's vector code writes packed rows in whole blocks of pixels and may
// run past the end of the last row; the buffers it writes carry this slack.
constexpr size_t kScalerSlack = 1024;

bool InsideLimits(int width, int height) {
    return width >= 1 && height >= 1 && width <= kMaxPictureWidth && height <= kMaxPictureHeight;
}

// The largest size of the picture's shape (its sample aspect ratio applied)
// inside the view: one side equals the view's, the other is at most its.
VidanaSize FitInView(int srcW, int srcH, AVRational sar, VidanaSize view) {
    double shapeW = srcW;
    if (sar.num > 0 && sar.den > 0) shapeW = srcW * av_q2d(sar);
    const double scale = std::min(view.width / shapeW, view.height / double(srcH));
    VidanaSize fit{int32_t(std::lround(shapeW * scale)), int32_t(std::lround(srcH * scale))};
    fit.width = std::clamp(fit.width, 1, view.width);
    fit.height = std::clamp(fit.height, 1, view.height);
    return fit;
}

void Say(IVidanaSurface* view, const char* why) {
    if (view)
        view->PictureNotShown(why);
    else
        std::fprintf(stderr, "%s\n", why);
}

// Makes the converter and the converted picture for the given source and the
// current view size; leaves none when the view is empty or the source unknown.
// False when the memory for the picture could not be had.
bool MakeConverter(VideoState& v, int srcW, int srcH, AVPixelFormat srcFmt, AVRational sar,
                   VidanaSize view) {
    v.DropConverter();
    if (view.width <= 0 || view.height <= 0 || srcFmt == AV_PIX_FMT_NONE) return true;
    const VidanaSize fit = FitInView(srcW, srcH, sar, view);
    SwsPtr sws(sws_getContext(srcW, srcH, srcFmt, fit.width, fit.height, AV_PIX_FMT_BGR24,
                              SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!sws) return false;
    try {
        v.picture.resize(size_t(fit.width) * size_t(fit.height) * 3 + kScalerSlack);
    } catch (const std::bad_alloc&) {
        return false; // a view beyond memory shows nothing, and says so
    }
    v.converter = std::move(sws);
    v.srcWidth = srcW;
    v.srcHeight = srcH;
    v.srcFormat = srcFmt;
    v.dstWidth = fit.width;
    v.dstHeight = fit.height;
    v.offsetX = (view.width - fit.width) / 2;
    v.offsetY = (view.height - fit.height) / 2;
    return true;
}

// The canvas path's converters for the current source and fitted size: the
// scaling step (fast bilinear, in the source's format) unless the sizes are
// equal, and the 1:1 conversion to 32-bit BGRA. Leaves none on failure.
void MakeCanvasConverter(VideoState& v) {
    v.canvasScaler.reset();
    v.canvasConverter.reset();
    std::vector<uint8_t>().swap(v.scaled);
    const bool scale = v.srcWidth != v.dstWidth || v.srcHeight != v.dstHeight;
    if (scale) {
        const int bytes = av_image_get_buffer_size(v.srcFormat, v.dstWidth, v.dstHeight, 64);
        if (bytes <= 0) return;
        try {
            v.scaled.resize(size_t(bytes) + kScalerSlack);
        } catch (const std::bad_alloc&) {
            return;
        }
        if (av_image_fill_arrays(v.scaledData, v.scaledLinesize, v.scaled.data(), v.srcFormat,
                                 v.dstWidth, v.dstHeight, 64) < 0)
            return;
        v.canvasScaler.reset(sws_getContext(v.srcWidth, v.srcHeight, v.srcFormat, v.dstWidth,
                                            v.dstHeight, v.srcFormat, SWS_FAST_BILINEAR, nullptr,
                                            nullptr, nullptr));
        if (!v.canvasScaler) return;
    }
    v.canvasConverter.reset(sws_getContext(v.dstWidth, v.dstHeight, v.srcFormat, v.dstWidth,
                                           v.dstHeight, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR,
                                           nullptr, nullptr, nullptr));
    if (!v.canvasConverter) v.canvasScaler.reset();
}

// The fitted picture as a frame of its own, for KeepPicture: a new reference
// to the decoder's picture when it already has the fitted size (no copy),
// else scaled (the canvas path's scaling step) into memory of the pool.
FramePtr FittedFrame(VideoState& v, AVFrame* frame) {
    FramePtr out(av_frame_alloc());
    if (!out) return nullptr;
    if (v.srcWidth == v.dstWidth && v.srcHeight == v.dstHeight) {
        if (av_frame_ref(out.get(), frame) < 0) return nullptr;
        return out;
    }
    if (!v.canvasScaler) {
        v.canvasScaler.reset(sws_getContext(v.srcWidth, v.srcHeight, v.srcFormat, v.dstWidth,
                                            v.dstHeight, v.srcFormat, SWS_FAST_BILINEAR, nullptr,
                                            nullptr, nullptr));
        if (!v.canvasScaler) return nullptr;
    }
    if (!v.keptPool) {
        const int bytes = av_image_get_buffer_size(v.srcFormat, v.dstWidth, v.dstHeight, 64);
        if (bytes <= 0) return nullptr;
        v.keptBytes = bytes;
        v.keptPool.reset(av_buffer_pool_init(size_t(bytes) + kScalerSlack, nullptr));
        if (!v.keptPool) return nullptr;
    }
    AVBufferRef* buf = av_buffer_pool_get(v.keptPool.get());
    if (!buf) return nullptr;
    out->buf[0] = buf;
    out->format = v.srcFormat;
    out->width = v.dstWidth;
    out->height = v.dstHeight;
    if (av_image_fill_arrays(out->data, out->linesize, buf->data, v.srcFormat, v.dstWidth,
                             v.dstHeight, 64) < 0)
        return nullptr;
    sws_scale(v.canvasScaler.get(), frame->data, frame->linesize, 0, frame->height, out->data,
              out->linesize);
    return out;
}

} // namespace

// Takes every picture the decoder has ready, converts it to the view and
// presents it. Without a picture the converter is still made once the stream
// size is known, as at the first picture of a session. Returns -1 when the
// stream size is outside the limits, else 0; counts the presented pictures.
int32_t CVidana::ReceivePictures(int32_t& presented) {
    VideoState& v = Video();
    AVCodecContext* ctx = v.codec.get();
    int32_t result = 0;
    bool gotPicture = false;
    for (;;) {
        AVFrame* frame = v.frame.get();
        const bool picture = avcodec_receive_frame(ctx, frame) == 0;
        if (!picture && gotPicture) break;
        gotPicture = gotPicture || picture;

        // The size is known only once a parameter set has been seen.
        const int knownW = picture ? frame->width : ctx->width;
        const int knownH = picture ? frame->height : ctx->height;
        if (picture) {
            v.decodedSize.store(PackSize(knownW, knownH), std::memory_order_relaxed);
        }
        if (!InsideLimits(knownW, knownH)) {
            av_frame_unref(frame);
            result = -1;
            if (!picture) break;
            v.refused.fetch_add(1, std::memory_order_relaxed);
            if (knownW != v.saidWidth || knownH != v.saidHeight) {
                v.saidWidth = knownW;
                v.saidHeight = knownH;
                char why[128];
                std::snprintf(why, sizeof why, "picture %d x %d is larger than %d x %d: not shown",
                              knownW, knownH, kMaxPictureWidth, kMaxPictureHeight);
                Say(m_hWnd, why);
            }
            continue;
        }
        result = 0;
        const int srcW = knownW;
        const int srcH = knownH;
        const auto srcFmt = picture ? AVPixelFormat(frame->format) : ctx->pix_fmt;
        const AVRational sar = picture ? frame->sample_aspect_ratio : ctx->sample_aspect_ratio;
        bool made = true;
        if (!v.converter ||
            (picture && (srcW != v.srcWidth || srcH != v.srcHeight || srcFmt != v.srcFormat))) {
            // The first picture of a session, or the stream changed size or
            // format mid-session: start over as at the first picture.
            made = MakeConverter(v, srcW, srcH, srcFmt, sar,
                                 m_hWnd ? m_hWnd->ClientSize() : VidanaSize{});
        }
        if (!picture) break;
        if (!made) {
            v.refused.fetch_add(1, std::memory_order_relaxed);
            if (!v.saidMemory) {
                v.saidMemory = true;
                char why[128];
                std::snprintf(why, sizeof why,
                              "no memory to convert a picture of %d x %d: not shown", srcW, srcH);
                Say(m_hWnd, why);
            }
        } else if (v.converter) {
            // A picture the decoder concealed damage in is shown, but it is
            // no decoded picture.
            const bool damaged =
                frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT);
            int32_t drawn = 0;
            VidanaCanvas canvas;
            if (m_hWnd && m_hWnd->KeepsPictures()) {
                // Converted by the surface when it paints, into what it paints.
                auto kept = std::make_unique<VidanaPicture>();
                kept->frame = FittedFrame(v, frame);
                kept->rect = m_rect;
                kept->offsetX = v.offsetX;
                kept->offsetY = v.offsetY;
                if (kept->frame) {
                    m_hWnd->KeepPicture(VidanaPicturePtr(kept.release()));
                    drawn = 1;
                }
            } else if (m_hWnd && m_hWnd->BeginCanvas(v.dstWidth, v.dstHeight, canvas)) {
                // Converted once, at the view's size, into the memory the
                // surface paints.
                if (!v.canvasConverter) MakeCanvasConverter(v);
                if (v.canvasConverter && canvas.bits && canvas.stride >= v.dstWidth * 4) {
                    const uint8_t* const* from = frame->data;
                    const int* fromLinesize = frame->linesize;
                    if (v.canvasScaler) {
                        sws_scale(v.canvasScaler.get(), frame->data, frame->linesize, 0,
                                  frame->height, v.scaledData, v.scaledLinesize);
                        from = v.scaledData;
                        fromLinesize = v.scaledLinesize;
                    }
                    uint8_t* dst[4] = {canvas.bits, nullptr, nullptr, nullptr};
                    int dstStride[4] = {canvas.stride, 0, 0, 0};
                    sws_scale(v.canvasConverter.get(), from, fromLinesize, 0, v.dstHeight, dst,
                              dstStride);
                    DrawOverlay32(canvas.bits, canvas.stride, v.dstWidth, v.dstHeight, v.offsetX,
                                  v.offsetY);
                    drawn = 1;
                }
                m_hWnd->EndCanvas();
            } else {
                uint8_t* dst[4] = {v.picture.data(), nullptr, nullptr, nullptr};
                int dstStride[4] = {v.dstWidth * 3, 0, 0, 0};
                sws_scale(v.converter.get(), frame->data, frame->linesize, 0, frame->height, dst,
                          dstStride);
                drawn = DrawImage(v.picture.data(), v.dstWidth, v.dstHeight, v.offsetX, v.offsetY);
            }
            presented += drawn;
            if (damaged)
                v.undecodable.fetch_add(1, std::memory_order_relaxed);
            else if (drawn)
                v.shown.fetch_add(1, std::memory_order_relaxed);
        }
        av_frame_unref(frame);
    }
    return result;
}

int32_t CVidana::DecodeVFrame(const uint8_t* data, int32_t length, bool hevc) {
    VideoState& v = Video();
    std::lock_guard guard(v.lock);
    if (!v.open.load(std::memory_order_acquire)) return -1;
    if (v.hevc != hevc) {
        // The other codec: the old decoder shows what it still holds, then a
        // fresh decoder for the new one takes over. The converter stays and
        // is rebuilt only if the new stream's size or format differs.
        CodecContextPtr other = OpenVideoCodec(hevc);
        if (!other) return -1;
        int32_t drained = 0;
        if (avcodec_send_packet(v.codec.get(), nullptr) == 0) ReceivePictures(drained);
        v.codec = std::move(other);
        v.hevc = hevc;
    }
    AVCodecContext* ctx = v.codec.get();

    // An empty packet would put the decoder into draining mode for good, so
    // only real bytes are sent; the decoder's verdict on them is not needed.
    if (data && length > 0) {
        // FFmpeg's bitstream readers read up to AV_INPUT_BUFFER_PADDING_SIZE
        // bytes past the end of a packet, which in the caller's buffer may be
        // an unmapped page: the frame is staged in a padded buffer of the
        // decoder's (reused, so no allocation once it has grown).
        const size_t need = size_t(length) + AV_INPUT_BUFFER_PADDING_SIZE;
        if (v.input.size() < need) v.input.resize(need);
        std::memcpy(v.input.data(), data, size_t(length));
        std::memset(v.input.data() + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        AVPacket* pkt = v.packet.get();
        pkt->buf = av_buffer_create(v.input.data(), length, BorrowedBufferFree, nullptr,
                                    AV_BUFFER_FLAG_READONLY);
        if (pkt->buf) {
            pkt->data = v.input.data();
            pkt->size = length;
            if (avcodec_send_packet(ctx, pkt) < 0) {
                v.undecodable.fetch_add(1, std::memory_order_relaxed);
                if (!v.saidUndecodable) {
                    v.saidUndecodable = true;
                    char why[160];
                    std::snprintf(why, sizeof why,
                                  "a %s frame could not be decoded (damaged, or a picture larger "
                                  "than %d x %d)",
                                  v.hevc ? "H.265" : "H.264", kMaxPictureWidth, kMaxPictureHeight);
                    Say(m_hWnd, why);
                }
            }
        }
        av_packet_unref(pkt);
    }
    int32_t presented = 0;
    return ReceivePictures(presented);
}

int32_t CVidana::FlushDecoder() {
    VideoState& v = Video();
    std::lock_guard guard(v.lock);
    if (!v.open.load(std::memory_order_acquire)) return 0;
    int32_t presented = 0;
    // Draining mode hands out the pictures held back for reordering; the
    // flush afterwards leaves the decoder taking packets again.
    if (avcodec_send_packet(v.codec.get(), nullptr) == 0) ReceivePictures(presented);
    avcodec_flush_buffers(v.codec.get());
    return presented;
}

int32_t CVidana::DecodeMJpeg(const uint8_t* data, int32_t length) {
    if (!data || length <= 0) return 0;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec) return 0;
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!ctx || !frame || !pkt) return 0;
    // A JPEG header may declare up to 65535 x 65535; refuse what no view shows.
    ctx->max_pixels = int64_t(4096) * 4096;
    // Damaged entropy data fails the picture instead of drawing a grey rest.
    ctx->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return 0;

    // The decoder reads a little past the end of its input: stage one padded
    // copy of the picture for the length of this call.
    try {
        m_picture.assign(size_t(length) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    std::memcpy(m_picture.data(), data, size_t(length));
    pkt->data = m_picture.data();
    pkt->size = length;
    bool decoded = avcodec_send_packet(ctx.get(), pkt.get()) == 0 &&
                   avcodec_receive_frame(ctx.get(), frame.get()) == 0;
    // A picture with damaged data still comes out; count it as corrupt.
    if (decoded && (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)))
        decoded = false;
    std::vector<uint8_t>().swap(m_picture);
    if (!decoded || !m_hWnd) return 0;

    // Drawn at its own size from the top-left corner, clipped by the view.
    const VidanaSize view = m_hWnd->ClientSize();
    const int w = std::min(frame->width, view.width);
    const int h = std::min(frame->height, view.height);
    if (w <= 0 || h <= 0) return 0;
    // The whole picture is converted at its own size (converting a corner
    // alone changes pixels near its edges), then its top-left corner is kept.
    SwsPtr sws(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                              frame->width, frame->height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr,
                              nullptr, nullptr));
    if (!sws) return 0;
    const size_t fullStride = size_t(frame->width) * 3;
    m_canvas.resize(fullStride * size_t(frame->height) + kScalerSlack);
    uint8_t* dst[4] = {m_canvas.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(fullStride), 0, 0, 0};
    sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    if (w < frame->width) {
        for (int y = 1; y < h; ++y)
            std::memmove(m_canvas.data() + size_t(y) * w * 3, m_canvas.data() + y * fullStride,
                         size_t(w) * 3);
    }
    m_hWnd->Present(m_canvas.data(), w, h);
    return 0;
}
