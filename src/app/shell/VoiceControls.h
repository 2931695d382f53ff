#pragma once
// The voice controls beside the audio meters: 静音 (1108) mutes the device's
// sound, the source box (1109: 麦克风 / WAV文件) chooses what broadcast and
// talk send, and 选择WAV… (1110) picks the file. The output meter (1106)
// shows the device's sound as it goes to the sound card.
//
// Made by the main window once its controls exist; lives no longer than the
// core (a member of the window declared after it).

#include <QString>

class AudioMeterView;
class CTarvexCore;
class QCheckBox;
class QComboBox;
class QHBoxLayout;
class QPushButton;
class QWidget;

class VoiceControls {
public:
    static constexpr int kMute = 1108, kSource = 1109, kChooseWav = 1110;

    // Adds the controls to row (after its last item) and binds the output meter.
    VoiceControls(CTarvexCore& core, QWidget* owner, QHBoxLayout* row, AudioMeterView* outputMeter);
    ~VoiceControls();
    VoiceControls(const VoiceControls&) = delete;
    VoiceControls& operator=(const VoiceControls&) = delete;

    // The handlers of the controls.
    void OnMuteToggled(bool muted);
    // 0 the microphone, 1 the WAV file (asks for one when none was chosen).
    void OnSourceChosen(int index);
    // 选择WAV…: the file chooser, then OnWavChosen.
    void OnChooseWav();
    // A file chosen (empty: cancelled, nothing changes); it becomes the source.
    void OnWavChosen(const QString& path);

    QString WavPath() const { return wav_; }

private:
    // Tells the core what the next calls send.
    void Apply();

    CTarvexCore& core_;
    QWidget* owner_;
    QCheckBox* mute_ = nullptr;
    QComboBox* source_ = nullptr;
    QPushButton* choose_ = nullptr;
    QString wav_;
};
