#pragma once
// G.711 through FFmpeg's own codecs (pcm_alaw, pcm_mulaw), and the
// conversion of any captured format to 8000 Hz mono (libswresample).

#include "media/audio/AudioStages.h"

#include <memory>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace tvaudio {

// Any rate and channel count in, 8000 Hz mono out. A block at 8000 Hz mono
// passes as it is.
class Narrowband final : public Stage<PcmBlock, PcmBlock> {
public:
    Narrowband();
    ~Narrowband() override;
    void Push(const PcmBlock& in) override;

private:
    SwrContext* swr_ = nullptr;
    int inRate_ = 0;
    int inChannels_ = 0;
};

// 8000 Hz mono PCM in, G.711 bytes out (same number of samples).
class G711Encode final : public Stage<PcmBlock, G711Block> {
public:
    explicit G711Encode(G711Law law);
    ~G711Encode() override;
    bool Ok() const { return ctx_ != nullptr; }
    const std::string& Error() const { return error_; }
    void Push(const PcmBlock& in) override;

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* pkt_ = nullptr;
    std::string error_;
};

// G.711 bytes in, 8000 Hz mono PCM out.
class G711Decode final : public Stage<G711Block, PcmBlock> {
public:
    explicit G711Decode(G711Law law);
    ~G711Decode() override;
    bool Ok() const { return ctx_ != nullptr; }
    void Push(const G711Block& in) override;

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* pkt_ = nullptr;
};

} // namespace tvaudio
