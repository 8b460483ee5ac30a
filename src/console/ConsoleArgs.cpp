#include "console/ConsoleArgs.h"

#include "link/PortMap.h"

#include <array>
#include <cmath>
#include <cstdlib>

namespace console_args {

namespace {

enum class Opt { Help, Version, Port, Simulate, SimScale, SimFlash, ListPorts, Trace, Screenshot,
                 StartupReport, SysRoot, DevRoot };

struct OptionRow {  // name, option, takes a value
    std::string_view name;
    Opt opt;
    bool takesValue;
};

constexpr std::array<OptionRow, 16> kOptions{{
    {"help", Opt::Help, false},
    {"h", Opt::Help, false},
    {"?", Opt::Help, false},
    {"help-all", Opt::Help, false},
    {"version", Opt::Version, false},
    {"v", Opt::Version, false},
    {"port", Opt::Port, true},
    {"simulate", Opt::Simulate, false},
    {"sim-time-scale", Opt::SimScale, true},
    {"sim-save-flash", Opt::SimFlash, true},
    {"list-ports", Opt::ListPorts, false},
    {"trace", Opt::Trace, true},
    {"screenshot", Opt::Screenshot, true},
    {"startup-report", Opt::StartupReport, false},
    {"sys-root", Opt::SysRoot, true},
    {"dev-root", Opt::DevRoot, true},
}};

Options Fail(std::string text) {
    Options o;
    o.action = Action::Error;
    o.error = std::move(text);
    return o;
}

// The whole text as a number in 0..100, or nothing.
std::optional<double> ParseScale(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || !(v >= 0.0) || v > 100.0) return std::nullopt;
    return v;
}

}  // namespace

Options Parse(std::span<const std::string> args, std::span<const ForeignOption> foreign) {
    Options o;
    bool help = false, version = false, list = false, scaleSet = false, flashSet = false;
    std::string scaleText;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {  // ends the options; nothing may follow
            if (i + 1 < args.size()) return Fail("unexpected argument '" + args[i + 1] + "' (see --help)");
            break;
        }
        if (word.size() < 2 || word[0] != '-') return Fail("unexpected argument '" + word + "' (see --help)");
        std::string_view name(word);
        name.remove_prefix(name.starts_with("--") ? 2 : 1);
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); eq != std::string_view::npos) {
            inlineValue = std::string(name.substr(eq + 1));
            name = name.substr(0, eq);
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& r : kOptions)
            if (r.name == name) row = &r;
        bool takesValue = row && row->takesValue;
        if (!row) {
            const ForeignOption* f = nullptr;
            for (const ForeignOption& fo : foreign)
                if (fo.name == name) f = &fo;
            if (!f) return Fail("Unknown option '" + std::string(name) + "'.");
            takesValue = f->takesValue;
        }
        std::string value;
        if (takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else {
                if (i + 1 >= args.size()) return Fail("Missing value after '" + word + "'.");
                value = args[++i];
            }
        } else if (inlineValue) {
            return Fail("Unexpected value after '" + std::string(word.substr(0, word.find('='))) + "'.");
        }
        if (!row) continue;  // the window system's own
        switch (row->opt) {
        case Opt::Help: help = true; break;
        case Opt::Version: version = true; break;
        case Opt::Port: o.ports.push_back(value); break;
        case Opt::Simulate: o.simulate = true; break;
        case Opt::SimScale: scaleSet = true; scaleText = value; break;
        case Opt::SimFlash: flashSet = true; o.simSaveFlash = value; break;
        case Opt::ListPorts: list = true; break;
        case Opt::Trace: o.traceFile = value; break;
        case Opt::Screenshot: o.screenshotDir = value; break;
        case Opt::StartupReport: o.startupReport = true; break;
        case Opt::SysRoot: o.sysRoot = value; break;
        case Opt::DevRoot: o.devRoot = value; break;
        }
    }
    if (help) {
        o.action = Action::Help;
        return o;
    }
    if (version) {
        o.action = Action::Version;
        return o;
    }
    for (const std::string& value : o.ports) {
        PortMap check;
        if (!check.ParseAssignment(value)) return Fail("bad --port value '" + value + "' (want N=PATH, N 1..10)");
    }
    if (scaleSet && !o.simulate) return Fail("--sim-time-scale goes with --simulate");
    if (scaleSet) {
        const auto scale = ParseScale(scaleText);
        if (!scale) return Fail("bad --sim-time-scale value '" + scaleText + "' (want 0..100)");
        o.simScale = *scale;
    }
    if (flashSet && !o.simulate) return Fail("--sim-save-flash goes with --simulate");
    if (list) o.action = Action::ListPorts;
    return o;
}

std::string HelpText() {
    return "Usage: zantu-console [options]\n"
           "ZANTU-100 service and test console\n"
           "\n"
           "Options:\n"
           "  -h, --help              Displays help on commandline options.\n"
           "  -v, --version           Displays version information.\n"
           "  --port <N=PATH>         Open device PATH for port COMN (N 1..10), for this run.\n"
           "  --simulate              Run a simulated module and map COM1 to it.\n"
           "  --sim-time-scale <F>    With --simulate: multiply the simulated line and module\n"
           "                          times by F (default 1, the module's own pace; 0 answers\n"
           "                          at once).\n"
           "  --sim-save-flash <FILE> With --simulate: write the simulated module's 40960-byte\n"
           "                          flash to FILE when the console ends, to compare what was\n"
           "                          flashed with the image.\n"
           "  --list-ports            Print the serial ports present and the COM number each\n"
           "                          is mapped to, and exit.\n"
           "  --trace <FILE>          Append the wire trace to FILE, one line at a time.\n";
}

}  // namespace console_args
