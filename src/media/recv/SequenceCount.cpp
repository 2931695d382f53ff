#include "media/recv/SequenceCount.h"

void SequenceCount::Restart(std::uint32_t ssrc, std::uint16_t sequence) {
    if (f_.haveSsrc) ++f_.restarts;
    f_.haveSsrc = true;
    f_.ssrc = ssrc;
    highest_ = sequence;
    holes_.reset();
    ++f_.packets;
}

void SequenceCount::Add(std::uint32_t ssrc, std::uint16_t sequence) {
    if (!f_.haveSsrc || ssrc != f_.ssrc) return Restart(ssrc, sequence);
    // Serial-number distance from the highest: wraps at 65535 -> 0 by itself.
    const std::int32_t d = static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - highest_));
    if (d > 0 && d < kMaxDropout) {
        holes_ <<= static_cast<std::size_t>(d);
        if (d > 1) {
            ++f_.gaps;
            f_.skipped += static_cast<std::uint64_t>(d - 1);
            for (std::int32_t k = 1; k < d && k < kWindow; ++k)
                holes_.set(static_cast<std::size_t>(k));
        }
        highest_ = sequence;
        ++f_.packets;
    } else if (d <= 0 && -d < kWindow - 1) {
        // Up to 126 back, so that both neighbours of a filled number are known.
        const std::int32_t k = -d;
        if (!Hole(k)) {
            ++f_.duplicates;
            return;
        }
        holes_.reset(static_cast<std::size_t>(k));
        ++f_.packets;
        ++f_.late;
        --f_.skipped;
        const bool before = Hole(k + 1), after = Hole(k - 1);
        if (before && after)
            ++f_.gaps; // the run is split in two
        else if (!before && !after)
            --f_.gaps; // the run is closed
    } else {
        Restart(ssrc, sequence);
    }
}
