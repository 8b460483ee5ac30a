#include "cli/Verdict.h"

#include "console/ConsoleDlg.h"

namespace cli {

namespace {

using res::Result;

Verdict Of(int exit, std::string message) {
    return Verdict{exit, res::OfExit(exit), std::move(message)};
}

}  // namespace

std::string FlashHolds(int blocks) {
    return "the module's flash holds " + std::to_string(blocks) + " of " + std::to_string(kBlockCount) +
           " blocks";
}

Verdict Judge(const RunFacts& f) {
    if (f.stopped) {
        std::string message = f.timedOut ? "timed out after " + std::to_string(f.timeoutSec) + " s" : "stopped";
        if (f.flashPartial) message += " during the download: " + FlashHolds(f.blocks);
        if (f.dispenseGivenUp) message += std::string("; ") + kMayHaveTaken;
        if (f.timedOut) return Verdict{res::ExitOf(Result::TimedOut), Result::TimedOut, message};
        return Verdict{f.stopExit, f.stoppedWhole ? Result::Stopped : Result::Interrupted, message};
    }
    if (f.failExit == res::ExitOf(Result::PortFailed)) return Of(f.failExit, f.failWhy);
    // The record is the point of the run: a row it could not take stopped it.
    if (!f.recordWhy.empty())
        return Of(res::ExitOf(Result::IoError), f.recordWhy + "; the run stopped after the exchange under way");
    if (f.linkFailed) {
        std::string message = "the link failed: " + f.linkWhy;
        if (!f.lostPath.empty()) message += ": " + f.lostPath + " went away";
        if (f.flashPartial) message += "; " + FlashHolds(f.blocks);
        if (f.dispenseGivenUp) message += std::string("; ") + kMayHaveTaken;
        return Of(res::ExitOf(Result::LinkFailed), message);
    }
    if (f.failExit != 0) return Of(f.failExit, f.failWhy);
    if (!f.traceWhy.empty()) return Of(res::ExitOf(Result::IoError), f.traceWhy);
    // A reader that went away after the lines it wanted is no failure of a
    // run whose work was done; one that cut the run short is.
    if (f.outputFailed && (f.cutShort || !f.outputClosed))
        return Of(res::ExitOf(Result::IoError),
                  f.outputClosed ? "the output was closed: the run stopped before its end"
                                 : "writing the output failed: " + f.outputWhy);
    if (f.uncertain) return Of(res::ExitOf(Result::Uncertain), "the counts are uncertain: " + f.uncertainWhy);
    if (f.deviceErrors > 0) {
        std::string message = f.deviceErrors == 1 ? "the module reported a device error"
                                                  : "the module reported " + std::to_string(f.deviceErrors) +
                                                        " device errors";
        if (f.flashPartial) message += "; " + FlashHolds(f.blocks);
        return Of(res::ExitOf(Result::DeviceError), message);
    }
    if (f.download && !f.downloadDone) {
        std::string message = "the download did not complete";
        if (f.flashPartial) message += ": " + FlashHolds(f.blocks);
        return Of(res::ExitOf(Result::DeviceError), message);
    }
    return {};
}

}  // namespace cli
