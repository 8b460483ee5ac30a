// zantu-cli on Windows: the console's control events in place of signals,
// with the exit statuses the signals give on Linux.
#include "cli/Platform.h"

#include <windows.h>

#include <shellapi.h>

namespace cli::platform {

namespace {

// The signal numbers whose 128 + n the exit statuses are, as on Linux.
constexpr LONG kInterrupt = 2;   // SIGINT: Ctrl+C
constexpr LONG kTerminate = 15;  // SIGTERM: the window closed, Ctrl+Break, log-off, shut-down
// Windows ends the process about 5 s after a close event; the run is given
// most of that to close its port and files.
constexpr DWORD kCloseWaitMs = 4500;

std::atomic<int>* g_stop = nullptr;
std::atomic<LONG> g_signal{0};
HANDLE g_done = nullptr;  // set as main returns

BOOL WINAPI OnConsoleEvent(DWORD type) {
    LONG none = 0;
    if (type == CTRL_C_EVENT) {
        g_signal.compare_exchange_strong(none, kInterrupt);
        g_stop->fetch_add(1);
        return TRUE;
    }
    g_signal.compare_exchange_strong(none, kTerminate);
    g_stop->store(2);
    if (type == CTRL_BREAK_EVENT) return TRUE;
    // Closing, log-off, shut-down: the process ends when this returns, so it
    // returns once main has finished (main's exit then ends it with main's
    // status).
    WaitForSingleObject(g_done, kCloseWaitMs);
    return TRUE;
}

std::string Utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.pop_back();  // the terminating zero
    return s;
}

}  // namespace

void InstallStopHandlers(std::atomic<int>& stop) {
    g_stop = &stop;
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetStopSignalsBlocked(bool) {}  // the events come on a thread of their own

int StopExit() {
    const LONG s = g_signal.load();
    return 128 + static_cast<int>(s ? s : kInterrupt);
}

int Exit(int status) {
    if (g_done) SetEvent(g_done);
    return status;
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::vector<std::string> Arguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return out;
}

const std::string_view kPortHelp =
    "  --port PATH|COMn    the serial port: COM1..COM10, or its device name\n"
    "                      (\\\\.\\COM12 for any number);\n";
const std::string_view kComMeaning = "for it (COMn is \\\\.\\COMn), driver, USB identity and stable names.\n";
const std::string_view kStopHelp =
    "Messages the window shows in a box go to standard error. Ctrl+C ends the run\n"
    "after the exchange under way; a second one, Ctrl+Break or closing the console\n"
    "window end it at once (exit status 130 for Ctrl+C, 143 for the others).\n"
    "Either way the port is closed.\n";
const std::string_view kSimulateHelp =
    "  --simulate          a simulated module inside this program instead\n";

}  // namespace cli::platform
