#include "media/session/StreamSaver.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

std::string AvError(int e) {
    char b[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(e, b, sizeof b);
    return b;
}

std::string LocalStamp(std::int64_t t) {
    const std::time_t s = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!localtime_r(&s, &tm)) return std::to_string(t);
    char b[32];
    std::strftime(b, sizeof b, "%Y%m%d%H%M%S", &tm);
    return b;
}

} // namespace

StreamSaver::~StreamSaver() {
    if (es_) {
        std::fclose(es_);
        std::remove((path_ + ".es").c_str());
    }
}

bool StreamSaver::Open(const std::string& path, std::string& error) {
    path_ = path;
    es_ = std::fopen((path + ".es").c_str(), "wb");
    if (!es_) error = "cannot write " + path + ".es: " + std::strerror(errno);
    return es_ != nullptr;
}

void StreamSaver::Write(const std::uint8_t* data, std::size_t size) {
    if (!es_ || failed_ || size == 0) return;
    if (std::fwrite(data, 1, size, es_) != size) failed_ = true;
    bytes_ += size;
}

std::string StreamSaver::Finish(bool hevc, const std::string& finalPath) {
    if (!es_) return "no stream file";
    const bool closed = std::fclose(es_) == 0;
    es_ = nullptr;
    const std::string es = path_ + ".es";
    if (!finalPath.empty()) path_ = finalPath;
    std::string why;
    if (failed_ || !closed) why = "cannot write " + es + ": " + std::strerror(errno);
    else if (bytes_ == 0) why = "no picture came";
    else why = RemuxToMp4(es, path_, hevc);
    std::remove(es.c_str());
    return why;
}

std::string RemuxToMp4(const std::string& es, const std::string& mp4, bool hevc) {
    const AVInputFormat* format = av_find_input_format(hevc ? "hevc" : "h264");
    AVFormatContext* in = nullptr;
    int e = avformat_open_input(&in, es.c_str(), format, nullptr);
    if (e < 0) return "cannot read " + es + ": " + AvError(e);
    std::string why;
    AVFormatContext* out = nullptr;
    AVStream* dst = nullptr;
    AVRational rate{25, 1};
    if ((e = avformat_find_stream_info(in, nullptr)) < 0 || in->nb_streams < 1) {
        why = "no video in " + es;
        goto done;
    }
    // The raw stream's rate (its SPS timing, else libavformat's 25).
    if (in->streams[0]->r_frame_rate.num > 0) rate = in->streams[0]->r_frame_rate;
    if ((e = avformat_alloc_output_context2(&out, nullptr, "mp4", mp4.c_str())) < 0) {
        why = AvError(e);
        goto done;
    }
    dst = avformat_new_stream(out, nullptr);
    if (!dst || avcodec_parameters_copy(dst->codecpar, in->streams[0]->codecpar) < 0) {
        why = "cannot make the MP4 stream";
        goto done;
    }
    dst->codecpar->codec_tag = 0;
    dst->time_base = av_inv_q(rate);
    if ((e = avio_open(&out->pb, mp4.c_str(), AVIO_FLAG_WRITE)) < 0) {
        why = "cannot write " + mp4 + ": " + AvError(e);
        goto done;
    }
    if ((e = avformat_write_header(out, nullptr)) < 0) {
        why = AvError(e);
        goto done;
    }
    {
        AVPacket* p = av_packet_alloc();
        std::int64_t n = 0;
        // Access units in order, one picture period each: the camera's own
        // timing does not survive the elementary stream.
        while (p && av_read_frame(in, p) >= 0) {
            p->stream_index = 0;
            p->pts = p->dts = n++;
            p->duration = 1;
            av_packet_rescale_ts(p, av_inv_q(rate), dst->time_base);
            p->pos = -1;
            if ((e = av_interleaved_write_frame(out, p)) < 0) {
                why = AvError(e);
                break;
            }
        }
        av_packet_free(&p);
    }
    if ((e = av_write_trailer(out)) < 0 && why.empty()) why = AvError(e);
done:
    if (out) {
        if (out->pb) avio_closep(&out->pb);
        avformat_free_context(out);
    }
    avformat_close_input(&in);
    if (!why.empty()) std::remove(mp4.c_str());
    return why;
}

std::string DownloadFileName(const std::string& channel, std::int64_t start, std::int64_t end) {
    return channel + "-" + LocalStamp(start) + "-" + LocalStamp(end) + ".mp4";
}

std::string PsFileName(const std::string& mp4) {
    const std::string ext = ".mp4";
    const bool named = mp4.size() >= ext.size() && mp4.compare(mp4.size() - ext.size(), ext.size(), ext) == 0;
    return (named ? mp4.substr(0, mp4.size() - ext.size()) : mp4) + ".ps";
}
