// AudioPlayer through ALSA's file plugin: the file it writes holds what was
// played, so the tone is measured from the bytes the "sound card" got.
#include "audio/player/AudioPlayer.h"
#include "media/audio/G711Codec.h"
#include "media/audio/ToneMeter.h"

#include "support/common/Files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace tvaudio;

namespace {

// One ALSA configuration for the process (ALSA reads it once): the devices
// "tarvex_out_N" write raw samples to out_N.raw in its folder.
const TempDir& Alsa() {
    static TempDir dir;
    static bool made = false;
    if (!made) {
        std::string rc;
        for (int n = 0; n < 4; ++n)
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
