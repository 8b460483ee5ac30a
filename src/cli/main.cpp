// zantu-cli: the ZANTU-100 service console's commands from the command line,
// for test benches and production lines.
#include "cli/CliArgs.h"
#include "cli/HexInfo.h"
#include "cli/Password.h"
#include "cli/Runner.h"
#if ZANTU_HAVE_PLANS
#include "cli/PlanRun.h"
#include "cli/ResultsCli.h"
#endif

#include <pthread.h>
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
#if ZANTU_HAVE_PLANS
    // A plan is read and checked whole before any port opens.
    plan::Loaded loaded;
    if (o.command->cmd == cli::Cmd::Run) {
        loaded = plan::LoadPlan(o.args[0]);
        if (loaded.exit != 0) {
            std::fprintf(stderr, "zantu-cli: %s\n", loaded.error.c_str());
            return loaded.exit;
        }
    }
    if (o.command->cmd == cli::Cmd::Results) return cli::RunResults(o, stdout, stderr);
    // The results database is opened before any port: a server that cannot
    // be reached refuses the run (69) before anything is sent.  A plan
    // always writes there; a command with --record or --db too.
    cli::OpenedDb results;
    const bool recordsRows = o.command->cmd == cli::Cmd::Run ||
                             ((o.record || o.db) && !cli::TakesNoPort(o.command->cmd));
    if (recordsRows) {
        results = cli::OpenForRun(o);
        if (!results.writer) {
            std::fprintf(stderr, "zantu-cli: %s\n", results.why.c_str());
            // A command's --record file is its record; the station's file
            // beside it, when it cannot be made, is said and done without.
            if (o.command->cmd == cli::Cmd::Run || o.db) return results.exit;
        }
    }
#else
    if (o.command->cmd == cli::Cmd::Run || o.command->cmd == cli::Cmd::Results || o.db) {
        std::fprintf(stderr, "zantu-cli: built without plans and the results database\n");
        return EX_USAGE;
    }
#endif
    if (o.command->cmd == cli::Cmd::ListPorts) return cli::RunListPorts(o, DeviceRoots{}, stdout, stderr);
    if (o.command->cmd == cli::Cmd::HexInfo) return cli::RunHexInfo(o, stdout, stderr);

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
    // The record file, like the trace, and the file the simulated flash is
    // saved to must be writable before any port opens (nothing is emptied).
    std::unique_ptr<rec::RecordWriter> record;
    if (o.record) {
        std::string why;
        record = rec::RecordWriter::Open(*o.record, rec::RecordWriter::Mode::Append, &why);
        if (!record) {
            std::fprintf(stderr, "zantu-cli: %s\n", why.c_str());
            return EX_CANTCREAT;
        }
        if (!record->Notice().empty()) std::fprintf(stderr, "zantu-cli: %s\n", record->Notice().c_str());
    }
    if (o.simSaveFlash) {
        std::FILE* f = std::fopen(o.simSaveFlash->c_str(), "a");
        if (!f) {
            std::fprintf(stderr, "zantu-cli: cannot open the flash file '%s': %s\n", o.simSaveFlash->c_str(),
                         std::strerror(errno));
            return EX_CANTCREAT;
        }
        std::fclose(f);
    }
#if ZANTU_HAVE_SIM
    std::unique_ptr<zsim::Simulator> sim;
#endif
    cli::RunnerConfig rc;
    rc.options = o;
    rc.password = cfg.password;
    rc.stop = &g_stop;
    rc.stopExit = StopExit;
    rc.progress = cfg.progress;
    rc.record = record.get();
    rc.recordRun.run = rec::NewRunId();
    rc.recordRun.station = o.station ? *o.station : rec::HostName();
    rc.recordRun.version = cli::VersionText();
    while (!rc.recordRun.version.empty() && rc.recordRun.version.back() == '\n') rc.recordRun.version.pop_back();
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
        cli::PortTarget t;
        t.label = path;
        t.map.Set(1, path);
        t.portName = path + " (the simulated module)";
        t.unit = o.units.empty() ? std::string() : o.units.front();
        rc.ports.push_back(std::move(t));
#else
        std::fprintf(stderr, "zantu-cli: built without the simulator\n");
        return EX_USAGE;
#endif
    } else {
        for (std::size_t i = 0; i < o.ports.size(); ++i) {
            const std::string& given = o.ports[i];
            cli::PortTarget t;
            t.label = given;
            t.unit = i < o.units.size() ? o.units[i] : std::string();
            const auto port = cli::ResolvePort(given);  // checked by the parse
            if (port && port->com > 0) {
                t.com = port->com;
                t.portName = t.map.PathFor(port->com) + " (COM" + std::to_string(port->com) + ")";
            } else if (port) {
                t.map.Set(1, port->path);
                t.portName = port->path;
            }
            rc.ports.push_back(std::move(t));
        }
    }
    // The sessions' threads (and the serial readers they start) keep the
    // stopping signals blocked; this thread takes them while it waits.
    rc.onStarted = [] { SetStopSignalsBlocked(false); };

    int status = 0;
#if ZANTU_HAVE_PLANS
    std::vector<std::string> units;
    for (std::size_t i = 0; i < rc.ports.size(); ++i) units.push_back(rc.ports[i].unit);
    std::unique_ptr<cli::DbPlanListener> listener;
    if (results.writer) {
        db::ResultsWriter& w = *results.writer;
        if (!w.StartRun(cli::RunRowFor(o, o.command->cmd == cli::Cmd::Run ? loaded.plan.name : std::string(),
                                       loaded.plan.hash)))
            std::fprintf(stderr, "zantu-cli: %s\n", w.Error().c_str());
        listener = std::make_unique<cli::DbPlanListener>(w, stderr);
        if (o.command->cmd != cli::Cmd::Run)  // a plan's units start in RunPlan
            for (std::size_t i = 0; i < rc.ports.size(); ++i)
                listener->UnitStarted(i, units[i].empty() ? rc.ports[i].label : units[i], rc.ports[i].label);
    }
    if (o.command->cmd == cli::Cmd::Run) {
        cli::PlanRunConfig pc;
        pc.plan = std::move(loaded.plan);
        pc.units = units;
        pc.runner = std::move(rc);
        pc.listener = listener.get();
        status = cli::RunPlan(std::move(pc));
    } else {
        if (listener) {
            // A plain command is a plan of one step, without limits.
            rc.onSessionEnd = [&](std::size_t i, const cli::Session& s, int exit) {
                plan::Step step;
                step.name = std::string(o.command->name);
                step.options = o;
                step.words = {std::string(o.command->name)};
                for (const std::string& a : o.args) step.words.push_back(a);
                plan::StepFacts facts;
                facts.exit = exit;
                facts.result = res::OfExit(exit);
                for (const res::ResultRow& row : res::kResults)
                    if (row.word == s.Result()) facts.result = row.result;
                cli::StepRows rows;
                cli::RowsOfStep(s, o, facts, rows);
                plan::StepVerdict v;
                v.outcome = facts.result == res::Result::Ok ? plan::Outcome::Pass : plan::Outcome::Error;
                v.exit = exit;
                listener->StepEnded(i, 0, step, v, facts, rows);
                plan::UnitVerdict u;
                u.outcome = v.outcome;
                u.exit = exit;
                listener->UnitEnded(i, u, {});
            };
        }
        status = cli::RunOnPorts(std::move(rc));
    }
    if (results.writer && !results.writer->EndRun(std::string(res::Word(res::OfExit(status))), status))
        std::fprintf(stderr, "zantu-cli: %s\n", results.writer->Error().c_str());
#else
    status = cli::RunOnPorts(std::move(rc));
#endif
#if ZANTU_HAVE_SIM
    if (sim) {
        sim->Stop();
        if (o.simSaveFlash && !sim->SaveFlash(*o.simSaveFlash)) {
            std::fprintf(stderr, "zantu-cli: cannot save the simulated flash to '%s': %s\n",
                         o.simSaveFlash->c_str(), std::strerror(errno));
            status = cli::WorseExit(status, EX_CANTCREAT);
        }
    }
#endif
    return status;
}
