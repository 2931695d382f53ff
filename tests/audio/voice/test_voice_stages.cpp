// G.711 encoding, the RTP audio sender (UDP, TCP, program stream) and the
// receiver with the tone meter, each checked against an outside peer.
#include "media/audio/AacRtp.h"
#include "media/audio/G711Codec.h"
#include "media/audio/RtpAudio.h"
#include "media/audio/ToneMeter.h"
#include "media/audio/VoiceSender.h"
#include "media/audio/VoiceSdp.h"
#include "media/audio/WavFile.h"
#include "media/send/PsMuxer.h"

#include "support/common/ChildProcess.h"
#include "support/common/Files.h"
#include "support/common/Net.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace tvaudio;

namespace {

struct Collect : Sink<G711Block>, Sink<PcmBlock> {
    std::vector<uint8_t> bytes;
    std::vector<int16_t> pcm;
    void Push(const G711Block& b) override { bytes.insert(bytes.end(), b.bytes.begin(), b.bytes.end()); }
    void Push(const PcmBlock& b) override { pcm.insert(pcm.end(), b.samples.begin(), b.samples.end()); }
};

PcmBlock Tone(double hz, int rate, int channels, double seconds, double amplitude = 12000) {
    PcmBlock b;
    b.rate = rate;
    b.channels = channels;
    const int n = static_cast<int>(rate * seconds);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c)
            b.samples.push_back(static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * i / rate)));
    return b;
}

// A WAV tone made by ffmpeg's own sine source, not by our writer.
std::string FfmpegTone(const TempDir& dir, int hz, int rate, int channels, double seconds) {
    const std::string out = dir / ("tone" + std::to_string(hz) + ".wav");
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=" +
                            std::to_string(hz) + ":sample_rate=" + std::to_string(rate) +
                            ":duration=" + std::to_string(seconds) + " -ac " +
                            std::to_string(channels) + " -c:a pcm_s16le " + out;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return out;
}

template <class Pred> bool Within(int ms, Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

struct RtpSeen {
    int version, pt, marker;
    uint16_t seq;
    uint32_t ts, ssrc;
    std::vector<uint8_t> payload;
};

RtpSeen ParseRtp(const uint8_t* p, std::size_t n) {
    RtpSeen r{};
    if (n < 12) return r;
    r.version = p[0] >> 6;
    r.marker = p[1] >> 7;
    r.pt = p[1] & 0x7F;
    r.seq = static_cast<uint16_t>(p[2] << 8 | p[3]);
    r.ts = uint32_t(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
    r.ssrc = uint32_t(p[8]) << 24 | p[9] << 16 | p[10] << 8 | p[11];
    r.payload.assign(p + 12, p + n);
    return r;
}

} // namespace

// The corner codes of ITU-T G.711's tables: A-law inverts even bits (0x55),
// mu-law all bits.
TEST(G711, CornerCodesMatchTheItuTables) {
    struct Row {
        G711Law law;
        int16_t sample;
        uint8_t code;
    } rows[] = {
        {G711Law::A, 0, 0xD5},      {G711Law::A, 32767, 0xAA}, {G711Law::A, -32768, 0x2A},
        {G711Law::U, 0, 0xFF},      {G711Law::U, 32767, 0x80}, {G711Law::U, -32768, 0x00},
    };
    for (const Row& r : rows) {
        G711Encode enc(r.law);
        ASSERT_TRUE(enc.Ok()) << enc.Error();
        Collect out;
        enc.SetOutput(&out);
        PcmBlock b;
        b.samples.assign(4, r.sample);
        enc.Push(b);
        ASSERT_EQ(out.bytes.size(), 4u);
        EXPECT_EQ(out.bytes[0], r.code) << "law " << int(r.law) << " sample " << r.sample;
    }
}

// ffmpeg's tone at the capture format (and others) survives resampling,
// encoding and decoding with its frequency.
TEST(G711, ToneSurvivesNarrowbandEncodeDecode) {
    TempDir dir;
    struct Row {
        G711Law law;
        int hz, rate, channels;
    } rows[] = {{G711Law::A, 1000, 44100, 2}, {G711Law::U, 1000, 44100, 2},
                {G711Law::A, 440, 48000, 1},  {G711Law::U, 2500, 8000, 1}};
    for (const Row& r : rows) {
        PcmBlock wav;
        std::string error;
        ASSERT_TRUE(ReadWav(FfmpegTone(dir, r.hz, r.rate, r.channels, 1.5), wav, error)) << error;
        EXPECT_EQ(wav.rate, r.rate);
        EXPECT_EQ(wav.channels, r.channels);
        Narrowband nb;
        G711Encode enc(r.law);
        G711Decode dec(r.law);
        ToneMeter meter;
        Collect g711;
        nb.SetOutput(&enc);
        struct Tee : Sink<G711Block> {
            Collect* c;
            G711Decode* d;
            void Push(const G711Block& b) override { c->Push(b), d->Push(b); }
        } tee;
        tee.c = &g711;
        tee.d = &dec;
        enc.SetOutput(&tee);
        dec.SetOutput(&meter);
        // In capture-sized pieces, as the microphone delivers them.
        const std::size_t piece = 2048 * static_cast<std::size_t>(r.channels);
        for (std::size_t off = 0; off < wav.samples.size(); off += piece) {
            PcmBlock b;
            b.rate = wav.rate;
            b.channels = wav.channels;
            b.samples.assign(wav.samples.begin() + off,
                             wav.samples.begin() + std::min(wav.samples.size(), off + piece));
            nb.Push(b);
        }
        EXPECT_NEAR(g711.bytes.size(), 12000.0, 200) << r.rate; // 1.5 s at 8 kHz
        EXPECT_NEAR(meter.Frequency(), r.hz, 2.0) << r.hz << " Hz at " << r.rate;
        EXPECT_GT(meter.Rms(), 1000);
    }
}

TEST(ToneMeter, SilenceAndTooFewSamplesGiveNoFrequency) {
    ToneMeter m;
    EXPECT_EQ(m.Frequency(), 0);
    PcmBlock quiet;
    quiet.samples.assign(8000, 0);
    m.Push(quiet);
    EXPECT_EQ(m.Frequency(), 0);
    ToneMeter few;
    few.Push(Tone(1000, 8000, 1, 0.1));
    EXPECT_EQ(few.Frequency(), 0);
    // Silence after the tone (a sender that ran out of input) leaves the tone measured.
    ToneMeter after;
    after.Push(Tone(1000, 8000, 1, 1.0));
    after.Push(quiet);
    EXPECT_NEAR(after.Frequency(), 1000, 2);
    EXPECT_EQ(after.SamplesSeen(), 16000u);
}

TEST(WavFile, RefusesWhatIsNot16BitPcm) {
    TempDir dir;
    WriteFile(dir / "text.wav", "hello, this is no wave file at all");
    const std::string u8 = dir / "u8.wav";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=duration=0.2 -c:a pcm_u8 " + u8).c_str()), 0);
    struct Row {
        std::string path;
        const char* says;
    } rows[] = {{dir / "missing.wav", "cannot open"}, {dir / "text.wav", "no RIFF"}, {u8, "16-bit"}};
    for (const Row& r : rows) {
        PcmBlock b;
        std::string error;
        EXPECT_FALSE(ReadWav(r.path, b, error)) << r.path;
        EXPECT_NE(error.find(r.says), std::string::npos) << error;
    }
    PcmBlock t = Tone(1000, 8000, 1, 0.05), back;
    ASSERT_TRUE(WriteWav(dir / "ours.wav", t));
    std::string error;
    ASSERT_TRUE(ReadWav(dir / "ours.wav", back, error)) << error;
    EXPECT_EQ(back.samples, t.samples);
}

// The sender's packets as a raw socket reads them: 160 bytes each, the law's
// payload type, sequence +1 and timestamp +160 from packet to packet.
TEST(RtpAudioOut, UdpAndTcpPacketsAreTwentyMilliseconds) {
    for (bool tcp : {false, true}) {
        for (G711Law law : {G711Law::A, G711Law::U}) {
            const int listenType = tcp ? SOCK_STREAM : SOCK_DGRAM;
            const int peer = LoopbackBound(listenType);
            ASSERT_GE(peer, 0);
            if (tcp) {
                ASSERT_EQ(listen(peer, 1), 0);
            }
            AudioOutConfig cfg;
            cfg.law = law;
            cfg.net.transport = tcp ? tvsend::MediaTransport::TcpConnect : tvsend::MediaTransport::Udp;
            cfg.net.localIp = "127.0.0.1";
            cfg.net.remoteIp = "127.0.0.1";
            cfg.net.remotePort = static_cast<uint16_t>(LocalPortOf(peer));
            cfg.net.ssrc = 0x1234567;
            RtpAudioOut out(cfg);
            std::string error;
            ASSERT_TRUE(out.Open(error)) << error;
            ASSERT_TRUE(out.WaitConnected(std::chrono::seconds(3), error)) << error;
            int conn = tcp ? accept(peer, nullptr, nullptr) : peer;
            ASSERT_GE(conn, 0);
            G711Block b;
            b.bytes.assign(160 * 5 + 70, 0xD5); // five packets and a remainder kept back
            out.Push(b);
            EXPECT_EQ(out.PacketsSent(), 5u);
            std::vector<RtpSeen> seen;
            std::vector<uint8_t> stream;
            while (seen.size() < 5) {
                pollfd p{conn, POLLIN, 0};
                ASSERT_GT(poll(&p, 1, 3000), 0) << "got " << seen.size();
                uint8_t buf[4096];
                ssize_t n = recv(conn, buf, sizeof buf, 0);
                ASSERT_GT(n, 0);
                if (!tcp) {
                    seen.push_back(ParseRtp(buf, static_cast<std::size_t>(n)));
                    continue;
                }
                stream.insert(stream.end(), buf, buf + n);
                while (stream.size() >= 2 && stream.size() >= 2u + (stream[0] << 8 | stream[1])) {
                    const std::size_t len = stream[0] << 8 | stream[1];
                    seen.push_back(ParseRtp(stream.data() + 2, len));
                    stream.erase(stream.begin(), stream.begin() + 2 + static_cast<long>(len));
                }
            }
            for (std::size_t i = 0; i < seen.size(); ++i) {
                EXPECT_EQ(seen[i].version, 2);
                EXPECT_EQ(seen[i].pt, law == G711Law::A ? 8 : 0);
                EXPECT_EQ(seen[i].ssrc, 0x1234567u);
                EXPECT_EQ(seen[i].payload.size(), 160u);
                if (i) {
                    EXPECT_EQ(uint16_t(seen[i].seq - seen[i - 1].seq), 1);
                    EXPECT_EQ(seen[i].ts - seen[i - 1].ts, 160u);
                }
            }
            if (tcp) {
                close(conn);
            }
            close(peer);
        }
    }
}

// With programStream each 20 ms is one pack; ffprobe finds the audio on C0
// (libavformat names no codec for stream type 0x90, so the map is read here).
TEST(RtpAudioOut, ProgramStreamPacksCarryTheAudio) {
    TempDir dir;
    const int peer = LoopbackBound(SOCK_DGRAM);
    AudioOutConfig cfg;
    cfg.programStream = true;
    cfg.net.localIp = cfg.net.remoteIp = "127.0.0.1";
    cfg.net.remotePort = static_cast<uint16_t>(LocalPortOf(peer));
    RtpAudioOut out(cfg);
    std::string error;
    ASSERT_TRUE(out.Open(error)) << error;
    Narrowband nb;
    G711Encode enc(G711Law::A);
    nb.SetOutput(&enc);
    enc.SetOutput(&out);
    nb.Push(Tone(1000, 8000, 1, 1.0));
    ASSERT_EQ(out.PacketsSent(), 50u);
    std::string ps;
    std::vector<uint8_t> audio;
    uint32_t firstTs = 0, lastTs = 0;
    for (int i = 0; i < 50; ++i) {
        uint8_t buf[4096];
        pollfd p{peer, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 3000), 0);
        ssize_t n = recv(peer, buf, sizeof buf, 0);
        RtpSeen r = ParseRtp(buf, static_cast<std::size_t>(n));
        EXPECT_EQ(r.pt, 96);
        (i ? lastTs : firstTs) = r.ts;
        ps.append(reinterpret_cast<const char*>(r.payload.data()), r.payload.size());
        G711Block g;
        ASSERT_TRUE(AudioOfPayload(96, r.payload.data(), r.payload.size(), g));
        EXPECT_EQ(g.bytes.size(), 160u);
        audio.insert(audio.end(), g.bytes.begin(), g.bytes.end());
    }
    EXPECT_EQ(lastTs - firstTs, 49u * 1800); // 20 ms on the 90 kHz clock
    WriteFile(dir / "a.ps", ps);
    const std::string probe = dir / "probe.txt";
    ASSERT_EQ(std::system(("ffprobe -v quiet -f mpeg -show_entries stream=id,codec_type -of csv=p=0 " +
                           dir / "a.ps" + " > " + probe).c_str()),
              0);
    EXPECT_NE(ReadFile(probe).find("audio,0x1c0"), std::string::npos) << ReadFile(probe);
    EXPECT_EQ(ReadFile(probe).find("video"), std::string::npos) << ReadFile(probe);
    const std::string mapStart("\0\0\1\xBC", 4);
    const std::size_t at = ps.find(mapStart);
    ASSERT_NE(at, std::string::npos);
    const std::string map = ps.substr(at, 20);
    EXPECT_EQ(uint8_t(map[12]), 0x90);
    EXPECT_EQ(uint8_t(map[13]), 0xC0);
    EXPECT_EQ(tvsend::Crc32Mpeg(reinterpret_cast<const uint8_t*>(map.data()), map.size()), 0u);
    G711Decode dec(G711Law::A);
    ToneMeter meter;
    dec.SetOutput(&meter);
    dec.Push(G711Block{audio});
    EXPECT_NEAR(meter.Frequency(), 1000, 2);
    close(peer);
}

// A WAV file played by the sender reaches the receiver over each transport,
// paced at 50 packets a second, and measures as the tone it was.
TEST(VoiceSender, WavToneReachesTheReceiver) {
    TempDir dir;
    const std::string wav = FfmpegTone(dir, 1000, 44100, 2, 1.2);
    struct Row {
        InTransport in;
        tvsend::MediaTransport out;
        G711Law law;
    } rows[] = {{InTransport::Udp, tvsend::MediaTransport::Udp, G711Law::A},
                {InTransport::TcpListen, tvsend::MediaTransport::TcpConnect, G711Law::U},
                {InTransport::TcpConnect, tvsend::MediaTransport::TcpListen, G711Law::A}};
    for (const Row& r : rows) {
        G711Decode decA(G711Law::A), decU(G711Law::U);
        ToneMeter meter;
        decA.SetOutput(&meter);
        decU.SetOutput(&meter);
        AudioOutConfig cfg;
        cfg.law = r.law;
        cfg.net.transport = r.out;
        cfg.net.localIp = cfg.net.remoteIp = "127.0.0.1";
        AudioInConfig icfg;
        icfg.transport = r.in;
        icfg.localIp = icfg.remoteIp = "127.0.0.1";
        std::unique_ptr<RtpAudioIn> in;
        std::string error;
        if (r.in != InTransport::TcpConnect) {
            in = std::make_unique<RtpAudioIn>(icfg);
            ASSERT_TRUE(in->Open(error)) << error;
            cfg.net.remotePort = in->LocalPort();
        }
        VoiceSender s(cfg);
        ASSERT_TRUE(s.Open(error)) << error;
        if (!in) {
            icfg.remotePort = s.LocalPort();
            in = std::make_unique<RtpAudioIn>(icfg);
            ASSERT_TRUE(in->Open(error)) << error;
        }
        in->Start(&decA, &decU);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(s.StartWav(wav, false, error)) << error;
        EXPECT_TRUE(Within(6000, [&] { return in->Packets() >= 59; })) << in->Packets();
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        s.Stop();
        in->Stop();
        EXPECT_EQ(in->LastPayloadType(), r.law == G711Law::A ? 8 : 0);
        EXPECT_GE(s.PacketsSent(), 59u);
        EXPECT_GT(took, 0.9) << "1.2 s of audio must not go out at once";
        EXPECT_NEAR(meter.Frequency(), 1000, 10);
    }
}

// RFC 3640 payloads written out by hand: AU-headers-length in bits, the
// headers (size, then index or index delta) and the units, for AAC-hbr
// (13/3/3) and AAC-lbr (6/2/2); a unit split over packets is not taken and
// headers longer than the payload are refused.
TEST(AacRtp, PayloadsAsTheFmtpsBitLengthsSay) {
    AacFormat hbr, lbr;
    lbr.sizeLength = 6;
    lbr.indexLength = lbr.indexDeltaLength = 2;
    using Bytes = std::vector<uint8_t>;
    struct Row {
        const char* what;
        const AacFormat& f;
        Bytes payload;
        bool ok;
        std::vector<Bytes> units;
    } rows[] = {
        {"hbr, two units", hbr, {0x00, 0x20, 0x00, 0x18, 0x00, 0x10, 1, 2, 3, 4, 5}, true, {{1, 2, 3}, {4, 5}}},
        {"hbr, one unit", hbr, {0x00, 0x10, 0x00, 0x28, 9, 8, 7, 6, 5}, true, {{9, 8, 7, 6, 5}}},
        {"lbr, two units", lbr, {0x00, 0x10, 0x0C, 0x08, 1, 2, 3, 4, 5}, true, {{1, 2, 3}, {4, 5}}},
        {"hbr, a fragment", hbr, {0x00, 0x10, 0x00, 0xC8, 1, 2, 3}, true, {}},
        {"headers beyond the payload", hbr, {0x00, 0x40, 0x00, 0x18}, false, {}},
        {"no header length", hbr, {0x00}, false, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<AacFrame> got;
        EXPECT_EQ(AacUnitsOfPayload(r.f, r.payload.data(), r.payload.size(), got), r.ok);
        ASSERT_EQ(got.size(), r.units.size());
        for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].bytes, r.units[i]);
    }
    // What we write is the one-unit form above; a unit beyond sizeLength's reach is not written.
    const Bytes au = {9, 8, 7, 6, 5};
    EXPECT_EQ(AacPayload(hbr, au.data(), au.size()), rows[1].payload);
    const Bytes big(64, 1);
    EXPECT_TRUE(AacPayload(lbr, big.data(), big.size()).empty());
    EXPECT_EQ(AacPayload(lbr, big.data(), 63).size(), 2u + 1 + 63);
}

// The formats devices and FFmpeg write, read as they mean; config 1588 of our
// offer is AAC-LC at 8 kHz, one channel, as FFmpeg's encoder makes it.
TEST(AacRtp, FormatsOfRtpmapAndFmtp) {
    using Bytes = std::vector<uint8_t>;
    const std::string offered = std::string(kAacFmtp).substr(std::string("a=fmtp:102 ").size());
    struct Row {
        std::string rtpmap, fmtp;
        bool ok;
        int rate, channels;
        Bytes config;
        int size, index, delta;
    } rows[] = {
        {"AAC/8000/1", offered.substr(0, offered.size() - 2), true, 8000, 1, {0x15, 0x88}, 13, 3, 3},
        {"MPEG4-GENERIC/16000/2",
         "profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3; config=1410", true, 16000,
         2, {0x14, 0x10}, 13, 3, 3},
        {"mpeg4-generic/8000/1", "mode=AAC-lbr;SizeLength=6;IndexLength=2;IndexDeltaLength=2", true, 8000, 1,
         {0x15, 0x88}, 6, 2, 2},
        {"AAC/44100", "", true, 44100, 1, {0x12, 0x08}, 13, 3, 3},
        {"", "", true, 8000, 1, {0x15, 0x88}, 13, 3, 3},
        {"PCMA/8000", "", false, 0, 0, {}, 0, 0, 0},
        {"AAC/8000/1", "sizeLength=x", false, 0, 0, {}, 0, 0, 0},
        {"AAC/8000/1", "config=15G8", false, 0, 0, {}, 0, 0, 0},
        {"AAC/11111/1", "", false, 0, 0, {}, 0, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rtpmap + " | " + r.fmtp);
        AacFormat f;
        std::string error;
        ASSERT_EQ(ReadAacFormat(102, r.rtpmap, r.fmtp, f, error), r.ok) << error;
        if (!r.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(f.rate, r.rate);
        EXPECT_EQ(f.channels, r.channels);
        EXPECT_EQ(f.config, r.config);
        EXPECT_EQ(f.sizeLength, r.size);
        EXPECT_EQ(f.indexLength, r.index);
        EXPECT_EQ(f.indexDeltaLength, r.delta);
    }
}

// The ADTS header we put before a device's unit is the one ffmpeg's own ADTS
// muxer writes for the same stream and frame length.
TEST(AacRtp, AdtsHeaderIsFfmpegs) {
    TempDir dir;
    const std::string adts = dir / "tone.aac";
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=600:sample_rate=8000 "
                            "-t 0.5 -ac 1 -c:a aac -f adts " + adts;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const std::string bytes = ReadFile(adts);
    ASSERT_GT(bytes.size(), 7u);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::size_t length = std::size_t(p[3] & 3) << 11 | std::size_t(p[4]) << 3 | p[5] >> 5;
    ASSERT_GT(length, 7u);
    ASSERT_LE(length, bytes.size());
    const std::vector<uint8_t> ours = AdtsFrame(AacLcConfig(8000, 1), p + 7, length - 7);
    ASSERT_EQ(ours.size(), length);
    EXPECT_EQ(std::vector<uint8_t>(ours.begin(), ours.begin() + 7), std::vector<uint8_t>(p, p + 7));
    EXPECT_TRUE(AdtsFrame({0x2B, 0x88}, p + 7, 4).empty()) << "object type 5 (SBR) has no ADTS profile";
}

// ffmpeg's own RTP demuxer, given our offer's fmtp line verbatim under
// RFC 3640's encoding name, decodes what the AAC sender makes of a WAV file
// (a 1 kHz tone at 44.1 kHz stereo) as the 1 kHz tone, at the offer's 8 kHz mono
// and at 16 kHz stereo; a raw socket sees
// payload type 102, one unit a packet behind its 16-bit AU header, the marker
// and the timestamp stepping 1024.
TEST(AacRtp, FfmpegDecodesOurAacFromTheWav) {
    TempDir dir;
    const std::string wav = FfmpegTone(dir, 1000, 44100, 2, 1.0);
    struct Row {
        const char* rtpmap; // as ffmpeg is told it
        std::string fmtp;
        const char* ours; // the rtpmap the sender was given
    } rows[] = {
        {"mpeg4-generic/8000/1", kAacFmtp, "AAC/8000/1"},
        {"MPEG4-GENERIC/16000/2",
         "a=fmtp:102 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3; config=1410\r\n",
         "AAC/16000/2"},
    };
    AudioOutConfig cfg;
    std::string error;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.ours);
        const int port = FreeMediaPorts();
        ASSERT_GT(port, 0);
        WriteFile(dir / "talk.sdp", "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                    "m=audio " + std::to_string(port) + " RTP/AVP 102\r\n"
                                    "a=rtpmap:102 " + r.rtpmap + "\r\n" + r.fmtp);
        unlink((dir / "heard.raw").c_str());
        int status = -3;
        std::thread ffmpeg([&] {
            status = testsupport::RunIn(dir.Path(),
                                        {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-protocol_whitelist",
                                         "file,udp,rtp", "-i", "talk.sdp", "-t", "1.2", "-f", "s16le", "-ac", "1",
                                         "-ar", "8000", "-y", "heard.raw"},
                                        dir / "ffmpeg.log", 20000);
        });
        ASSERT_TRUE(WaitPortBound(port, false));
        AacFormat f;
        ASSERT_TRUE(ReadAacFormat(102, r.ours, "", f, error)) << error;
        cfg = AudioOutConfig{};
        cfg.aac = true;
        cfg.aacFormat = f;
        cfg.net.localIp = cfg.net.remoteIp = "127.0.0.1";
        cfg.net.remotePort = static_cast<uint16_t>(port);
        cfg.net.ssrc = 0x2345;
        {
            VoiceSender s(cfg);
            ASSERT_TRUE(s.Open(error)) << error;
            ASSERT_TRUE(s.StartWav(wav, true, error)) << error;
            ffmpeg.join();
            s.Stop();
        }
        ASSERT_EQ(status, 0) << ReadFile(dir / "ffmpeg.log");
        const std::string raw = ReadFile(dir / "heard.raw");
        PcmBlock heard;
        heard.samples.resize(raw.size() / 2);
        std::memcpy(heard.samples.data(), raw.data(), heard.samples.size() * 2);
        ASSERT_GE(heard.samples.size(), 4000u) << ReadFile(dir / "ffmpeg.log");
        ToneMeter meter;
        meter.Push(heard);
        EXPECT_NEAR(meter.Frequency(), 1000, 10);
    }
    cfg.aacFormat = AacFormat{};

    // The packets themselves.
    const int peer = LoopbackBound(SOCK_DGRAM);
    cfg.net.remotePort = static_cast<uint16_t>(LocalPortOf(peer));
    RtpAudioOut out(cfg);
    ASSERT_TRUE(out.Open(error)) << error;
    AacEncode enc(8000, 1);
    ASSERT_TRUE(enc.Ok()) << enc.Error();
    enc.SetOutput(&out);
    enc.Push(Tone(1000, 16000, 2, 1.0));
    ASSERT_GE(out.PacketsSent(), 5u);
    std::vector<RtpSeen> seen;
    for (uint64_t i = 0; i < out.PacketsSent(); ++i) {
        pollfd pl{peer, POLLIN, 0};
        ASSERT_GT(poll(&pl, 1, 3000), 0);
        uint8_t buf[4096];
        const ssize_t n = recv(peer, buf, sizeof buf, 0);
        seen.push_back(ParseRtp(buf, static_cast<std::size_t>(n)));
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const RtpSeen& r = seen[i];
        EXPECT_EQ(r.pt, 102);
        EXPECT_EQ(r.marker, 1);
        EXPECT_EQ(r.ssrc, 0x2345u);
        ASSERT_GE(r.payload.size(), 5u);
        EXPECT_EQ(r.payload[0] << 8 | r.payload[1], 16);
        EXPECT_EQ(std::size_t(r.payload[2] << 5 | r.payload[3] >> 3), r.payload.size() - 4);
        EXPECT_EQ(r.payload[3] & 7, 0);
        if (i) {
            EXPECT_EQ(r.ts - seen[i - 1].ts, 1024u);
        }
    }
    close(peer);
}
