// What zantu-cli does differently on each platform: how it is stopped, how
// it learns whether standard error is a terminal, how its arguments arrive,
// and the words its help uses for ports.  Platform_posix.cpp and
// Platform_win.cpp hold the two; the tool's logic stays in shared files.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace cli::platform {

// The stopping events counted into stop: Ctrl+C adds one (1: end after the
// exchange under way, 2: at once); the others set 2.  On POSIX those are
// SIGTERM and SIGHUP; on Windows closing the console window, Ctrl+Break,
// log-off and shut-down.  A closed pipe shows as a failed write.
void InstallStopHandlers(std::atomic<int>& stop);
// The exit status of a stopped run: 128 + the first stopping signal, so 130
// for Ctrl+C and 143 for SIGTERM; on Windows the same numbers (130 for
// Ctrl+C, 143 for the events that end at once).
int StopExit();
// Where the stopping signals are taken: blocked while threads start, so only
// the main thread takes them (nothing to do on Windows).
void SetStopSignalsBlocked(bool blocked);
// Called with the exit status as main returns: a Windows console window that
// is being closed waits for it, so the port is closed and the files are
// whole before the process ends.
int Exit(int status);

bool StderrIsTerminal();
// The arguments in UTF-8 (on Windows from the wide command line, whatever the
// code page), argv[0] first.
std::vector<std::string> Arguments(int argc, char** argv);

// Help text: the --port option's lines, what a COM number stands for, how
// the run is stopped and where the simulated module runs.
extern const std::string_view kPortHelp;
extern const std::string_view kComMeaning;
extern const std::string_view kStopHelp;
extern const std::string_view kSimulateHelp;

}  // namespace cli::platform
