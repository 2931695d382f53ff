#pragma once
// The voice path as a chain of stages, each with one input and one output:
//
//   microphone / WAV file -> Narrowband -> G711Encode -> RtpAudioOut (network)
//   network -> (RtpAudioIn) -> G711Decode -> ToneMeter / the playback
//
// or, for AAC (RFC 3640, AacRtp.h): AacEncode -> RtpAudioOut and
// RtpAudioIn -> AacUnitDecode.
//
// A stage takes its input with Push on the caller's thread and hands what it
// made to its output (a Sink) before Push returns; none of them waits or
// takes a lock of its own, so a chain runs on the thread that feeds it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvaudio {

// Interleaved 16-bit linear PCM.
struct PcmBlock {
    std::vector<int16_t> samples;
    int rate = 8000;
    int channels = 1;
    std::size_t Frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

// G.711 bytes at 8000 Hz, one byte a sample.
struct G711Block {
    std::vector<uint8_t> bytes;
};

// One AAC access unit (a raw frame of 1024 samples, no ADTS header).
struct AacFrame {
    std::vector<uint8_t> bytes;
};

enum class G711Law { A, U };

// RTP payload types of RFC 3551 (static): PCMU 0, PCMA 8.
constexpr uint8_t PayloadTypeOf(G711Law law) { return law == G711Law::A ? 8 : 0; }

template <class T> class Sink {
public:
    virtual ~Sink() = default;
    virtual void Push(const T& block) = 0;
};

// A stage: a Sink of its input that pushes to one output.
template <class In, class Out> class Stage : public Sink<In> {
public:
    void SetOutput(Sink<Out>* out) { out_ = out; }

protected:
    void Emit(const Out& block) {
        if (out_) out_->Push(block);
    }

private:
    Sink<Out>* out_ = nullptr;
};

} // namespace tvaudio
