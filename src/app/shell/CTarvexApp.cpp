#include "app/shell/CTarvexApp.h"

#include "app/core/OperatorScript.h"
#include "app/shell/CScriptRunner.h"
#include "app/shell/CTarvexDlg.h"
#include "export/xls/MessageLogSave.h"
#include "manscdp/cfg/CfgIniStore.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    // Only async-signal-safe work here; the GUI thread does the rest.
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
}

// Exit status when no copy of the message log could be written.
constexpr int kLogNotSaved = 3;

void Usage() {
    std::fprintf(stderr, "usage: tarvex [--script FILE]\n");
}

} // namespace

CTarvexApp::CTarvexApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Tarvex");
    setApplicationVersion("2.0");
}

CTarvexApp::~CTarvexApp() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void CTarvexApp::InstallSignalHandlers() {
    if (g_signalPipe[0] >= 0) return;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    // From here on SIGINT and SIGTERM only write to the pipe: one that comes while
    // the window is still being built waits there and closes it once it runs.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void CTarvexApp::WatchSignals(CTarvexDlg* dlg) {
    InstallSignalHandlers();
    if (g_signalPipe[0] < 0) return;
    notifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    QPointer<CTarvexDlg> target(dlg);
    connect(notifier_, &QSocketNotifier::activated, this, [target] {
        char buf[16];
        while (read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        std::printf("signal received: closing the main dialog\n");
        std::fflush(stdout);
        // Every dialog above the main one first, then the main one.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d != target && d->isVisible())
                d->reject();
        if (target) target->reject();
    });
}

int CTarvexApp::Run() {
    QString scriptFile;
    const QStringList args = arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--script") && i + 1 < args.size()) {
            scriptFile = args[++i];
        } else if (args[i] == QLatin1String("--help") || args[i] == QLatin1String("-h")) {
            Usage();
            return 0;
        } else {
            Usage();
            return 2;
        }
    }
    std::vector<ScriptStep> steps;
    if (!scriptFile.isEmpty()) {
        QFile f(scriptFile);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "tarvex --script: cannot read %s\n", scriptFile.toUtf8().constData());
            return 1;
        }
        std::string error;
        if (!ParseScript(f.readAll().toStdString(), steps, error)) {
            std::fprintf(stderr, "tarvex --script: %s: %s\n", scriptFile.toUtf8().constData(),
                         error.c_str());
            return 1;
        }
    }

    InstallSignalHandlers();
    // Construction order: settings (config.ini loads now), core with its
    // endpoint, dialog.
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings("config.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    WatchSignals(&dlg);
    std::unique_ptr<CScriptRunner> runner;
    if (!scriptFile.isEmpty()) {
        runner = std::make_unique<CScriptRunner>(dlg, std::move(steps));
        runner->Start();
    }
    dlg.exec();
    // Every way out ends here: what already arrived is handled and logged, then
    // the log goes into the workbook.
    dlg.Core().Stop();
    const tarvex::xls::SaveResult saved = tarvex::xls::SaveMessageLog(dlg.Core().Log());
    int status = runner ? runner->ExitCode() : 0;
    if (saved.written.empty()) {
        std::fprintf(stderr, "tarvex: the message log could not be saved anywhere\n");
        status = kLogNotSaved;
    }
    return status;
}

int main(int argc, char** argv) {
    CTarvexApp app(argc, argv);
    return app.Run();
}
