// zantu-cli run: the example plan on four simulated modules at once, one
// with a box whose opacity is out of the plan's range and one that hangs up
// in the middle of the batch.  Checked by the verdicts, the exit status and
// the step and unit objects of --json.
#include "RunProgram.h"

#include "Simulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string CliPath() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "zantu-cli";
    return !ec && fs::exists(beside) ? beside.string() : std::string(ZANTU_CLI_PATH);
}

std::vector<json> JsonLines(const std::string& out) {
    std::vector<json> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        json j = json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
        v.push_back(std::move(j));
    }
    return v;
}

const std::string kPlan = ZANTU_EXAMPLES_DIR "/qualification.toml";

struct FourUnits : ::testing::Test {
    zsim::Simulator good1, worn, lost, good2{};
    std::vector<std::string> ports;
    static zsim::SimOptions Worn() {
        zsim::SimOptions o;
        o.module.opacity[3] = 0x85;  // box 4's sensor reads above the plan's range
        return o;
    }
    FourUnits() : worn(Worn()) {}
    void SetUp() override {
        for (zsim::Simulator* s : {&good1, &worn, &lost, &good2}) {
            ports.push_back(s->StartOnPty());
            if (ports.back().empty()) GTEST_SKIP() << "no pseudo-terminal: " << s->LastError();
        }
        // ROM version, STATUS, SET ORDER and the batch's first send: then the line goes.
        zsim::Faults f;
        f.hangUpAfter = 4;
        lost.SetFaults(f);
    }
    void TearDown() override {
        for (zsim::Simulator* s : {&good1, &worn, &lost, &good2}) s->Stop();
    }
    std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> a{CliPath()};
        for (const std::string& p : ports) a.insert(a.end(), {"--port", p});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

TEST_F(FourUnits, TheExamplePlanPassesGoodUnitsAndNamesWhatFailed) {
    const RunResult r = RunProgram(Args({"--json", "run", kPlan}));
    const auto lines = JsonLines(r.out);
    std::map<std::string, json> units;
    std::map<std::string, std::vector<json>> steps;
    for (const json& l : lines) {
        if (l["type"] == "unit") units[l["port"]] = l;
        if (l["type"] == "step") steps[l["port"]].push_back(l);
    }
    ASSERT_EQ(units.size(), 4u) << r.out << r.err;
    for (const std::string& p : {ports[0], ports[3]}) {
        EXPECT_EQ(units[p]["verdict"], "pass") << units[p];
        EXPECT_EQ(steps[p].size(), 6u);
        EXPECT_EQ(units[p]["firmware"], "Z120   6000");
    }
    // The worn unit: the limit fails, the plan goes on (on_fail = "continue"), every other step passes.
    const json& w = units[ports[1]];
    EXPECT_EQ(w["verdict"], "fail") << w;
    EXPECT_EQ(w["failed_step"], "sensors");
    EXPECT_EQ(w["why"], "opacity[4] 0x85, limit [0x70, 0x80]");
    EXPECT_EQ(w["exit"], 5);
    ASSERT_EQ(steps[ports[1]].size(), 6u);
    EXPECT_EQ(steps[ports[1]][1]["outcome"], "fail");
    EXPECT_EQ(steps[ports[1]][3]["outcome"], "pass");
    // The unit whose line went: an error at the batch, and its plan ends there.
    const json& g = units[ports[2]];
    EXPECT_EQ(g["verdict"], "error") << g;
    EXPECT_EQ(g["failed_step"], "batch");
    EXPECT_EQ(steps[ports[2]].size(), 4u);
    EXPECT_EQ(steps[ports[2]][3]["outcome"], "error");
    // The worst of the units: the link's failure outweighs the missed limit.
    const json& last = lines.back();
    EXPECT_EQ(last["type"], "plan");
    EXPECT_EQ(last["passed"], 2);
    EXPECT_EQ(last["exit"], g["exit"]);
    EXPECT_EQ(r.exitCode, g["exit"].get<int>());
    EXPECT_TRUE(r.exitCode == 2 || r.exitCode == 3) << r.exitCode;
}

TEST_F(FourUnits, HumanLinesAndTheTableOfUnits) {
    lost.SetFaults({});
    const RunResult r = RunProgram(Args({"run", kPlan}));
    EXPECT_EQ(r.exitCode, 5) << r.out << r.err;  // a unit failed a limit, none had an error
    EXPECT_NE(r.out.find(ports[1] + ": step 2/6 sensors (status): fail: opacity[4] 0x85, limit [0x70, 0x80]"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(ports[0] + ": step 4/6 batch (dispense 2 1 1 0 --repeat 2 --wait 1): pass"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("plan qualification: 3 of 4 units passed; exit status 5"), std::string::npos) << r.out;
}

TEST(Plan, ARefusedPlanSendsNothing) {
    zsim::Simulator sim;
    const std::string port = sim.StartOnPty();
    if (port.empty()) GTEST_SKIP() << "no pseudo-terminal";
    const RunResult r = RunProgram({CliPath(), "--port", port, "run", "/nonexistent/plan.toml"});
    EXPECT_EQ(r.exitCode, 66);
    EXPECT_NE(r.err.find("/nonexistent/plan.toml: cannot read the plan"), std::string::npos) << r.err;
    EXPECT_TRUE(sim.ReceivedFrames().empty());
    sim.Stop();
}

}  // namespace
