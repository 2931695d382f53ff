#include "app/shell/CTarvexApp.h"

#include "app/core/LocalAddresses.h"
#include "app/core/OperatorScript.h"
#include "app/shell/CScriptRunner.h"
#include "app/shell/CTarvexDlg.h"
#include "base/Diag.h"
#include "base/Version.h"
#include "base/WorkDir.h"
#include "check/battery/ReportDiff.h"
#include "check/driver/CheckDriver.h"
#include "export/journal/Journal.h"
#include "export/xls/MessageLogSave.h"
#include "app/settings/CfgIniStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
"      --check-diff A B  compare two reports (A/report.json, B/report.json):\n"
    "                     what changed; exit 0 same verdicts, 1 changed, 2 unreadable\n"
    "      --lang zh|en   language of --check's report.html (from the locale)\n"
    "      --observe S    seconds --check observes from the registration on, for\n"
    "                     the keepalives (three keepalive intervals and a tenth)\n"
    "      --export JOURNAL  write the workbook of the session journal JOURNAL (a\n"
    "                     tarvex-journal.sqlite) to --out FILE (MsgXml.xls in the\n"
    "                     current directory) and exit\n"
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

// One report.json read for --check-diff; error says why it could not be.
tarvex::check::ReportDigest ReadReport(const std::string& path, std::string& error) {
    tarvex::check::ReportDigest r;
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) {
        error = "cannot read " + path;
        return r;
    }
    QJsonParseError pe;
    const QJsonObject o = QJsonDocument::fromJson(f.readAll(), &pe).object();
    if (pe.error != QJsonParseError::NoError || o.value("format").toString() != "tarvex-device-check") {
        error = path + " is not a report.json of a device check";
        return r;
    }
    auto text = [](const QJsonObject& from, const char* key) {
        return from.value(key).toString().toStdString();
    };
    r.toolVersion = text(o, "toolVersion");
    r.generated = text(o, "generated");
    const QJsonObject device = o.value("device").toObject();
    for (const char* k : {"id", "name", "manufacturer", "model", "firmware"})
        r.device.emplace_back(k, text(device, k));
    for (const QJsonValue& v : o.value("checks").toArray()) {
        const QJsonObject c = v.toObject();
        r.checks.push_back({text(c, "id"), text(c, "title"), text(c, "verdict"),
                            text(c, "severity"), text(c, "reason")});
    }
    return r;
}

// --check-diff A B: 0 when no verdict changed, 1 when some did, 2 when a
// report cannot be read.
int RunCheckDiff(const CommandLine& o) {
    std::string error;
    const tarvex::check::ReportDigest a = ReadReport(o.checkDiff[0], error);
    const tarvex::check::ReportDigest b = error.empty() ? ReadReport(o.checkDiff[1], error) : a;
    if (!error.empty()) {
        std::fprintf(stderr, "tarvex --check-diff: %s\n", error.c_str());
        return 2;
    }
    std::printf("tarvex --check-diff: A %s (%s), B %s (%s)\n", o.checkDiff[0].c_str(),
                a.generated.c_str(), o.checkDiff[1].c_str(), b.generated.c_str());
    const tarvex::check::ReportDiff d = tarvex::check::DiffReports(a, b);
    for (const std::string& line : d.lines) std::printf("%s\n", line.c_str());
    return d.verdictChanges ? 1 : 0;
}

// "MsgXml-YYYYMMDD-HHMMSS" of the time t, as the workbook's fallback names.
std::string RecoveredName(std::chrono::system_clock::time_point t) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char name[64];
    std::strftime(name, sizeof name, "MsgXml-%Y%m%d-%H%M%S", &tm);
    return name;
}

// A journal that an earlier run left unfinished (killed, crashed, power lost,
// or its log not saved) is written into a workbook of its own before this run
// replaces it; one that cannot be written is moved aside instead.
void RecoverJournal() {
    namespace fs = std::filesystem;
    const fs::path path = tarvex::journal::kJournalFileName;
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    const tarvex::journal::JournalInfo info = tarvex::journal::Inspect(path);
    if (info.ok && info.finished) return;
    const std::string base = RecoveredName(info.first);
    std::string out = base + ".xls";
    for (int n = 2; fs::exists(out, ec); ++n) out = base + "-" + std::to_string(n) + ".xls";
    std::string error = info.ok ? tarvex::journal::ExportJournal(path, out) : info.error;
    if (error.empty()) {
        std::fprintf(stderr, "tarvex: an unfinished journal was found (%zu messages): written to %s\n",
                     info.rows, out.c_str());
        return;
    }
    const std::string aside = path.string() + "." + std::to_string(std::time(nullptr));
    fs::rename(path, aside, ec);
    std::fprintf(stderr, "tarvex: an unfinished journal was found but could not be written (%s); kept as %s\n",
                 error.c_str(), aside.c_str());
}

} // namespace

int RunExportCommand(const CommandLine& o) {
    const std::string out = o.checkOut.empty() ? std::string("MsgXml.xls") : o.checkOut;
    const std::string error = tarvex::journal::ExportJournal(o.exportJournal, out);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvex --export: %s\n", error.c_str());
        return 1;
    }
    const tarvex::journal::JournalInfo info = tarvex::journal::Inspect(o.exportJournal);
    std::printf("tarvex --export: %zu messages written to %s\n", info.rows, out.c_str());
    return 0;
}

CTarvexApp::CTarvexApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Tarvex");
    setApplicationVersion(TARVEX_VERSION);
    // The desktop matches the window to packaging/tarvex.desktop.
    setDesktopFileName("tarvex");
}

CTarvexApp::~CTarvexApp() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

void CTarvexApp::InstallSignalHandlers() {
    if (g_signalPipe[0] >= 0) return;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    // From here on SIGINT, SIGTERM and SIGHUP (the terminal went away) only write
    // to the pipe: one that comes while the window is still being built waits
    // there and closes it once it runs, and the log is saved as at any close.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
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
    RecoverJournal();
    tarvex::journal::Journal journal;
    if (const std::string e = journal.Open(tarvex::journal::kJournalFileName); !e.empty())
        std::fprintf(stderr, "tarvex: no session journal (%s): a crash would lose the log\n", e.c_str());
    else
        MessageLog::AttachJournal(&journal);
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
    dlg.Core().SaveEvents(saved.written.empty() ? std::string() : saved.written.parent_path().string());
    int status = runner ? runner->ExitCode() : 0;
    if (saved.written.empty()) {
        std::fprintf(stderr, "tarvex: the message log could not be saved anywhere\n");
        status = kLogNotSaved;
    }
    // Not finished when the workbook could not be written: the next start
    // writes it from the journal.
    MessageLog::AttachJournal(nullptr);
    journal.Close(!saved.written.empty());
    return status;
}

int RunCheckCommand(const CommandLine& o) {
    // SIGINT, SIGTERM and SIGHUP end the waits: what was observed is still
    // judged and written. Blocked before any thread starts, so that only
    // sigtimedwait below takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
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
    if (o.checkObserveS > 0) d.observe = std::chrono::seconds(o.checkObserveS);
    d.report.language = o.checkLang.empty() ? tarvex::check::LanguageFromLocale() : o.checkLang;
    d.report.commandLine = o.commandLine;
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
        // The report still says what came (a refused REGISTER, or nothing).
        if (r.files.error.empty()) std::printf("report: %s\n", r.files.html.c_str());
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
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool quote = a.empty() || a.find_first_of(" \t'\"\\$") != std::string_view::npos;
        out.commandLine += (i ? " " : "") + (quote ? "'" + std::string(a) + "'" : std::string(a));
    }
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
        } else if ((a == "--timeout" || a == "--window" || a == "--observe") && i + 1 < argc) {
            int& value = a == "--timeout"  ? out.checkTimeoutS
                         : a == "--window" ? out.checkWindowS
                                           : out.checkObserveS;
            if (!Seconds(argv[i + 1], value)) {
                std::fprintf(stderr, "tarvex: %s takes whole seconds from 1 to 86400, not %s\n",
                             argv[i], argv[i + 1]);
                return 2;
            }
            ++i;
        } else if (a == "--check-diff" && i + 2 < argc) {
            out.checkDiff[0] = argv[++i];
            out.checkDiff[1] = argv[++i];
        } else if (a == "--lang" && i + 1 < argc) {
            out.checkLang = argv[++i];
            if (out.checkLang != "zh" && out.checkLang != "en") {
                std::fprintf(stderr, "tarvex: --lang takes zh or en, not %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--export" && i + 1 < argc) {
            out.exportJournal = argv[++i];
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
    const bool exporting = !out.exportJournal.empty();
    const bool checkOptions = (!out.checkOut.empty() && !exporting) || out.checkTimeoutS != 60 ||
                              out.checkWindowS != 10 || out.checkObserveS != 0 ||
                              !out.checkLang.empty();
    const bool diff = !out.checkDiff[0].empty();
    if ((checkOptions && !out.check) || (out.check && out.scripted) ||
        (diff && (out.check || out.scripted || out.here)) ||
        (exporting && (out.check || out.scripted || diff))) {
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
    // A closed standard output (a pipe whose reader went away) makes writes fail
    // with EPIPE instead of killing the program before it saves its log. The
    // sockets send with MSG_NOSIGNAL for the same reason.
    std::signal(SIGPIPE, SIG_IGN);
    // --help and --version need no display.
    CommandLine options;
    if (const int status = ParseCommandLine(argc, argv, options); status >= 0) return status;
    // Reads the two reports where they were named: no working folder needed.
    if (!options.checkDiff[0].empty()) return RunCheckDiff(options);
    // Paths of --export are named from where the program was started.
    if (!options.exportJournal.empty()) return RunExportCommand(options);
    const tarvex::WorkDirChoice where = tarvex::ChooseWorkDir(options.here, ExeDir());
    if (const std::string error = tarvex::EnterWorkDir(where); !error.empty()) {
        std::fprintf(stderr, "tarvex: cannot work in its folder: %s\n", error.c_str());
        return 1;
    }
    if (options.check) return RunCheckCommand(options);
    CTarvexApp app(argc, argv);
    return app.Run(options);
}
