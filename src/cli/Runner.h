// Runs one command on one or several ports at once: one Session per port, each
// on its own thread with its own host, console and real-time driver (a port's
// console is its own; nothing of one port's run is shared with another's but
// the output streams and the stop request).  The runner waits for all of them,
// bounded by --timeout, and with several ports prints a last summary that
// counts the ports by result.  The exit status is the worst of the ports'.
#pragma once

#include "cli/Session.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// One port of the run: what the session opens and how its lines name it.
struct PortTarget {
    std::string label;     // as given to --port
    PortMap map;
    int com = 1;
    std::string portName;  // what messages call the port
    std::string unit;      // the module's identity in the record ("" for none)
};

struct RunnerConfig {
    Options options;
    std::vector<PortTarget> ports;
    std::string password;
    // The stop request the signal handlers raise; the runner raises it to 2
    // when --timeout passes.
    std::atomic<int>* stop = nullptr;
    std::function<int()> stopExit;
    bool progress = false;  // a progress bar; drawn only for a single port
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    // Runs on the calling thread once every session's thread is started
    // (zantu-cli lets the stopping signals in there).
    std::function<void()> onStarted;
    rec::RecordWriter* record = nullptr;  // --record, opened by the caller
    rec::RunFields recordRun;             // the run's id, station and version, for every row
    // Runs on a port's thread once its session ended, before the session
    // goes (the results database reads its batch there); sessions then keep
    // their batch's record.
    std::function<void(std::size_t port, const Session& session, int exit)> onSessionEnd;
};

// Of two exit statuses, the one that tells more: a signal, then a port that
// did not open (3), a failed link (2), the tool's own refusals (64..78), a
// device error (1), a plan's unit that missed a limit (5), success (0).
int WorseExit(int a, int b);

// Runs the command on every port; returns the exit status.
int RunOnPorts(RunnerConfig cfg);

}  // namespace cli
