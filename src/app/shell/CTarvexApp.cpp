#include "app/shell/CTarvexApp.h"

#include "app/core/LocalAddresses.h"
#include "app/core/OperatorScript.h"
#include "app/shell/CScriptRunner.h"
#include "app/shell/CTarvexDlg.h"
#include "base/Diag.h"
#include "base/Version.h"
#include "base/WorkDir.h"
#include "check/driver/CheckDriver.h"
#include "export/xls/MessageLogSave.h"
#include "app/settings/CfgIniStore.h"

#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
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
    "      --check        without a window: wait for a device to register, run the\n"
    "                     device check against it and write report.html,\n"
    "                     report.json and MsgXml.xls\n"
    "      --out DIR      where --check writes (tarvex-check-YYYYMMDD-HHMMSS in the\n"
    "                     current directory)\n"
    "      --port N       SIP port of this run (config.ini keeps its own)\n"
    "      --transport udp|tcp|tls  SIP transport of this run\n"
    "      --id ID        Tarvex's SIP identifier for this run\n"
    "      --domain D     Tarvex's SIP domain for this run\n"
    "      --password P   the password of this run (with 验证密码)\n"
    "      --timeout S    seconds --check waits for a registration (60)\n"
    "      --window S     seconds --check measures each stream (10)\n"
    "      --verbose      diagnostics on standard error (also TARVEX_DEBUG=1)\n"
    "  -h, --help         display this help and exit\n"
    "      --version      output version information and exit\n"
    "\n"
    "Without config.ini the first start writes one: SIP over UDP on port 5060 of\n"
    "every address, identifier 34020000002000000001, domain 3402000000.\n"
    "\n"
    "Working folder:\n"
    "config.ini, Search.ini, the TLS certificate and key and the workbooks live in\n"
    "the working folder. Installed, tarvex works in $XDG_CONFIG_HOME/tarvex (else\n"
    "~/.config/tarvex), made at the first start; started from its build tree, or\n"
    "with --here, it works in the current directory. The About box names it.\n"
    "\n"
    "Exit status:\n"
    "0 closed normally (--check: a report was written, whatever its verdicts), 1 an\n"
    "operator script step failed, the working folder cannot be used or --check could\n"
    "not listen or write its report, 2 a bad command line, 3 the message log could\n"
    "not be saved, 4 --check: no device registered within the timeout.\n";

// The check's options are in --help.
void Usage() { std::fputs("Usage: tarvex [--script FILE] [--here] [--help] [--version]\n", stderr); }

constexpr int kNoDevice = 4;

// A whole number of seconds from 1 to a day.
bool Seconds(std::string_view text, int& out) {
    if (text.empty() || text.size() > 5) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 86400) return false;
    out = v;
    return true;
}

// "验证密码" under 本地服务器 in config.ini: 1 challenges REGISTER with the
// section's 密码; anything else, or no key, does not.
bool ChallengeSetting(const std::string& file) {
    std::string v;
    return CfgIniStore(file).GetValue("本地服务器", "验证密码", v) && v == "1";
}

// "心跳超时次数" under 互联系统: keepalives missed in a row before a device is
// marked offline (1 to 100; 3 without the key or with anything else).
int KeepaliveMissesSetting(const std::string& file) {
    std::string v;
    int n = 0;
    if (!CfgIniStore(file).GetValue("互联系统", "心跳超时次数", v) || !Seconds(v, n) || n > 100)
        return 3;
    return n;
}

// The address a first run writes into config.ini: the host's first IPv4
// address that is not loopback, else 127.0.0.1.
std::string FirstRunAddress() {
    std::vector<LocalAdapter> adapters;
    if (ListLocalAdapters(adapters))
        for (const auto& a : adapters)
            for (const auto& addr : a.addresses)
                if (addr != "0.0.0.0" && addr.rfind("127.", 0) != 0) return addr;
    return "127.0.0.1";
}

// The settings of this start: config.ini completed with the first-run values
// (and written when anything was missing), then the command line's values for
// this run.
std::unique_ptr<CDlgCfg> StartSettings(const CommandLine& o) {
    auto cfg = LoadSettingsWithDefaults("config.ini", FirstRunAddress());
    for (const auto& [field, text] : o.runSettings) cfg->OverrideForThisRun(field, text, nullptr);
    return cfg;
}

std::string DefaultCheckDir() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[64];
    std::strftime(name, sizeof name, "tarvex-check-%Y%m%d-%H%M%S", &tm);
    return name;
}

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
        tarvex::Diag("signal received: closing the main dialog");
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
    parts.settings = StartSettings(options);
    parts.challengeRegister = ChallengeSetting("config.ini");
    parts.keepaliveMisses = KeepaliveMissesSetting("config.ini");
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

int RunCheckCommand(const CommandLine& o) {
    // SIGINT and SIGTERM end the waits: what was observed is still judged and
    // written. Blocked before any thread starts, so that only sigtimedwait
    // below takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    CTarvexCore::Parts parts;
    parts.settings = StartSettings(o);
    parts.challengeRegister = ChallengeSetting("config.ini");
    parts.keepaliveMisses = KeepaliveMissesSetting("config.ini");
    CTarvexCore core(std::move(parts));
    core.Initialise();
    const CDlgCfg& cfg = core.Settings();
    const char* transport = cfg.localTransport == 1 ? "tcp" : cfg.localTransport == 2 ? "tls" : "udp";
    if (core.LastStartResult() != 0) {
        std::fprintf(stderr, "tarvex --check: cannot listen for SIP on port %d/%s\n",
                     cfg.localPort, transport);
        return 1;
    }
    // For the person at the terminal; standard output is the result's.
    std::fprintf(stderr,
                 "tarvex --check: waiting up to %d s for a device to register with %s on port "
                 "%d/%s\n",
                 o.checkTimeoutS, cfg.localId.c_str(), cfg.localPort, transport);

    tarvex::check::DriverOptions d;
    d.outDir = o.checkOut;
    d.registerTimeout = std::chrono::seconds(o.checkTimeoutS);
    d.window = std::chrono::seconds(o.checkWindowS);
    std::promise<tarvex::check::DriverOutcome> done;
    std::future<tarvex::check::DriverOutcome> outcome = done.get_future();
    tarvex::check::CheckDriver driver(
        core, d, nullptr, [&done](const tarvex::check::DriverOutcome& r) { done.set_value(r); });
    driver.Start();
    const timespec tick{0, 200 * 1000 * 1000};
    while (outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        if (sigtimedwait(&stop, nullptr, &tick) > 0) driver.Cancel();
    const tarvex::check::DriverOutcome r = outcome.get();
    core.Stop();
    if (!r.registered) {
        std::fprintf(stderr, "tarvex --check: no device registered within %d s on port %d/%s\n",
                     o.checkTimeoutS, cfg.localPort, transport);
        return kNoDevice;
    }
    if (!r.files.error.empty()) {
        std::fprintf(stderr, "tarvex --check: the report could not be written: %s\n",
                     r.files.error.c_str());
        return 1;
    }
    int counts[4] = {0, 0, 0, 0};
    for (const auto& c : r.results) ++counts[static_cast<int>(c.verdict)];
    std::printf("tarvex --check: %s: %d pass, %d fail, %d not supported, %d not run%s\n"
                "report: %s\n",
                r.deviceId.c_str(), counts[0], counts[1], counts[2], counts[3],
                r.cancelled ? " (interrupted)" : "", r.files.html.c_str());
    return 0;
}

int ParseCommandLine(int argc, char** argv, CommandLine& out) {
    std::string scriptFile;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--script" && i + 1 < argc) {
            scriptFile = argv[++i];
            out.scripted = true;
        } else if (a == "--check") {
            out.check = true;
        } else if (a == "--out" && i + 1 < argc) {
            out.checkOut = argv[++i];
        } else if (a == "--transport" && i + 1 < argc) {
            const std::string_view t = argv[++i];
            if (t != "udp" && t != "tcp" && t != "tls") {
                std::fprintf(stderr, "tarvex: --transport takes udp, tcp or tls, not %s\n", argv[i]);
                return 2;
            }
            out.runSettings.emplace_back(CfgField::LocalTransport, t == "tcp" ? "1" : t == "tls" ? "2" : "0");
        } else if ((a == "--port" || a == "--id" || a == "--domain" || a == "--password") &&
                   i + 1 < argc) {
            const CfgField f = a == "--port"     ? CfgField::LocalPort
                               : a == "--id"     ? CfgField::LocalId
                               : a == "--domain" ? CfgField::LocalDomain
                                                 : CfgField::LocalPassword;
            // The values the settings dialog refuses, refused here with its words.
            if (const std::string why = CDlgCfg::Check(f, argv[i + 1]); !why.empty()) {
                std::fprintf(stderr, "tarvex: %s %s: %s\n", argv[i], argv[i + 1], why.c_str());
                return 2;
            }
            out.runSettings.emplace_back(f, argv[++i]);
        } else if ((a == "--timeout" || a == "--window") && i + 1 < argc) {
            if (!Seconds(argv[i + 1], a == "--timeout" ? out.checkTimeoutS : out.checkWindowS)) {
                std::fprintf(stderr, "tarvex: %s takes whole seconds from 1 to 86400, not %s\n",
                             argv[i], argv[i + 1]);
                return 2;
            }
            ++i;
        } else if (a == "--verbose") {
            tarvex::SetVerbose(true);
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
    const bool checkOptions = !out.checkOut.empty() || out.checkTimeoutS != 60 || out.checkWindowS != 10;
    if ((checkOptions && !out.check) || (out.check && out.scripted)) {
        Usage();
        return 2;
    }
    if (out.check) {
        // Named from where the program was started, before it enters its folder.
        std::error_code ec;
        out.checkOut = std::filesystem::absolute(
                           out.checkOut.empty() ? DefaultCheckDir() : out.checkOut, ec)
                           .string();
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
    if (options.check) return RunCheckCommand(options);
    CTarvexApp app(argc, argv);
    return app.Run(options);
}
