// The command line of zantu-cli:
//
//   zantu-cli [--port PATH|COMn | --simulate [--sim-time-scale F]] [--json] [--trace FILE]
//             COMMAND [ARGS]
//
// Parsed with getopt_long in one pass (options may stand before or after the
// command; "--" ends them, so a value may begin with '-').  The parse only
// checks what the window's own fields would refuse: a digits-only field takes
// digits only, a box radio is 1..4.  Everything the window accepts is passed
// on as typed and read by the core's rules (a Request of 101 is sent as 0, as
// in the window).
#pragma once

#include "cli/Commands.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Options {
    // global
    std::string port;  // as given to --port
    bool simulate = false;
    double simTimeScale = 1.0;
    bool simTimeScaleSet = false;
    bool json = false;
    bool shared = false;  // --shared: open a port another program merely has open
    std::optional<std::string> trace;  // --trace: where the wire trace is appended
    bool help = false;
    bool version = false;
    // the command
    const CommandInfo* command = nullptr;
    std::vector<std::string> args;
    std::optional<std::string> repeat;  // --repeat, as typed into the Repeat field
    std::optional<std::string> wait;    // --wait, as typed into the Wait field
    std::optional<std::string> passwordFile;
    std::optional<std::string> dir;
    bool verify = false;
    bool reset = false;
};

struct ParseResult {
    Options options;
    std::string error;  // not empty: a usage error, in words
};

// Parses argv[1..argc-1].  Uses getopt_long (its global state is reset first);
// argv may be permuted.
ParseResult ParseArgs(int argc, char** argv);
// The same on a list of words (the program name first), for tests.
ParseResult ParseArgs(const std::vector<std::string>& words);

// What --port names: a COM number 1..10 ("COM3", "com3" or "3") or a path.
struct PortSpec {
    int com = 0;       // 1..10, or 0 for a path
    std::string path;  // the device path for a path; empty for a COM number
};
// Nothing when the text is empty or a COM number outside 1..10.
std::optional<PortSpec> ResolvePort(std::string_view text);

// Help texts: the tool's, and one command's.
std::string ToolHelp();
std::string CommandHelp(const CommandInfo& c);
std::string VersionText();

}  // namespace cli
