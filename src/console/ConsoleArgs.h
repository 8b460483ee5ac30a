// The window's command line, read the same way by every window back-end:
//
//   zantu-console [--port N=PATH]... [--simulate [--sim-time-scale F]
//                 [--sim-save-flash FILE]] [--list-ports] [--trace FILE]
//                 [--help] [--version]
//
// Options take "--name VALUE" or "--name=VALUE", and a single dash does as
// well as two ("-port 1=COM5").  Reading has no effects of its own: nothing is
// printed, opened or looked up; the caller does what the result says.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace console_args {

enum class Action { Run, Help, Version, ListPorts, Error };

struct Options {
    Action action = Action::Run;
    std::string error;               // Action::Error: one line, without the program's name
    std::vector<std::string> ports;  // --port values (N=PATH, checked), in the order given
    bool simulate = false;
    double simScale = 1.0;
    std::string simSaveFlash;               // --sim-save-flash, with --simulate
    std::optional<std::string> traceFile;   // --trace
    std::string screenshotDir;              // hidden: each page to DIR as PNG, then exit
    bool startupReport = false;             // hidden: start-up time and memory, then exit
    std::optional<std::string> sysRoot;     // hidden: sysfs elsewhere (tests)
    std::optional<std::string> devRoot;     // hidden: /dev elsewhere (tests)
};

// An option the window system takes for itself: accepted and passed over.
struct ForeignOption {
    std::string_view name;  // without dashes
    bool takesValue;
};

// Reads args (the program's name not among them).
Options Parse(std::span<const std::string> args, std::span<const ForeignOption> foreign = {});

// What --help prints.
std::string HelpText();

}  // namespace console_args
