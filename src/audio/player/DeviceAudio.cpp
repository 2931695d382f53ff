#include "audio/player/DeviceAudio.h"
#include "media/audio/FramePcm.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <cstdio>

namespace tvaudio {

std::optional<DeviceCodec> CodecOfStreamType(uint8_t t) {
    switch (t) {
    case 0x90:
        return DeviceCodec::G711A;
    case 0x91:
        return DeviceCodec::G711U;
    case 0x0F:
        return DeviceCodec::Aac;
    default:
        return std::nullopt;
    }
}

// ADTS bytes in (split anywhere), 16-bit interleaved PCM out at the stream's
// own rate and channel count.
class AacDecode final : public Stage<std::vector<uint8_t>, PcmBlock> {
public:
    AacDecode() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        if (!codec) return;
        parser_ = av_parser_init(AV_CODEC_ID_AAC);
        ctx_ = avcodec_alloc_context3(codec);
        if (!parser_ || !ctx_ || avcodec_open2(ctx_, codec, nullptr) < 0) {
            avcodec_free_context(&ctx_);
            return;
        }
        pkt_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~AacDecode() override {
        av_frame_free(&frame_);
        av_packet_free(&pkt_);
        avcodec_free_context(&ctx_);
        if (parser_) av_parser_close(parser_);
    }
    void Push(const std::vector<uint8_t>& in) override {
        if (!ctx_ || !pkt_ || !frame_) return;
        // The parser reads past the end of what it is given: the bytes go
        // into a buffer with FFmpeg's input padding, zeroed.
        padded_.assign(in.begin(), in.end());
        padded_.resize(in.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        const uint8_t* p = padded_.data();
        int left = static_cast<int>(in.size());
        while (left > 0) {
            uint8_t* out = nullptr;
            int outSize = 0;
            const int used = av_parser_parse2(parser_, ctx_, &out, &outSize, p, left, AV_NOPTS_VALUE,
                                              AV_NOPTS_VALUE, 0);
            if (used < 0) return;
            p += used;
            left -= used;
            if (outSize > 0) DecodeOne(out, outSize);
        }
    }

private:
    std::vector<uint8_t> padded_;
    void DecodeOne(uint8_t* data, int size) {
        pkt_->data = data;
        pkt_->size = size;
        if (avcodec_send_packet(ctx_, pkt_) < 0) return;
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            PcmBlock b;
            if (pcm_.Convert(frame_, b)) Emit(b);
        }
    }

    AVCodecParserContext* parser_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVFrame* frame_ = nullptr;
    FramePcm pcm_;
};

DeviceAudio::DeviceAudio(std::string device) : device_(std::move(device)) { toPlay_.self = this; }

DeviceAudio::~DeviceAudio() { Stop(); }

void DeviceAudio::Push(DeviceCodec codec, const uint8_t* data, std::size_t length) {
    if (!data || length == 0) return;
    {
        std::lock_guard lk(lock_);
        if (quit_) return;
        queue_.push_back({codec, std::vector<uint8_t>(data, data + length)});
        ++pieces_;
        while (queue_.size() > kQueueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        if (!running_) {
            running_ = true;
            thread_ = std::thread([this] { Run(); });
        }
    }
    wake_.notify_one();
}

void DeviceAudio::PushStreamType(uint8_t streamType, const uint8_t* data, std::size_t length) {
    if (const auto c = CodecOfStreamType(streamType))
        Push(*c, data, length);
    else if (length > 0)
        ++skipped_;
}

void DeviceAudio::Stop() {
    std::thread t;
    {
        std::lock_guard lk(lock_);
        quit_ = true;
        t = std::move(thread_);
    }
    wake_.notify_all();
    if (t.joinable()) t.join();
    std::lock_guard lk(lock_);
    queue_.clear();
    running_ = false;
    quit_ = false;
}

void DeviceAudio::SetMuted(bool muted) {
    muted_ = muted;
    // The player is the decoding thread's; it reads the flag at each block too.
}

void DeviceAudio::SetOutputMeter(MeterWindow* window) {
    MeterWindow* old;
    {
        std::lock_guard lk(meterLock_);
        old = meterWindow_;
        meterWindow_ = window;
    }
    if (old && old != window) old->MeterDetached();
}

std::string DeviceAudio::Error() const {
    std::lock_guard lk(errorLock_);
    return error_;
}

void DeviceAudio::Run() {
    for (;;) {
        Piece p;
        {
            std::unique_lock lk(lock_);
            wake_.wait(lk, [&] { return quit_ || !queue_.empty(); });
            if (quit_) break;
            p = std::move(queue_.front());
            queue_.pop_front();
        }
        Decode(p);
    }
    // Closing writes out what the player holds and joins its thread.
    if (player_) player_->Close();
    player_.reset();
    alaw_.reset();
    ulaw_.reset();
    aac_.reset();
    playerRate_ = playerChannels_ = 0;
}

void DeviceAudio::Decode(Piece& p) {
    switch (p.codec) {
    case DeviceCodec::G711A:
    case DeviceCodec::G711U: {
        auto& d = p.codec == DeviceCodec::G711A ? alaw_ : ulaw_;
        if (!d) {
            d = std::make_unique<G711Decode>(p.codec == DeviceCodec::G711A ? G711Law::A : G711Law::U);
            d->SetOutput(&toPlay_);
        }
        G711Block g;
        g.bytes = std::move(p.bytes);
        d->Push(g);
        break;
    }
    case DeviceCodec::Aac:
        if (!aac_) {
            aac_ = std::make_unique<AacDecode>();
            aac_->SetOutput(&toPlay_);
        }
        aac_->Push(p.bytes);
        break;
    }
}

void DeviceAudio::Play(const PcmBlock& b) {
    if (b.rate != playerRate_ || b.channels != playerChannels_) {
        // A new format: the device is opened for it afresh.
        if (player_) player_->Close();
        player_.reset();
        playerRate_ = b.rate;
        playerChannels_ = b.channels;
        auto p = std::make_unique<AudioPlayer>(device_);
        p->onPlayed = [this](const PcmBlock& out) {
            played_ += out.Frames();
            DrawMeter(out);
        };
        std::string error;
        if (p->Open(b.rate, b.channels, error)) {
            player_ = std::move(p);
            std::lock_guard lk(errorLock_);
            error_.clear();
        } else {
            // Not tried again until the format changes.
            std::fprintf(stderr, "device audio not played: %s\n", error.c_str());
            std::lock_guard lk(errorLock_);
            error_ = error;
        }
    }
    if (!player_) return;
    player_->SetMuted(muted_.load());
    player_->Push(b);
}

void DeviceAudio::DrawMeter(const PcmBlock& b) {
    // The meter reads 16-bit stereo, as the capture device delivers it.
    std::lock_guard lk(meterLock_);
    if (!meterWindow_ || b.channels <= 0) return;
    const std::size_t frames = b.Frames();
    stereo_.resize(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        stereo_[2 * i] = stereo_[2 * i + 1] = b.samples[i * static_cast<std::size_t>(b.channels)];
    int width = 0, height = 0;
    meterWindow_->ClientSize(&width, &height);
    if (meter_.Draw(stereo_.data(), stereo_.size() * 2, width, height)) meterWindow_->Present(meter_.Picture());
}

} // namespace tvaudio
