#include "audio/recorder/Recorder.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

// The open capture device, and an eventfd that wakes the capture thread out
// of its poll when the Recorder stops.
struct Recorder::Device {
    snd_pcm_t* pcm = nullptr;
    int wakeFd = -1;
    unsigned framesPerBuffer = 0;
    std::atomic<bool> quit{false};

    ~Device() {
        if (pcm) {
            snd_pcm_drop(pcm);
            snd_pcm_close(pcm);
        }
        if (wakeFd >= 0) close(wakeFd);
    }
    void Wake() const {
        uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }
    void ClearWake() const {
        uint64_t value;
        (void)!read(wakeFd, &value, sizeof value);
    }
};

namespace {

bool PcmFormatFor(uint16_t bits, snd_pcm_format_t* format) {
    switch (bits) {
    case 8:
        *format = SND_PCM_FORMAT_U8;
        return true;
    case 16:
        *format = SND_PCM_FORMAT_S16_LE;
        return true;
    case 24:
        *format = SND_PCM_FORMAT_S24_3LE;
        return true;
    case 32:
        *format = SND_PCM_FORMAT_S32_LE;
        return true;
    default:
        return false;
    }
}

// Sets the format exactly; period and ring sizes are wishes, since the
// Recorder collects whole buffers itself whatever the device's periods are.
bool ConfigurePcm(snd_pcm_t* pcm, snd_pcm_format_t format, const WaveFormat& wf,
                  unsigned framesPerBuffer) {
    snd_pcm_hw_params_t* hw = nullptr;
    if (snd_pcm_hw_params_malloc(&hw) < 0) return false;
    std::unique_ptr<snd_pcm_hw_params_t, void (*)(snd_pcm_hw_params_t*)> hwGuard(
        hw, snd_pcm_hw_params_free);
    if (snd_pcm_hw_params_any(pcm, hw) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, format) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, wf.nChannels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw, wf.nSamplesPerSec, 0) < 0)
        return false;
    snd_pcm_uframes_t period = framesPerBuffer;
    int dir = 0;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    snd_pcm_uframes_t ring = snd_pcm_uframes_t(framesPerBuffer) * Recorder::kBufferCount;
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &ring);
    if (snd_pcm_hw_params(pcm, hw) < 0) return false;

    // Wake the capture thread once a whole buffer can be read.
    snd_pcm_sw_params_t* sw = nullptr;
    if (snd_pcm_sw_params_malloc(&sw) == 0) {
        if (snd_pcm_sw_params_current(pcm, sw) == 0) {
            snd_pcm_uframes_t ringSize = 0;
            snd_pcm_hw_params_get_buffer_size(hw, &ringSize);
            snd_pcm_uframes_t availMin = framesPerBuffer;
            if (ringSize && availMin > ringSize / 2) availMin = ringSize / 2;
            if (availMin == 0) availMin = 1;
            snd_pcm_sw_params_set_avail_min(pcm, sw, availMin);
            snd_pcm_sw_params(pcm, sw);
        }
        snd_pcm_sw_params_free(sw);
    }
    return true;
}

void RaisePriority(std::thread& t) {
    // Real-time scheduling needs a privilege most users lack; without it the
    // thread keeps the normal priority.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    if (param.sched_priority > 0) pthread_setschedparam(t.native_handle(), SCHED_RR, &param);
}

// The Recorder whose capture thread this is, so that a Stop from the callback
// is told apart without reading the thread object being assigned.
thread_local const Recorder* t_captureOf = nullptr;

} // namespace

Recorder::Recorder() = default;

Recorder::~Recorder() {
    Close();
    m_pCallback = nullptr;
}

int Recorder::AllocatedBlocks() const {
    int n = 0;
    for (int i = 0; i < kBufferCount; ++i)
        n += (m_pWaveHdr[i] != nullptr) + (m_pBuffer[i] != nullptr);
    return n;
}

void Recorder::FreeBuffers() {
    for (int i = 0; i < kBufferCount; ++i) {
        m_pWaveHdr[i].reset();
        m_pBuffer[i].reset();
    }
}

void Recorder::Open() {
    if (m_bOpened) return;
    // A failed earlier open leaves its buffers; make them anew for the
    // current buffer size.
    FreeBuffers();
    for (int i = 0; i < kBufferCount; ++i) {
        m_pWaveHdr[i] = std::make_unique<WAVEHDR>();
        m_pBuffer[i] = std::make_unique<char[]>(m_nBufferSize); // zero-filled
        WAVEHDR& h = *m_pWaveHdr[i];
        h.lpData = m_pBuffer[i].get();
        h.dwBufferLength = m_nBufferSize;
        h.dwBytesRecorded = 0;
        h.dwUser = reinterpret_cast<uintptr_t>(this);
        h.dwFlags = 0;
        h.dwLoops = 1;
        h.lpNext = nullptr;
        h.reserved = 0;
    }

    m_waveFormat = WaveFormat{};
    m_waveFormat.wFormatTag = 1;
    m_waveFormat.nChannels = m_nChannels;
    m_waveFormat.nSamplesPerSec = m_nSampleRate;
    m_waveFormat.wBitsPerSample = m_nBitsPerSample;
    m_waveFormat.nBlockAlign = uint16_t(m_nChannels * m_nBitsPerSample / 8);
    m_waveFormat.nAvgBytesPerSec = m_nSampleRate * m_waveFormat.nBlockAlign;

    snd_pcm_format_t format;
    if (!PcmFormatFor(m_nBitsPerSample, &format) || m_nChannels == 0 || m_nSampleRate == 0) return;
    const unsigned framesPerBuffer = m_nBufferSize / m_waveFormat.nBlockAlign;
    if (framesPerBuffer == 0) return;

    auto device = std::make_unique<Device>();
    device->framesPerBuffer = framesPerBuffer;
    if (snd_pcm_open(&device->pcm, m_szDevice.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) <
        0) {
        device->pcm = nullptr;
        return;
    }
    if (!ConfigurePcm(device->pcm, format, m_waveFormat, framesPerBuffer)) return;
    device->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (device->wakeFd < 0) return;

    m_device = std::move(device);
    m_bOpened = true;
}

void Recorder::Start() {
    if (!m_bOpened || m_bRunning) return;

    // A fresh start: the device forgets what it captured before a stop.
    snd_pcm_drop(m_device->pcm);
    if (snd_pcm_prepare(m_device->pcm) < 0) return;
    for (auto& h : m_pWaveHdr) {
        h->dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
        h->dwBytesRecorded = 0;
    }
    if (snd_pcm_start(m_device->pcm) < 0) {
        for (auto& h : m_pWaveHdr)
            h->dwFlags = 0;
        return;
    }
    m_device->ClearWake();
    m_device->quit = false;
    m_bRunning = true;
    m_hThread = std::thread(CaptureThread, this);
    RaisePriority(m_hThread);
}

void Recorder::StopDevice() {
    m_device->quit = true;
    m_device->Wake();
    if (m_hThread.joinable()) m_hThread.join();
    snd_pcm_drop(m_device->pcm);
    m_device->ClearWake();
    for (auto& h : m_pWaveHdr)
        h->dwFlags &= ~WHDR_INQUEUE;
}

void Recorder::Stop() {
    if (!m_bOpened || !m_bRunning) return;
    if (t_captureOf == this) {
        m_device->quit = true; // the owner's next Stop, Start or Close joins
        return;
    }
    StopDevice();
    m_bRunning = false;
}

void Recorder::Close() {
    if (m_bOpened && m_bRunning) Stop();
    if (m_hThread.joinable()) m_hThread.join();
    m_device.reset(); // drops what the device still holds and closes it
    FreeBuffers();
    m_bOpened = false;
    m_bRunning = false;
}

void Recorder::SetCallback(Callback callback, void* user) {
    std::unique_lock lock(m_callbackLock);
    m_pCallback = callback;
    m_pUser = user;
    const uint64_t begun = m_callsBegun; // the calls that may use the old values
    m_callEnded.wait(lock, [&] { return m_callsEnded >= begun; });
}

void Recorder::CaptureThread(Recorder* self) {
    t_captureOf = self;
    Device& dev = *self->m_device;
    const unsigned blockAlign = self->m_waveFormat.nBlockAlign;
    const uint32_t wanted = dev.framesPerBuffer * blockAlign;

    const int pcmFds = snd_pcm_poll_descriptors_count(dev.pcm);
    if (pcmFds < 0) return;
    std::vector<pollfd> fds(size_t(pcmFds) + 1);

    int index = 0;
    uint32_t filled = 0;
    std::memset(self->m_pWaveHdr[0]->lpData, 0, self->m_pWaveHdr[0]->dwBufferLength);
    while (!dev.quit) {
        snd_pcm_poll_descriptors(dev.pcm, fds.data(), unsigned(pcmFds));
        fds[pcmFds] = pollfd{dev.wakeFd, POLLIN, 0};
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[pcmFds].revents || dev.quit) break;
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(dev.pcm, fds.data(), unsigned(pcmFds), &revents);
        if (!(revents & (POLLIN | POLLERR))) continue;

        WAVEHDR* h = self->m_pWaveHdr[index].get();
        snd_pcm_sframes_t n =
            snd_pcm_readi(dev.pcm, h->lpData + filled, (wanted - filled) / blockAlign);
        if (n == -EAGAIN) continue;
        if (n < 0) {
            // An overrun (the callback was too slow) or a suspend: recover and
            // go on capturing; anything else means the device is gone.
            if (snd_pcm_recover(dev.pcm, int(n), 1) < 0) break;
            if (snd_pcm_state(dev.pcm) != SND_PCM_STATE_RUNNING && snd_pcm_start(dev.pcm) < 0)
                break;
            continue;
        }
        filled += uint32_t(n) * blockAlign;
        if (filled < wanted) continue;

        h->dwBytesRecorded = filled;
        h->dwFlags = WHDR_PREPARED | WHDR_DONE;
        Callback callback;
        void* user;
        {
            std::lock_guard lock(self->m_callbackLock);
            callback = self->m_pCallback;
            user = self->m_pUser;
            ++self->m_callsBegun;
        }
        if (callback) callback(user, h);
        {
            std::lock_guard lock(self->m_callbackLock);
            ++self->m_callsEnded;
        }
        self->m_callEnded.notify_all();
        // Back into the queue, and on to the next buffer of the ring.
        h->dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
        index = (index + 1) % kBufferCount;
        filled = 0;
        WAVEHDR* next = self->m_pWaveHdr[index].get();
        next->dwBytesRecorded = 0;
        std::memset(next->lpData, 0, next->dwBufferLength);
    }
}
