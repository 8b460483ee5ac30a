// zantu-cli: the ZANTU-100 service console's commands from the command line,
// for test benches and production lines.
#include "cli/CliArgs.h"
#include "cli/Password.h"
#include "cli/Session.h"

#include <pthread.h>
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>

#if ZANTU_HAVE_SIM
#include "Simulator.h"
#endif

namespace {

// 1 after one Ctrl+C (end after the current exchange), 2 or more to end at once.
std::atomic<int> g_stop{0};
volatile sig_atomic_t g_signal = 0;  // the first stopping signal
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

extern "C" void OnStopSignal(int sig) {
    if (g_signal == 0) g_signal = sig;
    if (sig == SIGINT)
        g_stop.fetch_add(1);
    else
        g_stop.store(2);
}

void InstallHandlers() {
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

int StopExit() { return 128 + (g_signal ? static_cast<int>(g_signal) : SIGINT); }

}  // namespace

int main(int argc, char** argv) {
    const cli::ParseResult parsed = cli::ParseArgs(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "zantu-cli: %s\nTry 'zantu-cli --help' for more information.\n",
                     parsed.error.c_str());
        return EX_USAGE;
    }
    const cli::Options& o = parsed.options;
    if (o.help) {
        const std::string text = o.command ? cli::CommandHelp(*o.command) : cli::ToolHelp();
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : EX_IOERR;
    }
    if (o.version) {
        std::fputs(cli::VersionText().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : EX_IOERR;
    }
    InstallHandlers();
    if (o.command->cmd == cli::Cmd::ListPorts) return cli::RunListPorts(o, DeviceRoots{}, stdout, stderr);

    cli::SessionConfig cfg;
    cfg.options = o;
    cfg.stop = &g_stop;
    cfg.stopExit = StopExit;
    cfg.progress = ::isatty(STDERR_FILENO) == 1;

    if (o.command->cmd == cli::Cmd::Log) {
        std::string why;
        const cli::PasswordStatus st = o.passwordFile
                                           ? cli::ReadPasswordFile(*o.passwordFile, cfg.password, why, g_stop)
                                           : cli::AskPassword(cfg.password, why, g_stop);
        if (st == cli::PasswordStatus::Interrupted || g_stop.load() > 0) return StopExit();
        if (st != cli::PasswordStatus::Ok) {
            std::fprintf(stderr, "zantu-cli: %s\n", why.c_str());
            return st == cli::PasswordStatus::NoFile ? EX_NOINPUT : EX_USAGE;
        }
    }

    SetStopSignalsBlocked(true);
#if ZANTU_HAVE_SIM
    std::unique_ptr<zsim::Simulator> sim;
#endif
    if (o.simulate) {
#if ZANTU_HAVE_SIM
        zsim::SimOptions so;
        so.pace = o.simTimeScale > 0.0;  // the line's 9600-baud timing and the module's working times
        so.timeScale = o.simTimeScale > 0.0 ? o.simTimeScale : 1.0;
        sim = std::make_unique<zsim::Simulator>(so);
        const std::string path = sim->StartOnPty();
        if (path.empty()) {
            std::fprintf(stderr, "zantu-cli: the simulated module could not start: %s\n",
                         sim->LastError().c_str());
            return cli::kExitPortFailed;
        }
        cfg.map.Set(1, path);
        cfg.portName = path + " (the simulated module)";
#else
        std::fprintf(stderr, "zantu-cli: built without the simulator\n");
        return EX_USAGE;
#endif
    } else {
        const auto port = cli::ResolvePort(o.port);  // checked by the parse
        if (port && port->com > 0) {
            cfg.com = port->com;
            cfg.portName = cfg.map.PathFor(port->com) + " (COM" + std::to_string(port->com) + ")";
        } else if (port) {
            cfg.map.Set(1, port->path);
            cfg.portName = port->path;
        }
    }
    cfg.onOpened = [] { SetStopSignalsBlocked(false); };

    int rc = 0;
    {
        cli::Session session(std::move(cfg));
        rc = session.Run();
    }
#if ZANTU_HAVE_SIM
    if (sim) sim->Stop();
#endif
    return rc;
}
