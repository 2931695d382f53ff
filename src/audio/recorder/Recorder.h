#pragma once
// Microphone capture: the default ALSA capture device fills a ring of
// kBufferCount buffers, and a capture thread of the Recorder's own hands each
// filled buffer to the owner's callback.
//
//   Recorder rec;                       // 16-bit, 2 channels, 44100 Hz, 8192-byte buffers
//   rec.SetCallback(&OnBuffer, &me);    // before Start
//   rec.Open(); rec.Start();
//   ...
//   rec.Stop();                         // Start again later if wanted
//   // the destructor closes the device and frees the buffers
//
// No operation returns a result or shows a message: a failed Open leaves the
// Recorder closed, and Start on a closed Recorder does nothing.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// One capture buffer as the callback sees it; the same fields as a wave
// input buffer header.
struct WAVEHDR {
    char* lpData = nullptr;       // the samples
    uint32_t dwBufferLength = 0;  // capacity of lpData in bytes
    uint32_t dwBytesRecorded = 0; // bytes the device wrote, set when the buffer is done
    uintptr_t dwUser = 0;         // the Recorder the buffer belongs to
    uint32_t dwFlags = 0;         // WHDR_* below
    uint32_t dwLoops = 1;
    WAVEHDR* lpNext = nullptr;
    uintptr_t reserved = 0;
};

constexpr uint32_t WHDR_DONE = 0x01;     // filled, handed to the callback
constexpr uint32_t WHDR_PREPARED = 0x02; // belongs to a started capture
constexpr uint32_t WHDR_INQUEUE = 0x10;  // waiting for the device to fill it

// The wave format the device is opened with.
struct WaveFormat {
    uint16_t wFormatTag = 0; // 1: linear PCM
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
};

class Recorder {
public:
    // Called on the capture thread with the user value and a filled buffer.
    // The buffer stays untouched until kBufferCount - 1 further buffers have
    // been delivered.
    using Callback = void (*)(void* user, WAVEHDR* header);

    static constexpr int kBufferCount = 16;

    Recorder();
    virtual ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Allocates the buffers and opens the capture device with the format of
    // the members below. Nothing when already opened.
    void Open();
    // Queues the buffers and starts the capture thread and the device.
    // Nothing when not opened or already running.
    void Start();
    // Stops the device and the capture thread. A buffer the device was still
    // filling is dropped; every buffer delivered before has been handled by the
    // callback when Stop returns. Called from the callback it only asks the
    // thread to end: no further buffer is delivered, and IsRunning stays true
    // until the owner's Stop or Close.
    void Stop();
    // Stops if needed, closes the device and frees every buffer. Not from the
    // callback.
    void Close();

    // Sets the callback and its user value. Waits for a callback that is
    // running at the time, so that after SetCallback(nullptr, ...) the old
    // callback is not running and will not be called again. Must not be called
    // from the callback itself.
    void SetCallback(Callback callback, void* user);

    bool IsOpened() const { return m_bOpened.load(); }
    bool IsRunning() const { return m_bRunning.load(); }
    // Header and data blocks that exist, 0 to 2 * kBufferCount.
    int AllocatedBlocks() const;
    const WAVEHDR* Header(int i) const { return m_pWaveHdr[i].get(); }
    const WaveFormat& Format() const { return m_waveFormat; }

    // The capture format; changed only before Open.
    uint16_t m_nBitsPerSample = 16;
    uint16_t m_nChannels = 2;
    uint32_t m_nSampleRate = 44100;
    uint32_t m_nBufferSize = 8192;
    // The ALSA capture device; "default" is the system's default input.
    std::string m_szDevice = "default";

private:
    struct Device; // the ALSA handle and the wake-up descriptor
    static void CaptureThread(Recorder* self);
    void StopDevice();
    void FreeBuffers();

    std::unique_ptr<WAVEHDR> m_pWaveHdr[kBufferCount];
    std::unique_ptr<char[]> m_pBuffer[kBufferCount];
    WaveFormat m_waveFormat;
    std::unique_ptr<Device> m_device;
    std::thread m_hThread;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bOpened{false};

    // The callback and its user value, and counts of the calls begun and
    // ended, so that SetCallback can wait for the call in progress without
    // competing for a lock with the next one.
    std::mutex m_callbackLock;
    std::condition_variable m_callEnded;
    Callback m_pCallback = nullptr;
    void* m_pUser = nullptr;
    uint64_t m_callsBegun = 0;
    uint64_t m_callsEnded = 0;
};
