// Parts of the simulated device where they live: the command line, the
// identifiers, PTZ codes in words, the SDP and MANSCDP-RTSP readers, the
// recordings it invents, the program-stream pack and the RTP packets.

#include "media/send/PsMuxer.h"
#include "media/send/RtpSender.h"
#include "sim/camera/Bodies.h"
#include "sim/camera/Options.h"
#include "sim/camera/Sdp.h"
#include "sim/camera/VideoSource.h"
#include "support/common/ChildProcess.h"
#include "support/common/Files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tvsim {
namespace {

TEST(CameraUnit, CommandLine) {
    CameraOptions o;
    std::string err;
    ASSERT_TRUE(ParseOptions({"--server", "10.1.2.3:5070", "--server-id", "11010000002000000001",
                              "--devices", "3", "--fault", "no-num", "--fault", "ssrc-zero"},
                             o, err))
        << err;
    EXPECT_EQ(o.serverIp, "10.1.2.3");
    EXPECT_EQ(o.serverPort, 5070);
    EXPECT_EQ(o.domain, "1101000000");
    EXPECT_TRUE(o.Has(Fault::NoNum));
    EXPECT_TRUE(o.Has(Fault::SsrcZero));
    EXPECT_FALSE(o.Has(Fault::LateAnswer));
    // Real devices' defaults: a=setup read as RFC 4145 does, PS in 96.
    EXPECT_TRUE(o.setupRfc4145);
    EXPECT_EQ(o.payloadType, 96);
    struct Media {
        std::vector<std::string> args;
        bool rfc4145;
        int pt;
    };
    for (const Media& m : std::vector<Media>{{{"--setup", "legacy"}, false, 96},
                                             {{"--setup", "device"}, false, 96},
                                             {{"--setup", "rfc4145", "--pt", "98"}, true, 98},
                                             {{"--pt", "127"}, true, 127}}) {
        CameraOptions x;
        std::string e;
        ASSERT_TRUE(ParseOptions(m.args, x, e)) << e;
        EXPECT_EQ(x.setupRfc4145, m.rfc4145);
        EXPECT_EQ(x.payloadType, m.pt);
    }
    struct Bad {
        std::vector<std::string> args;
        const char* text;
    };
    for (const Bad& b : std::vector<Bad>{
             {{"--devices"}, "--devices needs a value"},
             {{"--size", "641x360"}, "even numbers"},
             {{"--id", "34020000001329999999", "--devices", "2"}, "runs out of identifiers"},
             {{"--local-port", "65535", "--devices", "2"}, "leaves no port"},
             {{"--transport", "sctp"}, "udp or tcp"},
             {{"--setup", "platform"}, "rfc4145 or legacy"},
             {{"--pt", "95"}, "96 to 127"},
             {{"--pt", "128"}, "96 to 127"},
             {{"--voice-transport", "tcp"}, "udp, tcp-active or tcp-passive"},
             {{"--expect-tone", "20"}, "50 to 3950 Hz"},
             {{"--expect-tone", "4000"}, "50 to 3950 Hz"}}) {
        CameraOptions x;
        std::string e;
        EXPECT_FALSE(ParseOptions(b.args, x, e));
        EXPECT_NE(e.find(b.text), std::string::npos) << e;
    }
}

TEST(CameraUnit, VoiceOptions) {
    CameraOptions d;
    std::string e;
    ASSERT_TRUE(ParseOptions({}, d, e)) << e;
    EXPECT_EQ(d.voiceTransport, "udp"); // a device takes broadcast audio on UDP unless told
    EXPECT_EQ(d.expectTone, 0);
    for (const char* t : {"udp", "tcp-active", "tcp-passive"}) {
        CameraOptions x;
        ASSERT_TRUE(ParseOptions({"--voice-transport", t, "--expect-tone", "1000"}, x, e)) << e;
        EXPECT_EQ(x.voiceTransport, t);
        EXPECT_EQ(x.expectTone, 1000);
    }
}

TEST(CameraUnit, IdentifiersOfDevicesAndChannels) {
    EXPECT_EQ(NthId("34020000001320000001", 0), "34020000001320000001");
    EXPECT_EQ(NthId("34020000001320000001", 199), "34020000001320000200");
    EXPECT_EQ(NthId("34020000001329999999", 1), "");
    EXPECT_EQ(ChannelId("34020000001320000001", 1), "34020000001310000101");
    EXPECT_EQ(ChannelId("34020000001320000200", 4), "34020000001310020004");
}

TEST(CameraUnit, PtzCodesInWords) {
    struct Row {
        const char* code;
        const char* words;
    };
    for (const Row& r : {Row{"A50F0108C000007D", "up speed 192"}, Row{"A50F0100C0000075", "stop"},
                         Row{"A50F008100010036", "set preset 1"}, Row{"A50F008200010037", "go to preset 1"},
                         Row{"A50F010280000037", "left speed 128"},
                         Row{"A50F0108C000007E", "up speed 192 (bad checksum)"},
                         Row{"A50F", "malformed code A50F"}})
        EXPECT_EQ(DescribePtz(r.code), r.words) << r.code;
}

TEST(CameraUnit, OfferAnswerAndPlaybackControl) {
    const std::string offer =
        "v=0\r\no=34020000002000000001 0 0 IN IP4 10.0.0.9\r\ns=Download\r\nc=IN IP4 10.0.0.9\r\n"
        "t=1772500000 1772503600 \r\nm=video 6000 TCP/RTP/AVP 96 98 97\r\na=recvonly\r\n"
        "a=rtpmap:96 PS/90000\r\na=downloadspeed:4\r\na=setup:passive\r\na=connection:new\r\n"
        "y=1100000001\r\nf=v/1/4/20/2/1024a/8/1\r\n";
    MediaOffer o;
    std::string err;
    ASSERT_TRUE(ParseOffer(offer, o, err)) << err;
    EXPECT_EQ(o.sessionName, "Download");
    EXPECT_EQ(o.address, "10.0.0.9");
    EXPECT_EQ(o.port, 6000);
    EXPECT_TRUE(o.tcp);
    EXPECT_EQ(o.setup, "passive");
    EXPECT_EQ(o.downloadSpeed, 4);
    EXPECT_EQ(o.end - o.start, 3600);
    EXPECT_EQ(SsrcFromText(o.ssrc), 1100000001u);
    EXPECT_FALSE(ParseOffer("v=0\r\nm=audio 6000 RTP/AVP 8\r\n", o, err));
    EXPECT_EQ(err, "no m=video line");

    MediaAnswer a;
    a.deviceId = "34020000001310000101";
    a.sessionName = "Play";
    a.address = "10.0.0.5";
    a.port = 6002;
    a.tcp = true;
    a.setup = "passive";
    a.ssrc = "0100000001";
    std::string text = BuildAnswer(a);
    EXPECT_NE(text.find("m=video 6002 TCP/RTP/AVP 96\r\na=sendonly\r\na=rtpmap:96 PS/90000\r\n"
                        "a=setup:passive\r\na=connection:new\r\ny=0100000001\r\n"),
              std::string::npos)
        << text;
    a.payloadType = 98;
    text = BuildAnswer(a);
    EXPECT_NE(text.find("m=video 6002 TCP/RTP/AVP 98\r\na=sendonly\r\na=rtpmap:98 PS/90000\r\n"),
              std::string::npos)
        << text;

    PlaybackCommand c;
    ASSERT_TRUE(ParsePlaybackCommand("PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: -0.5\r\nRange: npt=10-\r\n", c, err));
    EXPECT_EQ(c.method, "PLAY");
    EXPECT_DOUBLE_EQ(c.scale, -0.5);
    EXPECT_DOUBLE_EQ(c.rangeStart, 10);
    ASSERT_TRUE(ParsePlaybackCommand("PLAY RTSP/1.0\r\nRange: npt=now-\r\n", c, err));
    EXPECT_FALSE(c.hasScale);
    EXPECT_DOUBLE_EQ(c.rangeStart, -1);
    EXPECT_FALSE(ParsePlaybackCommand("<?xml version=\"1.0\"?>", c, err));
}

TEST(CameraUnit, RecordingsStartEveryHourAndLastHalfAnHour) {
    auto r = InventRecordings(1000, 1000 + 2 * 3600 + 600);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1].first, 1000 + 3600);
    EXPECT_EQ(r[1].second, 1000 + 3600 + 1800);
    EXPECT_EQ(r[2].second, 1000 + 2 * 3600 + 600); // cut at the end of the range
    EXPECT_TRUE(InventRecordings(5000, 5000).empty());
    EXPECT_EQ(InventRecordings(0, 400 * 3600).size(), static_cast<std::size_t>(kMaxRecordings));
}

TEST(CameraUnit, FaultSwitchesAndTheirValues) {
    CameraOptions o;
    std::string err;
    std::vector<std::string> args;
    for (const auto& f : FaultNames()) args.insert(args.end(), {"--fault", f.name});
    args.insert(args.end(), {"--slow-ms", "2500", "--keepalives", "3"});
    ASSERT_TRUE(ParseOptions(args, o, err)) << err;
    EXPECT_EQ(o.faults.size(), FaultNames().size());
    EXPECT_EQ(o.slowMs, 2500);
    EXPECT_EQ(o.keepalivesBeforeMiss, 3);
    // Every fault is in the usage text under its own name.
    for (const auto& f : FaultNames())
        EXPECT_NE(UsageText().find(std::string("  ") + f.name + " "), std::string::npos) << f.name;
    CameraOptions x;
    EXPECT_FALSE(ParseOptions({"--slow-ms", "-1"}, x, err));
    EXPECT_FALSE(ParseOptions({"--keepalives", "many"}, x, err));
}

// The wire rewrite of content-length-chars: GBK pairs count once, the long
// and the compact header both, and nothing changes for ASCII bodies.
TEST(CameraUnit, ContentLengthCountedInCharacters) {
    struct Row {
        std::string in, out;
        bool changed;
    };
    const std::string gbk = "<Name>\xCD\xA8\xB5\xC0" "1</Name>"; // 18 bytes, 16 characters
    const Row rows[] = {
        {"MESSAGE sip:a@b SIP/2.0\r\nContent-Length: 18\r\n\r\n" + gbk,
         "MESSAGE sip:a@b SIP/2.0\r\nContent-Length: 16\r\n\r\n" + gbk, true},
        {"MESSAGE sip:a@b SIP/2.0\r\nCall-ID: x\r\nl:18\r\nTo: y\r\n\r\n" + gbk,
         "MESSAGE sip:a@b SIP/2.0\r\nCall-ID: x\r\nl: 16\r\nTo: y\r\n\r\n" + gbk, true},
        {"MESSAGE sip:a@b SIP/2.0\r\nContent-Length: 7\r\n\r\n<a>1</a>",
         "MESSAGE sip:a@b SIP/2.0\r\nContent-Length: 7\r\n\r\n<a>1</a>", false},
        {"MESSAGE sip:a@b SIP/2.0\r\nX-Length: 18\r\n\r\n" + gbk,
         "MESSAGE sip:a@b SIP/2.0\r\nX-Length: 18\r\n\r\n" + gbk, false},
    };
    for (const Row& r : rows) {
        std::string b = r.in;
        EXPECT_EQ(ContentLengthInCharacters(b), r.changed) << r.in;
        EXPECT_EQ(b, r.out);
    }
}

TEST(CameraUnit, WrongSnAndMalformedRecordTimes) {
    EXPECT_EQ(OtherSn("17"), "1017");
    EXPECT_EQ(OtherSn(""), "1000");
    EXPECT_EQ(OtherSn("abc"), "1000");
    DeviceIdentity d;
    d.id = "34020000001320000001";
    d.name = "cam";
    const int64_t start = ParseLocalTime("2026-03-03T08:00:00");
    const std::string good = RecordInfoAnswers(d, "5", "34020000001310000101", start, start + 3600, "all", 0)[0];
    const std::string bad =
        RecordInfoAnswers(d, "5", "34020000001310000101", start, start + 3600, "all", 0, true)[0];
    EXPECT_NE(good.find("<StartTime>2026-03-03T08:00:00</StartTime>"), std::string::npos) << good;
    EXPECT_NE(good.find("<EndTime>2026-03-03T08:30:00</EndTime>"), std::string::npos) << good;
    EXPECT_NE(bad.find("<StartTime>2026-03-03 08:00:00</StartTime>"), std::string::npos) << bad;
    EXPECT_NE(bad.find("<EndTime>2026-03-03T08:30</EndTime>"), std::string::npos) << bad;
}

TEST(CameraUnit, PackOfAKeyFrameAndItsPackets) {
    // An IDR access unit larger than one PES packet can hold.
    std::vector<uint8_t> au = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65};
    au.resize(150000, 0xAB);
    ASSERT_TRUE(tvsend::IsH264KeyFrame(au.data(), au.size()));
    tvsend::PsMuxer mux;
    auto pack = mux.Mux(au.data(), au.size(), 7200, 3600, true);
    // Pack header (14), system header (18), map (20), then three video PES packets.
    ASSERT_GT(pack.size(), 52u);
    EXPECT_EQ(pack[3], 0xBA);
    EXPECT_EQ(pack[17], 0xBB);
    EXPECT_EQ(pack[35], 0xBC);
    EXPECT_EQ(pack[14 + 18 + 12], 0x1B); // stream type H.264 ...
    EXPECT_EQ(pack[14 + 18 + 13], 0xE0); // ... on stream id E0
    EXPECT_EQ(tvsend::Crc32Mpeg(pack.data() + 32, 20), 0u); // the CRC closes the map
    std::size_t i = 52, pes = 0, payload = 0;
    while (i + 9 <= pack.size()) {
        ASSERT_EQ(pack[i + 3], 0xE0);
        std::size_t len = static_cast<std::size_t>(pack[i + 4] << 8 | pack[i + 5]);
        std::size_t hdr = pack[i + 8];
        EXPECT_EQ(hdr, pes == 0 ? 10u : 0u); // PTS and DTS in the first only
        payload += len - 3 - hdr;
        i += 6 + len;
        ++pes;
    }
    EXPECT_EQ(i, pack.size());
    EXPECT_EQ(pes, 3u);
    EXPECT_EQ(payload, au.size());

    uint16_t seq = 65535;
    auto pk = tvsend::Packetize(pack, seq, 90000, 0x01020304, 96, 1400);
    EXPECT_EQ(pk.size(), (pack.size() + 1399) / 1400);
    EXPECT_EQ(seq, static_cast<uint16_t>(pk.size() - 1));
    EXPECT_EQ(pk.back()[1], 0x80 | 96);
    EXPECT_EQ(pk.front()[1], 96);
    EXPECT_EQ(pk[1][2], 0);
    EXPECT_EQ(pk[1][3], 0); // sequence 65535 wraps to 0
    auto f = tvsend::FrameForTcp(pk[0], tvsend::TcpFraming::Dollar);
    EXPECT_EQ(f[0], '$');
    EXPECT_EQ(f[1], 0);
    EXPECT_EQ(static_cast<std::size_t>(f[2] << 8 | f[3]), pk[0].size());
    EXPECT_EQ(tvsend::FrameForTcp(pk[0], tvsend::TcpFraming::Rfc4571).size(), pk[0].size() + 2);
}

// --loop: the pattern encoded once into its file and played in a loop. The
// times count on over the passes (the stream's PTS and RTP clock follow
// them), a key picture every second; a second source reads the file instead
// of encoding; a file cut short is encoded again. ffprobe reads the file as
// the codec at its size, and ffmpeg decodes two passes back to back without
// an error (the loop starts again at an IDR picture).
TEST(CameraUnit, PatternLoopEncodedOncePlaysOnWithTimesCountingOn) {
    for (const bool hevc : {false, true}) {
        SCOPED_TRACE(hevc ? "H.265" : "H.264");
        TempDir dir;
        PatternOptions o;
        o.width = 320;
        o.height = 180;
        o.hevc = hevc;
        o.loopSeconds = 1.5; // whole key intervals: 2 s, 50 pictures
        o.loopDir = dir.Path();
        constexpr std::size_t kLoop = 50;
        const std::string file = LoopFile(o);
        EXPECT_NE(file.find(hevc ? "h265-320x180-25fps-1000k-key1s-50f.h265" : "h264-320x180-25fps-1000k-key1s-50f.h264"),
                  std::string::npos)
            << file;
        std::string error;
        auto first = OpenPattern(o, error);
        ASSERT_TRUE(first) << error;
        EXPECT_NE(first->Describe().find("a 2.0 s loop encoded into " + file), std::string::npos)
            << first->Describe();
        ASSERT_TRUE(std::filesystem::exists(file));
        std::vector<std::vector<uint8_t>> units;
        for (std::size_t i = 0; i < 2 * kLoop + 3; ++i) {
            AccessUnit au;
            ASSERT_TRUE(first->Next(au, error)) << error;
            EXPECT_EQ(au.dts, static_cast<int64_t>(i) * 3600) << i;
            EXPECT_EQ(au.pts, au.dts) << i;
            EXPECT_EQ(au.duration, 3600);
            EXPECT_EQ(au.key, i % 25 == 0) << i;
            if (i >= kLoop) {
                EXPECT_EQ(au.data, units[i % kLoop]) << i;
            }
            units.push_back(au.data);
        }
        // Seek lands on the key picture before the position; a forced key
        // picture is the next one of the loop.
        first->Seek(1.6);
        AccessUnit au;
        ASSERT_TRUE(first->Next(au, error));
        EXPECT_TRUE(au.key);
        EXPECT_EQ(au.data, units[25]);
        first->ForceKeyFrame();
        ASSERT_TRUE(first->Next(au, error));
        EXPECT_TRUE(au.key);
        EXPECT_EQ(au.data, units[0]);

        auto again = OpenPattern(o, error);
        ASSERT_TRUE(again) << error;
        EXPECT_NE(again->Describe().find("read from " + file), std::string::npos) << again->Describe();
        for (std::size_t i = 0; i < kLoop; ++i) {
            ASSERT_TRUE(again->Next(au, error));
            EXPECT_EQ(au.data, units[i]) << i;
            EXPECT_EQ(au.key, i % 25 == 0) << i; // the map goes before these
        }

        const std::string log = dir.File("ffprobe.txt");
        ASSERT_EQ(testsupport::RunIn(dir.Path(),
                                     {"/usr/bin/ffprobe", "-v", "error", "-count_frames",
                                      "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                                      "-of", "csv=p=0", file},
                                     log, 60000),
                  0);
        EXPECT_EQ(ReadFile(log), std::string(hevc ? "hevc" : "h264") + ",320,180,50\n");
        const std::string whole = ReadFile(file);
        WriteFile(dir.File("twice"), whole + whole);
        EXPECT_EQ(testsupport::RunIn(dir.Path(),
                                     {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i",
                                      dir.File("twice"), "-f", "null", "-"},
                                     dir.File("ffmpeg.txt"), 60000),
                  0)
            << ReadFile(dir.File("ffmpeg.txt"));
        EXPECT_EQ(ReadFile(dir.File("ffmpeg.txt")), "");

        // A file cut short (a run stopped while writing it) is made again.
        WriteFile(file, whole.substr(0, whole.size() / 2));
        auto cut = OpenPattern(o, error);
        ASSERT_TRUE(cut) << error;
        EXPECT_NE(cut->Describe().find("encoded into"), std::string::npos) << cut->Describe();
        EXPECT_EQ(std::filesystem::file_size(file), whole.size());
    }
    // The options: whole key intervals of the longer --gop-long GOP, and the
    // command line's words.
    PatternOptions six;
    six.keySeconds = 6;
    six.loopSeconds = 1;
    EXPECT_NE(LoopFile(six).find("-key6s-150f.h264"), std::string::npos) << LoopFile(six);
    CameraOptions c;
    std::string e;
    ASSERT_TRUE(ParseOptions({"--loop", "2", "--loop-dir", "/tmp/x", "--format", "v/2/6/25/1/4096a///"},
                             c, e))
        << e;
    EXPECT_EQ(c.pattern.loopSeconds, 2);
    EXPECT_EQ(c.pattern.loopDir, "/tmp/x");
    EXPECT_EQ(c.format, "v/2/6/25/1/4096a///");
    EXPECT_EQ(CameraOptions{}.pattern.loopSeconds, 0); // live encoding, as a camera
    for (const char* bad : {"61", "-1", "x"}) {
        CameraOptions x;
        EXPECT_FALSE(ParseOptions({"--loop", bad}, x, e)) << bad;
        EXPECT_NE(e.find("0 to 60 seconds"), std::string::npos) << e;
    }
}

} // namespace
} // namespace tvsim
