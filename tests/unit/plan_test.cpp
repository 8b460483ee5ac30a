// Plans: the file checked whole (one table of refused plans, each naming its
// line), and the verdicts of a step and of a unit as functions of what the
// step's run told and its limits, without a port.
#include "cli/Plan.h"
#include "cli/PlanVerdict.h"
#include "TempTree.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using plan::Outcome;

TEST(Plan, TheExamplePlanIsWhole) {
    const plan::Loaded l = plan::LoadPlan(ZANTU_EXAMPLES_DIR "/qualification.toml");
    ASSERT_EQ(l.exit, 0) << l.error;
    EXPECT_EQ(l.plan.name, "qualification");
    EXPECT_EQ(l.plan.hash.size(), 64u);
    ASSERT_EQ(l.plan.steps.size(), 6u);
    const plan::Step& batch = l.plan.steps[3];
    EXPECT_EQ(batch.options.command->cmd, cli::Cmd::Dispense);
    EXPECT_EQ(batch.options.args, (std::vector<std::string>{"2", "1", "1", "0"}));
    EXPECT_EQ(batch.options.repeat, "2");
    EXPECT_TRUE(batch.stopOnFail);
    EXPECT_FALSE(l.plan.steps[1].stopOnFail);
    ASSERT_TRUE(batch.limits.rejectRateMax);
    EXPECT_DOUBLE_EQ(*batch.limits.rejectRateMax, 5.0);
    EXPECT_EQ(l.plan.steps[1].limits.opacity->lo, 0x70);
}

struct Refused {
    const char* what;
    const char* text;
    int exit;
    int line;
    const char* says;
};

const Refused kRefused[] = {
    {"not TOML", "name = \n", 64, 1, ""},
    {"no step", "name = \"p\"\n", 64, 1, "no [[step]]"},
    {"unknown top field", "name = \"p\"\ncolour = 1\n", 64, 2, "unknown field 'colour'"},
    {"unknown step field", "[[step]]\nname = \"s\"\ncommand = \"status\"\nretries = 2\n", 64, 4,
     "unknown field 'retries'"},
    {"unknown command", "[[step]]\nname = \"s\"\ncommand = \"fly\"\n", 64, 3, "unknown command 'fly'"},
    {"a command with no port", "[[step]]\nname = \"s\"\ncommand = \"list-ports\"\n", 64, 3, "cannot be a step"},
    {"no command", "[[step]]\nname = \"s\"\n", 64, 1, "no command"},
    {"no name", "[[step]]\ncommand = \"status\"\n", 64, 1, "no name"},
    {"two steps of one name", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[[step]]\nname = \"s\"\ncommand = \"purge\"\n",
     64, 4, "a second step of this name (line 1)"},
    {"count out of range", "[[step]]\nname = \"s\"\ncommand = \"dispense\"\nargs = [101, 0, 0, 0]\n", 64, 1,
     "give a count from 0 to 100"},
    {"repeat out of range", "[[step]]\nname = \"s\"\ncommand = \"dispense\"\nargs = [1, 0, 0, 0]\nrepeat = 0\n", 64,
     1, "--repeat '0'"},
    {"option the command does not take", "[[step]]\nname = \"s\"\ncommand = \"status\"\nrepeat = 2\n", 64, 1,
     "status takes no --repeat"},
    {"a wrong on_fail", "[[step]]\nname = \"s\"\ncommand = \"status\"\non_fail = \"maybe\"\n", 64, 4, "on_fail"},
    {"unknown limit", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[step.limits]\nspeed = 3\n", 64, 5,
     "unknown limit 'speed'"},
    {"a limit on a value not read", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[step.limits]\nversion = \"Z\"\n",
     64, 5, "status does not read the firmware version"},
    {"a rate over 100", "[[step]]\nname = \"s\"\ncommand = \"zigzag\"\nargs = [1,0,0,0]\n[step.limits]\nreject_rate_max = 101\n",
     64, 6, "percentage from 0 to 100"},
    {"a range upside down", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[step.limits]\nopacity = [0x80, 0x70]\n", 64,
     5, "LOW <= HIGH"},
    {"unknown sensor", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[step.limits]\nsensors = { wings = true }\n", 64,
     5, "unknown sensor 'wings'"},
    {"four values of a module flag", "[[step]]\nname = \"s\"\ncommand = \"status\"\n[step.limits]\nsensors = { rjt = [true, true, true, true] }\n",
     64, 5, "give true or false"},
    {"a log that would ask", "[[step]]\nname = \"s\"\ncommand = \"log\"\n", 64, 1, "needs password_file"},
    {"a missing HEX file", "[[step]]\nname = \"s\"\ncommand = \"download\"\nargs = [\"none.hex\"]\n", 66, 1,
     "cannot read the HEX file"},
};

TEST(Plan, RefusedPlansNameTheirLineAndWhatIsWrong) {
    TempTree tree;
    for (const Refused& c : kRefused) {
        const plan::Loaded l = plan::ParsePlan(c.text, "p.toml", tree.Root());
        EXPECT_EQ(l.exit, c.exit) << c.what << ": " << l.error;
        EXPECT_EQ(l.error.rfind("p.toml:" + std::to_string(c.line) + ": ", 0), 0u) << c.what << ": " << l.error;
        EXPECT_NE(l.error.find(c.says), std::string::npos) << c.what << ": " << l.error;
        EXPECT_TRUE(l.plan.steps.empty()) << c.what;
    }
}

TEST(Plan, FilesAreTakenFromThePlansFolder) {
    TempTree tree;
    std::ofstream(tree.Root() + "/image.hex") << ":00000001FF\n";
    const plan::Loaded l = plan::ParsePlan("[[step]]\nname = \"flash\"\ncommand = \"download\"\nargs = [\"image.hex\"]\n",
                                           "p.toml", tree.Root());
    ASSERT_EQ(l.exit, 0) << l.error;
    EXPECT_EQ(l.plan.steps[0].options.args[0], tree.Root() + "/image.hex");
}

// ---- a step's verdict ----------------------------------------------------------

cli::Field F(std::string key, std::vector<std::string> values, std::string group = {}) {
    cli::Field f;
    f.key = std::move(key);
    f.values = std::move(values);
    f.group = std::move(group);
    return f;
}

plan::StepFacts Batch(std::vector<std::string> disp, std::vector<std::string> rej, std::string req,
                      std::string got) {
    plan::StepFacts s;
    s.fields = {F("dispensed_sum", std::move(disp)), F("rejected_sum", std::move(rej)),
                F("requested", {std::move(req)}, "total"), F("dispensed", {std::move(got)}, "total")};
    return s;
}

plan::StepFacts Status(std::vector<std::string> opacity, std::string rjt) {
    plan::StepFacts s;
    s.fields = {F("opacity", std::move(opacity)), F("rjt", {std::move(rjt)}), F("box", {"1", "1", "0", "1"})};
    return s;
}

plan::StepFacts Ended(res::Result r) {
    plan::StepFacts s;
    s.result = r;
    s.exit = res::ExitOf(r);
    s.message = "why";
    s.fields = Batch({"4", "2", "0", "0"}, {"0", "0", "0", "0"}, "6", "6").fields;
    return s;
}

struct StepCase {
    const char* what;
    plan::StepFacts facts;
    plan::Limits limits;
    Outcome outcome;
    int exit;
    const char* why;  // the verdict's why holds this
};

plan::Limits RejectMax(double pct) {
    plan::Limits l;
    l.rejectRateMax = pct;
    return l;
}
plan::Limits Exact() {
    plan::Limits l;
    l.dispensedEqualsRequested = true;
    return l;
}
plan::Limits Opacity(long long lo, long long hi) {
    plan::Limits l;
    l.opacity = plan::Range{lo, hi};
    return l;
}
plan::Limits Flags(std::vector<plan::FlagLimit> f) {
    plan::Limits l;
    l.sensors = std::move(f);
    return l;
}
plan::Limits Version(std::string v) {
    plan::Limits l;
    l.version = std::move(v);
    return l;
}
plan::Limits ExpectDeviceError() {
    plan::Limits l;
    l.deviceErrorExpected = true;
    return l;
}
plan::StepFacts Rom(std::string v) {
    plan::StepFacts s;
    s.fields = {F("version", {std::move(v)})};
    return s;
}

TEST(PlanVerdict, AStepPassesOnlyWhenItRanCleanAndEveryLimitHolds) {
    const StepCase cases[] = {
        {"no limits, ran clean", Ended(res::Result::Ok), {}, Outcome::Pass, 0, ""},
        {"device error", Ended(res::Result::DeviceError), {}, Outcome::Error, 1, "device_error: why"},
        {"link failure", Ended(res::Result::LinkFailed), RejectMax(50), Outcome::Error, 2, "link_failed"},
        {"uncertain counts are never a pass", Ended(res::Result::Uncertain), Exact(), Outcome::Error, 4, "uncertain"},
        {"port failed", Ended(res::Result::PortFailed), {}, Outcome::Error, 3, "port_failed"},
        {"reject rate at the limit", Batch({"19", "0", "0", "0"}, {"1", "0", "0", "0"}, "20", "19"), RejectMax(5),
         Outcome::Pass, 0, ""},
        {"reject rate over the limit", Batch({"4", "7", "0", "0"}, {"0", "1", "0", "0"}, "12", "11"), RejectMax(5),
         Outcome::Fail, 5, "reject_rate[2] 12.5 %, limit <= 5 %"},
        {"a box that moved nothing rejects nothing", Batch({"0", "0", "0", "0"}, {"0", "0", "0", "0"}, "0", "0"),
         RejectMax(0), Outcome::Pass, 0, ""},
        {"dispensed equals requested", Batch({"4", "2", "0", "0"}, {"0", "0", "0", "0"}, "6", "6"), Exact(),
         Outcome::Pass, 0, ""},
        {"dispensed short of requested", Batch({"4", "1", "0", "0"}, {"0", "1", "0", "0"}, "6", "5"), Exact(),
         Outcome::Fail, 5, "dispensed 5, limit = requested 6"},
        {"opacity within", Status({"70", "7C", "80", "7E"}, "0"), Opacity(0x70, 0x80), Outcome::Pass, 0, ""},
        {"opacity out", Status({"7A", "6F", "78", "7E"}, "0"), Opacity(0x70, 0x80), Outcome::Fail, 5,
         "opacity[2] 0x6F, limit [0x70, 0x80]"},
        {"module flag wanted clear", Status({"7A", "7A", "7A", "7A"}, "1"), Flags({{"rjt", {false}}}), Outcome::Fail,
         5, "rjt set, limit clear"},
        {"a box flag for all four", Status({"7A", "7A", "7A", "7A"}, "0"), Flags({{"box", {true}}}), Outcome::Fail, 5,
         "box[3] clear, limit set"},
        {"a box flag each", Status({"7A", "7A", "7A", "7A"}, "0"), Flags({{"box", {true, true, false, true}}}),
         Outcome::Pass, 0, ""},
        {"version equal (padding aside)", Rom("Z120   6000 "), Version("Z120   6000"), Outcome::Pass, 0, ""},
        {"version differs", Rom("Z120   6001"), Version("Z120   6000"), Outcome::Fail, 5, "version 'Z120   6001'"},
        {"a value the answer did not carry", Rom(""), Opacity(0, 255), Outcome::Error, 70, "did not carry"},
        {"a device error expected and met", Ended(res::Result::DeviceError), ExpectDeviceError(), Outcome::Pass, 0,
         ""},
        {"a device error expected, none came", Ended(res::Result::Ok), ExpectDeviceError(), Outcome::Fail, 5,
         "device_error none, limit expected"},
        {"expecting a device error does not excuse a lost link", Ended(res::Result::LinkFailed),
         ExpectDeviceError(), Outcome::Error, 2, "link_failed"},
    };
    for (const StepCase& c : cases) {
        const plan::StepVerdict v = plan::JudgeStep(c.facts, c.limits);
        EXPECT_EQ(v.outcome, c.outcome) << c.what << ": " << v.why;
        EXPECT_EQ(v.exit, c.exit) << c.what;
        EXPECT_NE(v.why.find(c.why), std::string::npos) << c.what << ": " << v.why;
    }
}

TEST(PlanVerdict, AnUnknownCountIsNotMeasured) {
    plan::StepFacts s = Batch({"4", "2", "0", "0"}, {"0", "0", "0", "0"}, "6", "6");
    s.fields[3].unknown = true;  // the total dispensed
    EXPECT_EQ(plan::JudgeStep(s, Exact()).outcome, Outcome::Error);
}

TEST(PlanVerdict, TheUnitPassesOnlyWhenEveryStepOfThePlanPassed) {
    auto step = [](const char* name, Outcome o, int exit) {
        plan::StepRecord r;
        r.name = name;
        r.verdict.outcome = o;
        r.verdict.exit = exit;
        r.verdict.why = std::string(name) + " why";
        return r;
    };
    const plan::StepRecord pass = step("a", Outcome::Pass, 0), fail = step("b", Outcome::Fail, 5),
                           error = step("c", Outcome::Error, 2);
    struct {
        const char* what;
        std::vector<plan::StepRecord> steps;
        std::size_t of;
        Outcome outcome;
        int exit;
        const char* failed;
    } cases[] = {
        {"all passed", {pass, pass}, 2, Outcome::Pass, 0, ""},
        {"a failed limit", {pass, fail, pass}, 3, Outcome::Fail, 5, "b"},
        {"an error after a failed limit: the first is named, the error counts", {fail, error}, 2, Outcome::Error, 2,
         "b"},
        {"fewer steps ran than the plan has", {pass}, 3, Outcome::Error, 70, ""},
    };
    for (const auto& c : cases) {
        const plan::UnitVerdict u = plan::JudgeUnit(c.steps, c.of);
        EXPECT_EQ(u.outcome, c.outcome) << c.what;
        EXPECT_EQ(u.exit, c.exit) << c.what;
        EXPECT_EQ(u.failedStep, c.failed) << c.what;
    }
}

}  // namespace
