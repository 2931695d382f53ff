#include "audio/meter/AudioToggle.h"

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
    return ButtonText();
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
    MeterWindow* window;
    {
        std::lock_guard lock(self->m_meterLock);
        window = self->m_pInputMeter;
        if (!window) return;
        ++self->m_drawingsBegun;
    }
    int width = 0, height = 0;
    window->ClientSize(&width, &height);
    if (self->m_meter.Draw(header->lpData, header->dwBytesRecorded, width, height))
        window->Present(self->m_meter.Picture());
    {
        std::lock_guard lock(self->m_meterLock);
        ++self->m_drawingsEnded;
    }
    self->m_drawingEnded.notify_all();
}
