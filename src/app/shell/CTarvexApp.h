#pragma once
// The program: builds the settings, the core and the main dialog, runs the
// dialog modally for the life of the process, and turns SIGINT and SIGTERM
// into the dialog's close box.

#include <QApplication>
#include <memory>

class CTarvexDlg;
class QSocketNotifier;

class CTarvexApp : public QApplication {
    Q_OBJECT
public:
    CTarvexApp(int& argc, char** argv);
    ~CTarvexApp() override;
    // Runs the main dialog; the process's exit status.
    int Run();
    // SIGINT and SIGTERM are kept for the window from the start.
    static void InstallSignalHandlers();
    // Closes dlg (as its close box) when SIGINT or SIGTERM arrives (or came).
    void WatchSignals(CTarvexDlg* dlg);

private:
    QSocketNotifier* notifier_ = nullptr;
};
