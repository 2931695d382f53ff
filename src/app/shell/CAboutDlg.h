#pragma once
#include <QDialog>
// About box: program name and version "2.0".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
