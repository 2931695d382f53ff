// CVidanaPainter: kept pictures converted 1:1 to 32-bit pixels in the memory
// that is painted (a window's backing store), on the painting thread.
#include "vidana/lib/Vidana.h"

#include "vidana/lib/DecoderState.h"

#include <algorithm>
#include <cstring>

using namespace vidana;

namespace {

// swscale's vector code writes whole blocks and may run past the end of a
// row (8 pixels are seen); what lies there is kept and put back. The
// margin is generous so that other versions of the library stay covered.
constexpr int64_t kOverrun = 128;

} // namespace

struct CVidanaPainter::State {
    SwsPtr converter;
    int width = 0, height = 0;
    int format = AV_PIX_FMT_NONE;
    std::vector<uint8_t> saved; // kOverrun bytes after each row
    // The last two rows, when their overrun would pass the end of the memory.
    SwsPtr tail;
    std::vector<uint8_t> tailRows;
};

void CVidanaPictureDelete::operator()(const VidanaPicture* picture) const {
    delete picture;
}

CVidanaPainter::CVidanaPainter() : m_state(std::make_unique<State>()) {}
CVidanaPainter::~CVidanaPainter() = default;

VidanaSize CVidanaPainter::SizeOf(const VidanaPicture& picture) {
    if (!picture.frame) return {};
    return {picture.frame->width, picture.frame->height};
}

bool CVidanaPainter::Paint(const VidanaPicture& picture, uint8_t* bits, int64_t stride,
                           int64_t bytes, int32_t x, int32_t y) {
    const AVFrame* f = picture.frame.get();
    if (!f || !bits) return false;
    const int w = f->width, h = f->height;
    // Rows of at least kOverrun bytes: a row's overrun ends within the next.
    if (w <= 0 || h <= 0 || x < 0 || y < 0 || stride % 4 || stride > INT32_MAX ||
        stride < kOverrun || stride < (int64_t(x) + w) * 4)
        return false;
    const int64_t left = int64_t(x) * 4, right = (int64_t(x) + w) * 4;
    // The end of the first row; the last one with its overrun must fit, or
    // the last two rows are converted apart and copied in.
    const int64_t end0 = int64_t(y) * stride + right;
    if (end0 + int64_t(h - 1) * stride > bytes) return false;
    int direct = h;
    if (end0 + int64_t(h - 1) * stride + kOverrun > bytes) {
        // Only where the conversion is row by row (4:2:0, even height).
        if (h % 2 || h < 4 || f->format != AV_PIX_FMT_YUV420P) return false;
        direct = h - 2;
    }

    State& s = *m_state;
    if (!s.converter || s.width != w || s.height != h || s.format != f->format) {
        s.converter.reset(sws_getContext(w, h, AVPixelFormat(f->format), w, h, AV_PIX_FMT_BGRA,
                                         SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
        if (!s.converter) return false;
        s.width = w;
        s.height = h;
        s.format = f->format;
        s.tail.reset();
    }
    if (direct < h && !s.tail) {
        s.tail.reset(sws_getContext(w, 2, AVPixelFormat(f->format), w, 2, AV_PIX_FMT_BGRA,
                                    SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
        if (!s.tail) return false;
    }
    s.saved.resize(size_t(h) * kOverrun);
    for (int r = 0; r < direct; ++r)
        std::memcpy(s.saved.data() + size_t(r) * kOverrun, bits + end0 + r * stride, kOverrun);

    uint8_t* at = bits + int64_t(y) * stride + left;
    uint8_t* dst[4] = {at, nullptr, nullptr, nullptr};
    int dstStride[4] = {int(stride), 0, 0, 0};
    sws_scale(s.converter.get(), f->data, f->linesize, 0, direct, dst, dstStride);
    if (direct < h) {
        const int64_t row = int64_t(w) * 4;
        s.tailRows.resize(size_t(row) * 2 + kOverrun);
        const uint8_t* src[4] = {f->data[0] + int64_t(direct) * f->linesize[0],
                                 f->data[1] + int64_t(direct / 2) * f->linesize[1],
                                 f->data[2] + int64_t(direct / 2) * f->linesize[2], nullptr};
        uint8_t* tailDst[4] = {s.tailRows.data(), nullptr, nullptr, nullptr};
        int tailStride[4] = {int(row), 0, 0, 0};
        sws_scale(s.tail.get(), src, f->linesize, 0, 2, tailDst, tailStride);
        for (int r = 0; r < 2; ++r)
            std::memcpy(at + int64_t(direct + r) * stride, s.tailRows.data() + r * row,
                        size_t(row));
    }

    // Back what the overrun covered outside the picture: the rest of the row,
    // and where it reaches into the next row, the pixels left of the picture
    // (or all of them below its last row).
    for (int r = 0; r < direct; ++r) {
        const int64_t end = end0 + r * stride;
        const uint8_t* keep = s.saved.data() + size_t(r) * kOverrun;
        const int64_t inRow = std::min(kOverrun, stride - right);
        std::memcpy(bits + end, keep, size_t(inRow));
        if (inRow == kOverrun) continue;
        const int64_t next = end + inRow; // column 0 of the next row
        const int64_t rest = kOverrun - inRow;
        const int64_t outside = r + 1 < h ? std::min(rest, left) : rest;
        std::memcpy(bits + next, keep + inRow, size_t(outside));
    }
    DrawOverlayOn32(at, stride, w, h, picture.rect, picture.offsetX, picture.offsetY);
    return true;
}
