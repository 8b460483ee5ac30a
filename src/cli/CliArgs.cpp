#include "cli/CliArgs.h"

#include <getopt.h>

#include <cerrno>
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
    kReset,
    kShared,
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
    {"reset", no_argument, nullptr, kReset},
    {"shared", no_argument, nullptr, kShared},
    {nullptr, 0, nullptr, 0},
};

constexpr double kMaxTimeScale = 100.0;

// The window's digits-only edits take nothing but the digits 0..9.
bool DigitsOnly(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

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
    case ArgKind::Order:
        for (std::size_t i = 0; i < 4; ++i)
            if (!DigitsOnly(o.args[i]))
                return name + ": '" + o.args[i] + "' for " +
                       (c.args == ArgKind::Counts ? "box " : "place ") + BoxOrdinal(i) +
                       ": the field takes digits only";
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
        case kPort:
            if (!ResolvePort(a)) fail(std::string("--port '") + a + "': give a device path or COM1..COM10");
            o.port = a;
            break;
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
            o.verify = true;
            given.push_back("--verify");
            break;
        case kReset:
            o.reset = true;
            given.push_back("--reset");
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
                                                                          : (c.options & kOptDownload);
        if (!ok) {
            fail(std::string(c.name) + " takes no " + g);
            return r;
        }
    }
    if (o.repeat && !DigitsOnly(*o.repeat)) fail("--repeat '" + *o.repeat + "': the field takes digits only");
    if (o.wait && !DigitsOnly(*o.wait)) fail("--wait '" + *o.wait + "': the field takes digits only");
    if (o.simTimeScaleSet && !o.simulate) fail("--sim-time-scale goes with --simulate");
    if (c.cmd == Cmd::ListPorts) {
        if (o.simulate || !o.port.empty()) fail("list-ports takes no --port or --simulate");
        if (o.shared) fail("list-ports takes no --shared: it opens no port");
        if (o.trace) fail("list-ports takes no --trace: it opens no port");
    } else if (o.simulate && !o.port.empty()) {
        fail("--port and --simulate exclude each other");
    } else if (o.shared && o.port.empty()) {
        fail("--shared goes with --port");
    } else if (!o.simulate && o.port.empty()) {
        fail("no port: give --port PATH|COMn, or --simulate");
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
    "Exit status:\n"
    "  0    every answer came without a device error\n"
    "  1    the module reported a device error\n"
    "  2    the link failed (no ACK, no answer in time, the port went away)\n"
    "  3    the port could not be opened\n"
    "  64   usage error (also SET ORDER's \"Error Parameter\")\n"
    "  65   the HEX file was refused      66  a file could not be read\n"
    "  73   the log file could not be created\n"
    "  74   an output could not be written 77  wrong service password\n"
    "  130  interrupted (Ctrl+C); 143 and 129 for SIGTERM and SIGHUP\n";

}  // namespace

std::string ToolHelp() {
    std::string h =
        "Usage: zantu-cli [--port PATH|COMn [--shared] | --simulate [--sim-time-scale F]] [--json]\n"
        "                 [--trace FILE] COMMAND [ARGS]\n"
        "Runs the commands of the ZANTU-100 service console from the command line, on the\n"
        "same core as the console window: the same frames, resends, time-outs and decoding.\n"
        "\n"
        "Options:\n"
        "  --port PATH|COMn      the serial device: a path (/dev/ttyUSB0, /dev/serial/by-id/...)\n"
        "                        or COM1..COM10, which is /dev/ttyS0../dev/ttyS9\n"
        "  --shared              open the port even though another program has it open, as long\n"
        "                        as that program holds no lock file, flock or exclusive flag on\n"
        "                        it (socat's pseudo-terminal pair, for instance)\n"
        "  --simulate            a simulated module on a pseudo-terminal instead of a port\n"
        "  --sim-time-scale F    with --simulate: multiply the simulated line and module times\n"
        "                        by F (default 1, the module's own pace; 0 answers at once)\n"
        "  --json                one JSON object per answer on standard output, then a summary\n"
        "  --trace FILE          append the wire trace to FILE: every byte on the line with its\n"
        "                        meaning, one line at a time\n"
        "  -h, --help            this text; COMMAND --help shows the command's\n"
        "  --version             the version\n"
        "\n"
        "Commands:\n";
    for (const CommandInfo& c : kCommands) {
        std::string line = "  " + std::string(c.synopsis);
        if (line.size() < 48) line.resize(48, ' ');
        else line += "\n" + std::string(48, ' ');
        h += line + std::string(c.summary) + "\n";
    }
    h += "\n";
    h += kExitStatus;
    h += "Messages the window shows in a box go to standard error. Ctrl+C ends a batch after\n"
         "the current exchange; SIGTERM and SIGHUP end at once. Either way the port is closed\n"
         "(lock file removed, exclusive flag cleared).\n";
    return h;
}

std::string CommandHelp(const CommandInfo& c) {
    std::string h = "Usage: zantu-cli [--port PATH|COMn | --simulate] [--json] [--trace FILE] " +
                    std::string(c.synopsis) +
                    "\n" + std::string(c.summary) + ".\n\n";
    switch (c.args) {
    case ArgKind::Counts:
        h += "B1..B4 are the notes asked of boxes 1 to 4, typed into the Request fields: digits\n"
             "only; a number outside 1..100 asks for none, as in the window.\n";
        break;
    case ArgKind::Order:
        h += "A B C D are typed into the order fields; the console refuses anything but a\n"
             "permutation of 1 2 3 4 with \"Error Parameter\" (exit 64) and sends nothing.\n";
        break;
    case ArgKind::Texts:
        h += "V1..V4 are typed into the four fields and read as hexadecimal numbers, as in the\n"
             "window (7A, 0x7a; an empty or unreadable text sends 00; only the low 8 bits go).\n";
        break;
    case ArgKind::Box: h += "BOX is 1, 2, 3 or 4: the box radio the command reads.\n"; break;
    case ArgKind::BoxOpt:
        h += "BOX is 1, 2, 3 or 4; without BOX no box is chosen and the frame carries none.\n";
        break;
    case ArgKind::File:
        h += "FILE is an Intel HEX file of the 40960-byte image. It is checked before anything is\n"
             "sent; then Go Loader, the 320 blocks with a progress bar on a terminal, and,\n"
             "when asked, Verify and Reset.\n";
        break;
    case ArgKind::None: break;
    }
    if (c.options & kOptBatch)
        h += "\nOptions:\n"
             "  --repeat N   sends of the batch (the Repeat field: 1..2000, otherwise 1)\n"
             "  --wait S     seconds from one answer to the next send (the Wait field: 1..600,\n"
             "               otherwise 1; default 2)\n"
             "Every answer is printed as it comes, then the batch's totals.\n";
    if (c.options & kOptLog)
        h += "\nOptions:\n"
             "  --password-file F  read the service password from the first line of F (- for\n"
             "                     standard input); without it the password is asked on the\n"
             "                     terminal without echo. It is never taken on the command line.\n"
             "  --dir DIR          create the log file (YYMMDD_HHMMSS.txt) in DIR instead of the\n"
             "                     current directory\n"
             "Every log frame the module sends is appended; the command ends 1 s after the last.\n";
    if (c.options & kOptDownload)
        h += "\nOptions:\n"
             "  --verify     after the download, Verify by the image sum\n"
             "  --reset      then Reset the module\n";
    if (c.cmd == Cmd::ListPorts)
        h += "One line for each serial port found: its device, the COM number that stands for it\n"
             "(COMn is /dev/ttyS(n-1)), driver, USB identity and stable names.\n";
    h += "\n";
    h += kExitStatus;
    return h;
}

}  // namespace cli
