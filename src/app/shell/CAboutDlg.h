#pragma once
#include <QDialog>
// About box: program name, version (TARVEX_VERSION) and the working folder.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
