#pragma once
// The program: answers --help and --version, enters its working folder,
// builds the settings, the core and the main dialog, runs the dialog modally
// for the life of the process, and turns SIGINT, SIGTERM and SIGHUP into the
// dialog's close box. The session journal in the working folder holds every
// logged message until the run ends; one left unfinished by an earlier run is
// written into a workbook at the start.

#include "app/core/OperatorScript.h"
#include "app/settings/CDlgCfg.h"

#include <QApplication>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CTarvexDlg;
class QSocketNotifier;

// What the command line asks for (--help and --version are answered at once).
struct CommandLine {
    bool here = false;     // --here: the current directory is the working folder
    bool scripted = false; // --script FILE
    std::vector<ScriptStep> steps;
    // --check [--out DIR] [--transport udp|tcp] [--timeout S] [--window S]
    bool check = false;
    std::string checkOut;      // absolute; made from the time when not given
    // For this run only, the window's as the check's: --port, --transport
    // (udp|tcp|tls), --id, --domain, --password; config.ini keeps its values.
    std::vector<std::pair<CfgField, std::string>> runSettings;
    int checkTimeoutS = 60;    // for a device to register
    int checkWindowS = 10;     // measuring window of each stream
    std::string checkLang;     // --lang zh|en; "" from the locale
    std::string commandLine;   // as typed, for the report
    std::string checkDiff[2];  // --check-diff A B
    int checkObserveS = 0;     // --observe: observation length; 0 from the keepalive interval
    // --export JOURNAL [--out FILE.xls]: the workbook of a session journal
    std::string exportJournal;
};
// Writes the workbook of options.exportJournal; the process's exit status.
int RunExportCommand(const CommandLine& options);
// The device check without a window: the core, the driver, the report.
// The process's exit status.
int RunCheckCommand(const CommandLine& options);
// Parses argv; prints help, version or the reason for a refusal. -1: go on
// with out; otherwise the exit status.
int ParseCommandLine(int argc, char** argv, CommandLine& out);

class CTarvexApp : public QApplication {
    Q_OBJECT
public:
    CTarvexApp(int& argc, char** argv);
    ~CTarvexApp() override;
    // Runs the main dialog (in the working folder, already entered); the
    // process's exit status.
    int Run(const CommandLine& options);
    // SIGINT and SIGTERM are kept for the window from the start.
    static void InstallSignalHandlers();
    // Closes dlg (as its close box) when SIGINT or SIGTERM arrives (or came).
    void WatchSignals(CTarvexDlg* dlg);

private:
    QSocketNotifier* notifier_ = nullptr;
};
