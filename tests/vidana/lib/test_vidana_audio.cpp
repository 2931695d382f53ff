// Mu-law playback and capture through ALSA's own file and null devices, chosen
// per test with a private configuration (ALSA rereads it when the path changes).
#include "VidanaTestUtil.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <random>
#include <thread>

using namespace vt;

namespace {

class Notices : public IVidanaNotifier {
public:
    void WaveError(const char* text) override {
        std::lock_guard guard(m_lock);
        texts.push_back(text);
    }
    std::vector<std::string> Take() {
        std::lock_guard guard(m_lock);
        return std::exchange(texts, {});
    }

private:
    std::mutex m_lock;
    std::vector<std::string> texts;
};

const char kInvalidHandle[] = "Specified device handle is invalid. ";
const char kBadDeviceId[] = "Specified device identifier is out of range. ";
const char kNoDriver[] = "no device driver is present.";

// What the capture callback was handed, up to a limit.
struct Captured {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> chunks;
    size_t limit = 0;
} g_captured, g_restarted;

int32_t Collect(Captured& into, uint8_t* data, uint32_t length) {
    std::lock_guard guard(into.lock);
    if (into.chunks.size() < into.limit) {
        into.chunks.emplace_back(data, data + length);
        into.changed.notify_all();
    }
    return 0;
}
int32_t OnCapture(uint8_t* data, uint32_t length) {
    return Collect(g_captured, data, length);
}
int32_t OnRestartedCapture(uint8_t* data, uint32_t length) {
    return Collect(g_restarted, data, length);
}

class VidanaAudio : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        // Speech-like noise: a wandering tone with random bursts, as mu-law bytes.
        std::mt19937 rng(3);
        input.resize(16000);
        for (size_t i = 0; i < input.size(); ++i)
            input[i] = uint8_t(
                (int(127 * std::sin(i * 0.07 + std::sin(i * 0.001) * 9)) + rng() % 41) & 0xff);
        WriteFile(*dir / "in.raw", input);
        WriteConfig("file.rc", "pcm.!default { type file slave.pcm \"null\" file \"" +
                                   *dir / "out.raw" + "\" infile \"" + *dir / "in.raw" +
                                   "\" format \"raw\" }\n");
        WriteConfig("nodev.rc", "pcm.!default { type hw card 31 }\n");
        // A device without mu-law: only 16-bit linear gets through to the file.
        WriteConfig("linear.rc",
                    "pcm.!default { type file slave.pcm { type linear slave { pcm \"null\" "
                    "format S16_LE } } file \"" +
                        *dir / "out.raw" + "\" format \"raw\" }\n");
    }
    static void TearDownTestSuite() {
        CVidana::SetWaveNotifier(nullptr);
        delete dir;
    }
    static void WriteConfig(const std::string& name, const std::string& text) {
        std::ofstream(*dir / name) << text;
    }
    static void UseConfig(const std::string& name) {
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + *dir / name).c_str(), 1);
    }
    void SetUp() override { CVidana::SetWaveNotifier(&notices); }
    void TearDown() override { CVidana::SetWaveNotifier(nullptr); }

    std::vector<uint8_t> Played() { return ReadFile(*dir / "out.raw"); }

    Notices notices;
    static inline TempDir* dir = nullptr;
    static inline std::vector<uint8_t> input;
};

// Mu-law silence is 0xFF (+0) or 0x7F (-0).
void ExpectPlayedThenSilence(const std::vector<uint8_t>& played,
                             const std::vector<uint8_t>& frame) {
    ASSERT_GE(played.size(), frame.size());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), played.begin()));
    for (size_t i = frame.size(); i < played.size(); ++i)
        ASSERT_TRUE(played[i] == 0xFF || played[i] == 0x7F) << "byte " << i;
}

TEST_F(VidanaAudio, FramesReachTheOutputDeviceAsTheirSamples) {
    UseConfig("file.rc");
    CVidana v;
    const std::vector<uint8_t> frame(input.begin(), input.begin() + 320);
    EXPECT_EQ(0, v.DecodeXFrame(frame.data(), 320, 17));
    ExpectPlayedThenSilence(Played(), frame);

    // Type codes above 17 are audio too, and the decoder need not be open.
    const std::vector<uint8_t> other(input.begin() + 1000, input.begin() + 1160);
    EXPECT_EQ(0, v.DecodeXFrame(other.data(), 160, 255));
    ExpectPlayedThenSilence(Played(), other);

    // The whole 80000-byte buffer.
    std::vector<uint8_t> full;
    while (full.size() < 80000)
        full.insert(full.end(), input.begin(), input.end());
    full.resize(80000);
    EXPECT_EQ(0, v.DecodeXFrame(full.data(), 80000, 17));
    ExpectPlayedThenSilence(Played(), full);
    EXPECT_TRUE(notices.Take().empty());
}

TEST_F(VidanaAudio, OversizedAndEmptyFrames) {
    UseConfig("file.rc");
    CVidana v;
    fs::remove(*dir / "out.raw");
    // One byte over the playback buffer: refused before anything is copied or opened.
    std::unique_ptr<uint8_t[]> big(new uint8_t[80001]());
    EXPECT_EQ(0, v.DecodeXFrame(big.get(), 80001, 17));
    EXPECT_FALSE(fs::exists(*dir / "out.raw"));
    EXPECT_EQ(0, v.DecodeXFrame(big.get(), -3, 17));
    EXPECT_FALSE(fs::exists(*dir / "out.raw"));
    // An empty frame opens and closes the device and plays nothing.
    EXPECT_EQ(0, v.DecodeXFrame(big.get(), 0, 17));
    for (uint8_t b : Played())
        ASSERT_TRUE(b == 0xFF || b == 0x7F);
    EXPECT_TRUE(notices.Take().empty());
}

TEST_F(VidanaAudio, DeviceWithoutMuLawGetsLinearSamples) {
    UseConfig("linear.rc");
    CVidana v;
    const std::vector<uint8_t> frame(input.begin(), input.begin() + 320);
    WriteFile(*dir / "frame.ulaw", frame);
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -y -f mulaw -ar 8000 -ac 1 -i '" +
                       *dir / "frame.ulaw" + "' -f s16le -acodec pcm_s16le '" + *dir / "frame.s16" +
                       "'"));
    const auto reference = ReadFile(*dir / "frame.s16");
    ASSERT_EQ(reference.size(), 640u);
    EXPECT_EQ(0, v.DecodeXFrame(frame.data(), 320, 17));
    const auto played = Played();
    ASSERT_GE(played.size(), 640u);
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), played.begin()));
    EXPECT_TRUE(notices.Take().empty());
}

TEST_F(VidanaAudio, NoDeviceReportsTheWaveTexts) {
    UseConfig("nodev.rc");
    CVidana v;
    const std::vector<uint8_t> frame(320, 0xFF);
    // Open fails; preparing, writing (reported twice) and closing then meet
    // an invalid handle, each reported.
    EXPECT_EQ(0, v.DecodeXFrame(frame.data(), 320, 17));
    auto texts = notices.Take();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_TRUE(texts[0] == kNoDriver || texts[0] == kBadDeviceId) << texts[0];
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(texts[i], kInvalidHandle);

    // Capture on no device: the same open text, and the callback never runs.
    {
        std::lock_guard guard(g_captured.lock);
        g_captured.chunks.clear();
        g_captured.limit = 1;
    }
    EXPECT_EQ(0, v.SetACallBack(OnCapture, 160));
    texts = notices.Take();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts[0] == kNoDriver || texts[0] == kBadDeviceId) << texts[0];
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(texts[i], kInvalidHandle);

    // Without a notifier the texts go to standard error.
    CVidana::SetWaveNotifier(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, v.DecodeXFrame(frame.data(), 320, 17));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(kInvalidHandle), std::string::npos) << err;
    EXPECT_TRUE(err.find(kNoDriver) != std::string::npos ||
                err.find(kBadDeviceId) != std::string::npos);
    std::lock_guard guard(g_captured.lock);
    EXPECT_TRUE(g_captured.chunks.empty());
}

// Last: capture, once started, runs until the process ends.
TEST_F(VidanaAudio, CaptureDeliversConsecutiveBuffersOfTheInput) {
    UseConfig("file.rc");
    {
        std::lock_guard guard(g_captured.lock);
        g_captured.chunks.clear();
        g_captured.limit = 50;
    }
    CVidana v;
    EXPECT_EQ(0, v.SetACallBack(OnCapture, 160));
    std::unique_lock lock(g_captured.lock);
    ASSERT_TRUE(g_captured.changed.wait_for(lock, std::chrono::seconds(30),
                                            [] { return g_captured.chunks.size() >= 50; }));
    std::vector<uint8_t> all;
    for (const auto& c : g_captured.chunks) {
        ASSERT_EQ(c.size(), 160u);
        all.insert(all.end(), c.begin(), c.end());
    }
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));

    // Called again, capture starts afresh with the new callback and size.
    lock.unlock();
    g_restarted.limit = 10;
    EXPECT_EQ(0, v.SetACallBack(OnRestartedCapture, 320));
    std::unique_lock again(g_restarted.lock);
    ASSERT_TRUE(g_restarted.changed.wait_for(again, std::chrono::seconds(30),
                                             [] { return g_restarted.chunks.size() >= 10; }));
    all.clear();
    for (const auto& c : g_restarted.chunks) {
        ASSERT_EQ(c.size(), 320u);
        all.insert(all.end(), c.begin(), c.end());
    }
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));
    EXPECT_TRUE(notices.Take().empty());
}

// Pacing needs a device with a clock; ALSA's file and null devices have none.
TEST(VidanaAudioClock, PlaybackTakesTheFramesPlayingTime) {
    const auto cards = ReadFile("/proc/asound/cards");
    const std::string text(cards.begin(), cards.end());
    if (text.empty() || text.find("no soundcards") != std::string::npos)
        GTEST_SKIP() << "no sound card here: pacing is checked only against a clocked device";
    unsetenv("ALSA_CONFIG_PATH");
    Notices n;
    CVidana::SetWaveNotifier(&n);
    CVidana v;
    const std::vector<uint8_t> frame(320, 0xFF);
    const auto t0 = std::chrono::steady_clock::now();
    v.DecodeXFrame(frame.data(), 320, 17);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    CVidana::SetWaveNotifier(nullptr);
    if (!n.Take().empty()) GTEST_SKIP() << "the sound card's default device did not play";
    EXPECT_GE(ms, 35.0);
}

} // namespace
