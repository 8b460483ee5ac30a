// A qualification plan: the steps a line runs on every unit, each a zantu-cli
// command with its arguments, and the limits on what the step reads.
//
// A plan is a TOML file (toml++ parses it; TOML has comments, integers in
// hexadecimal, and tables per step without indentation rules):
//
//   name = "line-a"
//
//   [[step]]
//   name = "firmware"           # shown in every line and row; unique
//   command = "rom-version"     # any command zantu-cli has but run, list-ports
//   [step.limits]
//   version = "Z120   6000"
//
//   [[step]]
//   name = "batch"
//   command = "dispense"
//   args = [2, 1, 0, 0]         # as on the command line (numbers or strings)
//   repeat = 3                  # --repeat, --wait
//   wait = 1
//   on_fail = "continue"        # "stop" (the default) ends the unit's plan
//   [step.limits]
//   dispensed_equals_requested = true
//   reject_rate_max = 5.0       # percent, each box
//
// The whole file is checked before anything is sent: every field and limit
// known, each limit on a value its command reads, the arguments in the
// command's range (by the command line's own parser), a download's file
// readable.  Relative files are taken from the plan's folder.
#pragma once

#include "cli/CliArgs.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plan {

struct Range {  // inclusive
    long long lo = 0;
    long long hi = 0;
};

// A sensor flag of the STATUS answer, wanted set or clear: one value for a
// flag of the module (or for all four boxes), four for a flag per box.
struct FlagLimit {
    std::string key;         // the answer's field ("rjt", "box")
    std::vector<bool> want;  // 1 or 4 values
};

struct Limits {
    std::optional<std::string> version;      // the firmware version equals this
    std::optional<double> rejectRateMax;     // each box's reject rate at most this percentage
    bool dispensedEqualsRequested = false;   // the batch dispensed what it asked
    std::optional<Range> opacity;            // each box's opacity within
    std::optional<Range> length;             // each box's length within
    std::vector<FlagLimit> sensors;          // flags set or clear
    bool deviceErrorExpected = false;        // the step passes only with a device error
    bool Empty() const {
        return !version && !rejectRateMax && !dispensedEqualsRequested && !opacity && !length &&
               sensors.empty() && !deviceErrorExpected;
    }
};

struct Step {
    std::string name;
    int line = 0;                    // where it stands in the file
    cli::Options options;            // the command, its arguments and options, as parsed
    std::vector<std::string> words;  // the command line it stands for ("dispense 2 1 0 0 --repeat 3")
    bool stopOnFail = true;
    Limits limits;
};

struct Plan {
    std::string path;  // as given
    std::string name;  // the plan's name (else the file's stem)
    std::string hash;  // SHA-256 of the file's bytes, hexadecimal
    std::vector<Step> steps;
};

struct Loaded {
    Plan plan;
    int exit = 0;       // 0, or 64 (the plan is wrong) or 66 (a file cannot be read)
    std::string error;  // "FILE:LINE: what is wrong"
};

// Reads and checks the plan file.
Loaded LoadPlan(const std::string& path);
// The same on the file's text; files the plan names are taken from baseDir.
Loaded ParsePlan(std::string_view text, const std::string& path, const std::string& baseDir);

// The value a limit reads, and the commands that read it.
struct LimitInfo {  // key, commands that read it, what it is
    std::string_view key;
    std::string_view commands;  // space-separated command names; "*" every command with a port
    std::string_view what;
};
const std::vector<LimitInfo>& LimitTable();

}  // namespace plan
