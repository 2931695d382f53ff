#pragma once
// The audio level meters of the main window (controls 1103 and 1106) and the
// binding of the audio button (1102). For the main window, two lines:
//
//   auto* in = new AudioMeterView(this), *out = new AudioMeterView(this); // place as 1103, 1106
//   ConnectAudioToggle(m_audio, button1102, in);   // m_audio: an AudioToggle member
//
// (then setObjectName("ctl1103") / ("ctl1106") and the geometry as for any
// control; target tarvex_audio_view in app/shell). ConnectAudioToggle sets the button's
// text ("开启音频"), makes `in` the toggle's input meter and runs the toggle on
// each click, switching the text between "开启音频" and "停止音频". The output
// meter is bound by VoiceControls to the device's sound (DeviceAudio). The meter widgets may be
// destroyed before or after the toggle; the toggle must exist whenever the
// button can be clicked (a member of the window does).

#include "audio/meter/AudioToggle.h"

#include <QImage>
#include <QWidget>
#include <atomic>
#include <mutex>
#include <vector>

class QAbstractButton;

class AudioMeterView : public QWidget, public MeterWindow {
public:
    explicit AudioMeterView(QWidget* parent = nullptr);
    ~AudioMeterView() override;

    // Makes this the toggle's input meter (nullptr: none).
    void AttachTo(AudioToggle* toggle);

    // The picture shown now; null before the first drawing.
    QImage ShownPicture() const { return m_shown; }

    // MeterWindow, called on the capture thread.
    void ClientSize(int* width, int* height) const override;
    void Present(const MeterPicture& picture) override;
    void MeterDetached() override { m_toggle = nullptr; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowPending(); // on the GUI thread

    AudioToggle* m_toggle = nullptr;
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};

    std::mutex m_pendingLock; // guards the three members below
    MeterPicture m_pending;
    bool m_hasPending = false;
    bool m_posted = false; // a ShowPending call is queued
    QImage m_shown;
};

// Binds button 1102 to the toggle and `inputMeter` (control 1103) to its meter.
void ConnectAudioToggle(AudioToggle& toggle, QAbstractButton* button, AudioMeterView* inputMeter);
