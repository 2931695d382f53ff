#include "audio/AlsaTestDevices.h"
#include "audio/meter/AudioToggle.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A meter window that keeps what it is given, and notices a drawing that
// arrives after it was told it is no longer the meter.
class RecordingWindow : public MeterWindow {
public:
    RecordingWindow(int w, int h) : m_w(w), m_h(h) {}
    void ClientSize(int* width, int* height) const override {
        *width = m_w;
        *height = m_h;
    }
    void Present(const MeterPicture& picture) override {
        std::lock_guard lock(m);
        if (gone) ++lateDrawings;
        if (drawings++ == 0) first = picture;
        last = picture;
        cv.notify_all();
    }
    void MeterDetached() override { ++detached; }

    bool WaitFor(int n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 20s, [&] { return drawings >= n; });
    }
    int Drawings() {
        std::lock_guard lock(m);
        return drawings;
    }

    int m_w, m_h;
    std::mutex m;
    std::condition_variable cv;
    int drawings = 0;
    int lateDrawings = 0;
    bool gone = false;
    std::atomic<int> detached{0};
    MeterPicture first;
    MeterPicture last;
};

std::vector<int16_t> SineFile(int frames, double amplitude) {
    std::vector<int16_t> s;
    for (int i = 0; i < frames; ++i) {
        const auto v = int16_t(std::lround(amplitude * std::sin(2 * M_PI * i / 100.0)));
        s.push_back(v);
        s.push_back(v);
    }
    return s;
}

TEST(AudioToggle, SwitchesCaptureAndTheButtonTextAndDrawsTheMeter) {
    // Long enough that the no-clock device does not run dry during the test.
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400, 6000));
    RecordingWindow window(300, 64);
    AudioToggle audio;
    audio.SetInputMeter(&window);
    EXPECT_FALSE(audio.AudioOn());
    EXPECT_STREQ(audio.ButtonText(), "开启音频");

    EXPECT_STREQ(audio.Toggle(), "停止音频");
    EXPECT_TRUE(audio.AudioOn());
    EXPECT_TRUE(audio.GetRecorder().IsOpened());
    EXPECT_TRUE(audio.GetRecorder().IsRunning());
    ASSERT_TRUE(window.WaitFor(3));

    EXPECT_STREQ(audio.Toggle(), "开启音频");
    EXPECT_FALSE(audio.AudioOn());
    EXPECT_FALSE(audio.GetRecorder().IsRunning());
    EXPECT_TRUE(audio.GetRecorder().IsOpened()); // stays open until destruction
    const int drawn = window.Drawings();
    {
        std::lock_guard lock(window.m);
        // The meter's size, a signal (cursor in 0x303030) and the dots of a
        // loud sine. The first drawing surely comes from the file: later ones
        // may come after the clockless device has read it all.
        const MeterPicture& p = window.first;
        ASSERT_EQ(p.width, 300);
        ASSERT_EQ(p.height, 64);
        for (int y = 0; y < 64; ++y)
            EXPECT_EQ(p.At(0, y), 0x303030u) << y;
        EXPECT_EQ(p.At(8, 8), 0xFF4E00u);  // index 30
        EXPECT_EQ(p.At(8, 55), 0x002CE9u); // index 1
        EXPECT_EQ(window.last.width, 300);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(window.Drawings(), drawn) << "the meter was drawn after switching off";

    // On again: the same device and buffers, drawing resumes.
    const WAVEHDR* first = audio.GetRecorder().Header(0);
    EXPECT_STREQ(audio.Toggle(), "停止音频");
    EXPECT_EQ(audio.GetRecorder().Header(0), first);
    ASSERT_TRUE(window.WaitFor(drawn + 2));
    audio.Toggle();
    EXPECT_EQ(window.lateDrawings, 0);
}

TEST(AudioToggle, WithoutADeviceTheButtonStillSwitchesAndTheMeterStaysBlank) {
    RecordingWindow window(300, 64);
    AudioToggle audio;
    audio.GetRecorder().m_szDevice = AlsaTestDevices::Get().kMissingDevice;
    audio.SetInputMeter(&window);
    EXPECT_STREQ(audio.Toggle(), "停止音频");
    EXPECT_FALSE(audio.GetRecorder().IsOpened());
    EXPECT_FALSE(audio.GetRecorder().IsRunning());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(window.Drawings(), 0);
    EXPECT_STREQ(audio.Toggle(), "开启音频");
}

TEST(AudioToggle, DetachingTheMeterWaitsForTheDrawingInProgress) {
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400, 6000));
    RecordingWindow window(300, 64);
    AudioToggle audio;
    audio.SetInputMeter(&window);
    audio.Toggle();
    ASSERT_TRUE(window.WaitFor(2));
    audio.SetInputMeter(nullptr);
    {
        std::lock_guard lock(window.m);
        window.gone = true;
    }
    EXPECT_EQ(window.detached, 1);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(audio.GetRecorder().IsRunning()); // capture goes on, drawing nowhere
    audio.Toggle();
    EXPECT_EQ(window.lateDrawings, 0);
}

TEST(AudioToggle, DestructionStopsCaptureAndTellsTheMeter) {
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400, 6000));
    RecordingWindow window(300, 64);
    {
        AudioToggle audio;
        audio.SetInputMeter(&window);
        audio.Toggle();
        ASSERT_TRUE(window.WaitFor(2));
    }
    EXPECT_EQ(window.detached, 1);
    const int drawn = window.Drawings();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(window.Drawings(), drawn);
}

TEST(AudioToggle, MeterTooLowIsNotDrawn) {
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400, 6000));
    RecordingWindow window(300, 3);
    AudioToggle audio;
    audio.SetInputMeter(&window);
    audio.Toggle();
    std::this_thread::sleep_for(50ms);
    audio.Toggle();
    EXPECT_EQ(window.Drawings(), 0);
}

} // namespace
