// The verdict of a zantu-cli run: its exit status, result word and message,
// a pure function of what the run saw.  The session gathers the facts from
// the console's events; nothing here reads a port or a clock.
#pragma once

#include "records/RunResult.h"

#include <chrono>
#include <string>

namespace cli {

// After the last answer of a dispense-type run (dispense, test-dispense,
// zigzag, purge) the counts are reported as certain only once the line has
// been quiet this long: a late or repeated answer would come within it.
inline constexpr std::chrono::milliseconds kQuietGuard{2000};
// A line that is not quiet within this long leaves the counts uncertain.
inline constexpr std::chrono::milliseconds kQuietGuardMax{10000};

struct RunFacts {
    // A stop: Ctrl+C or a signal (stopExit: 128 + it), or --timeout.
    bool stopped = false;
    bool timedOut = false;
    // The stop was the first Ctrl+C: the run ended after the exchange under
    // way, as the window's STOP ends a batch (a second one or another signal
    // ends it at once).
    bool stoppedWhole = false;
    int stopExit = 130;
    int timeoutSec = 0;
    // A failure of the run's own before or around the command (port, usage,
    // file, software): its exit status and message; 0: none.
    int failExit = 0;
    std::string failWhy;
    // The link gave up (no ACK, no answer, port lost); why in words.
    bool linkFailed = false;
    std::string linkWhy;
    std::string lostPath;  // the device that went away
    // The link gave up on a dispense-type command: the module may have taken it.
    bool dispenseGivenUp = false;
    std::string traceWhy;  // the trace file could not take a line
    // The --record file could not take a row whole: the run stopped after
    // the exchange under way.
    std::string recordWhy;
    bool outputFailed = false;
    bool outputClosed = false;  // the reader went away (EPIPE)
    std::string outputWhy;      // otherwise, why writing failed
    bool cutShort = false;      // a stop (or the output's end) left work undone
    int deviceErrors = 0;
    // The counts of a dispense-type run cannot be vouched for; why in words.
    bool uncertain = false;
    std::string uncertainWhy;
    // A download: whether it ended, and the blocks the flash holds when it did not.
    bool download = false;
    bool downloadDone = false;
    bool flashPartial = false;
    int blocks = 0;
};

struct Verdict {
    int exit = 0;
    res::Result result = res::Result::Ok;
    std::string message;  // empty for a good run
};

// First a stop, then the port, the record, the link, the run's own failures, the trace
// and the output, an uncertain count and last a device error.
Verdict Judge(const RunFacts& f);

// "the module's flash holds N of 320 blocks"
std::string FlashHolds(int blocks);

// Said of every dispense-type command the link gave up on.
inline constexpr const char* kMayHaveTaken =
    "the module may have received the command: its counts are unknown (check LAST STAT)";

}  // namespace cli
