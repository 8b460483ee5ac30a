// zantu-cli run PLAN: the plan's steps on every port, each port its own unit,
// the ports in parallel (one thread each, as a command on several ports).
// Each step is one session of its command on the unit's port; its verdict
// comes from what the session heard and the step's limits (cli/PlanVerdict.h).
//
// Output: a line per step as it ends, then a table of units (unit, verdict,
// the first step that did not pass and why); with --json a "step" object per
// step, a "unit" object per unit and a last "plan" object.  Exit status: 0
// when every unit passed, 5 (limit_failed) when a unit missed a limit and none
// had an error, else the worst of the units' errors (as a command's).
#pragma once

#include "cli/Plan.h"
#include "cli/PlanVerdict.h"
#include "cli/Runner.h"
#include "results/ResultsWriter.h"

#include <optional>

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The rows a step's session kept for the results database.
struct StepRows {
    std::int64_t startMs = 0, endMs = 0;
    std::vector<db::AnswerRow> answers;
    std::optional<db::DownloadRow> download;
};

// Hears a plan's run as it goes, for the results database.  Called from the
// units' threads, one unit's calls in order; an implementation locks itself.
class PlanListener {
public:
    virtual ~PlanListener() = default;
    virtual void UnitStarted(std::size_t unit, const std::string& id, const std::string& port) = 0;
    virtual void StepEnded(std::size_t unit, std::size_t index, const plan::Step& step,
                           const plan::StepVerdict& verdict, const plan::StepFacts& facts,
                           const StepRows& rows) = 0;
    virtual void UnitEnded(std::size_t unit, const plan::UnitVerdict& verdict, const std::string& firmware) = 0;
};

struct PlanRunConfig {
    plan::Plan plan;
    RunnerConfig runner;             // the ports, stop request, outputs and global options
    std::vector<std::string> units;  // each port's unit, as runner.ports ("" names it by its port)
    PlanListener* listener = nullptr;
};

int RunPlan(PlanRunConfig cfg);

}  // namespace cli
