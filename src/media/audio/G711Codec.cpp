#include "media/audio/G711Codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cstring>

namespace tvaudio {

namespace {

AVCodecContext* OpenCodec(bool encoder, G711Law law, std::string* error) {
    const AVCodecID id = law == G711Law::A ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW;
    const AVCodec* codec = encoder ? avcodec_find_encoder(id) : avcodec_find_decoder(id);
    if (!codec) {
        if (error) *error = "FFmpeg has no G.711 codec";
        return nullptr;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return nullptr;
    ctx->sample_rate = 8000;
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ctx->ch_layout, 1);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        if (error) *error = "cannot open the G.711 codec";
        avcodec_free_context(&ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

Narrowband::Narrowband() = default;

Narrowband::~Narrowband() { swr_free(&swr_); }

void Narrowband::Push(const PcmBlock& in) {
    if (in.channels <= 0 || in.rate <= 0 || in.samples.empty()) return;
    if (in.rate == 8000 && in.channels == 1) {
        Emit(in);
        return;
    }
    if (!swr_ || in.rate != inRate_ || in.channels != inChannels_) {
        swr_free(&swr_);
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, in.channels);
        av_channel_layout_default(&outLayout, 1);
        if (swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, 8000, &inLayout,
                                AV_SAMPLE_FMT_S16, in.rate, 0, nullptr) < 0 ||
            swr_init(swr_) < 0) {
            swr_free(&swr_);
            return;
        }
        inRate_ = in.rate;
        inChannels_ = in.channels;
    }
    const int inFrames = static_cast<int>(in.Frames());
    const int room = swr_get_out_samples(swr_, inFrames);
    if (room <= 0) return;
    PcmBlock out;
    out.samples.resize(static_cast<std::size_t>(room));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.samples.data());
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in.samples.data());
    const int got = swr_convert(swr_, &dst, room, &src, inFrames);
    if (got <= 0) return;
    out.samples.resize(static_cast<std::size_t>(got));
    Emit(out);
}

G711Encode::G711Encode(G711Law law) {
    ctx_ = OpenCodec(true, law, &error_);
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) avcodec_free_context(&ctx_);
}

G711Encode::~G711Encode() {
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
}

void G711Encode::Push(const PcmBlock& in) {
    if (!ctx_ || in.rate != 8000 || in.channels != 1 || in.samples.empty()) return;
    av_frame_unref(frame_);
    frame_->format = AV_SAMPLE_FMT_S16;
    frame_->sample_rate = 8000;
    frame_->nb_samples = static_cast<int>(in.samples.size());
    av_channel_layout_default(&frame_->ch_layout, 1);
    if (av_frame_get_buffer(frame_, 0) < 0) return;
    std::memcpy(frame_->data[0], in.samples.data(), in.samples.size() * sizeof(int16_t));
    if (avcodec_send_frame(ctx_, frame_) < 0) return;
    G711Block out;
    while (avcodec_receive_packet(ctx_, pkt_) == 0) {
        out.bytes.insert(out.bytes.end(), pkt_->data, pkt_->data + pkt_->size);
        av_packet_unref(pkt_);
    }
    if (!out.bytes.empty()) Emit(out);
}

G711Decode::G711Decode(G711Law law) {
    ctx_ = OpenCodec(false, law, nullptr);
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) avcodec_free_context(&ctx_);
}

G711Decode::~G711Decode() {
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
}

void G711Decode::Push(const G711Block& in) {
    if (!ctx_ || in.bytes.empty()) return;
    av_packet_unref(pkt_);
    if (av_new_packet(pkt_, static_cast<int>(in.bytes.size())) < 0) return;
    std::memcpy(pkt_->data, in.bytes.data(), in.bytes.size());
    if (avcodec_send_packet(ctx_, pkt_) < 0) return;
    PcmBlock out;
    while (avcodec_receive_frame(ctx_, frame_) == 0) {
        const auto* s = reinterpret_cast<const int16_t*>(frame_->data[0]);
        out.samples.insert(out.samples.end(), s, s + frame_->nb_samples);
        av_frame_unref(frame_);
    }
    if (!out.samples.empty()) Emit(out);
}

} // namespace tvaudio
