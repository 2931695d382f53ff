#pragma once
// The audio toggle (button 1102) and the input meter (control 1103) without a
// toolkit: the audio-on flag, the button's text, and the Recorder whose
// callback draws each captured buffer into the meter on the capture thread.
//
// The window only has to supply a MeterWindow for the meter (the Qt one is
// AudioMeterView in app/shell) and call Toggle on a click:
//
//   AudioToggle audio;                          // member of the main window
//   audio.SetInputMeter(&meterView);            // meterView: control 1103
//   button->setText(QString::fromUtf8(audio.Toggle()));   // on each click

#include "audio/meter/AudioMeter.h"
#include "audio/recorder/Recorder.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

// The meter's window as the capture thread sees it.
class MeterWindow {
public:
    virtual ~MeterWindow() = default;
    // The client size in pixels; called on the capture thread.
    virtual void ClientSize(int* width, int* height) const = 0;
    // Takes a finished drawing on the capture thread. Copies what it needs and
    // returns without waiting for the thread that shows it.
    virtual void Present(const MeterPicture& picture) = 0;
    // The toggle no longer draws into this window (it was replaced or the
    // toggle is being destroyed). On the owner's thread.
    virtual void MeterDetached() {}
};

class AudioToggle {
public:
    static constexpr const char* kTextOff = "开启音频"; // UTF-8
    static constexpr const char* kTextOn = "停止音频";

    AudioToggle() = default;
    // Stops capture before the meter goes away, and tells the meter window.
    virtual ~AudioToggle();
    AudioToggle(const AudioToggle&) = delete;
    AudioToggle& operator=(const AudioToggle&) = delete;

    // The click of button 1102. Off to on: open the Recorder (once), set the
    // meter callback, start capture. On to off: stop capture and clear the
    // callback, so the meter keeps its last picture. Returns the button's new
    // text. A Recorder that fails to open or start leaves the meter blank; the
    // button reads "停止音频" all the same.
    const char* Toggle();

    bool AudioOn() const { return m_bAudioOn; }
    const char* ButtonText() const { return m_bAudioOn ? kTextOn : kTextOff; }

    // The window the meter draws into, nullptr for none. Waits for a drawing
    // in progress, so the old window is not touched once this returns.
    void SetInputMeter(MeterWindow* window);
    MeterWindow* InputMeter() {
        std::lock_guard lock(m_meterLock);
        return m_pInputMeter;
    }

    Recorder& GetRecorder() { return m_recorder; }

    // Every captured buffer also goes here (the voice sender), on the capture
    // thread, before it is drawn: interleaved 16-bit samples. Must return at
    // once. Set before capture starts or with the toggle off.
    using CaptureTap = std::function<void(const int16_t* samples, std::size_t frames, int rate,
                                          int channels)>;
    void SetCaptureTap(CaptureTap tap);
    // Called on the owner's thread after each Toggle with the new state (the
    // core ends its voice calls when the operator turns audio off).
    std::function<void(bool on)> onToggled;
    // Draws samples that are sent but not captured (a WAV file) into the input
    // meter, on the caller's thread; interleaved 16-bit, any channel count.
    void ShowInput(const int16_t* samples, std::size_t frames, int channels);
    // The Recorder callback: draws the buffer into the input meter, if any.
    static void MeterCallback(void* user, WAVEHDR* header);

private:
    void Draw(const char* data, uint32_t bytes);

    Recorder m_recorder;
    CaptureTap m_tap; // under m_meterLock
    std::mutex m_drawLock; // m_meter: the capture thread and ShowInput (a leaf)
    AudioMeter m_meter;
    // The window, and counts of the drawings begun and ended, so that
    // SetInputMeter waits for the drawing in progress without competing for
    // the lock with the next one.
    std::mutex m_meterLock;
    std::condition_variable m_drawingEnded;
    MeterWindow* m_pInputMeter = nullptr;
    uint64_t m_drawingsBegun = 0;
    uint64_t m_drawingsEnded = 0;
    bool m_bAudioOn = false;
};
