// zantu-console: the ZANTU-100 service and test console.
#include "console/ConsoleDlg.h"
#include "framework/qt/QtHost.h"
#include "trace/WireTrace.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if ZANTU_HAVE_SIM
#include "Simulator.h"
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

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral("1.2"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("ZANTU-100 service and test console"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOpt(QStringLiteral("port"),
                                     QStringLiteral("Open device PATH for port COMN (N 1..10)."),
                                     QStringLiteral("N=PATH"));
    const QCommandLineOption simOpt(QStringLiteral("simulate"),
                                    QStringLiteral("Run a simulated module and map COM1 to it."));
    const QCommandLineOption shotOpt(QStringLiteral("screenshot"),
                                     QStringLiteral("Save each page to DIR as PNG and exit."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption simScaleOpt(
        QStringLiteral("sim-time-scale"),
        QStringLiteral("With --simulate: multiply the simulated line and module times by F "
                       "(default 1, the module's own pace; 0 answers at once)."),
        QStringLiteral("F"), QStringLiteral("1"));
    const QCommandLineOption traceOpt(QStringLiteral("trace"),
                                      QStringLiteral("Append the wire trace to FILE, one line at a time."),
                                      QStringLiteral("FILE"));
    parser.addOption(portOpt);
    parser.addOption(simOpt);
    parser.addOption(simScaleOpt);
    parser.addOption(traceOpt);
    QCommandLineOption hiddenShot = shotOpt;
    hiddenShot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(hiddenShot);
    QCommandLineOption probeOpt(QStringLiteral("startup-report"),
                                QStringLiteral("Print start-up time and memory once shown, and exit."));
    probeOpt.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(probeOpt);
    parser.process(app);

    PortMap map;
    for (const QString& a : parser.values(portOpt)) {
        if (!map.ParseAssignment(a.toStdString())) {
            std::fprintf(stderr, "zantu-console: bad --port value '%s' (want N=PATH, N 1..10)\n",
                         a.toLocal8Bit().constData());
            return 2;
        }
    }

#if ZANTU_HAVE_SIM
    std::unique_ptr<zsim::Simulator> sim;
    if (parser.isSet(simOpt)) {
        bool scaleOk = false;
        const double scale = parser.value(simScaleOpt).toDouble(&scaleOk);
        if (!scaleOk || !(scale >= 0.0) || scale > 100.0) {
            std::fprintf(stderr, "zantu-console: bad --sim-time-scale value '%s' (want 0..100)\n",
                         parser.value(simScaleOpt).toLocal8Bit().constData());
            return 2;
        }
        zsim::SimOptions simOptions;
        simOptions.pace = scale > 0.0;  // the module's 9600-baud byte timing and its working times
        simOptions.timeScale = scale > 0.0 ? scale : 1.0;
        sim = std::make_unique<zsim::Simulator>(simOptions);
        const std::string path = sim->StartOnPty();
        if (path.empty()) {
            std::fprintf(stderr, "zantu-console: simulator failed: %s\n", sim->LastError().c_str());
            return 1;
        }
        map.Set(1, path);
    }
#else
    if (parser.isSet(simOpt)) {
        std::fprintf(stderr, "zantu-console: built without the simulator\n");
        return 2;
    }
#endif

    // The wire trace: always kept for its window, and to a file when asked.
    trace::LineStore traceStore;
    std::unique_ptr<trace::FileSink> traceFile;
    if (parser.isSet(traceOpt)) {
        std::string error;
        traceFile = trace::FileSink::Open(parser.value(traceOpt).toStdString(), &error);
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

    fw::QtHost host;
    host.SetWireTraceStore(&traceStore);
    int rc = 0;
    {
        CConsoleDlg dlg(host);
        dlg.m_Comm.SetPortMap(map);
        dlg.m_pTrace = &wireTrace;
        dlg.Create();
        host.DialogWindow()->show();
        if (parser.isSet(probeOpt)) {
            QApplication::processEvents();  // the window is mapped and painted
            std::printf("shown_ms=%.1f rss_kb=%ld\n", MsSinceProcessStart(), ResidentKb());
        } else if (parser.isSet(hiddenShot)) {
            rc = SaveScreenshots(host, parser.value(hiddenShot)) ? 0 : 1;
        } else {
            host.Exec();
        }
    }
#if ZANTU_HAVE_SIM
    if (sim) sim->Stop();
#endif
    return rc;
}
