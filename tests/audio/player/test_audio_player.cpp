// AudioPlayer and DeviceAudio through ALSA's file plugin: the file it writes
// holds what was played, so the tone is measured from the bytes the "sound
// card" got.
#include "audio/player/AudioPlayer.h"
#include "audio/player/DeviceAudio.h"
#include "media/audio/G711Codec.h"
#include "media/audio/ToneMeter.h"

#include "support/common/Files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

using namespace tvaudio;

namespace {

// One ALSA configuration for the process (ALSA reads it once): the devices
// "tarvex_out_N" write raw samples to out_N.raw in its folder.
const TempDir& Alsa() {
    static TempDir dir;
    static bool made = false;
    if (!made) {
        std::string rc;
        for (int n = 0; n < 8; ++n)
            rc += "pcm.tarvex_out_" + std::to_string(n) + " {\n  type file\n  slave.pcm \"null\"\n  file \"" +
                  dir / ("out_" + std::to_string(n) + ".raw") + "\"\n  format \"raw\"\n}\n";
        WriteFile(dir / "asoundrc", rc);
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir / "asoundrc").c_str(), 1);
        made = true;
    }
    return dir;
}

// A second of 1 kHz as a device sends it: G.711 A-law, decoded by FFmpeg.
std::vector<PcmBlock> DecodedTone() {
    G711Encode enc(G711Law::A);
    G711Decode dec(G711Law::A);
    struct Keep : Sink<PcmBlock> {
        std::vector<PcmBlock> blocks;
        void Push(const PcmBlock& b) override { blocks.push_back(b); }
    } keep;
    struct Pass : Sink<G711Block> {
        G711Decode* d;
        void Push(const G711Block& b) override { d->Push(b); }
    } pass;
    pass.d = &dec;
    enc.SetOutput(&pass);
    dec.SetOutput(&keep);
    for (int k = 0; k < 50; ++k) { // 20 ms at a time, as packets come
        PcmBlock b;
        for (int i = 0; i < 160; ++i)
            b.samples.push_back(static_cast<int16_t>(9000 * std::sin(2 * M_PI * 1000.0 * (k * 160 + i) / 8000)));
        enc.Push(b);
    }
    return keep.blocks;
}

} // namespace

TEST(AudioPlayer, WhatThePlayerWroteMeasuresAsTheToneAndMuteWritesSilence) {
    for (bool muted : {false, true}) {
        const std::string n = muted ? "1" : "0";
        const std::string out = Alsa() / ("out_" + n + ".raw");
        AudioPlayer p("tarvex_out_" + n);
        std::string error;
        ASSERT_TRUE(p.Open(8000, 1, error)) << error;
        p.SetMuted(muted);
        for (const PcmBlock& b : DecodedTone()) p.Push(b);
        p.Close();
        EXPECT_EQ(p.FramesPlayed(), 8000u);
        const std::string bytes = ReadFile(out);
        ASSERT_GE(bytes.size(), 16000u) << out;
        PcmBlock written;
        written.samples.resize(bytes.size() / 2);
        std::memcpy(written.samples.data(), bytes.data(), written.samples.size() * 2);
        ToneMeter m;
        m.Push(written);
        if (muted) {
            EXPECT_EQ(m.Frequency(), 0);
            EXPECT_EQ(m.Rms(), 0);
        } else {
            EXPECT_NEAR(m.Frequency(), 1000, 10);
            EXPECT_GT(m.Rms(), 3000);
        }
    }
}

TEST(AudioPlayer, ReportsADeviceItCannotOpenAndDropsOtherFormats) {
    Alsa();
    AudioPlayer missing("tarvex_no_such_device");
    std::string error;
    EXPECT_FALSE(missing.Open(8000, 1, error));
    EXPECT_NE(error.find("tarvex_no_such_device"), std::string::npos) << error;
    missing.Push(PcmBlock{{1, 2, 3}, 8000, 1}); // closed: nothing happens
    AudioPlayer p("tarvex_out_2");
    ASSERT_TRUE(p.Open(8000, 1, error)) << error;
    p.Push(PcmBlock{std::vector<int16_t>(160, 100), 44100, 2});
    p.Push(PcmBlock{std::vector<int16_t>(160, 100), 8000, 1});
    p.Close();
    EXPECT_EQ(p.FramesPlayed(), 160u);
}

namespace {

// The samples a device of Alsa() was given.
PcmBlock Written(int n, int rate, int channels) {
    const std::string bytes = ReadFile(Alsa() / ("out_" + std::to_string(n) + ".raw"));
    PcmBlock b;
    b.rate = rate;
    b.channels = channels;
    b.samples.resize(bytes.size() / 2);
    std::memcpy(b.samples.data(), bytes.data(), b.samples.size() * 2);
    return b;
}

std::vector<uint8_t> G711Tone(G711Law law, int samples) {
    G711Encode enc(law);
    struct Keep : Sink<G711Block> {
        std::vector<uint8_t> bytes;
        void Push(const G711Block& b) override { bytes.insert(bytes.end(), b.bytes.begin(), b.bytes.end()); }
    } keep;
    enc.SetOutput(&keep);
    PcmBlock b;
    for (int i = 0; i < samples; ++i)
        b.samples.push_back(static_cast<int16_t>(9000 * std::sin(2 * M_PI * 1000.0 * i / 8000)));
    enc.Push(b);
    return keep.bytes;
}

// A second of 1 kHz as ffmpeg's AAC encoder writes it in ADTS.
std::vector<uint8_t> AacTone(int rate, int channels) {
    const std::string path = Alsa() / ("tone_" + std::to_string(rate) + ".aac");
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=1000:sample_rate=" +
                            std::to_string(rate) + ":duration=1 -ac " + std::to_string(channels) +
                            " -c:a aac -f adts " + path;
    if (std::system(cmd.c_str()) != 0) return {};
    const std::string bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

} // namespace

// The program stream's audio as devices carry it, in pieces as the packs
// bring it: each plays as the tone at its own rate and channel count.
TEST(DeviceAudio, EachStreamTypePlaysAsTheTone) {
    struct Case {
        uint8_t streamType;
        std::vector<uint8_t> bytes;
        int rate, channels;
        std::size_t piece; // bytes a pack carries
    };
    const std::vector<Case> cases = {
        {0x90, G711Tone(G711Law::A, 8000), 8000, 1, 320},
        {0x91, G711Tone(G711Law::U, 8000), 8000, 1, 320},
        {0x0F, AacTone(16000, 1), 16000, 1, 300}, // ADTS frames cut anywhere
        {0x0F, AacTone(44100, 2), 44100, 2, 700},
    };
    int device = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "stream type " << int(c.streamType) << " at " << c.rate);
        ASSERT_FALSE(c.bytes.empty());
        {
            DeviceAudio a("tarvex_out_" + std::to_string(device));
            for (std::size_t at = 0; at < c.bytes.size(); at += c.piece) {
                a.PushStreamType(c.streamType, c.bytes.data() + at, std::min(c.piece, c.bytes.size() - at));
                // Paced a little, as packs come: the queue must not overflow.
                if (at % (c.piece * 8) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(WaitFor([&] { return a.FramesPlayed() >= static_cast<uint64_t>(c.rate) * 9 / 10; }))
                << a.FramesPlayed() << " " << a.Error();
            EXPECT_EQ(a.Dropped(), 0u);
            EXPECT_EQ(a.Error(), "");
        } // stopped: the file is complete
        const PcmBlock w = Written(device, c.rate, c.channels);
        ToneMeter m;
        m.Push(w);
        EXPECT_EQ(m.Rate(), c.rate);
        EXPECT_NEAR(m.Frequency(), 1000, 10);
        ++device;
    }
}

TEST(DeviceAudio, UnknownTypesAreSkippedMutedPlaysSilenceAndAMissingCardIsReported) {
    Alsa();
    const std::vector<uint8_t> tone = G711Tone(G711Law::A, 1600);
    DeviceAudio missing("tarvex_no_such_device");
    missing.PushStreamType(0x00, tone.data(), tone.size()); // no map named the audio yet
    missing.PushStreamType(0x92, tone.data(), tone.size()); // G.722.1: not played
    EXPECT_EQ(missing.Skipped(), 2u);
    EXPECT_EQ(missing.Pieces(), 0u);
    missing.Push(DeviceCodec::G711A, tone.data(), tone.size());
    ASSERT_TRUE(WaitFor([&] { return !missing.Error().empty(); }));
    EXPECT_NE(missing.Error().find("tarvex_no_such_device"), std::string::npos) << missing.Error();
    EXPECT_EQ(missing.FramesPlayed(), 0u);

    struct Meter final : MeterWindow {
        std::atomic<int> pictures{0};
        void ClientSize(int* w, int* h) const override { *w = 64, *h = 16; }
        void Present(const MeterPicture&) override { ++pictures; }
    } meter;
    DeviceAudio muted("tarvex_out_7");
    muted.SetOutputMeter(&meter);
    muted.SetMuted(true);
    muted.Push(DeviceCodec::G711A, tone.data(), tone.size());
    ASSERT_TRUE(WaitFor([&] { return muted.FramesPlayed() >= 1600; }));
    EXPECT_GT(meter.pictures.load(), 0);
    muted.Stop();
    muted.SetOutputMeter(nullptr);
    const PcmBlock w = Written(7, 8000, 1);
    ASSERT_GE(w.samples.size(), 1600u);
    EXPECT_TRUE(std::all_of(w.samples.begin(), w.samples.end(), [](int16_t v) { return v == 0; }));
}
