#pragma once
// Cuts the video elementary stream out of one frame of MPEG program stream
// (ISO/IEC 13818-1): pack headers, system headers, program stream maps and EMM
// packets are skipped, the payloads of video PES packets (stream ids E0..EF)
// that lie wholly inside the frame are copied out in order, audio PES packets
// (C0..DF) are skipped whole. Anything else is walked byte by byte up to the
// next 00 00 01 prefix.
//
// A program stream map is read for the stream type of the video: the type of
// the first video stream id it lists (0x1B H.264, 0x24 H.265, ...), and of
// the first audio stream id (0x90 G.711 A-law, 0x91 mu-law, 0x0F AAC, ...).
//
// With SetCollectAudio(true) the payloads of the audio PES packets are kept
// too (AudioPayload after each walk), for the device's sound.

#include <cstdint>
#include <span>
#include <vector>

class CHbPSDemux {
public:
    using Piece = std::span<const uint8_t>;

    CHbPSDemux();
    virtual ~CHbPSDemux() = default;

    // Writes the video payloads of input[0..length) to output and returns how
    // many bytes it wrote. The output never exceeds the input length, so an
    // output buffer of length bytes always suffices.
    int32_t Demux(const uint8_t* input, int32_t length, uint8_t* output);
    // The same walk over a frame given as consecutive pieces (the payloads of
    // its RTP packets); each video byte is copied once, straight from its
    // piece. The frame is at most 2 GiB - 1.
    int32_t Demux(std::span<const Piece> pieces, uint8_t* output);

    // The video stream type named by the last program stream map of the last
    // frame walked that had one; 0 when that frame had none.
    uint8_t MapStreamType() const { return m_mapType; }
    // The audio stream type of that map; 0 when it named no audio.
    uint8_t MapAudioStreamType() const { return m_mapAudioType; }

    // Keep the audio payloads of each walk (off by default: nothing is copied).
    void SetCollectAudio(bool on) { m_collectAudio = on; }
    // The audio PES payloads of the last frame walked, joined in order.
    const std::vector<uint8_t>& AudioPayload() const { return m_audio; }

    // Which of the pack header, system header and program stream map came
    // before the first video PES packet of the last frame walked (bits).
    static constexpr uint8_t kPackHeader = 1, kSystemHeader = 2, kStreamMap = 4;
    uint8_t HeadsBeforeVideo() const { return m_heads; }
    // Whether an Annex B elementary stream holds a key picture: an IDR slice
    // (H.264 type 5), or an IRAP picture (H.265 types 16 to 21) when
    // streamType is 0x24.
    static bool HasKeyPicture(const uint8_t* es, int32_t length, uint8_t streamType);

    // The stream type an Annex B elementary stream shows by its first
    // parameter set: 0x24 for H.265, 0x1B for H.264, 0 when it has none.
    static uint8_t SniffStreamType(const uint8_t* es, int32_t length);

private:
    template <class In> int32_t Walk(const In& in, int32_t length);
    // Size of the PES packet at i (0 when it does not fit); copies a video payload.
    template <class In> int32_t Pes(const In& in, int32_t i, int32_t remainder, bool video);
    void ReadMap(const uint8_t* p, int32_t size);

    uint8_t* m_pOut = nullptr;
    int32_t m_nOutLen = 0;
    uint8_t m_mapType = 0;
    uint8_t m_mapAudioType = 0;
    bool m_collectAudio = false;
    std::vector<uint8_t> m_audio; // AudioPayload
    uint8_t m_heads = 0;       // HeadsBeforeVideo
    bool m_videoSeen = false;  // a video PES packet was met in this frame
    std::vector<uint8_t> m_scratch; // a structure that straddles two pieces
    std::vector<int32_t> m_starts;  // where each piece starts in the frame
};
