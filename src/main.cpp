// zantu-console: the ZANTU-100 service and test console.
#include "console/ConsoleDlg.h"
#include "framework/qt/PortSettings.h"
#include "framework/qt/QtHost.h"
#include "records/BatchRecord.h"
#include "trace/WireTrace.h"
#include "link/PortDiscovery.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

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
// standard error), or -1 to go on to the window.  Needs only QtCore, so it
// works without a display.
int ParseCommandLine(const QStringList& args, Options& opt) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("ZANTU-100 service and test console"));
    // Qt's own window options (-platform offscreen) are single-dash words.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOpt = parser.addHelpOption();
    const QCommandLineOption versionOpt = parser.addVersionOption();
    const QCommandLineOption portOpt(QStringLiteral("port"),
                                     QStringLiteral("Open device PATH for port COMN (N 1..10), for this run."),
                                     QStringLiteral("N=PATH"));
    const QCommandLineOption simOpt(QStringLiteral("simulate"),
                                    QStringLiteral("Run a simulated module and map COM1 to it."));
    const QCommandLineOption simScaleOpt(
        QStringLiteral("sim-time-scale"),
        QStringLiteral("With --simulate: multiply the simulated line and module times by F "
                       "(default 1, the module's own pace; 0 answers at once)."),
        QStringLiteral("F"), QStringLiteral("1"));
    const QCommandLineOption simFlashOpt(
        QStringLiteral("sim-save-flash"),
        QStringLiteral("With --simulate: write the simulated module's 40960-byte flash to FILE when the "
                       "console ends, to compare what was flashed with the image."),
        QStringLiteral("FILE"));
    const QCommandLineOption listOpt(QStringLiteral("list-ports"),
                                     QStringLiteral("Print the serial ports present and the COM number "
                                                    "each is mapped to, and exit."));
    const QCommandLineOption traceOpt(QStringLiteral("trace"),
                                      QStringLiteral("Append the wire trace to FILE, one line at a time."),
                                      QStringLiteral("FILE"));
    parser.addOption(portOpt);
    parser.addOption(simOpt);
    parser.addOption(simScaleOpt);
    parser.addOption(simFlashOpt);
    parser.addOption(listOpt);
    parser.addOption(traceOpt);
    auto hidden = [&parser](const char* name, const char* valueName = nullptr) {
        QCommandLineOption o(QString::fromLatin1(name), QString(),
                             valueName ? QString::fromLatin1(valueName) : QString());
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
        return o;
    };
    const QCommandLineOption shotOpt = hidden("screenshot", "DIR");    // each page to DIR as PNG, exit
    const QCommandLineOption probeOpt = hidden("startup-report");      // start-up time and memory, exit
    const QCommandLineOption sysRootOpt = hidden("sys-root", "DIR");   // sysfs elsewhere (tests)
    const QCommandLineOption devRootOpt = hidden("dev-root", "DIR");   // /dev elsewhere (tests)
    // Options the window system takes for itself.
    for (const char* o : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                          "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style",
                          "stylesheet"})
        hidden(o, "VALUE");
    for (const char* o : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) hidden(o);

    if (!parser.parse(args)) {
        std::fprintf(stderr, "zantu-console: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "zantu-console: unexpected argument '%s' (see --help)\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help-all"))) parser.process(args);  // prints with Qt's options, exits 0
    if (parser.isSet(helpOpt)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOpt)) {
        std::printf("zantu-console %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (parser.isSet(sysRootOpt)) opt.roots.sys = parser.value(sysRootOpt).toStdString();
    if (parser.isSet(devRootOpt)) opt.roots.dev = parser.value(devRootOpt).toStdString();

    // Saved assignments first; --port overrides them for this run.
    QSettings settings = UserSettings();
    for (const auto& [n, path] : fw::LoadPortAssignments(settings)) opt.map.Set(n, path);
    for (const QString& a : parser.values(portOpt)) {
        if (!opt.map.ParseAssignment(a.toStdString())) {
            std::fprintf(stderr, "zantu-console: bad --port value '%s' (want N=PATH, N 1..10)\n",
                         a.toLocal8Bit().constData());
            return 2;
        }
    }
    opt.simulate = parser.isSet(simOpt);
    if (opt.simulate) {
        bool scaleOk = false;
        opt.simScale = parser.value(simScaleOpt).toDouble(&scaleOk);
        if (!scaleOk || !(opt.simScale >= 0.0) || opt.simScale > 100.0) {
            std::fprintf(stderr, "zantu-console: bad --sim-time-scale value '%s' (want 0..100)\n",
                         parser.value(simScaleOpt).toLocal8Bit().constData());
            return 2;
        }
    }
    if (parser.isSet(simFlashOpt)) {
        if (!opt.simulate) {
            std::fprintf(stderr, "zantu-console: --sim-save-flash goes with --simulate\n");
            return 2;
        }
        opt.simSaveFlash = parser.value(simFlashOpt).toStdString();
#if ZANTU_HAVE_SIM
        // Told now rather than after the session.
        const std::string problem = zsim::FlashFileProblem(opt.simSaveFlash);
        if (!problem.empty()) {
            std::fprintf(stderr, "zantu-console: --sim-save-flash: %s\n", problem.c_str());
            return 2;
        }
#endif
    }
    if (parser.isSet(listOpt)) return ListPorts(opt);
#if !ZANTU_HAVE_SIM
    if (opt.simulate) {
        std::fprintf(stderr, "zantu-console: built without the simulator\n");
        return 2;
    }
#endif
    opt.screenshotDir = parser.value(shotOpt);
    opt.startupReport = parser.isSet(probeOpt);
    if (parser.isSet(traceOpt)) opt.traceFile = parser.value(traceOpt).toStdString();
    return -1;
}

void SetApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("zantu"));
    QCoreApplication::setApplicationName(QStringLiteral("zantu-console"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2"));
}

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
        traceFile = trace::FileSink::Open(*opt.traceFile, &error);
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

    QApplication app(argc, argv);
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
    fw::QtHost host;
    host.SetRaisesPriority(true);
    host.SetSettings(&windowPlaces);
    host.SetWireTraceStore(&traceStore);
    host.SetBatchRecord(&batchRecord, fw::BatchRecordFiles::DefaultRecordsDir());
    int rc = 0;
    {
        CConsoleDlg dlg(host);
        dlg.m_Comm.SetPortMap(map);
        dlg.Subscribe(&wireTrace);
        dlg.Subscribe(&batchRecord);
        dlg.m_devRoots = opt.roots;
        // Assignments made in the window are kept for the next run.
        dlg.m_onPortAssigned = [](int nPort, const std::optional<std::string>& path) {
            QSettings settings = UserSettings();
            fw::SavePortAssignment(settings, nPort, path);
        };
        dlg.Create();
        host.DialogWindow()->show();
        if (opt.startupReport) {
            QApplication::processEvents();  // the window is mapped and painted
            std::printf("shown_ms=%.1f rss_kb=%ld\n", MsSinceProcessStart(), ResidentKb());
        } else if (!opt.screenshotDir.isEmpty()) {
            rc = SaveScreenshots(host, opt.screenshotDir) ? 0 : 1;
        } else {
            host.Exec();
        }
    }
#if ZANTU_HAVE_SIM
    if (sim && !sim->Finish()) {
        std::fprintf(stderr, "zantu-console: the simulated module's flash was not saved: %s\n", sim->Error().c_str());
        if (rc == 0) rc = 1;
    }
#endif
    return rc;
}
