// The receiver's interarrival jitter against RFC 3550: each row a run of
// (SSRC, RTP timestamp, arrival in ms) and the jitter expected after it, once
// worked by hand and once by the RFC's own code (appendix A.8, integer
// arrivals in timestamp units) run over the same packets.
#include "media/recv/Jitter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Packet {
    std::uint32_t ssrc, timestamp;
    std::int64_t arrivalMs;
};

struct Row {
    std::string name;
    std::uint32_t rate;
    std::vector<Packet> in;
    double wantMs; // worked by hand; negative: no hand figure for this row
};

// RFC 3550 A.8, as printed: transit = arrival - ts; d = |transit - last|;
// jitter += (1/16) * (d - jitter). Only the last SSRC's packets.
double RfcJitterMs(const Row& r) {
    double jitter = 0;
    bool have = false;
    std::int64_t lastTransit = 0;
    std::uint32_t ssrc = 0;
    for (const Packet& p : r.in) {
        if (have && p.ssrc != ssrc) {
            have = false;
            jitter = 0;
        }
        const auto arrival = static_cast<std::uint32_t>(p.arrivalMs * r.rate / 1000);
        const std::int64_t transit = static_cast<std::int32_t>(arrival - p.timestamp);
        if (have) jitter += (1. / 16.) * (static_cast<double>(std::llabs(transit - lastTransit)) - jitter);
        lastTransit = transit;
        have = true;
        ssrc = p.ssrc;
    }
    return jitter * 1000.0 / r.rate;
}

std::vector<Packet> Paced(std::uint32_t ssrc, std::uint32_t ts0, std::uint32_t step, std::int64_t at0,
                          std::int64_t everyMs, int n) {
    std::vector<Packet> v;
    for (int i = 0; i < n; ++i)
        v.push_back({ssrc, ts0 + step * static_cast<std::uint32_t>(i), at0 + everyMs * i});
    return v;
}

TEST(Jitter, AgainstRfc3550) {
    const double oneLate = 900.0 / 16; // one step 10 ms (900 units) late at 90 kHz
    const std::vector<Row> rows = {
        {"evenly paced 25 fps: none", 90000, Paced(7, 1000, 3600, 0, 40, 50), 0},
        {"one packet 10 ms late", 90000, {{7, 0, 0}, {7, 3600, 50}}, oneLate / 90},
        {"late then on time again", 90000, {{7, 0, 0}, {7, 3600, 50}, {7, 7200, 80}},
         (oneLate + (900 - oneLate) / 16) / 90},
        {"a frame's packets share a timestamp", 90000, {{7, 0, 0}, {7, 0, 2}, {7, 0, 4}, {7, 3600, 40}},
         -1},
        {"timestamps wrap", 90000, Paced(7, 0xFFFFF000u, 3600, 0, 40, 10), 0},
        {"another SSRC starts afresh", 90000, [] {
             std::vector<Packet> v = {{7, 0, 0}, {7, 3600, 90}, {7, 7200, 95}};
             for (const Packet& p : Paced(9, 500, 3600, 100, 40, 5)) v.push_back(p);
             return v;
         }(), 0},
        {"8 kHz audio, 20 ms packets, every other 5 ms late", 8000, [] {
             std::vector<Packet> v;
             for (int i = 0; i < 40; ++i)
                 v.push_back({3, static_cast<std::uint32_t>(160 * i), 20 * i + (i % 2 ? 5 : 0)});
             return v;
         }(), -1},
        {"arrivals drift slowly", 90000, [] {
             std::vector<Packet> v;
             for (int i = 0; i < 100; ++i) v.push_back({7, static_cast<std::uint32_t>(3600 * i), 41 * i});
             return v;
         }(), -1},
    };
    const auto t0 = JitterEstimate::Clock::time_point{} + std::chrono::hours(5);
    for (const Row& r : rows) {
        JitterEstimate j(r.rate);
        for (const Packet& p : r.in) j.Add(p.ssrc, p.timestamp, t0 + std::chrono::milliseconds(p.arrivalMs));
        EXPECT_NEAR(j.Milliseconds(), RfcJitterMs(r), 1e-6) << r.name;
        if (r.wantMs >= 0) {
            EXPECT_NEAR(j.Milliseconds(), r.wantMs, 1e-9) << r.name;
        }
        EXPECT_TRUE(j.Known()) << r.name;
    }
    // A drift of 1 ms a frame settles at 1 ms (90 units): |D| is 90 each step.
    JitterEstimate drift;
    for (int i = 0; i < 200; ++i)
        drift.Add(7, static_cast<std::uint32_t>(3600 * i), t0 + std::chrono::milliseconds(41 * i));
    EXPECT_NEAR(drift.Milliseconds(), 1.0, 0.001);
    // One packet says nothing yet.
    JitterEstimate one;
    one.Add(7, 0, t0);
    EXPECT_FALSE(one.Known());
}

} // namespace
