#include "audio/AlsaTestDevices.h"
#include "audio/recorder/Recorder.h"

#include <alsa/asoundlib.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int kFramesPerBuffer = 2048; // 8192 bytes of 16-bit stereo

// Frame i carries i in its left sample and ~i in its right one, so that any
// lost, repeated or reordered frame shows.
std::vector<int16_t> Ramp(int frames) {
    std::vector<int16_t> s;
    for (int i = 0; i < frames; ++i) {
        s.push_back(int16_t(uint16_t(i)));
        s.push_back(int16_t(uint16_t(~i)));
    }
    return s;
}

// Keeps a copy of every buffer the callback receives, and asks the recorder to
// end its capture once `limit` buffers have come, so that exactly that much
// of the file has been read.
struct Collector {
    Recorder* recorder = nullptr;
    size_t limit = 0;
    std::mutex m;
    std::condition_variable cv;
    std::vector<WAVEHDR*> headers;
    std::vector<WAVEHDR> fields;
    std::vector<char> bytes;
    std::vector<void*> users;
    size_t calls = 0;

    static void Callback(void* user, WAVEHDR* h) {
        auto* c = static_cast<Collector*>(user);
        std::lock_guard lock(c->m);
        ++c->calls;
        c->cv.notify_all();
        // The clockless device delivers as fast as it is read: keep copies of
        // the first buffers only.
        if (c->headers.size() >= (c->limit ? c->limit : 64)) return;
        c->headers.push_back(h);
        c->fields.push_back(*h);
        c->users.push_back(user);
        c->bytes.insert(c->bytes.end(), h->lpData, h->lpData + h->dwBytesRecorded);
        if (c->headers.size() == c->limit) c->recorder->Stop();
    }
    bool WaitFor(size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 20s, [&] { return calls >= n; });
    }
    size_t Count() {
        std::lock_guard lock(m);
        return calls;
    }
};

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override { AlsaTestDevices::Get().WriteCapture(Ramp(48 * kFramesPerBuffer)); }
};

TEST_F(RecorderTest, DefaultsAreSixteenBitStereoAt44100) {
    Recorder rec;
    EXPECT_EQ(rec.m_nBitsPerSample, 16);
    EXPECT_EQ(rec.m_nChannels, 2);
    EXPECT_EQ(rec.m_nSampleRate, 44100u);
    EXPECT_EQ(rec.m_nBufferSize, 8192u);
    EXPECT_FALSE(rec.IsOpened());
    EXPECT_FALSE(rec.IsRunning());
    EXPECT_EQ(rec.AllocatedBlocks(), 0);

    rec.Open();
    ASSERT_TRUE(rec.IsOpened());
    const WaveFormat& f = rec.Format();
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(rec.AllocatedBlocks(), 2 * Recorder::kBufferCount);
    for (int i = 0; i < Recorder::kBufferCount; ++i) {
        const WAVEHDR* h = rec.Header(i);
        ASSERT_NE(h, nullptr);
        EXPECT_NE(h->lpData, nullptr);
        EXPECT_EQ(h->dwBufferLength, 8192u);
        EXPECT_EQ(h->dwBytesRecorded, 0u);
        EXPECT_EQ(h->dwUser, reinterpret_cast<uintptr_t>(&rec));
        EXPECT_EQ(h->dwFlags, 0u);
        EXPECT_EQ(h->dwLoops, 1u);
        EXPECT_EQ(h->lpNext, nullptr);
        // Distinct buffers.
        for (int j = 0; j < i; ++j)
            EXPECT_NE(rec.Header(j)->lpData, h->lpData);
    }
}

TEST_F(RecorderTest, CallbackGetsFullBuffersOfTheFileInOrderAcrossARestart) {
    Recorder rec;
    Collector c;
    c.recorder = &rec;
    c.limit = 20;
    rec.SetCallback(&Collector::Callback, &c);
    rec.Open();
    ASSERT_TRUE(rec.IsOpened());
    rec.Start();
    EXPECT_TRUE(rec.IsRunning());
    ASSERT_TRUE(c.WaitFor(20));
    rec.Stop();
    EXPECT_FALSE(rec.IsRunning());
    EXPECT_TRUE(rec.IsOpened());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(c.Count(), 20u) << "callback after stop";
    for (int i = 0; i < Recorder::kBufferCount; ++i)
        EXPECT_EQ(rec.Header(i)->dwFlags & WHDR_INQUEUE, 0u) << "buffer " << i;

    // Restart on the still-open device: the ring starts again at its first buffer.
    c.limit = 40;
    rec.Start();
    EXPECT_TRUE(rec.IsRunning());
    ASSERT_TRUE(c.WaitFor(40));
    rec.Stop();

    std::lock_guard lock(c.m);
    ASSERT_EQ(c.headers.size(), 40u);
    for (size_t k = 0; k < 40; ++k) {
        const size_t slot = (k < 20 ? k : k - 20) % Recorder::kBufferCount;
        EXPECT_EQ(c.headers[k], rec.Header(int(slot))) << "buffer " << k;
        EXPECT_EQ(c.users[k], &c);
        EXPECT_EQ(c.fields[k].dwBufferLength, 8192u);
        EXPECT_EQ(c.fields[k].dwBytesRecorded, 8192u);
        EXPECT_EQ(c.fields[k].dwFlags, WHDR_DONE | WHDR_PREPARED);
        EXPECT_EQ(c.fields[k].dwUser, reinterpret_cast<uintptr_t>(&rec));
    }
    // 40 buffers: the file's first 81920 frames, none lost or repeated.
    const std::vector<int16_t> expected = Ramp(40 * kFramesPerBuffer);
    ASSERT_EQ(c.bytes.size(), expected.size() * 2);
    size_t firstDiff = 0;
    while (firstDiff < c.bytes.size() &&
           c.bytes[firstDiff] == reinterpret_cast<const char*>(expected.data())[firstDiff])
        ++firstDiff;
    EXPECT_EQ(firstDiff, c.bytes.size()) << "first differing byte";
}

TEST_F(RecorderTest, OpenTwiceKeepsTheFirstDeviceAndBuffers) {
    Recorder rec;
    rec.Open();
    ASSERT_TRUE(rec.IsOpened());
    const WAVEHDR* first = rec.Header(0);
    const char* data = first->lpData;
    const int fds = OpenDescriptors();
    rec.Open();
    EXPECT_TRUE(rec.IsOpened());
    EXPECT_EQ(rec.Header(0), first);
    EXPECT_EQ(rec.Header(0)->lpData, data);
    EXPECT_EQ(OpenDescriptors(), fds) << "a second device was opened";
}

TEST_F(RecorderTest, StartBeforeOpenDoesNothing) {
    Recorder rec;
    Collector c;
    c.recorder = &rec;
    rec.SetCallback(&Collector::Callback, &c);
    rec.Start();
    EXPECT_FALSE(rec.IsRunning());
    EXPECT_FALSE(rec.IsOpened());
    rec.Stop();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(c.Count(), 0u);
}

TEST_F(RecorderTest, MissingDeviceFailsQuietly) {
    for (const char* name : {AlsaTestDevices::kMissingDevice, "tarvex_not_configured"}) {
        const int fds = OpenDescriptors();
        Recorder rec;
        rec.m_szDevice = name;
        Collector c;
        c.recorder = &rec;
        rec.SetCallback(&Collector::Callback, &c);
        rec.Open();
        EXPECT_FALSE(rec.IsOpened()) << name;
        // The buffers stay until close.
        EXPECT_EQ(rec.AllocatedBlocks(), 2 * Recorder::kBufferCount);
        rec.Start();
        EXPECT_FALSE(rec.IsRunning()) << name;
        rec.Stop();
        rec.Open(); // a second try makes its buffers anew without leaking
        EXPECT_EQ(rec.AllocatedBlocks(), 2 * Recorder::kBufferCount);
        rec.Close();
        EXPECT_EQ(rec.AllocatedBlocks(), 0);
        EXPECT_EQ(c.Count(), 0u);
        EXPECT_EQ(OpenDescriptors(), fds) << name;
    }
}

TEST_F(RecorderTest, CloseAndDestructionReleaseDeviceAndBuffers) {
    const int fds = OpenDescriptors();
    {
        Recorder rec;
        Collector c;
        c.recorder = &rec;
        c.limit = 0; // never stops by itself
        rec.SetCallback(&Collector::Callback, &c);
        rec.Open();
        rec.Start();
        ASSERT_TRUE(c.WaitFor(3));
        rec.Stop();
        rec.Close();
        EXPECT_FALSE(rec.IsOpened());
        EXPECT_FALSE(rec.IsRunning());
        EXPECT_EQ(rec.AllocatedBlocks(), 0);
        EXPECT_EQ(OpenDescriptors(), fds);
        // Closed again: open works as from new.
        rec.Open();
        EXPECT_TRUE(rec.IsOpened());
        EXPECT_EQ(rec.AllocatedBlocks(), 2 * Recorder::kBufferCount);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    {
        // Destroyed while capturing: the destructor stops and closes (before
        // the collector the callback writes into goes).
        Collector c;
        Recorder rec;
        c.recorder = &rec;
        rec.SetCallback(&Collector::Callback, &c);
        rec.Open();
        rec.Start();
        ASSERT_TRUE(c.WaitFor(2));
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

// Clearing the callback waits for a call in progress: afterwards the old
// callback neither runs nor is called again.
TEST_F(RecorderTest, ClearingTheCallbackWaitsForTheRunningCall) {
    struct Slow {
        std::atomic<bool> inside{false};
        std::atomic<int> calls{0};
        static void Callback(void* user, WAVEHDR*) {
            auto* s = static_cast<Slow*>(user);
            s->inside = true;
            ++s->calls;
            std::this_thread::sleep_for(20ms);
            s->inside = false;
        }
    } slow;
    Recorder rec;
    rec.SetCallback(&Slow::Callback, &slow);
    rec.Open();
    rec.Start();
    while (!slow.inside)
        std::this_thread::yield();
    rec.SetCallback(nullptr, nullptr);
    EXPECT_FALSE(slow.inside);
    const int calls = slow.calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(slow.calls, calls);
    EXPECT_TRUE(rec.IsRunning()); // capture goes on without a callback
    rec.Stop();
}

TEST_F(RecorderTest, OwnerChosenFormatShapesTheBuffers) {
    // Mono 16-bit at 8000 Hz with 1000-byte buffers: 500 frames each.
    std::vector<int16_t> mono;
    for (int i = 0; i < 4000; ++i)
        mono.push_back(int16_t(i * 7));
    AlsaTestDevices::Get().WriteCapture(mono);
    Recorder rec;
    rec.m_nChannels = 1;
    rec.m_nSampleRate = 8000;
    rec.m_nBufferSize = 1000;
    Collector c;
    c.recorder = &rec;
    c.limit = 6;
    rec.SetCallback(&Collector::Callback, &c);
    rec.Open();
    ASSERT_TRUE(rec.IsOpened());
    EXPECT_EQ(rec.Format().nBlockAlign, 2);
    EXPECT_EQ(rec.Format().nAvgBytesPerSec, 16000u);
    rec.Start();
    ASSERT_TRUE(c.WaitFor(6));
    rec.Stop();
    std::lock_guard lock(c.m);
    ASSERT_EQ(c.bytes.size(), 6000u);
    EXPECT_EQ(std::memcmp(c.bytes.data(), mono.data(), 6000), 0);
}

TEST(RecorderClock, DefaultsGiveAbout21CallbacksASecond) {
    AlsaTestDevices::Get(); // the test configuration, for the same ALSA set-up as above
    int card = -1;
    if (snd_card_next(&card) < 0 || card < 0)
        GTEST_SKIP() << "no sound card: the test devices have no clock, pacing not checked";
    Recorder rec;
    rec.m_szDevice = "plughw:" + std::to_string(card);
    std::atomic<int> calls{0};
    rec.SetCallback([](void* user, WAVEHDR*) { ++*static_cast<std::atomic<int>*>(user); }, &calls);
    rec.Open();
    if (!rec.IsOpened()) GTEST_SKIP() << "card " << card << " has no capture device";
    rec.Start();
    std::this_thread::sleep_for(2s);
    rec.Stop();
    // 176400 bytes a second in 8192-byte buffers: 21.5 a second.
    EXPECT_GE(calls, 36);
    EXPECT_LE(calls, 50);
}

} // namespace
