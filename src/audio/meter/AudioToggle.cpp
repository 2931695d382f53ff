#include "audio/meter/AudioToggle.h"

#include <vector>

AudioToggle::~AudioToggle() {
    // The capture thread uses the members below; end it before they go.
    m_recorder.SetCallback(nullptr, nullptr);
    m_recorder.Close();
    if (m_pInputMeter) m_pInputMeter->MeterDetached();
}

const char* AudioToggle::Toggle() {
    if (m_bAudioOn) {
        m_recorder.Stop();
        m_recorder.SetCallback(nullptr, this);
    } else {
        m_recorder.Open();
        m_recorder.SetCallback(&AudioToggle::MeterCallback, this);
        m_recorder.Start();
    }
    m_bAudioOn = !m_bAudioOn;
    if (onToggled) onToggled(m_bAudioOn);
    return ButtonText();
}

void AudioToggle::SetCaptureTap(CaptureTap tap) {
    std::lock_guard lock(m_meterLock);
    m_tap = std::move(tap);
}

void AudioToggle::ShowInput(const int16_t* samples, std::size_t frames, int channels) {
    if (!samples || channels <= 0) return;
    // The meter reads 16-bit stereo, as the device is opened.
    std::vector<int16_t> stereo(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        stereo[2 * i] = stereo[2 * i + 1] = samples[i * static_cast<std::size_t>(channels)];
    Draw(reinterpret_cast<const char*>(stereo.data()), static_cast<uint32_t>(stereo.size() * 2));
}

void AudioToggle::SetInputMeter(MeterWindow* window) {
    MeterWindow* old;
    {
        std::unique_lock lock(m_meterLock);
        old = m_pInputMeter;
        m_pInputMeter = window;
        const uint64_t begun = m_drawingsBegun; // the drawings that may use the old window
        m_drawingEnded.wait(lock, [&] { return m_drawingsEnded >= begun; });
    }
    if (old && old != window) old->MeterDetached();
}

void AudioToggle::MeterCallback(void* user, WAVEHDR* header) {
    auto* self = static_cast<AudioToggle*>(user);
    {
        std::lock_guard lock(self->m_meterLock);
        const Recorder& r = self->m_recorder;
        if (self->m_tap && r.m_nBitsPerSample == 16 && r.m_nChannels > 0)
            self->m_tap(reinterpret_cast<const int16_t*>(header->lpData),
                        header->dwBytesRecorded / (2u * r.m_nChannels), static_cast<int>(r.m_nSampleRate),
                        r.m_nChannels);
    }
    self->Draw(header->lpData, header->dwBytesRecorded);
}

void AudioToggle::Draw(const char* data, uint32_t bytes) {
    MeterWindow* window;
    {
        std::lock_guard lock(m_meterLock);
        window = m_pInputMeter;
        if (!window) return;
        ++m_drawingsBegun;
    }
    int width = 0, height = 0;
    window->ClientSize(&width, &height);
    {
        std::lock_guard draw(m_drawLock);
        if (m_meter.Draw(data, bytes, width, height)) window->Present(m_meter.Picture());
    }
    {
        std::lock_guard lock(m_meterLock);
        ++m_drawingsEnded;
    }
    m_drawingEnded.notify_all();
}
