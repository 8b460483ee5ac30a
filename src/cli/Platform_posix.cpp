#include "cli/Platform.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace cli::platform {

namespace {

std::atomic<int>* g_stop = nullptr;
// The first stopping signal; read by the thread that ends the run.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

extern "C" void OnStopSignal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    if (sig == SIGINT)
        g_stop->fetch_add(1);
    else
        g_stop->store(2);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>& stop) {
    g_stop = &stop;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read at the password prompt returns
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as a failed write
    signal(SIGXFSZ, SIG_IGN);  // so does a file over the size limit (a trace kept as a record)
}

// The stopping signals go to the main thread only: threads started while
// they are blocked (the serial reader, the simulator) never take them.
void SetStopSignalsBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int StopExit() {
    const int sig = g_signal.load();
    return 128 + (sig ? sig : SIGINT);
}

int Exit(int status) { return status; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

const std::string_view kPortHelp =
    "  --port PATH|COMn    the serial device: a path (/dev/ttyUSB0, /dev/serial/\n"
    "                      by-id/...) or COM1..COM10 (/dev/ttyS0../dev/ttyS9);\n";
const std::string_view kComMeaning = "for it (COMn is /dev/ttyS(n-1)), driver, USB identity and stable names.\n";
const std::string_view kStopHelp =
    "Messages the window shows in a box go to standard error. Ctrl+C ends the run\n"
    "after the exchange under way; a second one, SIGTERM or SIGHUP end it at once.\n"
    "Either way the port is closed (lock file removed, exclusive flag cleared).\n";
const std::string_view kSimulateHelp =
    "  --simulate          a simulated module on a pseudo-terminal instead\n";

}  // namespace cli::platform
