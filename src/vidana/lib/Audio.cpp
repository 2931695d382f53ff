// Audio paths of CVidana: G.711 mu-law playback and capture at 8 kHz through
// ALSA's default device. Failures are reported with the wave-device texts the
// operator knows, mapped from ALSA's errors.
#include "vidana/lib/Vidana.h"

#include "vidana/lib/DecoderState.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

// Wave result codes.
constexpr int kNoError = 0;
constexpr int kError = 1;
constexpr int kBadDeviceId = 2;
constexpr int kAllocated = 4;
constexpr int kInvalidHandle = 5;
constexpr int kNoDriver = 6;
constexpr int kNoMem = 7;
constexpr int kBadFormat = 32;
constexpr int kUnprepared = 34;

constexpr size_t kPlaybackBytes = 80000; // 10 s of 8 kHz mu-law
constexpr unsigned kRate = 8000;
constexpr unsigned kLatencyUs = 200000;

std::atomic<IVidanaNotifier*> g_notifier{nullptr};

void Report(int code) {
    const char* text = nullptr;
    switch (code) {
    case kNoError:
        return;
    case 2:
        text = "Specified device identifier is out of range. ";
        break;
    case 4:
        text = "Specified resource is already allocated.";
        break;
    case 5:
        text = "Specified device handle is invalid. ";
        break;
    case 6:
        text = "no device driver is present.";
        break;
    case 7:
        text = "Unable to allocate or lock memory. ";
        break;
    case 32:
        text = "Attempted to open with an unsupported waveform-audio format ";
        break;
    case 34:
        text = "The buffer pointed to by the pwh parameter hasn't been prepared. ";
        break;
    case 35:
        text = "The device is synchronous but was called without using the WAVE_ALLOWSYNC flag. ";
        break;
    }
    char other[100];
    if (!text) {
        std::snprintf(other, sizeof other, " other error %d", code);
        text = other;
    }
    if (IVidanaNotifier* n = g_notifier.load())
        n->WaveError(text);
    else
        std::fprintf(stderr, "%s\n", text);
}

// The nearest wave code of an ALSA error (a negative errno).
int WaveCode(int alsaError, int formatCode = kError) {
    if (alsaError >= 0) return kNoError;
    switch (-alsaError) {
    case ENOENT:
        return kNoDriver;
    case ENODEV:
    case ENXIO:
        return kBadDeviceId;
    case EBUSY:
    case EAGAIN:
        return kAllocated;
    case ENOMEM:
        return kNoMem;
    case EBADF:
    case EBADFD:
        return kInvalidHandle;
    case EINVAL:
        return formatCode;
    default:
        return kError;
    }
}

// G.711 mu-law, for devices that take only linear samples.
int16_t MuLawToLinear(uint8_t u) {
    u = ~u;
    const int t = ((u & 0x0f) << 3) + 0x84;
    const int mag = (t << ((u & 0x70) >> 4)) - 0x84;
    return int16_t((u & 0x80) ? -mag : mag);
}

uint8_t LinearToMuLaw(int16_t sample) {
    int s = sample;
    const int sign = s < 0 ? 0x80 : 0;
    if (s < 0) s = -s;
    s = std::min(s, 32635) + 0x84;
    int exponent = 7;
    for (int mask = 0x4000; !(s & mask) && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (s >> (exponent + 3)) & 0x0f;
    return uint8_t(~(sign | (exponent << 4) | mantissa));
}

struct PcmCloser {
    void operator()(snd_pcm_t* p) const { snd_pcm_close(p); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Sets 8 kHz mono mu-law, or 16-bit linear where the device has no mu-law;
// returns the ALSA result and tells which format was taken.
int SetFormat(snd_pcm_t* pcm, bool& linear) {
    linear = false;
    int rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_MU_LAW, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate,
                                1, kLatencyUs);
    if (rc == -EINVAL) {
        rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1,
                                kLatencyUs);
        linear = rc == 0;
    }
    return rc;
}

// A device held by another program answers "busy" at once instead of
// blocking the caller until it is free; the stream itself then blocks.
int OpenDefault(snd_pcm_t** pcm, snd_pcm_stream_t stream) {
    int rc = snd_pcm_open(pcm, "default", stream, SND_PCM_NONBLOCK);
    if (rc == 0) {
        const int blocking = snd_pcm_nonblock(*pcm, 0);
        if (blocking < 0) {
            snd_pcm_close(*pcm);
            *pcm = nullptr;
            rc = blocking;
        }
    }
    return rc;
}

struct AudioState {
    // One frame plays at a time: the playback buffer is shared by all instances.
    std::mutex playLock;
    std::array<uint8_t, kPlaybackBytes> playback{};
    std::vector<int16_t> linear;

    // Capture runs from SetACallBack to the end of the process.
    std::mutex captureLock;
    std::atomic<VidanaACallBack> callback{nullptr};
    std::atomic<bool> capturing{false};
    std::thread captureThread;

    ~AudioState() { StopCapture(); }

    void StopCapture() {
        std::lock_guard guard(captureLock);
        capturing = false;
        if (captureThread.joinable()) captureThread.join();
    }
};

AudioState& Audio() {
    static AudioState state;
    return state;
}

// Reads whole buffers and hands each, with its full length, to the callback.
void CaptureLoop(PcmPtr pcm, std::vector<uint8_t> buffer, std::vector<int16_t> samples) {
    AudioState& a = Audio();
    const bool linear = !samples.empty();
    const uint32_t size = uint32_t(buffer.size());
    while (a.capturing.load()) {
        uint32_t got = 0;
        while (got < size && a.capturing.load()) {
            void* into = linear ? static_cast<void*>(samples.data() + got)
                                : static_cast<void*>(buffer.data() + got);
            snd_pcm_sframes_t n = snd_pcm_readi(pcm.get(), into, size - got);
            if (n == -EAGAIN) continue;
            if (n < 0) n = snd_pcm_recover(pcm.get(), int(n), 1);
            if (n < 0) {
                // A device that went away: say so once and stop capturing.
                Report(WaveCode(int(n)));
                a.capturing = false;
                break;
            }
            got += uint32_t(n);
        }
        if (got < size) break;
        if (linear)
            for (uint32_t i = 0; i < size; ++i)
                buffer[i] = LinearToMuLaw(samples[i]);
        if (VidanaACallBack cb = a.callback.load()) cb(buffer.data(), size);
    }
}

} // namespace

void vidana::AudioModule() {
    Audio();
}

void CVidana::SetWaveNotifier(IVidanaNotifier* notifier) {
    g_notifier.store(notifier);
}

int32_t CVidana::DecodeAFrame(const uint8_t* data, int32_t length) {
    // The playback buffer holds 10 seconds; a longer frame is not copied.
    if (length < 0 || size_t(length) > kPlaybackBytes || (length > 0 && !data)) return 0;
    AudioState& a = Audio();
    std::lock_guard guard(a.playLock);
    if (length > 0) std::memcpy(a.playback.data(), data, size_t(length));

    snd_pcm_t* raw = nullptr;
    int rc = OpenDefault(&raw, SND_PCM_STREAM_PLAYBACK);
    Report(WaveCode(rc, kBadDeviceId));
    PcmPtr pcm(rc == 0 ? raw : nullptr);

    // Setting the format and writing stand for preparing and writing the
    // wave header; on a device that did not open each reports a bad handle.
    bool linear = false;
    int writeCode = kInvalidHandle;
    if (pcm) {
        rc = SetFormat(pcm.get(), linear);
        Report(WaveCode(rc, kBadFormat));
        const void* from = a.playback.data();
        if (rc == 0 && linear) {
            a.linear.resize(size_t(length));
            for (int32_t i = 0; i < length; ++i)
                a.linear[i] = MuLawToLinear(a.playback[i]);
            from = a.linear.data();
        }
        const size_t frameBytes = linear ? 2 : 1;
        writeCode = rc == 0 ? kNoError : kUnprepared;
        for (int32_t done = 0; rc == 0 && done < length;) {
            snd_pcm_sframes_t n = snd_pcm_writei(
                pcm.get(), static_cast<const uint8_t*>(from) + size_t(done) * frameBytes,
                snd_pcm_uframes_t(length - done));
            if (n < 0) n = snd_pcm_recover(pcm.get(), int(n), 1);
            if (n < 0) {
                writeCode = WaveCode(int(n));
                break;
            }
            done += int32_t(n);
        }
        Report(writeCode);
        // Returns only once the frame has been played to the end.
        if (rc == 0) snd_pcm_drain(pcm.get());
    } else {
        Report(kInvalidHandle);
        Report(writeCode);
    }
    Report(writeCode);
    if (pcm) {
        Report(WaveCode(snd_pcm_close(pcm.release())));
    } else {
        Report(kInvalidHandle);
    }
    return 0;
}

int32_t CVidana::SetACallBack(VidanaACallBack callback, uint32_t size) {
    m_pACallBack = callback;
    m_nABufSize = size;
    AudioState& a = Audio();
    // A second call starts capture afresh with the new callback and size.
    a.StopCapture();
    a.callback.store(callback);
    if (size == 0) return 0; // a buffer of no bytes would never fill

    snd_pcm_t* raw = nullptr;
    int rc = OpenDefault(&raw, SND_PCM_STREAM_CAPTURE);
    Report(WaveCode(rc, kBadDeviceId));
    PcmPtr pcm(rc == 0 ? raw : nullptr);
    if (!pcm) {
        // Preparing and adding the buffer and starting, on no device.
        Report(kInvalidHandle);
        Report(kInvalidHandle);
        Report(kInvalidHandle);
        return 0;
    }
    bool linear = false;
    rc = SetFormat(pcm.get(), linear);
    Report(WaveCode(rc, kBadFormat));
    if (rc != 0) {
        Report(kInvalidHandle);
        return 0;
    }
    // The one capture buffer, zero-filled (and its 16-bit twin for a device
    // without mu-law); a size beyond memory is reported, not thrown.
    std::vector<uint8_t> buffer;
    std::vector<int16_t> samples;
    try {
        buffer.assign(size, 0);
        if (linear) samples.assign(size, 0);
    } catch (const std::bad_alloc&) {
        Report(kNoMem);
        return 0;
    }
    rc = snd_pcm_start(pcm.get());
    Report(WaveCode(rc));
    std::lock_guard guard(a.captureLock);
    a.capturing = true;
    a.captureThread =
        std::thread(CaptureLoop, std::move(pcm), std::move(buffer), std::move(samples));
    return 0;
}
