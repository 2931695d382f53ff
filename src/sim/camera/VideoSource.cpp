#include "sim/camera/VideoSource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <unistd.h>

namespace tvsim {

namespace {

constexpr AVRational k90k{1, 90000};

std::string AvError(int e) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(e, buf, sizeof buf);
    return buf;
}

struct CodecCtxFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FormatFree {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct BsfFree {
    void operator()(AVBSFContext* b) const { av_bsf_free(&b); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecCtxPtr = std::unique_ptr<AVCodecContext, CodecCtxFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// libx264 (or libx265) through libavcodec: Annex B output with the parameter
// sets repeated before every IDR picture, no B-frames, one picture out for
// every picture in.
class Encoder {
public:
    bool Open(int w, int h, int fps, int kbit, std::string& error, bool hevc = false,
              int keySeconds = 1, bool closedGop = false) {
        const int gop = fps * std::max(1, keySeconds);
        const char* name = hevc ? "libx265" : "libx264";
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        if (!codec) {
            error = std::string("libavcodec has no ") + name + " encoder";
            return false;
        }
        ctx_.reset(avcodec_alloc_context3(codec));
        ctx_->width = w;
        ctx_->height = h;
        ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx_->time_base = AVRational{1, fps};
        ctx_->framerate = AVRational{fps, 1};
        ctx_->gop_size = gop;
        ctx_->max_b_frames = 0;
        ctx_->bit_rate = static_cast<int64_t>(kbit) * 1000;
        ctx_->thread_count = 1;
        av_opt_set(ctx_->priv_data, "preset", hevc ? "ultrafast" : "veryfast", 0);
        av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx_->priv_data, "forced-idr", "1", 0);
        if (hevc) {
            // Cameras repeat VPS, SPS and PPS before every key frame, so that a
            // receiver can start at any of them.
            const std::string params = "bframes=0:repeat-headers=1:log-level=error:keyint=" +
                                       std::to_string(gop) + ":min-keyint=" + std::to_string(gop) +
                                       // A loop may start again at any key picture: each an IDR.
                                       (closedGop ? ":open-gop=0" : "");
            av_opt_set(ctx_->priv_data, "x265-params", params.c_str(), 0);
        }
        int r = avcodec_open2(ctx_.get(), codec, nullptr);
        if (r < 0) {
            error = std::string("cannot open ") + name + ": " + AvError(r);
            return false;
        }
        pkt_.reset(av_packet_alloc());
        return true;
    }
    // Encodes one picture (pts in frames); appends what comes out.
    bool Encode(AVFrame* f, bool forceKey, std::deque<AVPacket*>& out, std::string& error) {
        if (f) f->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        int r = avcodec_send_frame(ctx_.get(), f);
        if (r < 0 && r != AVERROR_EOF) {
            error = "encoding failed: " + AvError(r);
            return false;
        }
        while ((r = avcodec_receive_packet(ctx_.get(), pkt_.get())) == 0)
            out.push_back(av_packet_clone(pkt_.get())), av_packet_unref(pkt_.get());
        return true;
    }
    AVCodecContext* Ctx() { return ctx_.get(); }

private:
    CodecCtxPtr ctx_;
    PacketPtr pkt_;
};

void FreeAll(std::deque<AVPacket*>& q) {
    for (AVPacket* p : q) av_packet_free(&p);
    q.clear();
}

// ---------------------------------------------------------------- pattern

// Seven-segment digits, so that the picture needs no font.
void Box(AVFrame* f, int x, int y, int w, int h, uint8_t Y, uint8_t U, uint8_t V) {
    x = std::max(0, x), y = std::max(0, y);
    w = std::min(w, f->width - x), h = std::min(h, f->height - y);
    if (w <= 0 || h <= 0) return;
    for (int r = 0; r < h; ++r) std::memset(f->data[0] + (y + r) * f->linesize[0] + x, Y, w);
    for (int r = y / 2; r < (y + h + 1) / 2; ++r) {
        std::memset(f->data[1] + r * f->linesize[1] + x / 2, U, (w + 1) / 2);
        std::memset(f->data[2] + r * f->linesize[2] + x / 2, V, (w + 1) / 2);
    }
}

void Glyph(AVFrame* f, int x, int y, int s, char c) {
    static const uint8_t segs[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    const int w = 4 * s, t = s, h = 8 * s;
    if (c == ':') {
        Box(f, x + w / 2 - t / 2, y + h / 3, t, t, 235, 128, 128);
        Box(f, x + w / 2 - t / 2, y + 2 * h / 3, t, t, 235, 128, 128);
        return;
    }
    if (c == '-') c = 'g';
    uint8_t m = c >= '0' && c <= '9' ? segs[c - '0'] : (c == 'g' ? 0x40 : 0);
    if (m & 0x01) Box(f, x, y, w, t, 235, 128, 128);                 // a
    if (m & 0x02) Box(f, x + w - t, y, t, h / 2, 235, 128, 128);     // b
    if (m & 0x04) Box(f, x + w - t, y + h / 2, t, h / 2, 235, 128, 128); // c
    if (m & 0x08) Box(f, x, y + h - t, w, t, 235, 128, 128);         // d
    if (m & 0x10) Box(f, x, y + h / 2, t, h / 2, 235, 128, 128);     // e
    if (m & 0x20) Box(f, x, y, t, h / 2, 235, 128, 128);             // f
    if (m & 0x40) Box(f, x, y + h / 2 - t / 2, w, t, 235, 128, 128); // g
}

void Text(AVFrame* f, int x, int y, int s, const std::string& text) {
    Box(f, x - s, y - s, static_cast<int>(text.size()) * 6 * s + s, 10 * s, 16, 128, 128);
    for (char c : text) {
        Glyph(f, x, y, s, c);
        x += 6 * s;
    }
}

// Picture n of the pattern: a drifting ramp, colour bars, a bouncing box,
// the clock and the picture number.
void DrawPattern(AVFrame* f, const PatternOptions& o, int64_t n) {
    const int w = f->width, h = f->height;
    // A diagonal ramp that drifts, eight colour bars below it.
    for (int y = 0; y < h; ++y) {
        uint8_t* row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(40 + ((x + y + n * 4) & 127));
    }
    for (int y = 0; y < h / 2; ++y) {
        std::memset(f->data[1] + y * f->linesize[1], 128, w / 2);
        std::memset(f->data[2] + y * f->linesize[2], 128, w / 2);
    }
    static const uint8_t bars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16},
                                       {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                       {41, 240, 110},  {16, 128, 128}};
    const int barTop = h * 2 / 3, barW = w / 8;
    for (int i = 0; i < 8; ++i)
        Box(f, i * barW, barTop, barW, h - barTop, bars[i][0], bars[i][1], bars[i][2]);
    // A box that bounces.
    const int bs = std::max(8, h / 8);
    const int spanX = std::max(1, w - bs), spanY = std::max(1, barTop - bs);
    int bx = static_cast<int>((n * 7) % (2 * spanX)), by = static_cast<int>((n * 5) % (2 * spanY));
    if (bx > spanX) bx = 2 * spanX - bx;
    if (by > spanY) by = 2 * spanY - by;
    Box(f, bx, by, bs, bs, 235, 128, 128);
    // The time of the picture and its number.
    const int s = std::max(2, h / 90);
    std::time_t t = static_cast<std::time_t>(o.clockBase + n / o.fps);
    std::tm tm{};
    localtime_r(&t, &tm);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    Text(f, 2 * s, 2 * s, s, clock);
    Text(f, 2 * s, 14 * s, s, std::to_string(n));
    if (!o.label.empty()) Text(f, 2 * s, barTop - 11 * s, s, o.label);
}

class PatternSource : public VideoSource {
public:
    explicit PatternSource(PatternOptions o) : o_(std::move(o)) {
        if (o_.clockBase == 0) o_.clockBase = static_cast<int64_t>(std::time(nullptr));
    }
    bool Open(std::string& error, bool closedGop = false) {
        if (!enc_.Open(o_.width, o_.height, o_.fps, o_.kbit, error, o_.hevc, o_.keySeconds,
                       closedGop))
            return false;
        frame_.reset(av_frame_alloc());
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = o_.width;
        frame_->height = o_.height;
        if (av_frame_get_buffer(frame_.get(), 0) < 0) {
            error = "out of memory for the pattern";
            return false;
        }
        return true;
    }
    ~PatternSource() override { FreeAll(pending_); }

    bool Next(AccessUnit& au, std::string& error) override {
        while (pending_.empty()) {
            Draw(index_);
            frame_->pts = index_;
            bool key = forceKey_;
            forceKey_ = false;
            if (!enc_.Encode(frame_.get(), key, pending_, error)) return false;
            ++index_;
        }
        AVPacket* p = pending_.front();
        pending_.pop_front();
        const AVRational tb = enc_.Ctx()->time_base;
        au.data.assign(p->data, p->data + p->size);
        au.pts = av_rescale_q(p->pts, tb, k90k);
        au.dts = av_rescale_q(p->dts == AV_NOPTS_VALUE ? p->pts : p->dts, tb, k90k);
        au.duration = 90000 / o_.fps;
        au.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_free(&p);
        return true;
    }
    void Seek(double seconds) override {
        FreeAll(pending_);
        index_ = static_cast<int64_t>(std::max(0.0, seconds) * o_.fps);
        forceKey_ = true;
    }
    void ForceKeyFrame() override { forceKey_ = true; }
    double Duration() const override { return 0; }
    std::string Describe() const override {
        return "test pattern " + std::to_string(o_.width) + "x" + std::to_string(o_.height) + " " +
               std::to_string(o_.fps) + (o_.hevc ? " fps H.265 (libx265)" : " fps H.264 (libx264)");
    }
    bool Hevc() const override { return o_.hevc; }

private:
    void Draw(int64_t n) {
        av_frame_make_writable(frame_.get());
        DrawPattern(frame_.get(), o_, n);
    }

    PatternOptions o_;
    Encoder enc_;
    FramePtr frame_;
    std::deque<AVPacket*> pending_;
    int64_t index_ = 0;
    bool forceKey_ = false;
};

// ---------------------------------------------------------------- loop

// Pictures in one pass of the loop: whole key intervals, at least one.
int64_t LoopFrames(const PatternOptions& o) {
    const int64_t gop = static_cast<int64_t>(o.fps) * std::max(1, o.keySeconds);
    const auto wanted = static_cast<int64_t>(std::ceil(o.loopSeconds * o.fps - 1e-9));
    return gop * std::max<int64_t>(1, (wanted + gop - 1) / gop);
}

struct LoopUnit {
    std::vector<uint8_t> data;
    bool key = false;
};

// The loop's file read back through libavformat's raw demuxer (its parser
// splits the access units and marks the key ones); false when it is missing
// or does not hold the whole loop (a run stopped while writing, other options).
bool ReadLoop(const PatternOptions& o, std::vector<LoopUnit>& units) {
    const std::string path = LoopFile(o);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    const AVInputFormat* raw = av_find_input_format(o.hevc ? "hevc" : "h264");
    AVFormatContext* fc = nullptr;
    if (!raw || avformat_open_input(&fc, path.c_str(), raw, nullptr) < 0) return false;
    std::unique_ptr<AVFormatContext, FormatFree> fmt(fc);
    PacketPtr pkt(av_packet_alloc());
    units.clear();
    while (av_read_frame(fc, pkt.get()) == 0) {
        LoopUnit u{{pkt->data, pkt->data + pkt->size}, (pkt->flags & AV_PKT_FLAG_KEY) != 0};
        av_packet_unref(pkt.get());
        // The H.265 parser cuts after the first zero of a four-byte start
        // code: that zero goes back before the unit it begins, as encoded.
        if (!units.empty() && u.data.size() >= 3 && u.data[0] == 0 && u.data[1] == 0 &&
            u.data[2] == 1 && units.back().data.size() > 1 && units.back().data.back() == 0) {
            units.back().data.pop_back();
            u.data.insert(u.data.begin(), 0);
        }
        units.push_back(std::move(u));
    }
    return static_cast<int64_t>(units.size()) == LoopFrames(o) && units.front().key;
}

// Encodes the loop and writes its file whole (a temporary file renamed, so
// that a stream of another process never reads half of it).
bool MakeLoop(const PatternOptions& o, std::vector<LoopUnit>& units, std::string& error) {
    PatternOptions p = o;
    p.label.clear();
    // The clock of a loop reads 00:00:00 on: the same pictures whenever made.
    std::tm midnight{};
    midnight.tm_year = 100, midnight.tm_mday = 1, midnight.tm_isdst = -1;
    p.clockBase = static_cast<int64_t>(std::mktime(&midnight));
    PatternSource pattern(p);
    if (!pattern.Open(error, true)) return false;
    units.clear();
    std::string bytes;
    for (int64_t i = 0, n = LoopFrames(o); i < n; ++i) {
        AccessUnit au;
        if (!pattern.Next(au, error)) return false;
        bytes.append(reinterpret_cast<const char*>(au.data.data()), au.data.size());
        units.push_back({std::move(au.data), au.key});
    }
    const std::string path = LoopFile(o);
    const std::string temp = path + ".part" + std::to_string(::getpid()) + "-" +
                             std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    {
        std::ofstream out(temp, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            error = "cannot write the pattern's loop to " + temp;
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        error = "cannot write the pattern's loop to " + path + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

// The pattern encoded once, played in a loop: the 90 kHz times count on over
// the passes, so that the stream, its PTS and its RTP clock run on as a live
// camera's do while no picture is encoded.
class LoopSource : public VideoSource {
public:
    LoopSource(PatternOptions o, std::vector<LoopUnit> units, bool made)
        : o_(std::move(o)), units_(std::move(units)), made_(made) {}

    bool Next(AccessUnit& au, std::string&) override {
        const LoopUnit& u = units_[at_];
        au.data = u.data;
        au.duration = 90000 / o_.fps;
        au.pts = au.dts = sent_ * au.duration;
        au.key = u.key;
        ++sent_;
        at_ = (at_ + 1) % units_.size();
        return true;
    }
    // The key picture at or before the position in the loop.
    void Seek(double seconds) override {
        at_ = static_cast<std::size_t>(std::llround(std::max(0.0, seconds) * o_.fps)) % units_.size();
        while (at_ > 0 && !units_[at_].key) --at_;
    }
    // On to the next key picture (a loop cannot encode one now).
    void ForceKeyFrame() override {
        while (!units_[at_].key) at_ = (at_ + 1) % units_.size();
    }
    double Duration() const override { return 0; }
    std::string Describe() const override {
        char length[32];
        std::snprintf(length, sizeof length, "%.1f s", static_cast<double>(units_.size()) / o_.fps);
        return "test pattern " + std::to_string(o_.width) + "x" + std::to_string(o_.height) + " " +
               std::to_string(o_.fps) + (o_.hevc ? " fps H.265 (libx265)" : " fps H.264 (libx264)") +
               ", a " + length + " loop " + (made_ ? "encoded into " : "read from ") + LoopFile(o_);
    }
    bool Hevc() const override { return o_.hevc; }

private:
    PatternOptions o_;
    std::vector<LoopUnit> units_;
    bool made_;
    std::size_t at_ = 0;
    int64_t sent_ = 0;
};

// ---------------------------------------------------------------- file

class FileSource : public VideoSource {
public:
    explicit FileSource(std::string path) : path_(std::move(path)) {}
    ~FileSource() override { FreeAll(pending_); }

    bool Open(std::string& error) {
        AVFormatContext* fc = nullptr;
        int r = avformat_open_input(&fc, path_.c_str(), nullptr, nullptr);
        if (r < 0) {
            error = "cannot open " + path_ + ": " + AvError(r);
            return false;
        }
        fmt_.reset(fc);
        if ((r = avformat_find_stream_info(fc, nullptr)) < 0) {
            error = "cannot read " + path_ + ": " + AvError(r);
            return false;
        }
        stream_ = av_find_best_stream(fc, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            error = path_ + " has no video stream";
            return false;
        }
        AVStream* st = fc->streams[stream_];
        tb_ = st->time_base;
        AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        fps_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;
        if (fps_ < 1 || fps_ > 240) fps_ = 25.0;
        frameDur_ = static_cast<int64_t>(std::llround(90000.0 / fps_));
        if (fc->duration > 0) duration_ = fc->duration / static_cast<double>(AV_TIME_BASE);
        codecName_ = avcodec_get_name(st->codecpar->codec_id);
        pkt_.reset(av_packet_alloc());
        if (st->codecpar->codec_id == AV_CODEC_ID_H264) {
            const AVBitStreamFilter* f = av_bsf_get_by_name("h264_mp4toannexb");
            AVBSFContext* b = nullptr;
            if (!f || av_bsf_alloc(f, &b) < 0) {
                error = "no h264_mp4toannexb filter";
                return false;
            }
            bsf_.reset(b);
            avcodec_parameters_copy(b->par_in, st->codecpar);
            b->time_base_in = tb_;
            if ((r = av_bsf_init(b)) < 0) {
                error = "cannot convert " + path_ + " to Annex B: " + AvError(r);
                return false;
            }
            return true;
        }
        // Any other codec is decoded and encoded again as H.264.
        const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!dec) {
            error = path_ + ": no decoder for " + codecName_;
            return false;
        }
        dec_.reset(avcodec_alloc_context3(dec));
        avcodec_parameters_to_context(dec_.get(), st->codecpar);
        dec_->thread_count = 1;
        if ((r = avcodec_open2(dec_.get(), dec, nullptr)) < 0) {
            error = path_ + ": cannot open the " + codecName_ + " decoder: " + AvError(r);
            return false;
        }
        int w = dec_->width & ~1, h = dec_->height & ~1;
        if (w <= 0 || h <= 0) {
            error = path_ + ": unknown picture size";
            return false;
        }
        int fps = std::max(1, static_cast<int>(std::lround(fps_)));
        if (!enc_.Open(w, h, fps, std::max(500, w * h * fps / 20000), error)) return false;
        frameDur_ = 90000 / fps;
        decoded_.reset(av_frame_alloc());
        scaled_.reset(av_frame_alloc());
        scaled_->format = AV_PIX_FMT_YUV420P;
        scaled_->width = w;
        scaled_->height = h;
        av_frame_get_buffer(scaled_.get(), 0);
        return true;
    }

    bool Next(AccessUnit& au, std::string& error) override {
        for (int guard = 0; guard < 100000; ++guard) {
            if (!pending_.empty()) {
                AVPacket* p = pending_.front();
                pending_.pop_front();
                bool ok = Emit(p, au);
                av_packet_free(&p);
                if (ok) return true;
                continue;
            }
            if (!Pull(error)) return false;
        }
        error = path_ + ": no picture found";
        return false;
    }

    void Seek(double seconds) override {
        FreeAll(pending_);
        seconds = std::max(0.0, seconds);
        if (duration_ > 0) seconds = std::fmod(seconds, duration_);
        int64_t target = av_rescale_q(static_cast<int64_t>(seconds * 90000), k90k, tb_);
        if (firstDts_ != AV_NOPTS_VALUE) target += firstDts_;
        bool ok = av_seek_frame(fmt_.get(), stream_, target, AVSEEK_FLAG_BACKWARD) >= 0;
        if (!ok || !haveTimes_) {
            // Streams without times: from the start, dropping what comes before.
            av_seek_frame(fmt_.get(), -1, 0, AVSEEK_FLAG_BYTE);
            synth_ = 0;
            skipUntil_ = static_cast<int64_t>(seconds * 90000);
        }
        Flush();
        base_ = loops_ * passLen_;
        needKey_ = true;
    }
    void ForceKeyFrame() override { forceKey_ = true; }
    double Duration() const override { return duration_; }
    std::string Describe() const override {
        return path_ + " (" + codecName_ + (dec_ ? ", encoded again as H.264" : ", re-muxed") + ")";
    }

private:
    void Flush() {
        if (bsf_) av_bsf_flush(bsf_.get());
        if (dec_) avcodec_flush_buffers(dec_.get());
    }

    // Reads packets until something is pending; loops at the end of the file.
    bool Pull(std::string& error) {
        int r = av_read_frame(fmt_.get(), pkt_.get());
        if (r == AVERROR_EOF || (r < 0 && avio_feof(fmt_->pb))) {
            if (dec_) DrainDecoder(error);
            if (lastDts_ == AV_NOPTS_VALUE) {
                error = path_ + ": no picture in the file";
                return false;
            }
            passLen_ = lastDts_ + lastDur_;
            ++loops_;
            base_ = loops_ * passLen_;
            if (!haveTimes_ || av_seek_frame(fmt_.get(), stream_, firstDts_, AVSEEK_FLAG_BACKWARD) < 0)
                av_seek_frame(fmt_.get(), -1, 0, AVSEEK_FLAG_BYTE);
            synth_ = 0;
            Flush();
            return true;
        }
        if (r < 0) {
            error = "reading " + path_ + " failed: " + AvError(r);
            return false;
        }
        if (pkt_->stream_index != stream_) {
            av_packet_unref(pkt_.get());
            return true;
        }
        if (bsf_) {
            av_bsf_send_packet(bsf_.get(), pkt_.get());
            while (av_bsf_receive_packet(bsf_.get(), pkt_.get()) == 0) {
                pending_.push_back(av_packet_clone(pkt_.get()));
                av_packet_unref(pkt_.get());
            }
            return true;
        }
        avcodec_send_packet(dec_.get(), pkt_.get());
        av_packet_unref(pkt_.get());
        return Receive(error);
    }

    bool Receive(std::string& error) {
        while (avcodec_receive_frame(dec_.get(), decoded_.get()) == 0) {
            AVFrame* d = decoded_.get();
            sws_.reset(sws_getCachedContext(sws_.release(), d->width, d->height,
                                            static_cast<AVPixelFormat>(d->format), scaled_->width,
                                            scaled_->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                            nullptr, nullptr, nullptr));
            av_frame_make_writable(scaled_.get());
            sws_scale(sws_.get(), d->data, d->linesize, 0, d->height, scaled_->data,
                      scaled_->linesize);
            scaled_->pts = encIndex_++;
            bool key = forceKey_ || needKey_;
            forceKey_ = false;
            std::deque<AVPacket*> out;
            if (!enc_.Encode(scaled_.get(), key, out, error)) return false;
            for (AVPacket* p : out) {
                // Times of the decoded picture, in the file's time base.
                int64_t ts = d->best_effort_timestamp;
                p->pts = p->dts = ts;
                if (key) p->flags |= AV_PKT_FLAG_KEY;
                pending_.push_back(p);
            }
            av_frame_unref(d);
        }
        return true;
    }

    void DrainDecoder(std::string& error) {
        avcodec_send_packet(dec_.get(), nullptr);
        Receive(error);
    }

    // Turns a packet into a unit with times from the start of the source.
    bool Emit(AVPacket* p, AccessUnit& au) {
        int64_t dts = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
        int64_t d90;
        if (dts == AV_NOPTS_VALUE) {
            d90 = synth_;
        } else {
            haveTimes_ = true;
            if (firstDts_ == AV_NOPTS_VALUE) firstDts_ = dts;
            d90 = av_rescale_q(dts - firstDts_, tb_, k90k);
        }
        int64_t p90 = p->pts != AV_NOPTS_VALUE && dts != AV_NOPTS_VALUE
                          ? d90 + av_rescale_q(p->pts - dts, tb_, k90k)
                          : d90;
        int64_t dur = p->duration > 0 && dts != AV_NOPTS_VALUE ? av_rescale_q(p->duration, tb_, k90k)
                                                               : frameDur_;
        if (dur <= 0) dur = frameDur_;
        synth_ = d90 + dur;
        bool key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        if (skipUntil_ >= 0) {
            if (d90 + dur <= skipUntil_ || !key) return false;
            skipUntil_ = -1;
        }
        if (needKey_ && !key) return false;
        needKey_ = false;
        lastDts_ = d90;
        lastDur_ = dur;
        au.data.assign(p->data, p->data + p->size);
        au.dts = base_ + d90;
        au.pts = base_ + p90;
        au.duration = dur;
        au.key = key;
        return true;
    }

    std::string path_;
    std::unique_ptr<AVFormatContext, FormatFree> fmt_;
    std::unique_ptr<AVBSFContext, BsfFree> bsf_;
    CodecCtxPtr dec_;
    Encoder enc_;
    std::unique_ptr<SwsContext, SwsFree> sws_;
    FramePtr decoded_, scaled_;
    PacketPtr pkt_;
    std::deque<AVPacket*> pending_;
    int stream_ = -1;
    AVRational tb_{1, 90000};
    double fps_ = 25;
    double duration_ = 0;
    std::string codecName_;
    int64_t frameDur_ = 3600;
    int64_t firstDts_ = AV_NOPTS_VALUE;
    int64_t lastDts_ = AV_NOPTS_VALUE;
    int64_t lastDur_ = 0;
    int64_t passLen_ = 0;
    int64_t loops_ = 0;
    int64_t base_ = 0;
    int64_t synth_ = 0;
    int64_t skipUntil_ = -1;
    int64_t encIndex_ = 0;
    bool haveTimes_ = false;
    bool needKey_ = false;
    bool forceKey_ = false;
};

void QuietLibraries() {
    // Encoder statistics and demuxer chatter are not events of the camera.
    static const bool once = (av_log_set_level(AV_LOG_ERROR), true);
    (void)once;
}

} // namespace

struct ToneSource::Codec {
    CodecCtxPtr ctx;
    FramePtr frame;
    PacketPtr packet;
};

ToneSource::ToneSource() = default;
ToneSource::~ToneSource() = default;

bool ToneSource::Open(std::string& error) {
    QuietLibraries();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_ALAW);
    if (!codec) {
        error = "libavcodec has no G.711 A-law encoder";
        return false;
    }
    auto c = std::make_unique<Codec>();
    c->ctx.reset(avcodec_alloc_context3(codec));
    c->ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    c->ctx->sample_rate = 8000;
    av_channel_layout_default(&c->ctx->ch_layout, 1);
    if (int r = avcodec_open2(c->ctx.get(), codec, nullptr); r < 0) {
        error = "cannot open the G.711 encoder: " + AvError(r);
        return false;
    }
    c->frame.reset(av_frame_alloc());
    c->packet.reset(av_packet_alloc());
    codec_ = std::move(c);
    return true;
}

std::vector<uint8_t> ToneSource::Next(int samples) {
    std::vector<uint8_t> out;
    if (!codec_ || samples <= 0) return out;
    AVFrame* f = codec_->frame.get();
    av_frame_unref(f);
    f->format = AV_SAMPLE_FMT_S16;
    f->sample_rate = 8000;
    f->nb_samples = samples;
    av_channel_layout_default(&f->ch_layout, 1);
    if (av_frame_get_buffer(f, 0) < 0) return out;
    auto* pcm = reinterpret_cast<int16_t*>(f->data[0]);
    for (int i = 0; i < samples; ++i, ++at_)
        pcm[i] = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * 1000.0 * at_ / 8000.0)));
    if (avcodec_send_frame(codec_->ctx.get(), f) < 0) return out;
    while (avcodec_receive_packet(codec_->ctx.get(), codec_->packet.get()) == 0) {
        out.insert(out.end(), codec_->packet->data, codec_->packet->data + codec_->packet->size);
        av_packet_unref(codec_->packet.get());
    }
    return out;
}

bool PatternJpeg(const PatternOptions& o, int64_t n, std::string& jpeg, std::string& error) {
    QuietLibraries();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) {
        error = "libavcodec has no mjpeg encoder";
        return false;
    }
    CodecCtxPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = o.width;
    ctx->height = o.height;
    // Full-range 4:2:0, as JPEG files are.
    ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    ctx->time_base = AVRational{1, std::max(1, o.fps)};
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->global_quality = FF_QP2LAMBDA * 4;
    if (int r = avcodec_open2(ctx.get(), codec, nullptr); r < 0) {
        error = "cannot open the mjpeg encoder: " + AvError(r);
        return false;
    }
    FramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUVJ420P;
    f->width = o.width;
    f->height = o.height;
    f->quality = ctx->global_quality;
    if (av_frame_get_buffer(f.get(), 0) < 0) {
        error = "out of memory for the snapshot";
        return false;
    }
    PatternOptions po = o;
    if (po.clockBase == 0) po.clockBase = static_cast<int64_t>(std::time(nullptr)) - n / std::max(1, po.fps);
    DrawPattern(f.get(), po, n);
    f->pts = 0;
    PacketPtr pkt(av_packet_alloc());
    int r = avcodec_send_frame(ctx.get(), f.get());
    if (r >= 0) r = avcodec_send_frame(ctx.get(), nullptr);
    if (r >= 0) r = avcodec_receive_packet(ctx.get(), pkt.get());
    if (r < 0) {
        error = "mjpeg encoding failed: " + AvError(r);
        return false;
    }
    jpeg.assign(reinterpret_cast<const char*>(pkt->data), static_cast<std::size_t>(pkt->size));
    return true;
}

std::string LoopFile(const PatternOptions& o) {
    const std::string dir = o.loopDir.empty() ? "." : o.loopDir;
    // v1: the pattern's drawing; a change to it needs a new name.
    return dir + "/tarvex-camera-loop-v1-" + (o.hevc ? "h265-" : "h264-") + std::to_string(o.width) +
           "x" + std::to_string(o.height) + "-" + std::to_string(o.fps) + "fps-" +
           std::to_string(o.kbit) + "k-key" + std::to_string(std::max(1, o.keySeconds)) + "s-" +
           std::to_string(LoopFrames(o)) + "f" + (o.hevc ? ".h265" : ".h264");
}

bool PrepareLoop(const PatternOptions& o, bool& made, std::string& error) {
    QuietLibraries();
    std::vector<LoopUnit> units;
    made = !ReadLoop(o, units);
    return !made || MakeLoop(o, units, error);
}

std::unique_ptr<VideoSource> OpenPattern(const PatternOptions& o, std::string& error) {
    QuietLibraries();
    if (o.loopSeconds > 0) {
        std::vector<LoopUnit> units;
        const bool made = !ReadLoop(o, units);
        if (made && !MakeLoop(o, units, error)) return nullptr;
        return std::make_unique<LoopSource>(o, std::move(units), made);
    }
    auto p = std::make_unique<PatternSource>(o);
    if (!p->Open(error)) return nullptr;
    return p;
}

std::unique_ptr<VideoSource> OpenFile(const std::string& path, std::string& error) {
    QuietLibraries();
    auto f = std::make_unique<FileSource>(path);
    if (!f->Open(error)) return nullptr;
    return f;
}

} // namespace tvsim
