// The media checks against the device's own clock, the TCP framing and the
// program stream around the key pictures.
#include "CheckKit.h"

using namespace checkkit;

namespace {

// Live view and playback: the pictures over the window against the movement of
// their RTP timestamps (90 kHz, one per picture); Tarvex's own lag is not
// judged, too few frames are not judged.
TEST(DeviceClock, PicturesKeepToTheDevicesTimestamps) {
    struct Row {
        Case live;
        Verdict playback;
        std::optional<DeviceClock> clock;
        std::uint64_t decoded = 250; // of 250 received
    };
    const Row rows[] = {
        {{"25 fps stamped, 25 sent", Verdict::Pass, "25.0 fps by the device's clock"},
         Verdict::Pass,
         DeviceClock{250, 250 * 3600, 10000000}},
        {{"12.5 fps honestly stamped", Verdict::Pass, "12.5 fps by the device's clock"},
         Verdict::Pass,
         DeviceClock{125, 125 * 7200, 10000000}},
        {{"within the arrival jitter", Verdict::Pass, "25.0 fps by the device's clock"},
         Verdict::Pass,
         DeviceClock{25, 25 * 3600, 1200000}},
        {{"stamps 25 fps, sends 12", Verdict::Fail,
          "the device sends fewer pictures than it stamps: 12.0 a second, stamped 25.0 fps (its "
          "RTP clock ran 0.48 s a second at 90 kHz)"},
         Verdict::Fail,
         DeviceClock{12, 12 * 3600, 1000000}},
        {{"stamps at 180 kHz", Verdict::Fail,
          "the device stamps wrong: its RTP timestamps moved 2.00 s a second at 90 kHz"},
         Verdict::Fail,
         DeviceClock{25, 25 * 7200, 1000000}},
        {{"one timestamp for all", Verdict::Fail,
          "the device stamps wrong: 25 pictures in 1.0 s under one RTP timestamp"},
         Verdict::Fail,
         DeviceClock{25, 0, 1000000}},
        {{"too few frames", Verdict::Pass, "25.0 fps received"}, Verdict::Pass,
         DeviceClock{2, 3600, 1000000}},
        {{"not measured", Verdict::Pass, "first picture after 800 ms"}, Verdict::Pass,
         std::nullopt},
        {{"Tarvex behind", Verdict::NotRun, "not judged: Tarvex was behind"},
         Verdict::Pass,
         DeviceClock{12, 12 * 3600, 1000000},
         100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.live.name);
        Wire w;
        w.Register();
        MediaObservation live = Invite(w, kMediaUdp, Answer(kMediaUdp));
        live.framesReceived = 250;
        live.frames = row.decoded;
        live.clock = row.clock;
        w.obs.media.push_back(live);
        const CheckResult r = Judge("live.udp", w.obs);
        ExpectVerdict(r, row.live);
        // The figure, when judged, is a measurement too.
        bool measured = false;
        for (const auto& x : r.measurements)
            measured |= x.name == "device_clock_rate";
        EXPECT_EQ(measured, row.clock && row.clock->frames >= 3);

        Wire p;
        MediaObservation pb =
            Invite(p, kMediaUdp, Replace(Answer(kMediaUdp, "1100000001"), "s=Play", "s=Playback"),
                   200, "Playback");
        pb.rtpSsrc = 1100000001;
        pb.framesReceived = 250;
        pb.frames = row.decoded;
        pb.clock = row.clock;
        p.obs.media.push_back(pb);
        const CheckResult pr = Judge("playback.control", p.obs);
        // No INFO was sent: a playback that keeps to its clock stops at "not run".
        const Verdict want = row.playback == Verdict::Pass ? Verdict::NotRun : row.playback;
        EXPECT_STREQ(VerdictText(pr.verdict), VerdictText(want)) << pr.reason;
        if (want == Verdict::Fail) {
            EXPECT_EQ(pr.reason.rfind("playback: the device ", 0), 0u) << pr.reason;
        }
    }
}

// Tarvex's own receiver behind the stream, as its socket tells (datagrams the
// kernel dropped for it, bytes waiting in its TCP receive queue): the clock and
// the loss are not the device's then; a device that really sends fewer
// pictures than it stamps leaves the queue empty and still fails.
TEST(ReceiverBehind, TarvexsLagIsNotTheDevicesFault) {
    const DeviceClock honest{250, 250 * 3600, 10000000}, slow{120, 120 * 3600, 10000000};
    const std::uint64_t KiB = 1024;
    struct Row {
        Case live, playback;
        int transport;
        DeviceClock clock;
        std::optional<ReceiverQueue> queue;
        std::uint64_t lost = 0, gaps = 0;
    };
    const Row rows[] = {
        {{"udp honest", Verdict::Pass, "25.0 fps by the device's clock"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaUdp, honest, ReceiverQueue{}},
        {{"udp slow device", Verdict::Fail, "the device sends fewer pictures than it stamps: 12.0"},
         {"", Verdict::Fail, "playback: the device sends fewer pictures"}, kMediaUdp, slow,
         ReceiverQueue{}},
        {{"udp tarvex behind", Verdict::NotRun,
          "not judged: Tarvex was behind (the kernel dropped 120 datagrams for Tarvex); 12.0 fps"},
         {"", Verdict::NotRun,
          "the clock not judged: Tarvex was behind (the kernel dropped 120 datagrams for Tarvex)"},
         kMediaUdp, slow, ReceiverQueue{120}, 120, 40},
        {{"udp loss from kernel drops", Verdict::NotRun,
          "not judged: Tarvex was behind (the kernel dropped 1 datagram for Tarvex)"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaUdp, honest, ReceiverQueue{1}, 200, 1},
        {{"udp loss on the way", Verdict::Fail, "4.8 % of the RTP packets skipped"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaUdp, honest, ReceiverQueue{}, 200, 5},
        {{"udp loss, not measured", Verdict::Fail, "4.8 % of the RTP packets skipped"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaUdp, honest, std::nullopt, 200, 5},
        {{"udp drops, nothing else wrong", Verdict::Pass, "first picture after 800 ms"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaUdp, honest, ReceiverQueue{3}},
        {{"tcp honest", Verdict::Pass, "25.0 fps by the device's clock"},
         {"", Verdict::NotRun, "no PAUSE was sent"}, kMediaTcpPassive, honest,
         ReceiverQueue{0, 100, 100 * 4 * KiB}},
        {{"tcp slow device", Verdict::Fail, "the device sends fewer pictures than it stamps"},
         {"", Verdict::Fail, "playback: the device sends fewer pictures"}, kMediaTcpPassive, slow,
         ReceiverQueue{0, 100, 100 * 4 * KiB}},
        {{"tcp tarvex behind", Verdict::NotRun,
          "not judged: Tarvex was behind (2048 KiB waited in Tarvex's receive queue, on average "
          "over 50 reads)"},
         {"", Verdict::NotRun,
          "the clock not judged: Tarvex was behind (2048 KiB waited in Tarvex's receive queue"},
         kMediaTcpActive, slow, ReceiverQueue{0, 50, 50 * 2048 * KiB, 4096 * KiB}},
        // 5 MB in 10 s: half a second is 250000 bytes; 200 KiB on average is under it.
        {{"tcp queue under half a second", Verdict::Fail, "sends fewer pictures than it stamps"},
         {"", Verdict::Fail, "playback: the device sends fewer pictures"}, kMediaTcpPassive, slow,
         ReceiverQueue{0, 50, 50 * 200 * KiB, 4096 * KiB}},
        // The sockets read in time, the receive thread behind them (decoding).
        {{"frames waited for the receive thread", Verdict::NotRun,
          "not judged: Tarvex was behind (its pictures waited 600 ms on average for Tarvex's "
          "receive thread)"},
         {"", Verdict::NotRun, "the clock not judged: Tarvex was behind (its pictures waited"},
         kMediaTcpPassive, slow, ReceiverQueue{0, 50, 50 * 4 * KiB, 0, 120, 120 * 600000}},
        {{"frames taken soon enough", Verdict::Fail, "sends fewer pictures than it stamps"},
         {"", Verdict::Fail, "playback: the device sends fewer pictures"}, kMediaUdp, slow,
         ReceiverQueue{0, 0, 0, 0, 120, 120 * 200000}},
        // TCP loses nothing: a gap is the device's, however far behind Tarvex was.
        {{"tcp gaps while behind", Verdict::Fail, "3 RTP sequence gaps over TCP"},
         {"", Verdict::NotRun, "the clock not judged: Tarvex was behind"}, kMediaTcpPassive,
         slow, ReceiverQueue{0, 50, 50 * 2048 * KiB}, 30, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.live.name);
        Wire w;
        w.Register();
        MediaObservation live = Invite(w, row.transport, Answer(row.transport));
        live.framesReceived = row.clock.frames;
        live.frames = row.clock.frames;
        live.clock = row.clock;
        live.receiverQueue = row.queue;
        live.lostPackets = row.lost;
        live.sequenceGaps = row.gaps;
        w.obs.media.push_back(live);
        const CheckResult r = Judge(row.transport == kMediaUdp         ? "live.udp"
                                    : row.transport == kMediaTcpActive ? "live.tcp_active"
                                                                       : "live.tcp_passive",
                                    w.obs);
        ExpectVerdict(r, row.live);
        bool measured = false;
        for (const auto& x : r.measurements)
            measured |= x.name == "kernel_drops";
        EXPECT_EQ(measured, row.queue.has_value());

        Wire p;
        MediaObservation pb = Invite(
            p, row.transport, Replace(Answer(row.transport, "1100000001"), "s=Play", "s=Playback"),
            200, "Playback");
        pb.rtpSsrc = 1100000001;
        pb.framesReceived = row.clock.frames;
        pb.frames = row.clock.frames;
        pb.clock = row.clock;
        pb.receiverQueue = row.queue;
        p.obs.media.push_back(pb);
        Case playback = row.playback;
        playback.name = row.live.name;
        ExpectVerdict(Judge("playback.control", p.obs), playback);
    }
}

TEST(TcpFraming, Rfc4571PassesInterleavedIsAWarning) {
    struct Row {
        Case c;
        std::vector<std::pair<int, int>> streams; // transport, framing seen
    };
    const Row rows[] = {
        {{"both rfc 4571", Verdict::Pass, "2 streams over TCP framed as RFC 4571"},
         {{kMediaUdp, kFramingUnknown},
          {kMediaTcpPassive, kFramingRfc4571},
          {kMediaTcpActive, kFramingRfc4571}}},
        {{"dollar", Verdict::Fail,
          "Play over TCP active: RTP framed as RTSP interleaved data ('$', channel, length), not "
          "as RFC 4571"},
         {{kMediaTcpPassive, kFramingRfc4571}, {kMediaTcpActive, kFramingInterleaved}}},
        {{"udp only", Verdict::NotRun, "no media over TCP was attempted"}, {{kMediaUdp, 0}}},
        {{"nothing came over tcp", Verdict::NotRun, "no RTP packet came over TCP"},
         {{kMediaTcpPassive, kFramingUnknown}}},
        {{"udp framing ignored", Verdict::Pass, "1 stream over TCP"},
         {{kMediaUdp, kFramingInterleaved}, {kMediaTcpPassive, kFramingRfc4571}}},
    };
    for (const Row& row : rows) {
        Wire w;
        for (const auto& [transport, framing] : row.streams) {
            MediaObservation m = Invite(w, transport, Answer(transport));
            m.framing = framing;
            w.obs.media.push_back(m);
        }
        const CheckResult r = Judge("media.tcp_framing", w.obs);
        ExpectVerdict(r, row.c);
        const CheckDef* def = FindCheck("media.tcp_framing");
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->severity, Severity::Warning) << "a framing Tarvex reads is a warning";
        if (r.verdict == Verdict::Fail) {
            EXPECT_FALSE(r.evidence.empty()) << row.c.name << ": the INVITE of that stream";
        }
    }
}

TEST(PsStructure, HeadersBeforeEveryKeyPictureAndTheMapsTypeTheirs) {
    struct Row {
        Case c;
        std::vector<std::optional<KeyPictures>> streams; // one per live view
    };
    const KeyPictures good{3, 0, 0, 0, 0, 0x1B, 0x1B};
    const Row rows[] = {
        {{"all there", Verdict::Pass,
          "5 key pictures over 2 streams, each after a pack header, a system header and a "
          "program stream map naming 0x1B (H.264)"},
         {good, KeyPictures{2, 0, 0, 0, 0, 0x1B, 0x1B}}},
        {{"bare keys", Verdict::Fail,
          "Play over TCP passive: of 3 key pictures, 3 without a system header, 3 without a "
          "program stream map before their video"},
         {good, KeyPictures{3, 0, 3, 3, 0, 0, 0x1B}}},
        {{"no pack header once", Verdict::Fail, "of 3 key pictures, 1 without a pack header"},
         {KeyPictures{3, 1, 0, 0, 0, 0x1B, 0x1B}}},
        {{"map says H.265", Verdict::Fail,
          "the program stream map names video stream type 0x24 (H.265), the pictures are 0x1B "
          "(H.264)"},
         {KeyPictures{3, 0, 0, 0, 3, 0x24, 0x1B}}},
        {{"no key picture", Verdict::NotRun, "no key picture was received"},
         {KeyPictures{}, std::nullopt}},
        {{"one stream without keys", Verdict::Pass, "3 key pictures over 1 stream"},
         {good, KeyPictures{}}},
    };
    for (const Row& row : rows) {
        Wire w;
        int transport = kMediaUdp;
        for (const auto& k : row.streams) {
            MediaObservation m = Invite(w, transport, Answer(transport));
            m.keyPictures = k;
            w.obs.media.push_back(m);
            ++transport;
        }
        const CheckResult r = Judge("media.ps_structure", w.obs);
        ExpectVerdict(r, row.c);
        if (r.verdict != Verdict::NotRun) {
            EXPECT_FALSE(r.evidence.empty()) << row.c.name;
        }
    }
}

// Key pictures by their RTP timestamps: the longest interval between two of
// them, or the run after the last one, over 4 s is a warning; the shortest is
// reported, not judged (a device may start a new viewer with a key picture).
TEST(KeyInterval, KeyPicturesAtMostFourSecondsApart) {
    struct Stream {
        std::string kind;
        std::uint64_t keys, intervals;
        std::uint32_t shortest, longest;
        std::optional<std::uint32_t> sinceLast;
    };
    struct Row {
        Case c;
        std::vector<Stream> streams;
    };
    const std::uint32_t s = 90000; // ticks a second
    const Row rows[] = {
        {{"one a second", Verdict::Pass,
          "key pictures at most 1.00 s apart (shortest 0.50 s, 9 intervals over 2 streams), "
          "limit 4.0 s"},
         {{"Play", 3, 2, s, s, s / 2}, {"Download", 8, 7, s / 2, s, 0}}},
        {{"exactly 4 s", Verdict::Pass, "at most 4.00 s apart"}, {{"Play", 2, 1, 4 * s, 4 * s, 0}}},
        {{"6 s in the download", Verdict::Fail,
          "Download over UDP: key pictures 6.00 s apart (the longest of 1 interval), limit 4.0 s"},
         {{"Play", 1, 0, 0, 0, s}, {"Download", 2, 1, 6 * s, 6 * s, 2 * s}}},
        {{"one every 4.01 s", Verdict::Fail, "key pictures 4.01 s apart"},
         {{"Play", 3, 2, 4 * s, 4 * s + 900, 0}}},
        {{"none after the first for 5 s", Verdict::Fail,
          "Play over UDP: no key picture for 5.00 s after the last one, limit 4.0 s"},
         {{"Play", 1, 0, 0, 0, 5 * s}}},
        {{"one key picture per stream", Verdict::NotRun,
          "no stream brought two key pictures (2 key pictures over 2 streams; the longest run "
          "after one 1.50 s)"},
         {{"Play", 1, 0, 0, 0, s}, {"Play", 1, 0, 0, 0, s + s / 2}}},
        {{"no key picture", Verdict::NotRun, "no key picture was received"},
         {{"Play", 0, 0, 0, 0, std::nullopt}}},
    };
    const CheckDef* def = FindCheck("media.key_interval");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->severity, Severity::Warning);
    for (const Row& row : rows) {
        Wire w;
        for (const Stream& st : row.streams) {
            MediaObservation m = Invite(w, kMediaUdp, Answer(kMediaUdp));
            m.kind = st.kind;
            KeyPictures k{st.keys, 0, 0, 0, 0, 0x1B, 0x1B};
            k.intervals = st.intervals;
            k.shortestTicks = st.shortest;
            k.longestTicks = st.longest;
            k.sinceLastKeyTicks = st.sinceLast;
            m.keyPictures = k;
            w.obs.media.push_back(m);
        }
        const CheckResult r = Judge("media.key_interval", w.obs);
        ExpectVerdict(r, row.c);
        if (r.verdict == Verdict::Fail) {
            EXPECT_FALSE(r.evidence.empty()) << row.c.name << ": the INVITE of that stream";
        }
    }
}

// The answer's f= (v/codec/resolution/...) against the pictures decoded: a
// code that names another codec or size fails; an empty f=, codes outside
// the lists or nothing decoded are not judged.
TEST(MediaFormat, AnswersFieldAgainstThePicturesDecoded) {
    struct Row {
        Case c;
        std::string f;    // the answer's f= value
        int type, w, h;   // decoded: stream type of the key pictures, picture size
    };
    const Row rows[] = {
        {{"H.264 1080P as stated", Verdict::Pass,
          "1 stream as their answers' f= state, pictures 1920x1080"},
         "v/2/6/25/1/4096a///", 0x1B, 1920, 1080},
        {{"D1 of 525 lines", Verdict::Pass, "pictures 720x480"}, "v/2/4/25/1/1024 a///", 0x1B, 720, 480},
        {{"size written out", Verdict::Pass, "pictures 640x360"}, "v/2/640x360/25/1/1024", 0x1B,
         640, 360},
        {{"says 1080P, sends 640x360", Verdict::Fail,
          "Play over UDP: f=v/2/6 says 1080P/I (1920x1080), the pictures are 640x360"},
         "v/2/6/25/1/4096a///", 0x1B, 640, 360},
        {{"says H.264, sends H.265", Verdict::Fail, "f=v/2/5 says H.264, the pictures are H.265"},
         "v/2/5/25/1/2048a///", 0x24, 1280, 720},
        {{"says MPEG-4", Verdict::Fail, "says MPEG-4, the pictures are H.264"}, "v/1/4/20/2/1024a/8/1",
         0x1B, 720, 576},
        {{"f= empty", Verdict::NotRun, "the device's answers state no video format (f= empty"},
         "", 0x1B, 640, 360},
        {{"only the audio part", Verdict::NotRun, "state no video format"}, "v/////a/1/8/1", 0x1B,
         640, 360},
        {{"unknown codes", Verdict::NotRun, "nothing to compare"}, "v/9/9/25/1/1024", 0x1B, 640, 360},
        {{"nothing decoded", Verdict::NotRun, "nothing to compare"}, "v//6/25/1/1024", 0, 0, 0},
    };
    const CheckDef* def = FindCheck("media.format");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->severity, Severity::Warning);
    for (const Row& row : rows) {
        Wire w;
        std::string answer = Answer(kMediaUdp);
        answer.replace(answer.find("f=\r\n"), 4, "f=" + row.f + "\r\n");
        MediaObservation m = Invite(w, kMediaUdp, answer);
        if (row.type) m.keyPictures = KeyPictures{3, 0, 0, 0, 0, row.type, row.type};
        m.pictureWidth = row.w;
        m.pictureHeight = row.h;
        w.obs.media.push_back(m);
        const CheckResult r = Judge("media.format", w.obs);
        ExpectVerdict(r, row.c);
        if (r.verdict == Verdict::Fail) {
            EXPECT_FALSE(r.evidence.empty()) << row.c.name << ": the INVITE and its answer";
        }
    }
}

} // namespace
