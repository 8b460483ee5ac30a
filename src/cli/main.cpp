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

#include "cli/Platform.h"
#include "cli/SysExits.h"
#include "files/FileIo.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>

#if ZANTU_HAVE_SIM
#include "Embedded.h"
#include "Simulator.h"
#endif

namespace {

// 1 after one Ctrl+C (end after the current exchange), 2 or more to end at once.
std::atomic<int> g_stop{0};

int StopExit() { return cli::platform::StopExit(); }

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) { return cli::platform::Exit(Run(argc, argv)); }

namespace {

int Run(int argc, char** argv) {
    // The arguments in UTF-8 on every platform (file names above all).
    std::vector<std::string> args = cli::platform::Arguments(argc, argv);
    std::vector<char*> words;
    for (std::string& a : args) words.push_back(a.data());
    words.push_back(nullptr);
    const cli::ParseResult parsed = cli::ParseArgs(static_cast<int>(args.size()), words.data());
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
    cli::platform::InstallStopHandlers(g_stop);
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
        const char* what = o.command->cmd == cli::Cmd::Run       ? "run: this build has no test plans"
                           : o.command->cmd == cli::Cmd::Results ? "results: this build has no results database"
                                                                 : "--db: this build has no results database";
        std::fprintf(stderr,
                     "zantu-cli: %s (plans and the results database are not part of it); "
                     "the commands themselves and --record are\n",
                     what);
        return EX_UNAVAILABLE;
    }
#endif
    if (o.command->cmd == cli::Cmd::ListPorts) return cli::RunListPorts(o, DeviceRoots{}, stdout, stderr);
    if (o.command->cmd == cli::Cmd::HexInfo) return cli::RunHexInfo(o, stdout, stderr);

    cli::SessionConfig cfg;
    cfg.options = o;
    cfg.stop = &g_stop;
    cfg.stopExit = StopExit;
    cfg.progress = cli::platform::StderrIsTerminal();

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

    cli::platform::SetStopSignalsBlocked(true);
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
        // Opened without emptying it, made if missing, as the run will write it.
        files::File f = files::File::Open(*o.simSaveFlash, files::kWrite | files::kCreate);
        if (!f) {
            std::fprintf(stderr, "zantu-cli: cannot open the flash file '%s': %s\n", o.simSaveFlash->c_str(),
                         std::strerror(errno));
            return EX_CANTCREAT;
        }
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
        const std::string path = zsim::StartOwnLine(*sim);
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
    rc.onStarted = [] { cli::platform::SetStopSignalsBlocked(false); };

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
        const std::string why = o.simSaveFlash ? zsim::WriteFlashFile(*o.simSaveFlash, sim->Flash()) : std::string();
        if (!why.empty()) {
            std::fprintf(stderr, "zantu-cli: cannot save the simulated flash: %s\n", why.c_str());
            status = cli::WorseExit(status, EX_CANTCREAT);
        }
    }
#endif
    return status;
}

}  // namespace
