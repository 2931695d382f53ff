#pragma once
// Joins the RTP payloads of one frame of an H.264 (RFC 6184) or H.265
// (RFC 7798) elementary stream into an Annex B access unit: each NAL unit
// gets a 00 00 00 01 start code. H.264: single NAL units (types 1 to 23),
// STAP-A (24), STAP-B (25) and FU-A / FU-B (28, 29). H.265: single NAL units
// (0 to 47), aggregation packets (48) and fragmentation units (49), without
// DONL fields (sprop-max-don-diff 0, as cameras send). MTAPs and PACI packets
// are skipped.
//
// A fragmented NAL unit is written only when its first and last fragments
// came and no other packet came between them; one missing its start or end
// (a packet lost or given up by the reassembler) is dropped whole rather than
// handed to the decoder cut.
//
// The stage after CHbRtpDemux for streams answered as H264/90000 or
// H265/90000, in place of CHbPSDemux for a program stream.

#include <cstddef>
#include <cstdint>
#include <span>

enum class NalCodec { H264, H265 };

class NalDepacketizer {
public:
    using Piece = std::span<const uint8_t>;

    explicit NalDepacketizer(NalCodec codec = NalCodec::H264) : codec_(codec) {}
    void SetCodec(NalCodec codec) { codec_ = codec; }
    NalCodec Codec() const { return codec_; }

    // The output a frame of length bytes in pieces packets can need: the
    // start codes outgrow the two-byte sizes of aggregated units at most
    // by 5/3, and a single unit or a first fragment adds 4 bytes.
    static std::size_t OutputBound(std::size_t length, std::size_t pieces) {
        return 2 * length + 4 * pieces;
    }

    // Writes the access unit of the frame's payloads (one per packet, in
    // sequence order) to output, at least OutputBound bytes; returns its length.
    int32_t Depacketize(std::span<const Piece> pieces, uint8_t* output);

    // Packets and fragmented NAL units dropped so far (unknown or cut).
    uint64_t Dropped() const { return dropped_; }

private:
    void Unit(const uint8_t* nal, std::size_t n);
    void Aggregate(const uint8_t* p, std::size_t n);
    // A fragment: header the NAL unit's rebuilt header (1 or 2 bytes).
    void Fragment(bool start, bool end, int type, const uint8_t* header, std::size_t headerLen,
                  const uint8_t* body, std::size_t n);
    void AbandonFragment();

    NalCodec codec_;
    uint8_t* out_ = nullptr;
    std::size_t len_ = 0;
    bool inFragment_ = false;
    int fragmentType_ = -1;
    std::size_t fragmentStart_ = 0; // where the unit being fragmented began in the output
    uint64_t dropped_ = 0;
};
