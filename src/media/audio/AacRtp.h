#pragma once
// AAC for a talk call: FFmpeg's own AAC-LC encoder and decoder, and the RTP
// payload of RFC 3640 (mpeg4-generic, AAC-hbr and AAC-lbr): a 16-bit
// AU-headers-length in bits, one AU header per access unit (sizeLength bits
// of size, then indexLength bits of index for the first, indexDeltaLength for
// the others), padding to a byte, then the access units themselves.

#include "media/audio/AudioStages.h"
#include "media/audio/FramePcm.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace tvaudio {

// Samples in one AAC-LC access unit: the RTP timestamp's step.
constexpr uint32_t kAacFrameSamples = 1024;

// What the SDP says of one AAC payload type.
struct AacFormat {
    int payloadType = 102;
    int rate = 8000;              // the rtpmap's clock, which is the sampling rate
    int channels = 1;
    std::vector<uint8_t> config;  // AudioSpecificConfig (fmtp config=, hex)
    int sizeLength = 13, indexLength = 3, indexDeltaLength = 3;
};

// The two-byte AudioSpecificConfig of AAC-LC at rate and channels (1 to 7);
// empty when the rate is none of the 13 that the config can name by index.
std::vector<uint8_t> AacLcConfig(int rate, int channels);

// The format of payload type pt from its rtpmap value ("AAC/8000/1",
// "mpeg4-generic/16000/2"; empty: AAC/8000/1) and fmtp parameters (empty:
// those of our offer). Parameter names are matched without regard to case;
// a missing config is AAC-LC's for the rtpmap's rate and channels. False with
// error set for what cannot be carried (no AU size, bits out of range, an
// encoding that is not AAC).
bool ReadAacFormat(int pt, const std::string& rtpmap, const std::string& fmtp, AacFormat& out,
                   std::string& error);

// One AU as an RTP payload (one AU header of index 0); empty when the AU's
// size does not fit in sizeLength bits.
std::vector<uint8_t> AacPayload(const AacFormat& f, const uint8_t* au, std::size_t n);
// The access units of one RTP payload. False (out unchanged) when its headers
// do not fit the payload; an AU split over packets (its size beyond the
// payload's end) is not taken.
bool AacUnitsOfPayload(const AacFormat& f, const uint8_t* p, std::size_t n, std::vector<AacFrame>& out);

// An AU behind a 7-byte ADTS header made from config (object types 1 to 4,
// a rate by index), as an ADTS parser takes it; empty for other configs.
std::vector<uint8_t> AdtsFrame(const std::vector<uint8_t>& config, const uint8_t* au, std::size_t n);

// Any rate and channel count in; AAC-LC access units at the format's rate
// and channels out (FFmpeg's "aac" encoder, 1024 samples each).
class AacEncode final : public Stage<PcmBlock, AacFrame> {
public:
    AacEncode(int rate, int channels);
    ~AacEncode() override;
    AacEncode(const AacEncode&) = delete;
    AacEncode& operator=(const AacEncode&) = delete;
    bool Ok() const { return ctx_ != nullptr; }
    const std::string& Error() const { return error_; }
    void Push(const PcmBlock& in) override;

private:
    void EncodeFrames();

    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* pkt_ = nullptr;
    SwrContext* swr_ = nullptr;
    int inRate_ = 0, inChannels_ = 0;
    std::vector<std::vector<float>> planes_; // resampled, not yet a whole frame
    std::string error_;
};

// AAC access units in (with the stream's AudioSpecificConfig); 16-bit
// interleaved PCM at the stream's rate and channels out.
class AacUnitDecode final : public Stage<AacFrame, PcmBlock> {
public:
    explicit AacUnitDecode(const std::vector<uint8_t>& config);
    ~AacUnitDecode() override;
    AacUnitDecode(const AacUnitDecode&) = delete;
    AacUnitDecode& operator=(const AacUnitDecode&) = delete;
    bool Ok() const { return ctx_ != nullptr; }
    void Push(const AacFrame& in) override;

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* pkt_ = nullptr;
    FramePcm pcm_;
};

} // namespace tvaudio
