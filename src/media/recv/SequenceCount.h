#pragma once
// Counts the RTP sequence of one followed stream: packets received, the gaps
// in their numbering and the packets those gaps skipped. Fed with the 16-bit
// sequence number of every packet of the followed source, in the order the
// receiver hands them over; extends the numbers itself (the session gives no
// extended number to the packets it kept during probation, and starts its
// cycle count afresh when a source restarts its numbering).
//
// What counts (RFC 3550 A.1 and A.3 in spirit):
// - a packet ahead of the highest number so far by d (1 <= d < 3000) is
//   received; d > 1 opens a gap of d - 1 skipped numbers;
// - a late packet (up to 126 behind the highest) that fills a skipped number
//   is received and is no longer skipped: reordering is not loss. A gap is a
//   run of skipped numbers, so filling one shrinks, closes or splits its run;
// - a repeated number, or a late one that fills nothing (a duplicate, or older
//   than the first packet counted), is a duplicate: neither received nor skipped;
// - a jump of 3000 or more forward, or more than 126 back, is the sender
//   restarting its numbering (or a stray packet): received, no gap, counting
//   goes on from it. A late packet never counts as a huge gap;
// - another SSRC restarts the numbering in the same way: the first packet of
//   the new source is no gap. The totals go on across restarts, so figures
//   read at two moments can be subtracted.
// Holes older than 126 numbers are final. Not thread-safe: the owner guards it.

#include <bitset>
#include <cstdint>

struct SequenceFigures {
    std::uint64_t packets = 0;    // packets received (duplicates not counted)
    std::uint64_t gaps = 0;       // runs of skipped sequence numbers
    std::uint64_t skipped = 0;    // sequence numbers skipped, late arrivals taken back
    std::uint64_t duplicates = 0; // packets whose number was there already
    std::uint64_t late = 0;       // packets that filled a skipped number
    std::uint64_t restarts = 0;   // numbering restarted: another SSRC, or a large jump
    bool haveSsrc = false;        // a packet was counted
    std::uint32_t ssrc = 0;       // the SSRC of the last packet counted
};

class SequenceCount {
public:
    static constexpr std::int32_t kMaxDropout = 3000;
    static constexpr std::int32_t kWindow = 128;

    void Add(std::uint32_t ssrc, std::uint16_t sequence);
    const SequenceFigures& Figures() const { return f_; }

private:
    void Restart(std::uint32_t ssrc, std::uint16_t sequence);
    bool Hole(std::int32_t back) const { return back >= 0 && back < kWindow && holes_[back]; }

    SequenceFigures f_;
    std::uint16_t highest_ = 0; // the highest number so far, modulo 2^16
    // Bit k: the number k below the highest was skipped and has not come yet.
    std::bitset<kWindow> holes_;
};
