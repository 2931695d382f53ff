#pragma once
// The settings dialog "国标参数配置", a view over CDlgCfg. Every box carries the
// field's script name as objectName ("local.port", "media.transport", ...);
// the download-speed slider is "media.speedSlider".

#include "app/settings/CDlgCfg.h"

#include <QDialog>
#include <array>

class QComboBox;
class QLineEdit;
class QSlider;

class CDlgCfgDialog : public QDialog {
    Q_OBJECT
public:
    CDlgCfgDialog(CDlgCfg& cfg, QWidget* parent = nullptr);

    QWidget* Box(CfgField f) const { return boxes_[static_cast<int>(f)]; }
    QSlider* SpeedSlider() const { return slider_; }
    // Sets a box from a script value: text for boxes, index or item text for
    // the drop-downs. The message of the OK's check when the field cannot take
    // it (the box is left as it was), else "".
    std::string SetField(CfgField f, const QString& value);

public slots:
    void accept() override;

    // The texts of the boxes as the OK takes them.
    CfgTexts CurrentTexts() const;

private:
    void SpeedBoxEdited(const QString& text);

    CDlgCfg& cfg_;
    std::array<QWidget*, kCfgFieldCount> boxes_{};
    QSlider* slider_ = nullptr;
    bool syncing_ = false;
};
