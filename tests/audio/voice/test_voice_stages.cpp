// G.711 encoding, the RTP audio sender (UDP, TCP, program stream) and the
// receiver with the tone meter, each checked against an outside peer.
#include "media/audio/G711Codec.h"
#include "media/audio/RtpAudio.h"
#include "media/audio/ToneMeter.h"
#include "media/audio/VoiceSender.h"
#include "media/audio/WavFile.h"
#include "media/send/PsMuxer.h"

#include "support/common/Files.h"
#include "support/common/Net.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cmath>
#include <cstdlib>
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
