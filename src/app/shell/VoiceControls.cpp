#include "app/shell/VoiceControls.h"

#include "app/core/CTarvexCore.h"
#include "app/shell/AudioMeterView.h"
#include "app/shell/ShellMessage.h"
#include "media/audio/WavFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>

VoiceControls::VoiceControls(CTarvexCore& core, QWidget* owner, QHBoxLayout* row,
                             AudioMeterView* outputMeter)
    : core_(core), owner_(owner) {
    mute_ = new QCheckBox(QString::fromUtf8("静音"));
    mute_->setObjectName(QStringLiteral("ctl%1").arg(kMute));
    source_ = new QComboBox;
    source_->setObjectName(QStringLiteral("ctl%1").arg(kSource));
    source_->addItems({QString::fromUtf8("麦克风"), QString::fromUtf8("WAV文件")});
    source_->setToolTip(QString::fromUtf8("广播和对讲发送的声音"));
    choose_ = new QPushButton(QString::fromUtf8("选择WAV…"));
    choose_->setObjectName(QStringLiteral("ctl%1").arg(kChooseWav));
    row->addWidget(mute_);
    row->addWidget(source_);
    row->addWidget(choose_);
    row->addStretch(1);
    QObject::connect(mute_, &QCheckBox::toggled, owner, [this](bool on) { OnMuteToggled(on); });
    QObject::connect(source_, &QComboBox::activated, owner, [this](int i) { OnSourceChosen(i); });
    QObject::connect(choose_, &QPushButton::clicked, owner, [this] { OnChooseWav(); });
    if (outputMeter) core_.DeviceSound().SetOutputMeter(outputMeter);
}

VoiceControls::~VoiceControls() {
    // Waits for a drawing in progress; the meter widget may go after this.
    core_.DeviceSound().SetOutputMeter(nullptr);
}

void VoiceControls::OnMuteToggled(bool muted) {
    core_.DeviceSound().SetMuted(muted);
    if (mute_->isChecked() != muted) mute_->setChecked(muted);
}

void VoiceControls::OnSourceChosen(int index) {
    if (source_->currentIndex() != index) source_->setCurrentIndex(index);
    if (index == 1 && wav_.isEmpty()) {
        OnChooseWav();
        return;
    }
    Apply();
}

void VoiceControls::OnChooseWav() {
    const QString path = QFileDialog::getOpenFileName(owner_, QString::fromUtf8("选择WAV文件"), QString(),
                                                      QString::fromUtf8("WAV 文件 (*.wav);;所有文件 (*)"));
    OnWavChosen(path);
}

void VoiceControls::OnWavChosen(const QString& path) {
    if (path.isEmpty()) {
        // Cancelled: without a file the microphone stays the source.
        if (wav_.isEmpty()) source_->setCurrentIndex(0);
        Apply();
        return;
    }
    tvaudio::PcmBlock pcm;
    std::string error;
    if (!tvaudio::ReadWav(path.toStdString(), pcm, error) || pcm.Frames() == 0) {
        ShellMessage(owner_, QString::fromUtf8("不能作为声音来源: ") +
                                 QString::fromStdString(error.empty() ? path.toStdString() + " has no samples" : error));
        if (wav_.isEmpty()) source_->setCurrentIndex(0);
        return;
    }
    wav_ = path;
    source_->setCurrentIndex(1);
    choose_->setToolTip(path);
    source_->setItemText(1, QString::fromUtf8("WAV文件: ") + QFileInfo(path).fileName());
    Apply();
}

void VoiceControls::Apply() {
    const bool wav = source_->currentIndex() == 1 && !wav_.isEmpty();
    core_.SetVoiceWav(wav ? wav_.toStdString() : std::string());
}
