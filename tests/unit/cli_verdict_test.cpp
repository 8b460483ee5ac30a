// The verdict of a zantu-cli run from the facts it saw: which result wins
// when several apply, and that counts that cannot be vouched for are never
// a success.
#include "cli/Verdict.h"

#include <gtest/gtest.h>

namespace {

using cli::RunFacts;
using res::Result;

struct VerdictCase {
    const char* name;
    RunFacts facts;
    int exit;
    Result result;
    const char* said;  // the message holds this ("" : the message is empty)
};

RunFacts Uncertain(RunFacts f = {}) {
    f.uncertain = true;
    f.uncertainWhy = "an answer came after the last one was in";
    return f;
}

const VerdictCase kCases[] = {
    {"Clean", {}, 0, Result::Ok, ""},
    {"UncertainIsNoSuccess", Uncertain(), 4, Result::Uncertain, "the counts are uncertain: an answer came after"},
    {"UncertainBeforeADeviceError", Uncertain({.deviceErrors = 1}), 4, Result::Uncertain, "uncertain"},
    {"DeviceError", {.deviceErrors = 2}, 1, Result::DeviceError, "reported 2 device errors"},
    {"LinkFailureBeforeUncertain", Uncertain({.linkFailed = true, .linkWhy = "!!! Error ACK Timeout"}), 2,
     Result::LinkFailed, "the link failed: !!! Error ACK Timeout"},
    {"ADispenseGivenUpSaysTheModuleMayHaveIt",
     {.linkFailed = true, .linkWhy = "!!! Error Response Timeout", .dispenseGivenUp = true}, 2, Result::LinkFailed,
     "may have received the command: its counts are unknown"},
    {"StoppedDuringADispense", {.stopped = true, .stopExit = 143, .dispenseGivenUp = true}, 143,
     Result::Interrupted, "its counts are unknown"},
    {"FirstCtrlCIsStopped", {.stopped = true, .stoppedWhole = true, .stopExit = 130}, 130, Result::Stopped,
     "stopped"},
    {"RecordFullBeforeTheLink",
     {.linkFailed = true, .recordWhy = "cannot write the record file r.csv: No space left on device"}, 74,
     Result::IoError, "No space left on device; the run stopped after the exchange under way"},
    {"TimedOut", {.stopped = true, .timedOut = true, .timeoutSec = 5}, 2, Result::TimedOut, "timed out after 5 s"},
    {"PortFailedBeforeTheLink", {.failExit = 3, .failWhy = "cannot open", .linkFailed = true}, 3,
     Result::PortFailed, "cannot open"},
    {"ClosedOutputAfterTheWorkIsNoFailure", {.outputFailed = true, .outputClosed = true}, 0, Result::Ok, ""},
    {"ClosedOutputThatCutTheRunShort", {.outputFailed = true, .outputClosed = true, .cutShort = true}, 74,
     Result::IoError, "the output was closed"},
    {"DownloadThatDidNotEnd", {.download = true, .flashPartial = true, .blocks = 101}, 1, Result::DeviceError,
     "flash holds 101 of 320 blocks"},
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, ExitResultAndMessage) {
    const VerdictCase& c = GetParam();
    const cli::Verdict v = cli::Judge(c.facts);
    EXPECT_EQ(v.exit, c.exit);
    EXPECT_EQ(res::Word(v.result), res::Word(c.result));
    if (*c.said == '\0') {
        EXPECT_EQ(v.message, "");
    } else {
        EXPECT_NE(v.message.find(c.said), std::string::npos) << v.message;
    }
    // The word and the status agree with the one table (a signal's status is its own).
    if (res::ExitOf(v.result) != res::kBySignal) {
        EXPECT_EQ(res::ExitOf(v.result), v.exit);
    }
}

INSTANTIATE_TEST_SUITE_P(, Verdicts, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
