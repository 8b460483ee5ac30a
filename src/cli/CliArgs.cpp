#include "cli/CliArgs.h"
#include "cli/Platform.h"
#include "cli/Verdict.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#ifndef ZANTU_VERSION
#define ZANTU_VERSION "1.2"
#endif

namespace cli {

namespace {

enum LongOpt : int {
    kPort = 0x100,
    kSimulate,
    kSimTimeScale,
    kJson,
    kTrace,
    kHelp,
    kVersion,
    kRepeat,
    kWait,
    kPasswordFile,
    kDir,
    kVerify,
    kNoVerify,
    kReset,
    kShared,
    kIgnoreChecksums,
    kRecord,
    kUnit,
    kStation,
    kTimeout,
    kSimSaveFlash,
    kDb,
    kSince,
    kPlan,
    kCsv,
    kPush,
};

constexpr option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"simulate", no_argument, nullptr, kSimulate},
    {"sim-time-scale", required_argument, nullptr, kSimTimeScale},
    {"json", no_argument, nullptr, kJson},
    {"trace", required_argument, nullptr, kTrace},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"repeat", required_argument, nullptr, kRepeat},
    {"wait", required_argument, nullptr, kWait},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"dir", required_argument, nullptr, kDir},
    {"verify", no_argument, nullptr, kVerify},
    {"no-verify", no_argument, nullptr, kNoVerify},
    {"reset", no_argument, nullptr, kReset},
    {"shared", no_argument, nullptr, kShared},
    {"ignore-checksums", no_argument, nullptr, kIgnoreChecksums},
    {"record", required_argument, nullptr, kRecord},
    {"unit", required_argument, nullptr, kUnit},
    {"station", required_argument, nullptr, kStation},
    {"timeout", required_argument, nullptr, kTimeout},
    {"sim-save-flash", required_argument, nullptr, kSimSaveFlash},
    {"db", required_argument, nullptr, kDb},
    {"since", required_argument, nullptr, kSince},
    {"plan", required_argument, nullptr, kPlan},
    {"csv", no_argument, nullptr, kCsv},
    {"push", no_argument, nullptr, kPush},
    {nullptr, 0, nullptr, 0},
};

constexpr double kMaxTimeScale = 100.0;

// The window's digits-only edits take nothing but the digits 0..9.
bool DigitsOnly(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A whole number of at most a few digits in lo..hi; nothing otherwise (an
// empty text, a sign, a letter, a number too large for any field).
std::optional<int> InRange(std::string_view s, int lo, int hi) {
    if (s.empty() || s.size() > 9 || !DigitsOnly(s)) return std::nullopt;
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
    return v;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

const char* BoxOrdinal(std::size_t i) {
    static constexpr const char* kNames[4] = {"1", "2", "3", "4"};
    return kNames[i < 4 ? i : 0];
}

std::string CheckArgs(const Options& o) {
    const CommandInfo& c = *o.command;
    const std::string name(c.name);
    std::size_t want = 0, wantMax = 0;
    switch (c.args) {
    case ArgKind::None: break;
    case ArgKind::Counts:
    case ArgKind::Order:
    case ArgKind::Texts: want = wantMax = 4; break;
    case ArgKind::Box:
    case ArgKind::File: want = wantMax = 1; break;
    case ArgKind::BoxOpt: wantMax = 1; break;
    }
    if (o.args.size() < want || o.args.size() > wantMax) {
        if (wantMax == 0) return name + " takes no arguments";
        return "usage: zantu-cli " + std::string(c.synopsis);
    }
    switch (c.args) {
    case ArgKind::Counts:
        for (std::size_t i = 0; i < 4; ++i)
            if (!InRange(o.args[i], 0, kMaxCount))
                return name + ": '" + o.args[i] + "' for box " + BoxOrdinal(i) + ": give a count from 0 to " +
                       std::to_string(kMaxCount);
        break;
    case ArgKind::Order: {
        std::array<bool, 4> seen{};
        for (std::size_t i = 0; i < 4; ++i) {
            const auto v = InRange(o.args[i], 1, 4);
            if (!v || seen[static_cast<std::size_t>(*v - 1)])
                return name + ": '" + o.args[0] + " " + o.args[1] + " " + o.args[2] + " " + o.args[3] +
                       "' is not an order: give 1, 2, 3 and 4, each once";
            seen[static_cast<std::size_t>(*v - 1)] = true;
        }
        break;
    }
    case ArgKind::Texts:
        for (std::size_t i = 0; i < 4; ++i) {
            const std::string& a = o.args[i];
            if (a.size() != 2 || !IsHexDigit(a[0]) || !IsHexDigit(a[1]))
                return name + ": '" + a + "' for box " + BoxOrdinal(i) +
                       ": give two hexadecimal digits (00 to FF)";
        }
        break;
    case ArgKind::Box:
    case ArgKind::BoxOpt:
        if (!o.args.empty() && !(o.args[0].size() == 1 && o.args[0][0] >= '1' && o.args[0][0] <= '4'))
            return name + ": BOX is 1, 2, 3 or 4, not '" + o.args[0] + "'";
        break;
    case ArgKind::File:
        if (o.args[0].empty()) return name + ": the file name is empty";
        break;
    default: break;
    }
    return {};
}

}  // namespace

std::optional<PortSpec> ResolvePort(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string_view num = text;
    const bool prefixed = text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
                          (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
    if (prefixed) num = text.substr(3);
    if (!num.empty() && num.size() <= 3 && DigitsOnly(num)) {
        const int n = std::atoi(std::string(num).c_str());
        if (n < 1 || n > 10) return std::nullopt;
        return PortSpec{n, {}};
    }
    return PortSpec{0, std::string(text)};
}

ParseResult ParseArgs(int argc, char** argv) {
    ParseResult r;
    Options& o = r.options;
    std::vector<std::string> given;  // command options seen, for the check below
    std::vector<std::string> earlyUnits;  // --unit before every --port
    bool anyUnit = false;
    auto fail = [&](std::string msg) {
        if (r.error.empty()) r.error = std::move(msg);
    };

    optind = 0;  // full re-initialisation of getopt's state
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":h", kLongOptions, nullptr);
        if (c == -1) break;
        const char* a = optarg;
        switch (c) {
        case kPort: {
            // PATH=ID names the port's unit; the last '=' splits them.
            std::string path = a, unit;
            if (const std::size_t eq = path.rfind('='); eq != std::string::npos) {
                unit = path.substr(eq + 1);
                path.resize(eq);
                anyUnit = true;
                if (unit.empty()) fail(std::string("--port '") + a + "': the unit after '=' is empty");
            }
            if (!ResolvePort(path)) fail("--port '" + path + "': give a device path or COM1..COM10");
            o.ports.push_back(std::move(path));
            o.units.push_back(std::move(unit));
            break;
        }
        case kSimulate: o.simulate = true; break;
        case kSimTimeScale: {
            errno = 0;
            char* end = nullptr;
            const double v = std::strtod(a, &end);
            if (errno != 0 || end == a || *end != '\0' || !(v >= 0.0) || v > kMaxTimeScale)
                fail(std::string("--sim-time-scale '") + a + "': give a number from 0 to 100");
            else
                o.simTimeScale = v;
            o.simTimeScaleSet = true;
            break;
        }
        case kJson: o.json = true; break;
        case kShared: o.shared = true; break;
        case kTrace:
            if (*a == '\0') fail("--trace needs a file name");
            o.trace = a;
            break;
        case kRecord:
            if (*a == '\0') fail("--record needs a file name");
            o.record = a;
            break;
        case kUnit:
            anyUnit = true;
            if (*a == '\0') fail("--unit needs a name");
            if (o.ports.empty())
                earlyUnits.emplace_back(a);
            else if (!o.units.back().empty())
                fail("--unit '" + std::string(a) + "': the port " + o.ports.back() + " has its unit already ('" +
                     o.units.back() + "'); give each --port its own --unit");
            else
                o.units.back() = a;
            break;
        case kStation:
            if (*a == '\0') fail("--station needs a name");
            o.station = a;
            break;
        case kTimeout:
            if (const auto v = InRange(a, 1, kMaxTimeoutSec))
                o.timeoutSec = *v;
            else
                fail(std::string("--timeout '") + a + "': give whole seconds from 1 to " +
                     std::to_string(kMaxTimeoutSec));
            break;
        case kSimSaveFlash:
            if (*a == '\0') fail("--sim-save-flash needs a file name");
            o.simSaveFlash = a;
            break;
        case kDb:
            if (*a == '\0') fail("--db needs a file name or a postgresql:// URL");
            o.db = a;
            break;
        case kSince:
            if (std::strlen(a) != 10 || a[4] != '-' || a[7] != '-' || !DigitsOnly(std::string_view(a, 4)) ||
                !DigitsOnly(std::string_view(a + 5, 2)) || !DigitsOnly(std::string_view(a + 8, 2)))
                fail(std::string("--since '") + a + "': give a date YYYY-MM-DD");
            o.since = a;
            given.push_back("--since");
            break;
        case kPlan:
            o.planName = a;
            given.push_back("--plan");
            break;
        case kCsv:
            o.csv = true;
            given.push_back("--csv");
            break;
        case kPush:
            o.push = true;
            given.push_back("--push");
            break;
        case 'h':
        case kHelp: o.help = true; break;
        case kVersion: o.version = true; break;
        case kRepeat:
            o.repeat = a;
            given.push_back("--repeat");
            break;
        case kWait:
            o.wait = a;
            given.push_back("--wait");
            break;
        case kPasswordFile:
            o.passwordFile = a;
            given.push_back("--password-file");
            break;
        case kDir:
            o.dir = a;
            given.push_back("--dir");
            break;
        case kVerify:
            given.push_back("--verify");
            break;
        case kNoVerify:
            o.verify = false;
            given.push_back("--no-verify");
            break;
        case kReset:
            o.reset = true;
            given.push_back("--reset");
            break;
        case kIgnoreChecksums:
            o.ignoreChecksums = true;
            given.push_back("--ignore-checksums");
            break;
        case ':': fail(std::string(argv[optind - 1]) + " needs a value"); break;
        case '?':
        default: {
            const char* bad = argv[optind - 1];
            if (optopt != 0 && bad && bad[0] == '-' && bad[1] != '-')
                fail(std::string("unknown option -") + static_cast<char>(optopt) +
                     " (a value that begins with '-' goes after --)");
            else
                fail(std::string("unknown option ") + (bad ? bad : "?"));
            break;
        }
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!o.command && r.error.empty() && i == optind) {
            o.command = FindCommand(argv[i]);
            if (!o.command) fail(std::string("unknown command '") + argv[i] + "'");
            continue;
        }
        o.args.emplace_back(argv[i]);
    }
    if (!r.error.empty() || o.help || o.version) return r;
    if (!o.command) {
        fail("no command given");
        return r;
    }
    const CommandInfo& c = *o.command;
    for (const auto& g : given) {
        const bool ok = (g == "--repeat" || g == "--wait")                ? (c.options & kOptBatch)
                        : (g == "--password-file" || g == "--dir")        ? (c.options & kOptLog)
                        : (g == "--since" || g == "--plan" || g == "--csv" || g == "--push")
                            ? (c.options & kOptResults)
                            : (c.options & kOptDownload);
        if (!ok) {
            fail(std::string(c.name) + " takes no " + g);
            return r;
        }
    }
    if (o.repeat && !InRange(*o.repeat, 1, kMaxRepeat))
        fail("--repeat '" + *o.repeat + "': give a number of sends from 1 to " + std::to_string(kMaxRepeat));
    if (o.wait && !InRange(*o.wait, 1, kMaxWaitSec))
        fail("--wait '" + *o.wait + "': give seconds from 1 to " + std::to_string(kMaxWaitSec));
    const bool saidVerify = std::find(given.begin(), given.end(), "--verify") != given.end();
    if (saidVerify && !o.verify) fail("--verify and --no-verify exclude each other");
    if (o.simTimeScaleSet && !o.simulate) fail("--sim-time-scale goes with --simulate");
    if (o.simSaveFlash && !o.simulate) fail("--sim-save-flash goes with --simulate");
    // A --unit before every --port is the first port's (the simulated module's).
    if (o.units.empty()) o.units.emplace_back();
    for (const std::string& u : earlyUnits) {
        if (!o.units.front().empty())
            fail("--unit '" + u + "': the port " + (o.ports.empty() ? std::string("of --simulate") : o.ports.front()) +
                 " has its unit already ('" + o.units.front() + "'); give each --port its own --unit");
        else
            o.units.front() = u;
    }
    if (!o.units.front().empty()) o.unit = o.units.front();
    if (anyUnit && !o.record && c.cmd != Cmd::Run && c.cmd != Cmd::Results) fail("--unit goes with --record");
    if (o.csv && o.json) fail("--csv and --json exclude each other");
    if (o.db && c.cmd != Cmd::Results && TakesNoPort(c.cmd)) fail(std::string(c.name) + " takes no --db");
    if (o.station && !o.record) fail("--station goes with --record");
    if (c.cmd == Cmd::Results) {
        if (o.simulate || !o.ports.empty()) fail("results takes no --port or --simulate");
    } else if (TakesNoPort(c.cmd)) {
        if (o.simulate || !o.ports.empty()) fail(std::string(c.name) + " takes no --port or --simulate");
        if (o.shared) fail(std::string(c.name) + " takes no --shared: it opens no port");
        if (o.trace) fail(std::string(c.name) + " takes no --trace: it opens no port");
        if (o.record) fail(std::string(c.name) + " takes no --record: it opens no port");
        if (o.timeoutSec > 0) fail(std::string(c.name) + " takes no --timeout: it opens no port");
    } else if (o.simulate && !o.ports.empty()) {
        fail("--port and --simulate exclude each other");
    } else if (o.shared && o.ports.empty()) {
        fail("--shared goes with --port");
    } else if (!o.simulate && o.ports.empty()) {
        fail("no port: give --port PATH|COMn, or --simulate");
    } else {
        if (o.trace && o.ports.size() > 1)
            fail("--trace goes with one port: the ports' lines could not be told apart");
        for (std::size_t i = 0; i < o.ports.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (o.ports[i] == o.ports[j]) fail("--port '" + o.ports[i] + "' is given twice");
    }
    if (r.error.empty()) fail(CheckArgs(o));
    return r;
}

ParseResult ParseArgs(const std::vector<std::string>& words) {
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    argv.reserve(copy.size() + 1);
    for (auto& w : copy) argv.push_back(w.data());
    argv.push_back(nullptr);
    return ParseArgs(static_cast<int>(copy.size()), argv.data());
}

std::string VersionText() { return std::string("zantu-cli ") + ZANTU_VERSION + "\n"; }

namespace {

constexpr std::string_view kExitStatus =
    "Exit status (with several ports, the worst of them):\n"
    "  0    every answer came without a device error (after dispense,\n"
    "       test-dispense, zigzag and purge: and the line then stayed quiet 2 s)\n"
    "  1    the module reported a device error, or the download did not end\n"
    "  2    the link failed (no ACK, no answer, the port went away), or\n"
    "       --timeout passed; a dispense given up on may have reached the module\n"
    "  3    the port could not be opened\n"
    "  4    uncertain counts: an answer came that no send waited for (also in\n"
    "       the 2 s of quiet line after the last), or a batch stopped early\n"
    "  5    run: a unit missed a limit of the plan (and none had an error)\n"
    "  64   usage error: an unknown option or a value out of range\n"
    "  65   the HEX file was refused        66   a file could not be read\n"
    "  69   the results server of --db could not be reached (nothing was sent)\n"
    "  73   the log, trace or record file could not be created\n"
    "  74   an output could not be written  77   wrong service password\n"
    "  129  hung up (SIGHUP)                130  interrupted (Ctrl+C)\n"
    "  143  terminated (SIGTERM)\n";

// A synopsis and its summary: the summary at column 30, or on the next line.
std::string CommandLine(const CommandInfo& c) {
    constexpr std::size_t kColumn = 30;
    std::string line = "  " + std::string(c.synopsis);
    if (line.size() + 2 <= kColumn)
        line.resize(kColumn, ' ');
    else
        line += "\n" + std::string(kColumn, ' ');
    return line + std::string(c.summary) + "\n";
}

}  // namespace

std::string ToolHelp() {
    std::string h =
        "Usage: zantu-cli [--port PATH|COMn [--unit ID]]... [--shared] [--json]\n"
        "                 [--trace FILE] [--record FILE [--station NAME]] [--timeout S]\n"
        "                 COMMAND [ARGS]\n"
        "       zantu-cli --simulate [--sim-time-scale F] [--sim-save-flash FILE] ...\n"
        "       zantu-cli [--port PATH|COMn]... run PLAN\n"
        "       zantu-cli list-ports | hex-info FILE\n"
        "Runs the commands of the ZANTU-100 service console from the command line, on\n"
        "the same core as the console window: the same frames, resends, time-outs and\n"
        "decoding.\n"
        "\n"
        "Options:\n";
    h += platform::kPortHelp;
    h +=
        "                      given several times, the command runs on every port at\n"
        "                      once and each line names its port\n"
        "  --shared            open a port another program has open when it holds no\n"
        "                      lock file, flock or exclusive flag on it (socat's pair)\n"
        ;
    h += platform::kSimulateHelp;
    h +=
        "  --sim-time-scale F  with --simulate: multiply the simulated line and module\n"
        "                      times by F (default 1; 0 answers at once)\n"
        "  --sim-save-flash FILE  with --simulate: save the simulated module's flash\n"
        "                      (40960 bytes) to FILE at the end\n"
        "  --json              one JSON object per answer on standard output, then a\n"
        "                      summary\n"
        "  --trace FILE        append the wire trace (every byte on the line with its\n"
        "                      meaning) to FILE\n"
        "  --record FILE       append the run to FILE: a row per answer and a summary\n"
        "                      row; CSV, or JSON lines when FILE ends in .jsonl\n"
        "  --unit ID           with --record: the unit on the --port before it, for its\n"
        "                      rows (or --port PATH=ID); one unit a port\n"
        "  --station NAME      with --record: the station in every row (default: the\n"
        "                      host name)\n"
        "  --db FILE|URL       the results database: a SQLite file (default\n"
        "                      ~/.local/share/zantu/results.db) or postgresql://...;\n"
        "                      run always writes there, a command with --record too\n"
        "  --timeout S         end the whole run after S seconds at the latest, as a\n"
        "                      second Ctrl+C does, with exit status 2\n"
        "  -h, --help          this text; COMMAND --help shows the command's\n"
        "  --version           the version\n"
        "Values are checked before anything is sent: counts 0..100, --repeat 1..2000,\n"
        "--wait 1..600, settings two hexadecimal digits, an order 1 2 3 4 in any order,\n"
        "a box 1..4; anything else ends the run with exit status 64.\n"
        "\n"
        "Commands:\n";
    for (const CommandInfo& c : kCommands) h += CommandLine(c);
    h += "\n";
    h += kExitStatus;
    h += platform::kStopHelp;
    return h;
}

static_assert(kQuietGuard == std::chrono::seconds(2), "the help texts say 2 s");

std::string CommandHelp(const CommandInfo& c) {
    std::string h = "Usage: zantu-cli";
    if (!TakesNoPort(c.cmd)) h += " [--port PATH|COMn]... [OPTIONS]";
    h += (h.size() + 1 + c.synopsis.size() > 80 ? "\n       " : " ") + std::string(c.synopsis) + "\n" +
         std::string(c.summary) + ".\n\n";
    switch (c.args) {
    case ArgKind::Counts:
        h += "B1..B4 are the notes asked of boxes 1 to 4, each from 0 to 100; anything else\n"
             "is refused (exit 64) and nothing is sent.\n";
        break;
    case ArgKind::Order:
        h += "A B C D are the box order: 1, 2, 3 and 4, each once; anything else is refused\n"
             "(exit 64) and nothing is sent.\n";
        break;
    case ArgKind::Texts:
        h += "V1..V4 are two hexadecimal digits each (00 to FF, 7A or 7a); anything else is\n"
             "refused (exit 64) and nothing is sent.\n";
        break;
    case ArgKind::Box: h += "BOX is 1, 2, 3 or 4: the box radio the command reads.\n"; break;
    case ArgKind::BoxOpt:
        h += "BOX is 1, 2, 3 or 4; without BOX no box is chosen and the frame carries none.\n";
        break;
    case ArgKind::File:
        if (c.cmd == Cmd::HexInfo)
            h += "FILE is an Intel HEX file of the 40960-byte image. Every record is checked\n"
                 "(digits, count, checksum) and the image's identity is printed: the file,\n"
                 "records and data bytes read, the 16-bit image sum that Verify sends and a\n"
                 "CRC-32 of the 40960 bytes. No port is opened.\n"
                 "Exit status 0, 65 for a file with bad records, 66 for one that cannot be\n"
                 "read.\n";
        else if (c.cmd == Cmd::Run)
            h += "PLAN is a TOML file of steps: each a command with its arguments and limits on\n"
                 "what it reads (see the manual page). The whole plan is checked before\n"
                 "anything is sent (exit 64, or 66 for a file that cannot be read, naming the\n"
                 "line). Each --port is a unit; the units run in parallel. A line per step as\n"
                 "it ends (pass, fail with value and limit, or error), then a table of units.\n";
        else
            h += "FILE is an Intel HEX file of the 40960-byte image. Every record is checked\n"
                 "before anything is sent and the image's identity is printed (as hex-info\n"
                 "prints it); then Go Loader, the 320 blocks with a progress bar on a\n"
                 "terminal, Verify by the image sum, and Reset when asked.\n";
        break;
    case ArgKind::None:
        if (c.cmd == Cmd::Results)
            h += "The runs and verdicts of a unit (--unit), the yield (units passed / units\n"
                 "run) per day and plan, and the reject rate per box and per reason, from the\n"
                 "results database (--db, else the station's file); --since YYYY-MM-DD and\n"
                 "--plan NAME narrow them; --json or --csv for a program. --push sends the\n"
                 "runs the station's file kept while the server of --db was away.\n";
        break;
    }
    if (c.cmd == Cmd::Dispense || c.cmd == Cmd::TestDispense || c.cmd == Cmd::Zigzag || c.cmd == Cmd::Purge)
        h += "After the last answer the line must stay quiet for 2 s before the counts are\n"
             "reported as certain; an answer within it makes them uncertain (exit 4).\n";
    if (c.options & kOptBatch)
        h += "\nOptions:\n"
             "  --repeat N   sends of the batch, 1 to 2000 (default 1)\n"
             "  --wait S     seconds from one answer to the next send, 1 to 600 (default 2)\n"
             "Every answer is printed as it comes, then the batch's totals.\n";
    if (c.options & kOptLog)
        h += "\nOptions:\n"
             "  --password-file F  read the service password from the first line of F\n"
             "                     (- for standard input); without it the password is\n"
             "                     asked on the terminal without echo. It is never taken\n"
             "                     on the command line.\n"
             "  --dir DIR          create the log file (YYMMDD_HHMMSS.txt) in DIR instead\n"
             "                     of the current directory\n"
             "Every log frame the module sends is appended; the command ends 1 s after the\n"
             "last.\n";
    if (c.options & kOptDownload)
        h += "\nOptions:\n"
             "  --no-verify         skip Verify after the download (--verify, the default,\n"
             "                      is still accepted)\n"
             "  --reset             then Reset the module\n"
             "  --ignore-checksums  take a file whose only faults are wrong record\n"
             "                      checksums; the choice is printed and traced.\n"
             "                      Without it such a file is refused (exit 65).\n";
    if (c.cmd == Cmd::ListPorts)
    {
        h += "One line for each serial port found: its device, the COM number that stands\n";
        h += platform::kComMeaning;
    }
    h += "\n";
    h += kExitStatus;
    return h;
}

}  // namespace cli
