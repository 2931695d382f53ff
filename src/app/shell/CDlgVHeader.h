#pragma once
#include <QDialog>
class QPlainTextEdit;
// Modal read-only text viewer for message bodies and heads.
class CDlgVHeader : public QDialog {
    Q_OBJECT
public:
    explicit CDlgVHeader(QWidget* parent = nullptr);
    // Stored before the dialog is shown and put into the box unchanged.
    void SetText(const QString& text);
    QString Text() const;

private:
    QPlainTextEdit* edit_;
};
