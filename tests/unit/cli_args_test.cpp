// zantu-cli's command line: what parses, what is refused and why, and how
// --port names a device.
#include "cli/CliArgs.h"

#include <gtest/gtest.h>

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
        {"--simulate dispense '' 007 0 0", Cmd::Dispense, {"", "007", "0", "0"}},  // the field's text as typed
        {"--simulate set-opacity A5 7F '' 123", Cmd::SetOpacity, {"A5", "7F", "", "123"}},
        {"--simulate set-length -- -1 0x7f zz 1FF", Cmd::SetLength, {"-1", "0x7f", "zz", "1FF"}},
        {"--simulate set-order 5 1 1 0", Cmd::SetOrder, {"5", "1", "1", "0"}},  // the core refuses it
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
    EXPECT_EQ(d.options.port, "7");
    EXPECT_FALSE(d.options.verify);
    EXPECT_TRUE(d.options.reset);
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
        {"--simulate dispense 1 2 x3 4", "'x3' for box 3: the field takes digits only"},
        {"--simulate dispense -1 0 0 0", "unknown option -1 (a value that begins with '-' goes after --)"},
        {"--simulate dispense -- -1 0 0 0", "'-1' for box 1: the field takes digits only"},
        {"--simulate set-order 1 2 3 +4", "'+4' for place 4"},
        {"--simulate dispense 1 0 0 0 --repeat 2x", "--repeat '2x': the field takes digits only"},
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
