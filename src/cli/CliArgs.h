// The command line of zantu-cli:
//
//   zantu-cli [--port PATH[=ID]|COMn[=ID] [--unit ID] ... | --simulate
//             [--sim-time-scale F]] [--json] [--trace FILE]
//             [--record FILE [--station NAME]] [--timeout S] COMMAND [ARGS]
//
// Each port has its unit (the module's identity in the record): --port
// PATH=ID, or --unit ID after its --port (a --unit before every --port names
// the first port's unit; with --simulate, the simulated module's).  A second
// unit for one port is refused.
//
// Parsed with getopt_long in one pass (options may stand before or after the
// command; "--" ends them, so a value may begin with '-').  Values are checked,
// not coerced: where the window would quietly read a Request of 101 as 0 or a
// Repeat of 0 as 1, the command line refuses the run with a one-line reason
// before anything is sent.  What passes is typed into the window's fields as
// given and read there by the core's own rules.
#pragma once

#include "cli/Commands.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Options {
    // global
    std::vector<std::string> ports;  // as given to --port, in order (one or more)
    bool simulate = false;
    double simTimeScale = 1.0;
    bool simTimeScaleSet = false;
    bool json = false;
    bool shared = false;  // --shared: open a port another program merely has open
    std::optional<std::string> trace;  // --trace: where the wire trace is appended
    std::optional<std::string> record;  // --record: where the run's rows are appended
    std::vector<std::string> units;     // each port's unit, as ports (with --simulate: one); "" for none
    std::optional<std::string> unit;    // the first port's unit (results: the unit to show)
    std::optional<std::string> station; // --station: the station's name in the record (else the host name)
    int timeoutSec = 0;                 // --timeout: the whole run's bound; 0 for none
    std::optional<std::string> simSaveFlash;  // --sim-save-flash: the simulated flash, saved at the end
    bool help = false;
    bool version = false;
    // the command
    const CommandInfo* command = nullptr;
    std::vector<std::string> args;
    std::optional<std::string> repeat;  // --repeat, as typed into the Repeat field
    std::optional<std::string> wait;    // --wait, as typed into the Wait field
    std::optional<std::string> passwordFile;
    std::optional<std::string> dir;
    bool verify = true;  // download verifies unless --no-verify
    bool reset = false;
    bool ignoreChecksums = false;  // download: take a file whose only faults are checksums
    // The results database: a SQLite file or a postgresql:// URL (--db)
    std::optional<std::string> db;
    // results: what to show, and how
    std::optional<std::string> since;     // --since YYYY-MM-DD
    std::optional<std::string> planName;  // --plan NAME
    bool csv = false;
    bool push = false;  // --push: send the runs kept in the station's file to the server
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

// The limits the command line holds values to.
inline constexpr int kMaxCount = 100;     // notes asked of one box
inline constexpr int kMaxRepeat = 2000;   // sends of a batch
inline constexpr int kMaxWaitSec = 600;   // seconds between the sends of a batch
inline constexpr int kMaxTimeoutSec = 7 * 24 * 3600;

// Help texts: the tool's, and one command's.
std::string ToolHelp();
std::string CommandHelp(const CommandInfo& c);
std::string VersionText();

}  // namespace cli
