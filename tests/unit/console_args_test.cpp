// The window's command line, as every back-end reads it.
#include "console/ConsoleArgs.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using console_args::Action;

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

constexpr console_args::ForeignOption kForeign[] = {{"platform", true}, {"sync", false}};

struct Case {
    const char* args;
    Action action;
    const char* error;  // the whole line, for Action::Error
};

class ConsoleArgsCase : public ::testing::TestWithParam<Case> {};

TEST_P(ConsoleArgsCase, ActionAndError) {
    const Case& c = GetParam();
    const auto words = Words(c.args);
    const auto o = console_args::Parse(words, kForeign);
    EXPECT_EQ(o.action, c.action) << c.args;
    EXPECT_EQ(o.error, c.error) << c.args;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConsoleArgsCase,
    ::testing::Values(
        Case{"", Action::Run, ""}, Case{"--simulate --sim-time-scale 0", Action::Run, ""},
        Case{"-port 1=COM5 --trace=t.txt", Action::Run, ""},
        Case{"-platform offscreen --sync", Action::Run, ""},
        Case{"--help --port 11=x", Action::Help, ""}, Case{"-h", Action::Help, ""},
        Case{"--version", Action::Version, ""}, Case{"--list-ports --port 3=/dev/x", Action::ListPorts, ""},
        Case{"--bogus", Action::Error, "Unknown option 'bogus'."},
        Case{"--port", Action::Error, "Missing value after '--port'."},
        Case{"--simulate=1", Action::Error, "Unexpected value after '--simulate'."},
        Case{"--port 11=/dev/x", Action::Error, "bad --port value '11=/dev/x' (want N=PATH, N 1..10)"},
        Case{"--port 3", Action::Error, "bad --port value '3' (want N=PATH, N 1..10)"},
        Case{"stray", Action::Error, "unexpected argument 'stray' (see --help)"},
        Case{"-- stray", Action::Error, "unexpected argument 'stray' (see --help)"},
        Case{"--sim-time-scale 2", Action::Error, "--sim-time-scale goes with --simulate"},
        Case{"--simulate --sim-time-scale x", Action::Error, "bad --sim-time-scale value 'x' (want 0..100)"},
        Case{"--simulate --sim-time-scale 101", Action::Error,
             "bad --sim-time-scale value '101' (want 0..100)"},
        Case{"--simulate --sim-time-scale nan", Action::Error,
             "bad --sim-time-scale value 'nan' (want 0..100)"},
        Case{"--sim-save-flash f.bin", Action::Error, "--sim-save-flash goes with --simulate"}));

TEST(ConsoleArgs, ValuesAreKeptAsGiven) {
    const auto words = Words("--port 3=/dev/ttyUSB0 --port=10=COM12 --simulate --sim-time-scale 0.5 "
                             "--sim-save-flash f.bin --trace t.txt --dev-root /d");
    const auto o = console_args::Parse(words);
    ASSERT_EQ(o.action, Action::Run);
    EXPECT_EQ(o.ports, (std::vector<std::string>{"3=/dev/ttyUSB0", "10=COM12"}));
    EXPECT_TRUE(o.simulate);
    EXPECT_DOUBLE_EQ(o.simScale, 0.5);
    EXPECT_EQ(o.simSaveFlash, "f.bin");
    EXPECT_EQ(o.traceFile, "t.txt");
    EXPECT_EQ(o.devRoot, "/d");
    EXPECT_FALSE(o.sysRoot);
}

}  // namespace
