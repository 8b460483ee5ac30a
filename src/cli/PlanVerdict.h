// The verdict of a plan's step and of a unit: pure functions of what the
// step's run told (its result and the fields its answers carried) and of the
// step's limits.  Nothing here reads a port or a clock.
#pragma once

#include "cli/Plan.h"
#include "cli/Report.h"
#include "records/RunResult.h"

#include <string>
#include <string_view>
#include <vector>

namespace plan {

enum class Outcome : std::uint8_t { Pass, Fail, Error, NotRun };

// "pass", "fail", "error", "not_run"
std::string_view OutcomeWord(Outcome o);

// What one step's run told.
struct StepFacts {
    res::Result result = res::Result::Ok;  // the run's verdict
    int exit = 0;                          // its exit status
    std::string message;                   // why, when not ok
    // The last awaited answer's fields, then the run's summary fields (a
    // batch's sums and totals); a later field of one name wins.
    std::vector<cli::Field> fields;
};

// One value a limit was held to.
struct Measure {
    std::string name;   // "reject_rate[2]", "version"
    std::string value;  // as read ("12.5", "Z120   6000")
    std::string limit;  // as given ("<= 5", "[112, 128]")
    bool pass = false;
};

struct StepVerdict {
    Outcome outcome = Outcome::Pass;
    int exit = 0;     // 0 pass; the limit status for a fail; the run's for an error
    std::string why;  // the first failing limit, or the error, in words
    std::vector<Measure> measures;
};

// A device error, a failed link, uncertain counts, any result but ok are an
// error (unless the step expects a device error and got one): never a pass.
// An ok run passes when every limit holds.
StepVerdict JudgeStep(const StepFacts& facts, const Limits& limits);

struct StepRecord {  // a step as it ended, for the unit's verdict and the output
    std::string name;
    StepVerdict verdict;
};

struct UnitVerdict {
    Outcome outcome = Outcome::Pass;  // Pass only when every step of the plan passed
    int exit = 0;
    std::string failedStep;  // the first step that did not pass
    std::string why;
};

// steps: those run, in order; planSteps: how many the plan has (fewer run: not a pass).
UnitVerdict JudgeUnit(const std::vector<StepRecord>& steps, std::size_t planSteps);

}  // namespace plan
