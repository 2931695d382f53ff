#include "app/shell/CTarvexApp.h"

#include "app/core/OperatorScript.h"
#include "app/shell/CScriptRunner.h"
#include "app/shell/CTarvexDlg.h"
#include "base/Version.h"
#include "base/WorkDir.h"
#include "export/xls/MessageLogSave.h"
#include "manscdp/cfg/CfgIniStore.h"

#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    // Only async-signal-safe work here; the GUI thread does the rest.
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
}

// Exit status when no copy of the message log could be written.
constexpr int kLogNotSaved = 3;

constexpr const char* kHelp =
    "Usage: tarvex [OPTION]...\n"
    "The upper SIP platform for testing GB/T 28181 cameras, encoders and recorders.\n"
    "\n"
    "      --script FILE  run the operator script FILE (one action a line) in the\n"
    "                     window and exit with its status\n"
    "      --here         work in the current directory instead of the program's\n"
    "                     own folder\n"
    "  -h, --help         display this help and exit\n"
    "      --version      output version information and exit\n"
    "\n"
    "Working folder:\n"
    "config.ini, Search.ini, the TLS certificate and key and the workbooks live in\n"
    "the working folder. Installed, tarvex works in $XDG_CONFIG_HOME/tarvex (else\n"
    "~/.config/tarvex), made at the first start; started from its build tree, or\n"
    "with --here, it works in the current directory. The About box names it.\n"
    "\n"
    "Exit status:\n"
    "0 closed normally, 1 an operator script step failed or the working folder\n"
    "cannot be used, 2 a bad command line, 3 the message log could not be saved.\n";

void Usage() { std::fputs("Usage: tarvex [--script FILE] [--here] [--help] [--version]\n", stderr); }

// The directory of the running program.
std::filesystem::path ExeDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

} // namespace

CTarvexApp::CTarvexApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Tarvex");
    setApplicationVersion(TARVEX_VERSION);
    // The desktop matches the window to packaging/tarvex.desktop.
    setDesktopFileName("tarvex");
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

int CTarvexApp::Run(const CommandLine& options) {
    const bool scripted = options.scripted;
    std::vector<ScriptStep> steps = options.steps;
    InstallSignalHandlers();
    // Construction order: settings (config.ini loads now), core with its
    // endpoint, dialog.
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings("config.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    WatchSignals(&dlg);
    std::unique_ptr<CScriptRunner> runner;
    if (scripted) {
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

int ParseCommandLine(int argc, char** argv, CommandLine& out) {
    std::string scriptFile;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--script" && i + 1 < argc) {
            scriptFile = argv[++i];
            out.scripted = true;
        } else if (a == "--here") {
            out.here = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tarvex %s\n", TARVEX_VERSION);
            return 0;
        } else {
            Usage();
            return 2;
        }
    }
    if (out.scripted) {
        // Read where it was named, before the program enters its folder.
        std::ifstream f(scriptFile, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "tarvex --script: cannot read %s\n", scriptFile.c_str());
            return 1;
        }
        const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::string error;
        if (!ParseScript(text, out.steps, error)) {
            std::fprintf(stderr, "tarvex --script: %s: %s\n", scriptFile.c_str(), error.c_str());
            return 1;
        }
    }
    return -1;
}

int main(int argc, char** argv) {
    // --help and --version need no display.
    CommandLine options;
    if (const int status = ParseCommandLine(argc, argv, options); status >= 0) return status;
    const tarvex::WorkDirChoice where = tarvex::ChooseWorkDir(options.here, ExeDir());
    if (const std::string error = tarvex::EnterWorkDir(where); !error.empty()) {
        std::fprintf(stderr, "tarvex: cannot work in its folder: %s\n", error.c_str());
        return 1;
    }
    CTarvexApp app(argc, argv);
    return app.Run(options);
}
