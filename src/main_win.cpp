// zantu-console.exe: the ZANTU-100 service and test console on Windows, the
// console dialog on the native Win32 back-end.  It takes the Linux console's
// options; settings and batch records are kept per user where Windows keeps
// them (framework/win32/UserSettings.h).
#include "console/ConsoleArgs.h"
#include "console/ConsoleDlg.h"
#include "console/ExchangeLine.h"
#include "framework/win32/UserSettings.h"
#include "framework/win32/Win32Host.h"
#include "link/PortDiscovery.h"
#include "records/BatchFiles.h"
#include "records/BatchRecord.h"
#include "trace/TraceSinks.h"
#include "trace/WireTrace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if ZANTU_HAVE_SIM
#include "Embedded.h"
#endif

// After the console's headers: its macros (IDOK, NOPARITY, MessageBox...) would
// rename their names.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

namespace {

constexpr const char* kProgram = "zantu-console";

// The program's words as UTF-8, the program's name left out.
std::vector<std::string> CommandWords() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> words;
    for (int i = 1; argv && i < argc; ++i) words.push_back(fw::Utf8(argv[i]));
    LocalFree(argv);
    return words;
}

// A window program has no console: started from one, its output goes there;
// redirected, where it was sent.
void AttachOutput() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    (void)std::freopen("CONOUT$", "w", stdout);
    (void)std::freopen("CONOUT$", "w", stderr);
}

// A batch's rows reach its file as they come: this listener is told after the
// batch record has taken in the same event.
class BatchFilesWriter final : public ev::ConsoleObserver {
public:
    explicit BatchFilesWriter(rec::BatchFiles& files) : m_files(files) {}
    void Answered(const ev::Answer&) override { m_files.WriteNewRows(); }
    void Idle(bool) override { m_files.WriteNewRows(); }
    void Link(ev::LinkEvent, int, std::string_view) override { m_files.WriteNewRows(); }

private:
    rec::BatchFiles& m_files;
};

// Ctrl+C, Ctrl+Break, the console closed, logging off and shutting down end
// the window as EXIT does, so the port is closed; the exit status then says
// which (as on Linux: 130 Ctrl+C, 129 the console gone, 143 the session's end).
std::atomic<HWND> g_window{nullptr};
std::atomic<int> g_stopStatus{0};
HANDLE g_closed = nullptr;  // set when the dialog is gone

BOOL WINAPI OnConsoleStop(DWORD type) {
    int status = 143;
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) status = 130;
    if (type == CTRL_CLOSE_EVENT) status = 129;
    int none = 0;
    g_stopStatus.compare_exchange_strong(none, status);
    if (HWND h = g_window.load()) PostMessageW(h, WM_CLOSE, 0, 0);
    // The process ends when this returns: give the window time to close the port.
    if (g_closed) WaitForSingleObject(g_closed, 5000);
    return TRUE;
}

// Milliseconds since the process was made.
double MsSinceProcessStart() {
    FILETIME created{}, exited{}, kernel{}, user{}, now{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& f) {
        return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return static_cast<double>(ticks(now) - ticks(created)) / 10000.0;
}

long ResidentKb() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return -1;
    return static_cast<long>(pmc.WorkingSetSize / 1024);
}

// A problem with the records folder: said on standard error and in a box that
// does not hold up the console (it has a thread of its own).
void SayRecordProblem(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
    std::thread([w = fw::Wide(text)] {
        MessageBoxW(nullptr, w.c_str(), L"Batch record", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
    }).detach();
}

}  // namespace

int main() {
    AttachOutput();
    const std::vector<std::string> words = CommandWords();
    const console_args::Options args = console_args::Parse(words);
    switch (args.action) {
    case console_args::Action::Error: std::fprintf(stderr, "%s: %s\n", kProgram, args.error.c_str()); return 2;
    case console_args::Action::Help: std::fputs(console_args::HelpText().c_str(), stdout); return 0;
    case console_args::Action::Version: std::printf("%s %s\n", kProgram, ZANTU_VERSION); return 0;
    case console_args::Action::ListPorts:
    case console_args::Action::Run: break;
    }
    if (!args.screenshotDir.empty()) {
        std::fprintf(stderr, "%s: --screenshot is not in the Windows console\n", kProgram);
        return 2;
    }
    DeviceRoots roots;
    if (args.sysRoot) roots.sys = *args.sysRoot;
    if (args.devRoot) roots.dev = *args.devRoot;
    // Saved assignments first; --port overrides them for this run.
    PortMap map;
    for (const auto& [n, path] : fw::LoadPortAssignments()) map.Set(n, path);
    for (const std::string& a : args.ports) (void)map.ParseAssignment(a);
#if ZANTU_HAVE_SIM
    if (!args.simSaveFlash.empty()) {
        const std::string problem = zsim::FlashFileProblem(args.simSaveFlash);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: --sim-save-flash: %s\n", kProgram, problem.c_str());
            return 2;
        }
    }
#endif
    if (args.action == console_args::Action::ListPorts) {
        const auto ports = DiscoverPorts(roots);
        if (ports.empty()) std::fprintf(stderr, "%s: no serial ports found\n", kProgram);
        for (const SerialPortInfo& p : ports) std::printf("%s\n", FormatPortLine(p, ComsMappedTo(p, map)).c_str());
        return 0;
    }
#if !ZANTU_HAVE_SIM
    if (args.simulate) {
        std::fprintf(stderr, "%s: built without the simulator\n", kProgram);
        return 2;
    }
#endif

    // The wire trace to a file when asked; the sinks outlive the trace, the
    // trace outlives the dialog.
    std::unique_ptr<trace::FileSink> traceFile;
    if (args.traceFile) {
        std::string error;
        // Before any OPEN: the header says no port is open yet.
        const trace::WireTrace none;
        traceFile = trace::FileSink::Open(*args.traceFile, &error,
                                          none.HeaderNow(std::string(kProgram) + " " + ZANTU_VERSION));
        if (!traceFile) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return 2;
        }
        traceFile->SetFailureReport(
            [](const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); });
    }
    trace::WireTrace wireTrace;
    if (traceFile) wireTrace.AddSink(traceFile.get());

#if ZANTU_HAVE_SIM
    std::unique_ptr<zsim::EmbeddedModule> sim;
    if (args.simulate) {
        zsim::EmbeddedOptions simOptions;
        simOptions.timeScale = args.simScale;
        simOptions.saveFlash = args.simSaveFlash;
        sim = std::make_unique<zsim::EmbeddedModule>(simOptions);
        const std::string path = sim->Start();
        if (path.empty()) {
            std::fprintf(stderr, "%s: simulator failed: %s\n", kProgram, sim->Error().c_str());
            return 1;
        }
        map.Set(1, path);
    }
#endif

    // Every batch's record, written to its file whatever the window shows.
    rec::BatchRecord batchRecord;
    rec::BatchFiles batchFiles(batchRecord, fw::DefaultRecordsDir());
    batchFiles.SetProblemReporter(SayRecordProblem);
    BatchFilesWriter batchFilesWriter(batchFiles);

    g_closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleStop, TRUE);
    int rc = 0;
    // What the exchange waits for, on the window's strip below the pages.
    ExchangeLine exchange([] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    });
    fw::Win32Host host(GetModuleHandleW(nullptr));
    host.SetRaisesPriority(true);
    host.SetExchangeLine(&exchange);
    {
        CConsoleDlg dlg(host);
        dlg.m_Comm.SetPortMap(map);
        dlg.Subscribe(&wireTrace);
        dlg.Subscribe(&exchange);
        dlg.Subscribe(&batchRecord);
        dlg.Subscribe(&batchFilesWriter);
        dlg.m_devRoots = roots;
        // Assignments made in the window are kept for the next run.
        dlg.m_onPortAssigned = [](int nPort, const std::optional<std::string>& path) {
            fw::SavePortAssignment(nPort, path);
        };
        dlg.Create();
        g_window = host.Hwnd();
        host.Show(SW_SHOWNORMAL);
        if (args.startupReport) {
            // The window is shown and painted: what waits to be handled is handled.
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            std::printf("shown_ms=%.1f rss_kb=%ld\n", MsSinceProcessStart(), ResidentKb());
            std::fflush(stdout);
        } else {
            host.Exec();
        }
        g_window = nullptr;
    }
    batchFiles.WriteNewRows();
#if ZANTU_HAVE_SIM
    if (sim && !sim->Finish()) {
        std::fprintf(stderr, "%s: the simulated module's flash was not saved: %s\n", kProgram, sim->Error().c_str());
        if (rc == 0) rc = 1;
    }
#endif
    SetEvent(g_closed);
    const int stopped = g_stopStatus.load();
    return stopped ? stopped : rc;
}
