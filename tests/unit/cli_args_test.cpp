// zantu-cli's command line: what parses, what is refused and why, and how
// --port names a device.
#include "cli/CliArgs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using cli::Cmd;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> w{"zantu-cli"};
    std::istringstream in(line);
    for (std::string s; in >> s;) w.push_back(s == "''" ? std::string() : s);
    return w;
}

struct GoodCase {
    const char* line;
    Cmd cmd;
    std::vector<std::string> args;
};

TEST(CliArgs, AcceptedLines) {
    const GoodCase cases[] = {
        {"--simulate status", Cmd::Status, {}},
        {"--port /dev/ttyUSB0 --json status", Cmd::Status, {}},
        {"--simulate status --trace wire.txt", Cmd::Status, {}},
        {"status --json --port COM3", Cmd::Status, {}},  // options may follow the command
        {"--simulate --sim-time-scale 0 dispense 5 0 0 100 --repeat 3 --wait 2", Cmd::Dispense, {"5", "0", "0", "100"}},
        {"--simulate dispense 0 007 0 100", Cmd::Dispense, {"0", "007", "0", "100"}},  // the field's text as typed
        {"--simulate dispense 1 0 0 0 --repeat 2000 --wait 600", Cmd::Dispense, {"1", "0", "0", "0"}},
        {"--simulate zigzag 1 0 0 0 --repeat 1 --wait 1", Cmd::Zigzag, {"1", "0", "0", "0"}},
        {"--simulate set-opacity A5 7f 00 FF", Cmd::SetOpacity, {"A5", "7f", "00", "FF"}},
        {"--simulate set-order 2 1 4 3", Cmd::SetOrder, {"2", "1", "4", "3"}},
        {"--port COM1 --port /dev/ttyUSB1 --timeout 30 status", Cmd::Status, {}},
        {"--simulate --record run.csv --unit U7 --sim-save-flash f.bin status", Cmd::Status, {}},
        {"--simulate download fw.hex --no-verify --ignore-checksums", Cmd::Download, {"fw.hex"}},
        {"hex-info fw.hex --json", Cmd::HexInfo, {"fw.hex"}},
        {"--simulate sen-diag 4", Cmd::SenDiag, {"4"}},
        {"--simulate rvdt", Cmd::Rvdt, {}},
        {"--simulate rvdt 1", Cmd::Rvdt, {"1"}},
        {"--simulate log --password-file - --dir /tmp", Cmd::Log, {}},
        {"--simulate download fw.hex --verify --reset", Cmd::Download, {"fw.hex"}},
        {"list-ports --json", Cmd::ListPorts, {}},
        {"--simulate last-stat --repeat 2", Cmd::LastStat, {}},
    };
    for (const auto& c : cases) {
        const cli::ParseResult r = cli::ParseArgs(Words(c.line));
        ASSERT_EQ(r.error, "") << c.line;
        ASSERT_NE(r.options.command, nullptr) << c.line;
        EXPECT_EQ(r.options.command->cmd, c.cmd) << c.line;
        EXPECT_EQ(r.options.args, c.args) << c.line;
    }
}

TEST(CliArgs, OptionValuesReachTheOptions) {
    const auto r = cli::ParseArgs(
        Words("dispense 1 2 3 4 --wait 600 --simulate --sim-time-scale 0.25 --repeat 2000 --json"));
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.options.simulate);
    EXPECT_DOUBLE_EQ(r.options.simTimeScale, 0.25);
    EXPECT_TRUE(r.options.json);
    EXPECT_EQ(r.options.repeat, "2000");
    EXPECT_EQ(r.options.wait, "600");

    const auto d = cli::ParseArgs(Words("--port 7 download x.hex --reset"));
    ASSERT_EQ(d.error, "");
    EXPECT_EQ(d.options.ports, std::vector<std::string>{"7"});
    EXPECT_TRUE(d.options.verify) << "download verifies by default";
    EXPECT_TRUE(d.options.reset);
    EXPECT_FALSE(d.options.ignoreChecksums);

    const auto m = cli::ParseArgs(Words("--port COM2 --port /dev/ttyUSB3 --timeout 45 --record r.jsonl --unit A-17 "
                                        "download x.hex --no-verify --ignore-checksums"));
    ASSERT_EQ(m.error, "");
    EXPECT_EQ(m.options.ports, (std::vector<std::string>{"COM2", "/dev/ttyUSB3"}));
    EXPECT_EQ(m.options.timeoutSec, 45);
    EXPECT_EQ(m.options.record, "r.jsonl");
    EXPECT_EQ(m.options.units, (std::vector<std::string>{"", "A-17"}));
    EXPECT_FALSE(m.options.verify);
    EXPECT_TRUE(m.options.ignoreChecksums);
}

// Each port its unit: --port PATH=ID, --unit after its --port, or a --unit
// before every --port for the first.
TEST(CliArgs, EachPortItsUnit) {
    struct Case {
        const char* line;
        std::vector<std::string> ports, units;
    };
    const Case cases[] = {
        {"--port /dev/a --unit A --port /dev/b --unit B", {"/dev/a", "/dev/b"}, {"A", "B"}},
        {"--port /dev/a=A --port /dev/b=B", {"/dev/a", "/dev/b"}, {"A", "B"}},
        {"--unit A --port /dev/a --port /dev/b=B", {"/dev/a", "/dev/b"}, {"A", "B"}},
        {"--port /dev/a --port /dev/b --unit B", {"/dev/a", "/dev/b"}, {"", "B"}},
        {"--port COM3=X-1", {"COM3"}, {"X-1"}},
        {"--simulate --unit S", {}, {"S"}},
    };
    for (const Case& c : cases) {
        const auto r = cli::ParseArgs(Words(std::string(c.line) + " --record r.csv status"));
        ASSERT_EQ(r.error, "") << c.line;
        EXPECT_EQ(r.options.ports, c.ports) << c.line;
        EXPECT_EQ(r.options.units, c.units) << c.line;
    }
}

struct BadCase {
    const char* line;
    const char* says;  // part of the message
};

TEST(CliArgs, RefusedLinesSayWhy) {
    const BadCase cases[] = {
        {"--simulate", "no command"},
        {"--simulate stauts", "unknown command 'stauts'"},
        {"--simulate --frobnicate status", "unknown option --frobnicate"},
        {"--simulate status --repeat 3", "status takes no --repeat"},
        {"--simulate purge --wait 1", "purge takes no --wait"},
        {"--simulate status --verify", "status takes no --verify"},
        {"--simulate dispense --password-file x 1 0 0 0", "dispense takes no --password-file"},
        {"--simulate status extra", "status takes no arguments"},
        {"--simulate dispense 1 2 3", "usage: zantu-cli dispense B1 B2 B3 B4"},
        {"--simulate dispense 1 2 3 4 5", "usage: zantu-cli dispense"},
        {"--simulate dispense 1 2 x3 4", "dispense: 'x3' for box 3: give a count from 0 to 100"},
        {"--simulate dispense -1 0 0 0", "unknown option -1 (a value that begins with '-' goes after --)"},
        {"--simulate dispense -- -1 0 0 0", "'-1' for box 1: give a count from 0 to 100"},
        {"--simulate dispense 1 0 0 0 --repeat 2x", "--repeat '2x': give a number of sends from 1 to 2000"},
        {"--simulate download x.hex --verify --no-verify", "--verify and --no-verify exclude each other"},
        {"--simulate status --ignore-checksums", "status takes no --ignore-checksums"},
        {"--simulate --unit U1 status", "--unit goes with --record"},
        {"--port COM1 --unit A --unit B --record r.csv status", "the port COM1 has its unit already ('A')"},
        {"--port COM1=A --unit B --record r.csv status", "the port COM1 has its unit already ('A')"},
        {"--unit A --port COM1=B --record r.csv status", "the port COM1 has its unit already ('B')"},
        {"--port COM1= --record r.csv status", "the unit after '=' is empty"},
        {"--simulate --station S1 status", "--station goes with --record"},
        {"--simulate --record '' status", "--record needs a file name"},
        {"--port COM1 --sim-save-flash f.bin status", "--sim-save-flash goes with --simulate"},
        {"--port COM1 --port com1 --port COM1 status", "--port 'COM1' is given twice"},
        {"--port COM1 --port COM2 --trace t.txt status", "--trace goes with one port"},
        {"--port COM1 hex-info fw.hex", "hex-info takes no --port or --simulate"},
        {"hex-info fw.hex --timeout 5", "hex-info takes no --timeout"},
        {"hex-info", "usage: zantu-cli hex-info FILE"},
        {"--simulate dispense 1 0 0 0 --wait", "--wait needs a value"},
        {"--simulate sen-diag 5", "BOX is 1, 2, 3 or 4, not '5'"},
        {"--simulate clutch", "usage: zantu-cli clutch BOX"},
        {"--simulate rvdt 1 2", "usage: zantu-cli rvdt [BOX]"},
        {"--simulate download", "usage: zantu-cli download FILE"},
        {"--simulate download ''", "the file name is empty"},
        {"status", "no port"},
        {"--port /dev/ttyS0 --simulate status", "exclude each other"},
        {"--port COM11 status", "--port 'COM11'"},
        {"--port 0 status", "--port '0'"},
        {"--port '' status", "--port ''"},
        {"--sim-time-scale 0.5 --port COM1 status", "--sim-time-scale goes with --simulate"},
        {"--simulate --sim-time-scale fast status", "--sim-time-scale 'fast'"},
        {"--simulate --sim-time-scale 101 status", "from 0 to 100"},
        {"--simulate --sim-time-scale -1 status", "--sim-time-scale '-1'"},
        {"--simulate list-ports", "list-ports takes no --port or --simulate"},
        {"list-ports --trace t.txt", "list-ports takes no --trace"},
        {"--simulate --trace '' status", "--trace needs a file name"},
        {"--simulate status --port", "--port needs a value"},
    };
    for (const auto& c : cases) {
        const cli::ParseResult r = cli::ParseArgs(Words(c.line));
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.line << "\n  said: " << r.error;
    }
}

TEST(CliArgs, HelpAndVersionNeedNoPort) {
    const auto tool = cli::ParseArgs(Words("--help"));
    EXPECT_EQ(tool.error, "");
    EXPECT_TRUE(tool.options.help);
    EXPECT_EQ(tool.options.command, nullptr);

    const auto cmd = cli::ParseArgs(Words("download --help"));
    EXPECT_EQ(cmd.error, "");
    EXPECT_TRUE(cmd.options.help);
    ASSERT_NE(cmd.options.command, nullptr);
    EXPECT_EQ(cmd.options.command->cmd, Cmd::Download);

    EXPECT_TRUE(cli::ParseArgs(Words("-h")).options.help);
    EXPECT_TRUE(cli::ParseArgs(Words("--version")).options.version);
    EXPECT_NE(cli::ParseArgs(Words("bogus --help")).error, "");

    // Every command has its help, and the tool's help names every command.
    const std::string all = cli::ToolHelp();
    for (const auto& c : cli::kCommands) {
        EXPECT_NE(all.find(std::string(c.synopsis)), std::string::npos) << c.name;
        EXPECT_NE(cli::CommandHelp(c).find(std::string(c.synopsis)), std::string::npos) << c.name;
    }
    EXPECT_EQ(cli::VersionText().rfind("zantu-cli ", 0), 0u);

    // The help fits 80 columns and lists every exit status.
    auto widest = [](const std::string& text) {
        std::size_t w = 0;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) w = std::max(w, line.size());
        return w;
    };
    EXPECT_LE(widest(all), 80u) << all;
    for (const auto& c : cli::kCommands) EXPECT_LE(widest(cli::CommandHelp(c)), 80u) << c.name;
    for (const char* status : {"  0 ", "  1 ", "  2 ", "  3 ", "  64 ", "  65 ", "  66 ", "  73 ", "  74 ", "  77 ",
                               "  129 ", "  130 ", "  143 "})
        EXPECT_NE(all.find(status), std::string::npos) << status;
}

TEST(CliArgs, PortNamesAPathOrAComNumber) {
    struct Case {
        const char* text;
        int com;           // -1: refused
        const char* path;
    };
    const Case cases[] = {
        {"COM1", 1, ""},       {"com10", 10, ""},       {"Com3", 3, ""},   {"7", 7, ""},
        {"COM0", -1, ""},      {"COM11", -1, ""},       {"11", -1, ""},    {"", -1, ""},
        {"/dev/ttyUSB0", 0, "/dev/ttyUSB0"},            {"./3", 0, "./3"}, {"COMX", 0, "COMX"},
        {"/dev/serial/by-id/usb-FTDI_x-if00-port0", 0, "/dev/serial/by-id/usb-FTDI_x-if00-port0"},
        {"COM0001", 0, "COM0001"},  // not a COM number (too many digits): a file of that name
    };
    for (const auto& c : cases) {
        const auto p = cli::ResolvePort(c.text);
        if (c.com < 0) {
            EXPECT_FALSE(p.has_value()) << c.text;
            continue;
        }
        ASSERT_TRUE(p.has_value()) << c.text;
        EXPECT_EQ(p->com, c.com) << c.text;
        EXPECT_EQ(p->path, c.path) << c.text;
    }
}

// Values are checked, not coerced: each of these ends the run before anything
// is sent, with a line that names the value and the range.
TEST(CliArgs, OutOfRangeValuesAreRefused) {
    const BadCase cases[] = {
        {"--simulate dispense 101 0 0 0", "'101' for box 1: give a count from 0 to 100"},
        {"--simulate test-dispense 0 0 0 99999999999", "'99999999999' for box 4: give a count from 0 to 100"},
        {"--simulate zigzag 0 '' 0 0", "'' for box 2: give a count from 0 to 100"},
        {"--simulate dispense 1 0 0 0 --repeat 0", "--repeat '0': give a number of sends from 1 to 2000"},
        {"--simulate last-stat --repeat 2001", "--repeat '2001': give a number of sends from 1 to 2000"},
        {"--simulate dispense 1 0 0 0 --wait 0", "--wait '0': give seconds from 1 to 600"},
        {"--simulate dispense 1 0 0 0 --wait 601", "--wait '601': give seconds from 1 to 600"},
        {"--simulate set-opacity 7 00 00 00", "'7' for box 1: give two hexadecimal digits (00 to FF)"},
        {"--simulate set-opacity 00 123 00 00", "'123' for box 2: give two hexadecimal digits"},
        {"--simulate set-length 00 00 0x 00", "'0x' for box 3: give two hexadecimal digits"},
        {"--simulate set-length 00 00 00 zz", "'zz' for box 4: give two hexadecimal digits"},
        {"--simulate set-order 1 2 3 3", "set-order: '1 2 3 3' is not an order: give 1, 2, 3 and 4, each once"},
        {"--simulate set-order 0 1 2 3", "'0 1 2 3' is not an order"},
        {"--simulate set-order 5 1 2 3", "'5 1 2 3' is not an order"},
        {"--simulate sen-diag 0", "BOX is 1, 2, 3 or 4, not '0'"},
        {"--simulate clutch 5", "BOX is 1, 2, 3 or 4, not '5'"},
        {"--simulate rvdt 12", "BOX is 1, 2, 3 or 4, not '12'"},
        {"--simulate --timeout 0 status", "--timeout '0': give whole seconds from 1 to 604800"},
    };
    for (const auto& c : cases) {
        const cli::ParseResult r = cli::ParseArgs(Words(c.line));
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.line << "\n  said: " << r.error;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << c.line << ": one line";
    }
}

// getopt keeps global state: a parse after a failed one starts afresh.
TEST(CliArgs, ParsesAreIndependent) {
    EXPECT_NE(cli::ParseArgs(Words("--simulate --bogus status")).error, "");
    EXPECT_NE(cli::ParseArgs(Words("--simulate dispense -5 0 0 0")).error, "");
    const auto r = cli::ParseArgs(Words("--simulate status"));
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.options.args.empty());
    EXPECT_FALSE(r.options.json);
}

}  // namespace
