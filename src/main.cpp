// zantu-console: the ZANTU-100 service and test console.
#include "console/ConsoleArgs.h"
#include "console/ConsoleDlg.h"
#include "console/ExchangeLine.h"
#include "console/HandFrameLink.h"
#include "framework/qt/PortSettings.h"
#include "framework/qt/QtHost.h"
#include "framework/qt/StopSignals.h"
#include "records/BatchRecord.h"
#include "trace/WireTrace.h"
#include "link/PortDiscovery.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if ZANTU_HAVE_SIM
#include "Embedded.h"
#endif

namespace {

// Selects each page in turn and saves the window to DIR/page-N-NAME.png.
bool SaveScreenshots(fw::QtHost& host, const QString& dir) {
    static const char* const kNames[6] = {"comm", "dispense", "status", "setting", "test", "download"};
    auto* tab = qobject_cast<QTabWidget*>(host.Widget(1000));
    QWidget* win = host.DialogWindow();
    if (!tab || !win) return false;
    bool ok = QDir().mkpath(dir);
    for (int i = 0; i < 6; ++i) {
        tab->setCurrentIndex(i);
        QApplication::processEvents();
        const QPixmap shot = win->grab();
        ok = shot.save(QStringLiteral("%1/page-%2-%3.png").arg(dir).arg(i).arg(kNames[i])) && ok;
    }
    // The tool windows, as they first open.
    host.ShowWireTrace();
    if (QWidget* trace = host.WireTraceWindow()) {
        QApplication::processEvents();
        ok = trace->grab().save(QStringLiteral("%1/wire-trace.png").arg(dir)) && ok;
    }
    host.ShowFrameTool();
    if (fw::FrameToolWindow* tool = host.FrameToolWnd()) {
        tool->SelectCommand(1);  // DISPENSE, its values as they start
        QApplication::processEvents();
        ok = tool->grab().save(QStringLiteral("%1/frame-tool.png").arg(dir)) && ok;
    }
    return ok;
}

// Milliseconds since the process started (kernel start time, 10 ms ticks).
double MsSinceProcessStart() {
    unsigned long long start = 0;
    if (std::FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buf[1024] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        const char* p = std::strrchr(buf, ')');  // the command name may hold blanks
        int field = 2;
        for (; p && *p && field < 22; ++p)
            if (*p == ' ') ++field;
        if (p) start = std::strtoull(p, nullptr, 10);
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9 - static_cast<double>(start) / ticks) * 1000.0;
}

long ResidentKb() {
    long kb = -1;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
        std::fclose(f);
    }
    return kb;
}

// Where ports are looked for (tests move both roots).
struct Options {
    PortMap map;
    bool simulate = false;
    double simScale = 1.0;
    std::string simSaveFlash;  // --sim-save-flash: the simulated module's flash, written at the end
    QString screenshotDir;
    bool startupReport = false;
    DeviceRoots roots;
    std::optional<std::string> traceFile;  // --trace: where the wire trace is appended
};

// The user's saved COM-port assignments.
QSettings UserSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("zantu"),
                     QStringLiteral("zantu-console"));
}

int ListPorts(const Options& opt) {
    const auto ports = DiscoverPorts(opt.roots);
    if (ports.empty()) std::fprintf(stderr, "zantu-console: no serial ports found\n");
    for (const SerialPortInfo& p : ports)
        std::printf("%s\n", FormatPortLine(p, ComsMappedTo(p, opt.map)).c_str());
    return 0;
}

// Reads the command line.  Returns the exit code when the program ends here
// (help, version, the port list: 0; a bad option: 2, after one line on
// standard error), or -1 to go on to the window.  Needs no display.
int ParseCommandLine(const QStringList& qargs, Options& opt) {
    // Qt's own window options (-platform offscreen) pass.
    static constexpr console_args::ForeignOption kQtOptions[] = {
        {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
        {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true}, {"session", true},
        {"display", true}, {"geometry", true}, {"style", true}, {"stylesheet", true},
        {"reverse", false}, {"widgetcount", false}, {"nograb", false}, {"dograb", false}, {"sync", false}};
    std::vector<std::string> args;
    for (qsizetype i = 1; i < qargs.size(); ++i) args.push_back(qargs[i].toStdString());
    const console_args::Options parsed = console_args::Parse(args, kQtOptions);
    switch (parsed.action) {
    case console_args::Action::Error:
        std::fprintf(stderr, "zantu-console: %s\n", parsed.error.c_str());
        return 2;
    case console_args::Action::Help: std::fputs(console_args::HelpText().c_str(), stdout); return 0;
    case console_args::Action::Version:
        std::printf("zantu-console %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    case console_args::Action::ListPorts:
    case console_args::Action::Run: break;
    }
    if (parsed.sysRoot) opt.roots.sys = *parsed.sysRoot;
    if (parsed.devRoot) opt.roots.dev = *parsed.devRoot;
    // Saved assignments first; --port overrides them for this run.
    QSettings settings = UserSettings();
    for (const auto& [n, path] : fw::LoadPortAssignments(settings)) opt.map.Set(n, path);
    for (const std::string& a : parsed.ports) (void)opt.map.ParseAssignment(a);
    opt.simulate = parsed.simulate;
    opt.simScale = parsed.simScale;
    opt.simSaveFlash = parsed.simSaveFlash;
#if ZANTU_HAVE_SIM
    if (!opt.simSaveFlash.empty()) {
        // Told now rather than after the session.
        const std::string problem = zsim::FlashFileProblem(opt.simSaveFlash);
        if (!problem.empty()) {
            std::fprintf(stderr, "zantu-console: --sim-save-flash: %s\n", problem.c_str());
            return 2;
        }
    }
#endif
    if (parsed.action == console_args::Action::ListPorts) return ListPorts(opt);
#if !ZANTU_HAVE_SIM
    if (opt.simulate) {
        std::fprintf(stderr, "zantu-console: built without the simulator\n");
        return 2;
    }
#endif
    opt.screenshotDir = QString::fromStdString(parsed.screenshotDir);
    opt.startupReport = parsed.startupReport;
    opt.traceFile = parsed.traceFile;
    return -1;
}

// Whether the window system could have a display: a platform was named, or
// an X or Wayland display is set.
bool DisplayNamed(int argc, char** argv) {
    for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* s = std::getenv(v);
        if (s && *s) return true;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0 || std::strncmp(argv[i], "--platform=", 11) == 0)
            return true;
    return false;
}

constexpr const char* kNoDisplay =
    "zantu-console: no display found (the window needs X11 or Wayland); zantu-cli runs the same "
    "commands without one\n";

// While the window system starts: its own complaints are held back, and if it
// cannot start at all, one line says so and the program ends with status 1.
void OnStartupMessage(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type != QtFatalMsg) return;
    std::fputs(kNoDisplay, stderr);
    std::_Exit(1);
}

constexpr const char* kVersion = "1.2";

void SetApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("zantu"));
    QCoreApplication::setApplicationName(QStringLiteral("zantu-console"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
}

// What a trace file's header names the console as.
QString ConsoleName() { return QStringLiteral("zantu-console %1").arg(QString::fromLatin1(kVersion)); }

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    {
        // The command line is read before the window system starts, so --help,
        // --version, --list-ports and bad options need no display.
        QCoreApplication core(argc, argv);
        SetApplicationNames();
        const int rc = ParseCommandLine(QCoreApplication::arguments(), opt);
        if (rc >= 0) return rc;
    }
    // The wire trace: always kept for its window, and to a file when asked.
    // The sinks outlive the trace, the trace outlives the window and the dialog.
    trace::LineStore traceStore;
    std::unique_ptr<trace::FileSink> traceFile;
    if (opt.traceFile) {
        std::string error;
        // Before any OPEN: the header says no port is open yet.
        const trace::WireTrace none;
        traceFile = trace::FileSink::Open(
            *opt.traceFile, &error,
            none.HeaderNow(ConsoleName().toStdString()));
        if (!traceFile) {
            std::fprintf(stderr, "zantu-console: %s\n", error.c_str());
            return 2;
        }
        traceFile->SetFailureReport(
            [](const std::string& text) { std::fprintf(stderr, "zantu-console: %s\n", text.c_str()); });
    }
    trace::WireTrace wireTrace;
    wireTrace.AddSink(&traceStore);
    if (traceFile) wireTrace.AddSink(traceFile.get());

    if (!DisplayNamed(argc, argv)) {
        std::fputs(kNoDisplay, stderr);
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(OnStartupMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    SetApplicationNames();
    PortMap& map = opt.map;

#if ZANTU_HAVE_SIM
    std::unique_ptr<zsim::EmbeddedModule> sim;
    if (opt.simulate) {
        zsim::EmbeddedOptions simOptions;
        simOptions.timeScale = opt.simScale;
        simOptions.saveFlash = opt.simSaveFlash;
        sim = std::make_unique<zsim::EmbeddedModule>(simOptions);
        const std::string path = sim->Start();
        if (path.empty()) {
            std::fprintf(stderr, "zantu-console: simulator failed: %s\n", sim->Error().c_str());
            return 1;
        }
        map.Set(1, path);
    }
#endif

    // Where the user left the wire trace window, kept for the next run.
    QSettings windowPlaces = UserSettings();
    // Each dispense batch's answers, for the batch record window and its files;
    // it outlives the window and the dialog.
    rec::BatchRecord batchRecord;
    // What the exchange waits for, on the window's strip below the pages.
    ExchangeLine exchange([] {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    });
    fw::QtHost host;
    host.SetRaisesPriority(true);
    host.SetExchangeLine(&exchange);
    host.SetSettings(&windowPlaces);
    host.SetWireTraceStore(&traceStore);
    host.SetWireTrace(&wireTrace, ConsoleName());
    // The batches also go to the station's results file, as zantu-cli --record's.
    host.SetBatchRecord(&batchRecord, fw::BatchRecordFiles::DefaultRecordsDir(),
                        fw::BatchRecordFiles::DefaultDatabase());
    int rc = 0;
    // SIGTERM, SIGHUP and SIGINT end the window as EXIT does: the port is
    // closed (lock file removed, exclusive flag cleared) when the dialog goes.
    // A signal ends the console without the question EXIT asks during a batch.
    std::function<void()> endNow;
    fw::StopSignals stopSignals([&] {
        if (endNow)
            endNow();
        else
            host.Cancel();
    });
    {
        CConsoleDlg dlg(host);
        dlg.m_Comm.SetPortMap(map);
        dlg.Subscribe(&wireTrace);
        dlg.Subscribe(&batchRecord);
        dlg.Subscribe(&exchange);
        dlg.m_devRoots = opt.roots;
        // Assignments made in the window are kept for the next run.
        dlg.m_onPortAssigned = [](int nPort, const std::optional<std::string>& path) {
            QSettings settings = UserSettings();
            fw::SavePortAssignment(settings, nPort, path);
        };
        dlg.Create();
        endNow = [&dlg] { dlg.EndNow(); };
        host.SetBatchStopper([&dlg] { dlg.StopBatch(); });
        // A results file that cannot be opened or written is said in the receive text.
        if (fw::BatchRecordFiles* files = host.BatchFiles())
            files->SetDatabaseReporter(
                [&dlg](const QString& text) { dlg.ShowRecvLine("RESULTS: " + text.toStdString()); });
        DialogHandLink handLink(dlg);
        host.SetHandFrameLink(&handLink);
        host.DialogWindow()->show();
        if (opt.startupReport) {
            QApplication::processEvents();  // the window is mapped and painted
            std::printf("shown_ms=%.1f rss_kb=%ld\n", MsSinceProcessStart(), ResidentKb());
        } else if (!opt.screenshotDir.isEmpty()) {
            rc = SaveScreenshots(host, opt.screenshotDir) ? 0 : 1;
        } else {
            host.Exec();
        }
        endNow = nullptr;  // the dialog goes now
        host.SetBatchStopper(nullptr);
        host.SetHandFrameLink(nullptr);
        if (fw::BatchRecordFiles* files = host.BatchFiles()) files->SetDatabaseReporter(nullptr);
    }
#if ZANTU_HAVE_SIM
    if (sim && !sim->Finish()) {
        std::fprintf(stderr, "zantu-console: the simulated module's flash was not saved: %s\n", sim->Error().c_str());
        if (rc == 0) rc = 1;
    }
#endif
    return stopSignals.Caught() ? stopSignals.ExitStatus() : rc;
}
