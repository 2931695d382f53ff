// The RTP sequence count of the followed stream: wrap, gaps, duplicates, late
// packets, large jumps and SSRC changes, each a row of sequence numbers fed in
// order and the totals expected after them.
#include "media/recv/SequenceCount.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Row {
    std::string name;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> in; // (SSRC, sequence number)
    std::uint64_t packets, gaps, skipped, duplicates, late, restarts;
};

std::vector<std::pair<std::uint32_t, std::uint16_t>> Numbers(std::uint32_t ssrc, std::uint16_t from,
                                                         int n) {
    std::vector<std::pair<std::uint32_t, std::uint16_t>> out;
    for (int i = 0; i < n; ++i)
        out.push_back({ssrc, static_cast<std::uint16_t>(from + i)});
    return out;
}

TEST(SequenceCount, Table) {
    const std::vector<Row> rows = {
        {"in order across the wrap", Numbers(7, 65530, 12), 12, 0, 0, 0, 0, 0},
        {"gap across the wrap", {{7, 65534}, {7, 65535}, {7, 2}, {7, 3}}, 4, 1, 2, 0, 0, 0},
        {"gap of several", {{7, 10}, {7, 11}, {7, 17}, {7, 18}}, 4, 1, 5, 0, 0, 0},
        {"two gaps", {{7, 10}, {7, 12}, {7, 13}, {7, 15}}, 4, 2, 2, 0, 0, 0},
        {"duplicate", {{7, 10}, {7, 11}, {7, 11}, {7, 12}}, 3, 0, 0, 1, 0, 0},
        {"late packet fills its gap", {{7, 10}, {7, 12}, {7, 11}, {7, 13}}, 4, 0, 0, 0, 1, 0},
        {"late packet across the wrap", {{7, 65535}, {7, 1}, {7, 0}, {7, 2}}, 4, 0, 0, 0, 1, 0},
        {"late packet splits a gap", {{7, 10}, {7, 14}, {7, 12}}, 3, 2, 2, 0, 1, 0},
        {"late packet shrinks a gap", {{7, 10}, {7, 14}, {7, 11}}, 3, 1, 2, 0, 1, 0},
        {"late packet twice", {{7, 10}, {7, 12}, {7, 11}, {7, 11}}, 3, 0, 0, 1, 1, 0},
        {"older than the first counted", {{7, 10}, {7, 11}, {7, 9}}, 2, 0, 0, 1, 0, 0},
        {"late by 126 still fills", [] {
             auto v = Numbers(7, 100, 1);
             v.push_back({7, 300});
             v.push_back({7, 174}); // 126 behind 300
             return v;
         }(), 3, 2, 198, 0, 1, 0},
        {"numbering restarted far ahead", {{7, 10}, {7, 11}, {7, 5000}, {7, 5001}}, 4, 0, 0, 0, 0, 1},
        {"numbering restarted far back", {{7, 5000}, {7, 5001}, {7, 10}, {7, 11}}, 4, 0, 0, 0, 0, 1},
        {"new SSRC starts afresh", {{7, 10}, {7, 11}, {8, 40000}, {8, 40001}, {8, 40003}}, 5, 1, 1, 0,
         0, 1},
        {"old SSRC back is a restart too", {{7, 10}, {8, 500}, {7, 11}}, 3, 0, 0, 0, 0, 2},
        {"every 20th skips one", [] {
             std::vector<std::pair<std::uint32_t, std::uint16_t>> v;
             std::uint16_t seq = 65000; // crosses the wrap
             for (int i = 1; i <= 1000; ++i) {
                 if (i % 20 == 0) ++seq;
                 v.push_back({7, seq++});
             }
             return v;
         }(), 1000, 50, 50, 0, 0, 0},
    };
    for (const Row& r : rows) {
        SequenceCount c;
        for (const auto& [ssrc, seq] : r.in)
            c.Add(ssrc, seq);
        const SequenceFigures& f = c.Figures();
        EXPECT_EQ(f.packets, r.packets) << r.name;
        EXPECT_EQ(f.gaps, r.gaps) << r.name;
        EXPECT_EQ(f.skipped, r.skipped) << r.name;
        EXPECT_EQ(f.duplicates, r.duplicates) << r.name;
        EXPECT_EQ(f.late, r.late) << r.name;
        EXPECT_EQ(f.restarts, r.restarts) << r.name;
        EXPECT_TRUE(f.haveSsrc) << r.name;
        EXPECT_EQ(f.ssrc, r.in.back().first) << r.name;
    }
}

TEST(SequenceCount, NothingCountedBeforeTheFirstPacket) {
    const SequenceFigures f = SequenceCount{}.Figures();
    EXPECT_FALSE(f.haveSsrc);
    EXPECT_EQ(f.packets + f.gaps + f.skipped + f.restarts, 0u);
}

} // namespace
