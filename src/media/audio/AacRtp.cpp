#include "media/audio/AacRtp.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tvaudio {

namespace {

// ISO/IEC 14496-3's sampling frequency index.
constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

int RateIndex(int rate) {
    for (int i = 0; i < 13; ++i)
        if (kRates[i] == rate) return i;
    return -1;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") + 1 - b);
}

bool Hex(const std::string& s, std::vector<uint8_t>& out) {
    if (s.empty() || s.size() % 2) return false;
    out.clear();
    for (std::size_t i = 0; i < s.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(s[i])) || !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
            return false;
        out.push_back(static_cast<uint8_t>(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool SmallInt(const std::string& v, int lo, int hi, int& out) {
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || n < lo || n > hi) return false;
    out = static_cast<int>(n);
    return true;
}

// Reads bits MSB first.
struct Bits {
    const uint8_t* p;
    std::size_t pos = 0;
    uint32_t Take(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) v = v << 1 | ((p[pos / 8] >> (7 - pos % 8)) & 1);
        return v;
    }
};

} // namespace

std::vector<uint8_t> AacLcConfig(int rate, int channels) {
    const int index = RateIndex(rate);
    if (index < 0 || channels < 1 || channels > 7) return {};
    // object type 2 (5 bits), rate index (4), channel configuration (4), 3 zero bits
    return {static_cast<uint8_t>(2 << 3 | index >> 1), static_cast<uint8_t>((index & 1) << 7 | channels << 3)};
}

bool ReadAacFormat(int pt, const std::string& rtpmap, const std::string& fmtp, AacFormat& out,
                   std::string& error) {
    AacFormat f;
    f.payloadType = pt;
    if (!rtpmap.empty()) {
        std::vector<std::string> part;
        std::istringstream in(Trim(rtpmap));
        for (std::string x; std::getline(in, x, '/');) part.push_back(x);
        const std::string name = part.empty() ? "" : Lower(part[0]);
        if (name != "aac" && name != "mpeg4-generic") {
            error = "payload type " + std::to_string(pt) + " is " + rtpmap + ", not AAC";
            return false;
        }
        if (part.size() < 2 || !SmallInt(part[1], 1, 192000, f.rate)) {
            error = "no clock rate in " + rtpmap;
            return false;
        }
        if (part.size() >= 3 && !SmallInt(part[2], 1, 7, f.channels)) {
            error = "channels out of range in " + rtpmap;
            return false;
        }
    }
    std::istringstream in(fmtp);
    for (std::string item; std::getline(in, item, ';');) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string k = Lower(Trim(item.substr(0, eq)));
        const std::string v = Trim(item.substr(eq + 1));
        bool ok = true;
        if (k == "sizelength") ok = SmallInt(v, 1, 16, f.sizeLength);
        else if (k == "indexlength") ok = SmallInt(v, 0, 8, f.indexLength);
        else if (k == "indexdeltalength") ok = SmallInt(v, 0, 8, f.indexDeltaLength);
        else if (k == "config") ok = Hex(v, f.config);
        if (!ok) {
            error = "cannot read " + Trim(item) + " in the AAC fmtp";
            return false;
        }
    }
    if (f.config.empty()) f.config = AacLcConfig(f.rate, f.channels);
    if (f.config.empty()) {
        error = "no AAC configuration for " + std::to_string(f.rate) + " Hz";
        return false;
    }
    out = std::move(f);
    return true;
}

std::vector<uint8_t> AacPayload(const AacFormat& f, const uint8_t* au, std::size_t n) {
    if (n == 0 || n >= (std::size_t{1} << f.sizeLength)) return {};
    const int bits = f.sizeLength + f.indexLength;
    const std::size_t headerBytes = static_cast<std::size_t>(bits + 7) / 8;
    std::vector<uint8_t> out(2 + headerBytes, 0);
    out[0] = static_cast<uint8_t>(bits >> 8);
    out[1] = static_cast<uint8_t>(bits);
    // size, then index 0, left-aligned in the header bytes
    const uint64_t header = uint64_t(n) << (headerBytes * 8 - static_cast<std::size_t>(f.sizeLength));
    for (std::size_t i = 0; i < headerBytes; ++i)
        out[2 + i] = static_cast<uint8_t>(header >> (8 * (headerBytes - 1 - i)));
    out.insert(out.end(), au, au + n);
    return out;
}

bool AacUnitsOfPayload(const AacFormat& f, const uint8_t* p, std::size_t n, std::vector<AacFrame>& out) {
    if (n < 2 || f.sizeLength <= 0) return false;
    const std::size_t headerBits = std::size_t(p[0]) << 8 | p[1];
    const std::size_t headerBytes = (headerBits + 7) / 8;
    if (2 + headerBytes > n) return false;
    Bits bits{p + 2};
    std::vector<std::size_t> sizes;
    for (bool first = true;; first = false) {
        const std::size_t need = static_cast<std::size_t>(f.sizeLength + (first ? f.indexLength : f.indexDeltaLength));
        if (bits.pos + need > headerBits) break;
        sizes.push_back(bits.Take(f.sizeLength));
        bits.Take(first ? f.indexLength : f.indexDeltaLength); // in order: the index is not needed
    }
    std::size_t at = 2 + headerBytes;
    for (std::size_t size : sizes) {
        if (size == 0) continue;
        if (size > n - at) break; // a fragment: not taken
        out.push_back(AacFrame{std::vector<uint8_t>(p + at, p + at + size)});
        at += size;
    }
    return true;
}

std::vector<uint8_t> AdtsFrame(const std::vector<uint8_t>& config, const uint8_t* au, std::size_t n) {
    if (config.size() < 2) return {};
    const int object = config[0] >> 3;
    const int index = (config[0] & 7) << 1 | config[1] >> 7;
    const int channels = (config[1] >> 3) & 15;
    const std::size_t length = n + 7;
    if (object < 1 || object > 4 || index > 12 || channels > 7 || length >= 8192) return {};
    std::vector<uint8_t> out = {
        0xFF, 0xF1, // sync word, MPEG-4, layer 0, no CRC
        static_cast<uint8_t>((object - 1) << 6 | index << 2 | channels >> 2),
        static_cast<uint8_t>((channels & 3) << 6 | length >> 11),
        static_cast<uint8_t>(length >> 3),
        static_cast<uint8_t>((length & 7) << 5 | 0x1F), // buffer fullness 0x7FF: variable rate
        0xFC};                                          // one raw data block
    out.insert(out.end(), au, au + n);
    return out;
}

AacEncode::AacEncode(int rate, int channels) {
    // FFmpeg's own encoder, by name: never another AAC encoder that happens to be registered.
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        error_ = "FFmpeg has no aac encoder";
        return;
    }
    if (RateIndex(rate) < 0 || channels < 1 || channels > 7) {
        error_ = "AAC cannot carry " + std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels";
        return;
    }
    ctx_ = avcodec_alloc_context3(codec);
    if (!ctx_) return;
    ctx_->sample_rate = rate;
    ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&ctx_->ch_layout, channels);
    ctx_->profile = FF_PROFILE_AAC_LOW;
    // About two bits a sample, at most 64 kbit/s a channel.
    ctx_->bit_rate = std::min(64000, rate * 2) * channels;
    if (avcodec_open2(ctx_, codec, nullptr) < 0) {
        error_ = "cannot open the AAC encoder at " + std::to_string(rate) + " Hz";
        avcodec_free_context(&ctx_);
        return;
    }
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) avcodec_free_context(&ctx_);
    planes_.resize(static_cast<std::size_t>(channels));
}

AacEncode::~AacEncode() {
    swr_free(&swr_);
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
}

void AacEncode::Push(const PcmBlock& in) {
    if (!ctx_ || in.channels <= 0 || in.rate <= 0 || in.samples.empty()) return;
    if (!swr_ || in.rate != inRate_ || in.channels != inChannels_) {
        swr_free(&swr_);
        AVChannelLayout inLayout;
        av_channel_layout_default(&inLayout, in.channels);
        if (swr_alloc_set_opts2(&swr_, &ctx_->ch_layout, AV_SAMPLE_FMT_FLTP, ctx_->sample_rate, &inLayout,
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
    const std::size_t channels = planes_.size();
    std::vector<std::vector<float>> got(channels, std::vector<float>(static_cast<std::size_t>(room)));
    std::vector<uint8_t*> dst(channels);
    for (std::size_t c = 0; c < channels; ++c) dst[c] = reinterpret_cast<uint8_t*>(got[c].data());
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in.samples.data());
    const int n = swr_convert(swr_, dst.data(), room, &src, inFrames);
    if (n <= 0) return;
    for (std::size_t c = 0; c < channels; ++c) planes_[c].insert(planes_[c].end(), got[c].begin(), got[c].begin() + n);
    EncodeFrames();
}

void AacEncode::EncodeFrames() {
    const std::size_t size = static_cast<std::size_t>(ctx_->frame_size > 0 ? ctx_->frame_size : kAacFrameSamples);
    while (planes_[0].size() >= size) {
        av_frame_unref(frame_);
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = ctx_->sample_rate;
        frame_->nb_samples = static_cast<int>(size);
        av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout);
        if (av_frame_get_buffer(frame_, 0) < 0) return;
        for (std::size_t c = 0; c < planes_.size(); ++c) {
            std::memcpy(frame_->data[c], planes_[c].data(), size * sizeof(float));
            planes_[c].erase(planes_[c].begin(), planes_[c].begin() + static_cast<long>(size));
        }
        if (avcodec_send_frame(ctx_, frame_) < 0) return;
        while (avcodec_receive_packet(ctx_, pkt_) == 0) {
            Emit(AacFrame{std::vector<uint8_t>(pkt_->data, pkt_->data + pkt_->size)});
            av_packet_unref(pkt_);
        }
    }
}

AacUnitDecode::AacUnitDecode(const std::vector<uint8_t>& config) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec || config.empty()) return;
    ctx_ = avcodec_alloc_context3(codec);
    if (!ctx_) return;
    ctx_->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx_->extradata) {
        avcodec_free_context(&ctx_);
        return;
    }
    std::memcpy(ctx_->extradata, config.data(), config.size());
    ctx_->extradata_size = static_cast<int>(config.size());
    if (avcodec_open2(ctx_, codec, nullptr) < 0) {
        avcodec_free_context(&ctx_);
        return;
    }
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) avcodec_free_context(&ctx_);
}

AacUnitDecode::~AacUnitDecode() {
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
}

void AacUnitDecode::Push(const AacFrame& in) {
    if (!ctx_ || in.bytes.empty()) return;
    av_packet_unref(pkt_);
    if (av_new_packet(pkt_, static_cast<int>(in.bytes.size())) < 0) return; // zeroed padding
    std::memcpy(pkt_->data, in.bytes.data(), in.bytes.size());
    if (avcodec_send_packet(ctx_, pkt_) < 0) return;
    while (avcodec_receive_frame(ctx_, frame_) == 0) {
        PcmBlock b;
        const bool ok = pcm_.Convert(frame_, b);
        av_frame_unref(frame_);
        if (ok) Emit(b);
    }
}

} // namespace tvaudio
