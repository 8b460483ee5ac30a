// zantu-cli end to end: the built program, run as a child process against the
// module simulator on a pseudo-terminal, checked by its output (human lines
// and JSON), its exit status, the frames the module received, the module's
// flash after a download and the log file it wrote.
//
// The simulated module answers at once unless a test says otherwise, so the
// real time these tests take is the console's own: Wait seconds of a batch,
// the four seconds of a missing ACK.
#include "RunProgram.h"
#include "ScriptedPeer.h"
#include "SimConsole.h"
#include "cli/Commands.h"
#include "link/PortLock.h"
#include "firmware/ImageIdentity.h"

#include <nlohmann/json.hpp>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <pty.h>

#include <array>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <type_traits>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// The program beside this test program (a copy run as another user), or the built one.
std::string CliPath() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "zantu-cli";
    return !ec && fs::exists(beside) ? beside.string() : std::string(ZANTU_CLI_PATH);
}
const std::string kCliPath = CliPath();
const char* const kCli = kCliPath.c_str();

// Each line of standard output as JSON; a line that does not parse fails the test.
std::vector<json> JsonLines(const std::string& out) {
    std::vector<json> v;
    std::size_t pos = 0;
    while (pos < out.size()) {
        const std::size_t eol = out.find('\n', pos);
        const std::string line = out.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? out.size() : eol + 1;
        json j = json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
        v.push_back(std::move(j));
    }
    return v;
}

std::vector<json> OfType(const std::vector<json>& v, const std::string& type) {
    std::vector<json> r;
    for (const auto& j : v)
        if (j.is_object() && j.value("type", "") == type) r.push_back(j);
    return r;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A directory of its own, removed afterwards; open to every user.
class TempDir {
public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "zantu_cli_XXXXXX").string();
        if (::mkdtemp(t.data())) {
            m_path = t;
            fs::permissions(m_path, fs::perms::all);
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

class CliE2E : public ::testing::Test {
protected:
    explicit CliE2E(const zsim::SimOptions& o = {}) : sim(o) {}
    zsim::Simulator sim;
    std::string port;

    void SetUp() override {
        port = sim.StartOnPty();
        if (port.empty()) GTEST_SKIP() << "no pseudo-terminal: " << sim.LastError();
    }
    void TearDown() override { sim.Stop(); }

    // zantu-cli --port PTY args...
    RunResult Cli(std::vector<std::string> args, const RunOptions& o = {}) {
        args.insert(args.begin(), {kCli, "--port", port});
        return RunProgram(args, o);
    }
    std::vector<Bytes> FramesWith(std::uint8_t code) {
        std::vector<Bytes> v;
        for (const auto& f : sim.ReceivedFrames())
            if (f.size() > 3 && f[3] == code) v.push_back(f);
        return v;
    }
};

// ---- every command -----------------------------------------------------------

Bytes Closed(Bytes f) {
    f.push_back(0x03);
    std::uint8_t x = 0;
    for (auto b : f) x ^= b;
    f.push_back(x);
    return f;
}

struct CommandCase {
    std::vector<std::string> args;
    char code;
    std::vector<std::string> fields;  // names the JSON answer's fields must hold
    const char* human;                // a line the human output holds
    Bytes frame;                      // the host frame the module must receive (empty: not checked)
};

const std::vector<std::string> kDispenseKeys{"requested",    "dispensed", "rejected", "dispensed_sum",
                                             "rejected_sum", "reasons",   "total"};

TEST_F(CliE2E, EveryCommandInHumanAndJsonForm) {
    const CommandCase cases[] = {
        {{"status"}, 'P', {"dvtl", "dvtr", "ejt", "exit", "rjt", "sol", "rvd_l", "rvd_r", "chkl", "chkr", "box", "nend", "cb", "opacity", "length"}, "  OPACITY            7A     7C     78     7E", Closed({4, '0', 2, 'P'})},
        {{"dispense", "2", "1", "0", "0"}, 'R', kDispenseKeys, "  Dispensed           2      1      0      0",
         Closed({4, '0', 2, 'R', 0x22, 0x21, ' ', ' ', ' ', ' ', ' '})},
        {{"test-dispense", "1", "0", "0", "0"}, 'S', kDispenseKeys, "TEST DISP", {}},
        {{"zigzag", "0", "0", "1", "0"}, 'p', kDispenseKeys, "ZIGZAG", {}},
        {{"purge"}, 'Q', {"dispensed", "rejected", "total"}, "PURGE", Closed({4, '0', 2, 'Q'})},
        {{"last-stat"}, 'U', {"dispensed", "rejected"}, "LAST STAT", {}},
        {{"get-opacity"}, '[', {"opacity"}, "  OPACITY            7A     7C     78     7E", {}},
        {{"set-opacity", "A5", "7F", "00", "23"}, 'Z', {"sent"}, "  sent               A5     7F      0     23",
         Closed({4, '0', 2, 'Z', ':', '5', '7', '?', '0', '0', '2', '3'})},
        {{"get-length"}, '_', {"length"}, "  LENGTH             9A     9C     98     9E", {}},
        {{"set-length", "FF", "10", "9c", "00"}, '^', {"sent"}, "SET LENGTH",
         Closed({4, '0', 2, '^', '?', '?', '1', '0', '9', '<', '0', '0'})},
        {{"get-order"}, ']', {"order"}, "  ORDER          1 2 3 4", {}},
        {{"set-order", "2", "1", "4", "3"}, '\\', {"sent"}, "  sent           2 1 4 3", Closed({4, '0', 2, '\\', '2', '1', '4', '3'})},
        {{"sen-diag", "3"}, 'X', {"box", "opac", "leng", "div", "rej"}, "  Box 3  OPAC. ", Closed({4, '0', 2, 'X', '3'})},
        {{"divert"}, 'q', {}, "DIVERT", Closed({4, '0', 2, 'q', ' '})},
        {{"clutch", "2"}, 'q', {"box"}, "CLUTCH", Closed({4, '0', 2, 'q', '!', '!'})},
        {{"bldc"}, 'q', {"bldc"}, "  BLDC ", Closed({4, '0', 2, 'q', '"'})},
        {{"rvdt"}, 'q', {"box", "rvdt"}, "  Box -", Closed({4, '0', 2, 'q', '#'})},
        {{"rvdt", "4"}, 'q', {"box", "rvdt"}, "  Box 4", Closed({4, '0', 2, 'q', '#', '#'})},
        {{"rom-version"}, 'q', {"version"}, "  RomVer Z120", Closed({4, '0', 2, 'q', '0'})},
    };
    for (const auto& c : cases) {
        const std::string name = c.args[0];
        // Human lines.
        const RunResult h = Cli(c.args);
        EXPECT_EQ(h.exitCode, 0) << name << "\n" << h.err;
        EXPECT_EQ(h.err, "") << name;
        EXPECT_NE(h.out.find(c.human), std::string::npos) << name << " printed:\n" << h.out;
        if (!c.frame.empty()) {
            const auto frames = FramesWith(c.frame[3]);
            ASSERT_FALSE(frames.empty()) << name;
            EXPECT_EQ(frames.back(), c.frame) << name;
        }
        // JSON: one answer, then the summary.
        std::vector<std::string> jargs = c.args;
        jargs.insert(jargs.begin(), "--json");
        const RunResult j = Cli(jargs);
        EXPECT_EQ(j.exitCode, 0) << name << "\n" << j.err;
        const auto lines = JsonLines(j.out);
        ASSERT_EQ(lines.size(), 2u) << name << "\n" << j.out;
        const json& a = lines[0];
        EXPECT_EQ(a["type"], "answer") << name;
        EXPECT_EQ(a["command"], name);
        EXPECT_EQ(a["code"], std::string(1, c.code)) << name;
        EXPECT_EQ(a["error"], 0) << name;
        EXPECT_EQ(a["error_text"], "") << name;
        ASSERT_TRUE(a["fields"].is_object()) << name;
        EXPECT_EQ(a["fields"].size(), c.fields.size()) << name << ": " << a["fields"].dump();
        for (const auto& f : c.fields) EXPECT_TRUE(a["fields"].contains(f)) << name << " lacks " << f;
        const json& s = lines[1];
        EXPECT_EQ(s["type"], "summary") << name;
        EXPECT_EQ(s["exit"], 0) << name;
        EXPECT_EQ(s["result"], "ok") << name;
        EXPECT_EQ(s["answers"], 1) << name;
    }
}

TEST_F(CliE2E, HelpUsageAndPorts) {
    const RunResult help = RunProgram({kCli, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const auto& c : cli::kCommands)
        EXPECT_NE(help.out.find("  " + std::string(c.name)), std::string::npos) << c.name;
    const RunResult cmdHelp = RunProgram({kCli, "download", "--help"});
    EXPECT_EQ(cmdHelp.exitCode, 0);
    EXPECT_NE(cmdHelp.out.find("--verify"), std::string::npos);

    const RunResult usage = Cli({"dispense", "1", "101", "0", "0"});
    EXPECT_EQ(usage.exitCode, 64);
    EXPECT_EQ(usage.out, "");
    EXPECT_NE(usage.err.find("'101' for box 2: give a count from 0 to 100"), std::string::npos) << usage.err;
    EXPECT_NE(usage.err.find("Try 'zantu-cli --help'"), std::string::npos);
    EXPECT_TRUE(FramesWith('R').empty());

    // This machine's ports (the lines themselves are checked on a fake tree).
    const RunResult ports = RunProgram({kCli, "--json", "list-ports"});
    EXPECT_EQ(ports.exitCode, 0);
    const auto lines = JsonLines(ports.out);
    ASSERT_EQ(OfType(lines, "summary").size(), 1u);
    EXPECT_EQ(OfType(lines, "summary")[0]["ports"], OfType(lines, "port").size());
}

TEST_F(CliE2E, WireTraceAppendedToTheGivenFile) {
    TempDir dir;
    const fs::path file = dir.Path() / "wire.txt";
    const RunResult r = Cli({"--trace", file.string(), "status"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string text = ReadFile(file);
    // The window's header: the start with its offset from UTC, no port open yet, the program.
    EXPECT_TRUE(std::regex_search(text, std::regex("^# wire trace started \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                                                   "[+-]\\d\\d:\\d\\d\n# port none open\n# console zantu-cli \\d")))
        << text;
    EXPECT_NE(text.find("TX 04 30 02 50 03 65 | STATUS"), std::string::npos) << text;
    EXPECT_NE(text.find("RX 06 | ACK"), std::string::npos) << text;
    EXPECT_NE(text.find("| response 'P'"), std::string::npos) << text;
    // A second run appends.
    ASSERT_EQ(Cli({"status", "--trace", file.string()}).exitCode, 0);
    const std::string twice = ReadFile(file);
    EXPECT_EQ(twice.substr(0, text.size()), text);
    EXPECT_NE(twice.find("# wire trace started", text.size()), std::string::npos);

    const RunResult bad = Cli({"--trace", (dir.Path() / "no" / "such.txt").string(), "status"});
    EXPECT_EQ(bad.exitCode, 73) << bad.err;
    EXPECT_NE(bad.err.find("such.txt"), std::string::npos) << bad.err;
    EXPECT_EQ(FramesWith('P').size(), 2u) << "nothing sent without its trace";
}

// ---- batches ---------------------------------------------------------------------

TEST_F(CliE2E, BatchWithRepeatAndWait) {
    const RunResult r = Cli({"--json", "dispense", "2", "1", "0", "0", "--repeat", "3", "--wait", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = JsonLines(r.out);
    const auto answers = OfType(lines, "answer");
    ASSERT_EQ(answers.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(answers[static_cast<std::size_t>(k)]["answer"], k + 1);
        EXPECT_EQ(answers[static_cast<std::size_t>(k)]["of"], 3);
        EXPECT_EQ(answers[static_cast<std::size_t>(k)]["fields"]["dispensed_sum"][0], 2 * (k + 1));
    }
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["answers"], 3);
    EXPECT_EQ(s["fields"]["repeat"], 3);
    EXPECT_EQ(s["fields"]["wait"], 1);
    EXPECT_EQ(s["fields"]["total"], json::parse(R"({"requested":9,"dispensed":9,"rejected":0})"));
    // The same frame three times, two waits of a second between them.
    const auto frames = FramesWith('R');
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], frames[2]);
    EXPECT_GE(r.elapsed, 2s);
    EXPECT_LT(r.elapsed, 20s);

    const RunResult h = Cli({"last-stat", "--repeat", "2", "--wait", "1"});
    EXPECT_EQ(h.exitCode, 0);
    EXPECT_NE(h.out.find("LAST STAT 2/2"), std::string::npos) << h.out;
    EXPECT_NE(h.out.find("LAST STAT batch  answers 2"), std::string::npos) << h.out;
}

// A module that answers one send twice: the batch stops after the exchange
// under way and its summary and record say the counts may be off by one.
TEST_F(CliE2E, ALateAnswerStopsTheBatchAndMarksItsCountsUncertain) {
    zsim::Faults f;
    f.lateAnswer = 1;
    sim.SetFaults(f);
    TempDir dir;
    const std::string record = (dir.Path() / "record.csv").string();
    const RunResult r = Cli({"--json", "--record", record, "dispense", "1", "0", "0", "0", "--repeat", "3", "--wait", "1"});
    const json s = OfType(JsonLines(r.out), "summary").at(0);
    EXPECT_EQ(s.value("uncertain", false), true) << s;
    EXPECT_LT(FramesWith('R').size(), 3u);
    // The record's summary carries the JSON summary's result word.
    std::ifstream in(record);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string word = s.value("result", "?");
    EXPECT_EQ(word, "uncertain");
    EXPECT_NE(text.find("summary,"), std::string::npos) << text;
    EXPECT_NE(text.find("," + word + "," + std::to_string(s.value("exit", -1)) + ","), std::string::npos) << text;
}

TEST_F(CliE2E, CtrlCEndsTheBatchAfterTheCurrentExchange) {
    bool sent = false;
    RunOptions o;
    o.onTick = [&](pid_t pid, const std::string& out) {
        if (!sent && out.find('\n') != std::string::npos) {  // the first answer is out
            ::kill(pid, SIGINT);
            sent = true;
        }
    };
    const RunResult r = Cli({"--json", "dispense", "1", "0", "0", "0", "--repeat", "5", "--wait", "10"}, o);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_LT(r.elapsed, 9s);  // it did not wait for the next send
    const auto lines = JsonLines(r.out);
    EXPECT_EQ(OfType(lines, "answer").size(), 1u);
    // The first Ctrl+C ends the batch as STOP does: the same word.
    EXPECT_EQ(OfType(lines, "summary").at(0)["result"], "stopped");
    EXPECT_EQ(FramesWith('R').size(), 1u);
}

TEST_F(CliE2E, AReaderThatClosesTheOutput) {
    // zantu-cli ARGS | head -n 1, with zantu-cli's own exit status.
    auto piped = [&](const std::string& args) {
        return RunProgram({"bash", "-c",
                           std::string(kCli) + " --port " + port + " " + args + " | head -n 1; exit ${PIPESTATUS[0]}"});
    };
    // The manual's example: the reader took the line it wanted and the run's
    // work was done; the summary it did not read is no failure.
    for (int run = 0; run < 8; ++run) {
        const RunResult one = piped("--json status");
        EXPECT_EQ(one.exitCode, 0) << one.err;
        const auto lines = JsonLines(one.out);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["type"], "answer");
    }
    // Gone in the middle of a batch: it ends after the exchange under way,
    // and the batch did not run to its end.
    const std::size_t before = FramesWith('R').size();
    const RunResult batch = piped("dispense 1 0 0 0 --repeat 5 --wait 1");
    EXPECT_EQ(batch.exitCode, 74) << batch.err;
    EXPECT_NE(batch.err.find("the output was closed"), std::string::npos) << batch.err;
    EXPECT_EQ(FramesWith('R').size() - before, 2u);
}

TEST_F(CliE2E, CountsOfASendWhoseAnswerNeverCameAreUnknown) {
    for (const bool asJson : {true, false}) {
        zsim::Faults f;
        f.noResponse = 1;  // ACKed, the notes may move, no answer
        sim.SetFaults(f);
        const std::uint64_t base = sim.FramesReceived('R');
        bool sent = false;
        RunOptions o;
        o.onTick = [&](pid_t pid, const std::string&) {
            if (!sent && sim.FramesReceived('R') > base) {
                ::kill(pid, SIGTERM);
                sent = true;
            }
        };
        std::vector<std::string> args{"dispense", "2", "0", "0", "0", "--repeat", "3", "--wait", "1"};
        if (asJson) args.insert(args.begin(), "--json");
        const RunResult r = Cli(args, o);
        EXPECT_EQ(r.exitCode, 128 + SIGTERM) << r.err;
        if (asJson) {
            const json s = OfType(JsonLines(r.out), "summary").at(0);
            EXPECT_EQ(s["fields"]["total"]["requested"], 2) << s;
            EXPECT_TRUE(s["fields"]["total"]["dispensed"].is_null()) << s;
            EXPECT_TRUE(s["fields"]["dispensed_sum"].is_null()) << s;
        } else {
            EXPECT_NE(r.out.find("DISPENSE batch  answers 0"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("Dispensed unknown"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("Dispensed 0"), std::string::npos) << r.out;
        }
    }
}

TEST_F(CliE2E, UnaskedFramesAreRecordsOfTheirOwn) {
    for (const bool asJson : {true, false}) {
        bool sent = false;
        RunOptions o;
        o.onTick = [&](pid_t, const std::string& out) {
            if (!sent && out.find('\n') != std::string::npos) {  // the first answer is out; the batch waits
                ASSERT_TRUE(sim.InjectError('P', 0x21, 1));
                sim.SendUnsolicited('P');
                sent = true;
            }
        };
        std::vector<std::string> args{"last-stat", "--repeat", "2", "--wait", "2"};
        if (asJson) args.insert(args.begin(), "--json");
        const RunResult r = Cli(args, o);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        if (asJson) {
            const auto lines = JsonLines(r.out);
            EXPECT_EQ(OfType(lines, "answer").size(), 2u);
            const json u = OfType(lines, "unasked").at(0);
            EXPECT_EQ(u["command"], "last-stat");
            EXPECT_EQ(u["code"], "P");
            EXPECT_EQ(u["error"], 1);
            EXPECT_EQ(u["error_text"], "PickUp Error");
            EXPECT_TRUE(u["fields"].contains("opacity")) << u;
            EXPECT_FALSE(u.contains("answer"));
            const json s = OfType(lines, "summary").at(0);
            EXPECT_EQ(s["answers"], 2);
            EXPECT_EQ(s["device_errors"], 1);
        } else {
            EXPECT_NE(r.out.find("Unasked 'P'  Error = 01 PickUp Error\n"), std::string::npos) << r.out;
        }
    }
}

// ---- every answer accounted for, against a scripted far end ---------------------------

// The cases a faulty line or module produced, played by a far end that does
// exactly what its script says.  Each answer the module sent is accounted for:
// a run whose counts cannot be vouched for is never "ok".
struct PeerCase {
    const char* name;
    std::vector<std::string> args;
    ScriptedPeer::Script script;
    int exit;
    const char* result;
    std::function<void(const std::vector<json>& lines, const RunResult& r)> check;
};

using P = ScriptedPeer;

// Answers every host frame of `code` at once with its ACK and `answer`.
P::Script AnswerAll(std::uint8_t code, P::Bytes answer) {
    return [=](const P::Bytes& f, int) -> std::vector<P::Step> {
        if (f.size() > 3 && f[3] == code) return {{0, P::Cat({P::Ack(), answer})}};
        return {};
    };
}

std::vector<json> Unasked(const std::vector<json>& lines) { return OfType(lines, "unasked"); }

TEST(CliScriptedPeer, EveryAnswerAccountedFor) {
    const PeerCase cases[] = {
        {"a clean dispense is ok after the quiet guard",
         {"dispense", "1", "0", "0", "0"},
         AnswerAll('R', P::DispenseAnswer(1, 0)),
         0, "ok",
         [](const std::vector<json>& lines, const RunResult& r) {
             EXPECT_GE(r.elapsed, 2s);  // it listened to the quiet line
             EXPECT_TRUE(Unasked(lines).empty());
             EXPECT_FALSE(OfType(lines, "summary").at(0).contains("uncertain"));
         }},
        {"a repeated answer takes run 2's place; the trailing real answers make the batch uncertain",
         {"dispense", "1", "0", "0", "0", "--repeat", "3", "--wait", "1"},
         [](const P::Bytes&, int k) -> std::vector<P::Step> {
             if (k == 0) return {{0, P::Cat({P::Ack(), P::DispenseAnswer(1, 0)})}};
             if (k == 1)  // answer 1 again right after the ACK; run 2's own answer later
                 return {{0, P::Cat({P::Ack(), P::DispenseAnswer(1, 0)})}, {1600, P::DispenseAnswer(0, 1)}};
             return {{0, P::Ack()}, {1000, P::DispenseAnswer(1, 0)}};
         },
         4, "uncertain",
         [](const std::vector<json>& lines, const RunResult& r) {
             // The answer no send waited for, with its numbers.
             ASSERT_FALSE(Unasked(lines).empty());
             const json u = Unasked(lines).back();
             EXPECT_EQ(u["fields"]["dispensed"], json::parse("[1,0,0,0]")) << u;
             EXPECT_TRUE(u["fields"]["rejected"][0].is_number()) << u;
             const json s = OfType(lines, "summary").at(0);
             EXPECT_EQ(s["uncertain"], true);
             EXPECT_NE(s["message"].get<std::string>().find("uncertain"), std::string::npos) << s;
             EXPECT_NE(r.err.find("uncertain"), std::string::npos) << r.err;
         }},
        {"a late answer owed from an earlier run is taken; the real one inside the guard makes it uncertain",
         {"dispense", "2", "0", "0", "0"},
         [](const P::Bytes&, int) -> std::vector<P::Step> {
             return {{0, P::Cat({P::Ack(), P::DispenseAnswer(1, 0)})}, {500, P::DispenseAnswer(2, 0)}};
         },
         4, "uncertain",
         [](const std::vector<json>& lines, const RunResult&) {
             ASSERT_EQ(Unasked(lines).size(), 1u);
             EXPECT_EQ(Unasked(lines)[0]["fields"]["dispensed"], json::parse("[2,0,0,0]"));
             EXPECT_EQ(Unasked(lines)[0]["fields"]["reasons"]["len"], 0);
         }},
        {"a batch stopped after 2 of 3 runs by a second answer is not ok",
         {"dispense", "1", "0", "0", "0", "--repeat", "3", "--wait", "1"},
         [](const P::Bytes&, int k) -> std::vector<P::Step> {
             if (k == 1)
                 return {{0, P::Cat({P::Ack(), P::DispenseAnswer(1, 0)})}, {100, P::DispenseAnswer(0, 1)}};
             return {{0, P::Cat({P::Ack(), P::DispenseAnswer(1, 0)})}};
         },
         4, "uncertain",
         [](const std::vector<json>& lines, const RunResult&) {
             EXPECT_EQ(OfType(lines, "answer").size(), 2u);
             ASSERT_EQ(Unasked(lines).size(), 1u);
             EXPECT_EQ(Unasked(lines)[0]["fields"]["rejected"], json::parse("[1,0,0,0]"));
             EXPECT_EQ(Unasked(lines)[0]["fields"]["reasons"]["len"], 1);
         }},
        {"an answer of another TEST sub-command is not RomVer's",
         {"rom-version"},
         [](const P::Bytes&, int) -> std::vector<P::Step> {
             return {{0, P::Cat({P::Ack(), P::Answer('q', ' ', {' '})})},  // DIVERT's
                     {300, P::Answer('q', ' ', {'0', '1', '.', '2', '3', '0', '0', '1', '2'})}};
         },
         0, "ok",
         [](const std::vector<json>& lines, const RunResult&) {
             ASSERT_EQ(OfType(lines, "answer").size(), 1u);
             EXPECT_NE(OfType(lines, "answer")[0]["fields"]["version"].get<std::string>().find("1.23"),
                       std::string::npos)
                 << lines;
             EXPECT_EQ(Unasked(lines).size(), 1u);
         }},
        {"a dispense given up on may have reached the module; its late answer is told in numbers",
         {"dispense", "3", "0", "0", "0"},
         [](const P::Bytes&, int k) -> std::vector<P::Step> {
             // The far end reads the four copies only after the give-up.
             if (k == 3) return {{1800, P::Cat({P::Ack(), P::DispenseAnswer(3, 0)})}};
             return {};
         },
         2, "link_failed",
         [](const std::vector<json>& lines, const RunResult&) {
             const json s = OfType(lines, "summary").at(0);
             EXPECT_NE(s["message"].get<std::string>().find("may have received the command: its counts are unknown"),
                       std::string::npos)
                 << s;
             EXPECT_TRUE(s["fields"]["total"]["dispensed"].is_null()) << s;
             ASSERT_EQ(Unasked(lines).size(), 1u);
             EXPECT_EQ(Unasked(lines)[0]["fields"]["dispensed"], json::parse("[3,0,0,0]"));
         }},
    };
    // The cases run at once, each against its own far end: they spend their
    // time waiting on the line (quiet guards, batch waits), not computing.
    // Every far end is made before any tool starts, so no tool inherits
    // another's line.
    constexpr std::size_t kCases = std::extent_v<decltype(cases)>;
    std::vector<std::unique_ptr<ScriptedPeer>> peers;
    for (const PeerCase& c : cases) {
        peers.push_back(std::make_unique<ScriptedPeer>(c.script));
        if (peers.back()->Path().empty()) GTEST_SKIP() << "no pseudo-terminal";
    }
    std::array<RunResult, kCases> results;
    {
        std::vector<std::jthread> runs;
        for (std::size_t i = 0; i < kCases; ++i)
            runs.emplace_back([&, i] {
                std::vector<std::string> args{kCli, "--port", peers[i]->Path(), "--json"};
                args.insert(args.end(), cases[i].args.begin(), cases[i].args.end());
                results[i] = RunProgram(args);
            });
    }
    for (std::size_t i = 0; i < kCases; ++i) {
        const PeerCase& c = cases[i];
        const RunResult& r = results[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        const auto lines = JsonLines(r.out);
        ASSERT_FALSE(OfType(lines, "summary").empty()) << r.out << r.err;
        EXPECT_EQ(OfType(lines, "summary").at(0)["result"], c.result) << r.out;
        c.check(lines, r);
    }
}

// A block error that comes before the block's ACK ends the download at once.
TEST(CliScriptedPeer, ABlockErrorBeforeItsAckEndsTheDownloadAtOnce) {
    TempDir dir;
    const fs::path hex = dir.Path() / "fw.hex";
    std::ofstream(hex) << ":00000001FF\n";
    ScriptedPeer peer([blocks = 0](const P::Bytes& f, int) mutable -> std::vector<P::Step> {
        if (f.size() < 4) return {};
        if (f[3] == 'r') return {{0, P::Cat({P::Ack(), P::Answer('r', ' ')})}};
        if (f[3] != 's') return {};
        if (++blocks == 1) return {{0, P::Cat({P::Ack(), P::Answer('s', ' ')})}};
        return {{0, P::Answer('s', 0x20 + 0x33)}};  // "Program Writing Error", and no ACK
    });
    if (peer.Path().empty()) GTEST_SKIP() << "no pseudo-terminal";
    RunOptions o;
    o.limit = 30s;
    const RunResult r = RunProgram({kCli, "--port", peer.Path(), "--json", "download", hex.string()}, o);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_LT(r.elapsed, 10s);
    EXPECT_NE(r.err.find("Program Writing Error"), std::string::npos) << r.err;
    std::size_t blockFrames = 0;
    for (const auto& f : peer.Frames())
        if (f.size() > 3 && f[3] == 's') ++blockFrames;
    EXPECT_EQ(blockFrames, 2u);  // the refused block was not sent again
}

// ---- several ports, a bounded run ----------------------------------------------------

// Three modules at once and a port that does not open: the batch runs on each
// module, each line names its port, each port gets its summary, and the last
// summary counts the ports by result; the worst status (the port not opened) wins.
TEST_F(CliE2E, SeveralPortsAtOnce) {
    zsim::Simulator second, third;
    const std::string p2 = second.StartOnPty(), p3 = third.StartOnPty();
    ASSERT_FALSE(p2.empty() || p3.empty());
    const std::string none = "/dev/zantu-no-such-port";
    const std::vector<std::string> ports{port, p2, p3, none};
    TempDir dir;
    const fs::path record = dir.Path() / "run.csv";
    // Each port its unit: --port PATH=ID or --unit after its --port.
    const RunResult j = RunProgram({kCli, "--json", "--port", port + "=U-1", "--port", p2, "--unit", "U-2", "--port",
                                    p3 + "=U-3", "--port", none, "--record", record.string(), "--station", "bench-4",
                                    "dispense", "1", "0", "0", "0", "--repeat", "2", "--wait", "1"});
    EXPECT_EQ(j.exitCode, 3) << j.err;
    const auto lines = JsonLines(j.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& p : ports) {
        std::size_t answers = 0, summaries = 0;
        for (const auto& l : lines) {
            if (l.value("port", "") != p) continue;
            answers += l["type"] == "answer";
            summaries += l["type"] == "summary";
        }
        EXPECT_EQ(answers, p == none ? 0u : 2u) << p;
        EXPECT_EQ(summaries, 1u) << p;
    }
    for (const auto& l : OfType(lines, "summary"))
        EXPECT_EQ(l["result"], l["port"] == none ? "port_failed" : "ok") << l;
    const json& last = lines.back();
    EXPECT_EQ(last["type"], "ports");
    EXPECT_EQ(last["ports"], 4);
    EXPECT_EQ(last["results"], json::parse(R"({"ok":3,"port_failed":1})"));
    EXPECT_EQ(last["exit"], 3);
    EXPECT_EQ(FramesWith('R').size(), 2u);
    for (zsim::Simulator* s : {&second, &third}) {
        std::size_t r = 0;
        for (const auto& f : s->ReceivedFrames()) r += f.size() > 3 && f[3] == 'R';
        EXPECT_EQ(r, 2u);
    }
    EXPECT_NE(j.err.find("[" + none + "] zantu-cli: cannot open"), std::string::npos) << j.err;

    // One record file: its header, two answers and a summary of each port that opened.
    std::istringstream rows(ReadFile(record));
    std::vector<std::string> rowLines;
    for (std::string row; std::getline(rows, row);) rowLines.push_back(row);
    ASSERT_EQ(rowLines.size(), 1u + 3u * 3u) << ReadFile(record);
    EXPECT_EQ(rowLines[0].rfind("type,time,port,unit,command,arguments,", 0), 0u) << rowLines[0];
    // The run id: the field before the station.
    const auto runIdOf = [](const std::string& row) {
        const std::size_t at = row.find(",bench-4,");
        if (at == std::string::npos || at == 0) return std::string();
        const std::size_t from = row.rfind(',', at - 1) + 1;
        return row.substr(from, at - from);
    };
    const std::string runId = rowLines.size() > 1 ? runIdOf(rowLines[1]) : "";
    EXPECT_FALSE(runId.empty());
    for (const std::string& p : {port, p2, p3}) {
        const std::string unit = p == port ? "U-1" : p == p2 ? "U-2" : "U-3";
        std::size_t answers = 0, summaries = 0;
        for (const auto& row : rowLines) {
            if (row.find("," + p + "," + unit + ",dispense,") == std::string::npos) continue;
            // One run id for every row of the run, the station given, the tool's version.
            EXPECT_NE(row.find(",bench-4,zantu-cli "), std::string::npos) << row;
            EXPECT_EQ(runIdOf(row), runId) << row;
            answers += row.rfind("answer,", 0) == 0;
            summaries += row.rfind("summary,", 0) == 0;
        }
        EXPECT_EQ(answers, 2u) << p;
        EXPECT_EQ(summaries, 1u) << p;
    }

    // Human lines: each begins with its port; then the count of ports by result.
    const RunResult h = RunProgram({kCli, "--port", port, "--port", p2, "status"});
    EXPECT_EQ(h.exitCode, 0) << h.err;
    std::istringstream in(h.out);
    std::string line, lastLine;
    while (std::getline(in, line)) {
        if (line.rfind("[" + port + "] ", 0) != 0 && line.rfind("[" + p2 + "] ", 0) != 0) lastLine = line;
    }
    EXPECT_EQ(lastLine, "2 ports: 2 ok; exit status 0") << h.out;
    EXPECT_NE(h.out.find("[" + p2 + "] STATUS  answers 1  result ok"), std::string::npos) << h.out;
    second.Stop();
    third.Stop();
}

// A module that acknowledges and never answers costs --timeout seconds, not
// the two minutes of the response time-out.
TEST_F(CliE2E, TimeoutBoundsTheRun) {
    zsim::Faults f;
    f.noResponse = 1;
    sim.SetFaults(f);
    const RunResult r = Cli({"--json", "--timeout", "2", "status"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_GE(r.elapsed, 1900ms);
    EXPECT_LT(r.elapsed, 30s);
    EXPECT_NE(r.err.find("zantu-cli: timed out after 2 s"), std::string::npos) << r.err;
    const json s = OfType(JsonLines(r.out), "summary").at(0);
    EXPECT_EQ(s["result"], "timed_out");
    EXPECT_EQ(s["exit"], 2);
    EXPECT_EQ(sim.GetStats().badFrames, 0u) << "a frame was cut";
}

// ---- failures --------------------------------------------------------------------

TEST_F(CliE2E, DeviceErrorExitsOne) {
    ASSERT_TRUE(sim.InjectError('P', 0x21, 1));
    const RunResult r = Cli({"--json", "status"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Error = 01: PickUp Error"), std::string::npos) << r.err;
    const auto lines = JsonLines(r.out);
    const json a = OfType(lines, "answer").at(0);
    EXPECT_EQ(a["error"], 1);
    EXPECT_EQ(a["error_text"], "PickUp Error");
    EXPECT_EQ(OfType(lines, "summary").at(0)["result"], "device_error");

    // In a batch the errored answer ends it, as in the window.
    ASSERT_TRUE(sim.InjectError('R', 0x4C, 1, 1));
    const RunResult b = Cli({"dispense", "1", "0", "0", "0", "--repeat", "4", "--wait", "1"});
    EXPECT_EQ(b.exitCode, 1);
    EXPECT_NE(b.out.find("DISPENSE 2/4  Error = 2c Cash-Cassette2 Not Exist"), std::string::npos) << b.out;
    EXPECT_EQ(FramesWith('R').size(), 2u);
}

TEST_F(CliE2E, NoAckExitsTwo) {
    zsim::Faults f;
    f.withholdAck = 100;
    sim.SetFaults(f);
    const RunResult r = Cli({"--json", "status"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_GE(r.elapsed, 3900ms);  // sent at 0, 1, 2 and 3 s; given up at 4 s
    EXPECT_NE(r.err.find("!!! Error ACK Timeout"), std::string::npos) << r.err;
    const auto lines = JsonLines(r.out);
    EXPECT_TRUE(OfType(lines, "answer").empty());
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["result"], "link_failed");
    EXPECT_EQ(s["status"], "!!! Error ACK Timeout");
}

TEST_F(CliE2E, PortLostDuringABatchExitsTwo) {
    zsim::Faults f;
    f.hangUpAfter = 1;  // the line goes after the first answer
    sim.SetFaults(f);
    const RunResult r = Cli({"--json", "dispense", "1", "0", "0", "0", "--repeat", "3", "--wait", "1"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    const auto lines = JsonLines(r.out);
    EXPECT_EQ(OfType(lines, "answer").size(), 1u);
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["result"], "link_failed");
    EXPECT_EQ(s["status"], "!!! COM1 lost");
    EXPECT_NE(s["message"].get<std::string>().find(port + " went away"), std::string::npos) << s;
    EXPECT_LT(r.elapsed, 4500ms) << "ended when the port went, not by the time-outs (1 s + 4 s)";
    EXPECT_TRUE(sim.HungUp());
    // What the batch did before the port went.
    EXPECT_EQ(s["fields"]["repeat"], 3);
    EXPECT_EQ(s["fields"]["dispensed_sum"], json::parse("[1,0,0,0]"));
    EXPECT_EQ(s["fields"]["total"], json::parse(R"({"requested":1,"dispensed":1,"rejected":0})"));
}

TEST_F(CliE2E, PortThatCannotBeOpenedExitsThree) {
    // Held by another program.
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
    const RunResult busy = Cli({"--json", "status"});
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    EXPECT_EQ(busy.exitCode, 3);
    EXPECT_NE(busy.err.find("cannot open " + port), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("is in use by another program: process " + std::to_string(::getpid())),
              std::string::npos)
        << busy.err;
    const auto lines = JsonLines(busy.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["type"], "summary");
    EXPECT_EQ(lines[0]["result"], "port_failed");
    EXPECT_EQ(lines[0]["status"], "!!! Error COM1 connect");

    const RunResult none = RunProgram({kCli, "--port", "/dev/zantu-no-such-port", "status"});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("/dev/zantu-no-such-port does not exist"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("give --port the name it has (see zantu-cli list-ports)"), std::string::npos);

    // A COM number opens the device the window maps it to.
    if (!fs::exists("/dev/ttyS9")) {
        const RunResult com = RunProgram({kCli, "--port", "COM10", "status"});
        EXPECT_EQ(com.exitCode, 3);
        EXPECT_NE(com.err.find("cannot open /dev/ttyS9 (COM10)"), std::string::npos) << com.err;
        EXPECT_NE(com.err.find("/dev/ttyS9 does not exist"), std::string::npos) << com.err;
        EXPECT_NE(com.err.find("!!! Error COM10 connect"), std::string::npos) << com.err;
    }
    EXPECT_TRUE(sim.ReceivedFrames().empty());

    // Open without any lock, as socat's pseudo-terminal pair keeps its ends:
    // refused, unless --shared.
    const int plain = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(plain, 0);
    const RunResult refused = Cli({"status"});
    const RunResult shared = Cli({"--shared", "status"});
    ::close(plain);
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("give --shared to open it anyway"), std::string::npos) << refused.err;
    EXPECT_EQ(shared.exitCode, 0) << shared.err;
}

TEST_F(CliE2E, SigtermAndSighupCloseThePortAndExitWithTheSignal) {
    char real[PATH_MAX];
    ASSERT_NE(::realpath(port.c_str(), real), nullptr);
    const std::string lockFile = portlock::DefaultLockDir() + "/" + portlock::LockFileName(real);
    for (const int sig : {SIGTERM, SIGHUP}) {
        bool sent = false;
        RunOptions o;
        o.onTick = [&](pid_t pid, const std::string& out) {
            if (!sent && out.find('\n') != std::string::npos) {  // the first answer is out
                ::kill(pid, sig);
                sent = true;
            }
        };
        const RunResult r = Cli({"--json", "dispense", "1", "0", "0", "0", "--repeat", "5", "--wait", "10"}, o);
        EXPECT_EQ(r.exitCode, 128 + sig) << r.err;
        EXPECT_LT(r.elapsed, 9s);
        EXPECT_FALSE(fs::exists(lockFile)) << lockFile;
        // The exclusive flag is cleared: this user opens the port again.
        const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        int excl = -1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 0);
        ::close(fd);
    }
}

TEST_F(CliE2E, AsAnOrdinaryUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs as an ordinary user already";
    // A copy of the program in a folder that user may read, run from there:
    // the build folder may lie in a private one (a home folder, a mktemp -d).
    TempDir dir;
    const std::string cli = (dir.Path() / "zantu-cli").string();
    fs::copy_file(kCli, cli);
    RunOptions nobody;
    nobody.asNobody = true;
    nobody.dir = dir.Path().string();
    // The pseudo-terminal belongs to root: refused, with the reason.
    const RunResult denied = RunProgram({cli, "--port", port, "status"}, nobody);
    EXPECT_EQ(denied.exitCode, 3) << denied.err;
    EXPECT_NE(denied.err.find("Permission denied: this user may not open " + port), std::string::npos)
        << denied.err;
    // Its own simulated module works.
    const RunResult own = RunProgram({cli, "--simulate", "--sim-time-scale", "0", "status"}, nobody);
    EXPECT_EQ(own.exitCode, 0) << own.err;
    EXPECT_NE(own.out.find("OPACITY"), std::string::npos);
}

// ---- download ---------------------------------------------------------------------

class CliDownload : public CliE2E {
protected:
    explicit CliDownload(const zsim::SimOptions& o = {}) : CliE2E(o) {}
    TempDir dir;

    std::string MakeHex(const std::string& name, const Bytes& bin) {
        const fs::path binPath = dir.Path() / (name + ".bin");
        const fs::path hexPath = dir.Path() / (name + ".hex");
        std::ofstream(binPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
        const RunResult r = RunProgram({"objcopy", "-I", "binary", "-O", "ihex", binPath.string(), hexPath.string()});
        EXPECT_EQ(r.exitCode, 0) << "objcopy (binutils): " << r.err;
        return hexPath.string();
    }
    // A copy of a HEX file whose second record carries a wrong checksum.
    std::string BadChecksum(const std::string& hex) {
        std::string text = ReadFile(hex);
        const std::size_t second = text.find('\n') + 1;
        const std::size_t eol = text.find('\n', second);
        std::size_t last = eol - 1;
        while (text[last] == '\r') --last;
        text[last] = text[last] == '0' ? '1' : '0';
        const fs::path p = dir.Path() / "badsum.hex";
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
};

TEST_F(CliDownload, ObjcopyHexLandsInTheFlashByteForByte) {
    Bytes bin(kImageSize);
    std::mt19937 rng(15);
    for (auto& b : bin) b = static_cast<std::uint8_t>(rng());
    const std::string hex = MakeHex("fw", bin);

    const RunResult r = Cli({"--json", "download", hex, "--verify", "--reset"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sim.Flash(), bin);
    const auto lines = JsonLines(r.out);
    const auto answers = OfType(lines, "answer");
    ASSERT_EQ(answers.size(), 1u + kBlockCount + 1u);
    EXPECT_EQ(answers.front()["step"], "go-loader");
    EXPECT_EQ(answers[1]["fields"], json::parse(R"({"block":1,"address":"0000"})"));
    EXPECT_EQ(answers[kBlockCount]["fields"]["address"], "9F80");
    EXPECT_EQ(answers.back()["code"], "t");
    EXPECT_EQ(answers.back()["error"], 0);
    EXPECT_EQ(OfType(lines, "ack").size(), 1u);
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["answers"], answers.size());
    EXPECT_EQ(s["fields"]["blocks"], kBlockCount);
    EXPECT_EQ(s["fields"]["downloaded"], true);
    EXPECT_EQ(s["fields"]["verified"], true);
    EXPECT_EQ(s["fields"]["reset"], true);
    EXPECT_EQ(FramesWith('D').size(), 1u);
    EXPECT_NE(r.err.find("Downloading Done!"), std::string::npos);

    // Human lines: no line per block (no terminal, so no bar either); Verify
    // unless --no-verify.
    // The image's identity comes first, before Go Loader.
    const auto images = OfType(lines, "image");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(lines.front()["type"], "image");
    EXPECT_EQ(images[0]["records"], kImageSize / 16);  // objcopy writes 16 bytes a record
    EXPECT_EQ(images[0]["data_bytes"], kImageSize);
    EXPECT_EQ(images[0]["sum"], s["fields"]["image_sum"]);
    char crc[12];
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(image::Crc32(bin)));
    EXPECT_EQ(images[0]["crc32"], crc);
    const std::string idLine = "image " + hex + ": 2560 records, 40960 bytes, sum 0x" +
                               s["fields"]["image_sum"].get<std::string>() + ", CRC-32 0x" + crc + "\n";
    const RunResult h = Cli({"download", hex});
    EXPECT_EQ(h.exitCode, 0) << h.err;
    EXPECT_EQ(h.out, idLine + "Go Loader\nVerify\n  image sum " + s["fields"]["image_sum"].get<std::string>() +
                         "\nWrite Prog  blocks 320/320  Verify O.K.\n");
    const RunResult nv = Cli({"download", hex, "--no-verify"});
    EXPECT_EQ(nv.exitCode, 0) << nv.err;
    EXPECT_EQ(nv.out, idLine + "Go Loader\nWrite Prog  blocks 320/320\n");
    const RunResult info = RunProgram({kCli, "hex-info", hex});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.out, idLine) << "hex-info prints what download prints";
    EXPECT_EQ(FramesWith('t').size(), 2u) << "Verify sent by the first two runs only";
    EXPECT_EQ(h.err.find("Write Prog ["), std::string::npos) << "a bar on a pipe";

    // On a terminal, standard error shows the bar; it ends full and is wiped.
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(kCli, kCli, "--port", port.c_str(), "download", hex.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    const auto end = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > end) break;
        if (::poll(&p, 1, 20) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_NE(seen.find("\rWrite Prog [" + std::string(40, '#') + "] 320/320"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\033[K"), std::string::npos);
}

TEST_F(CliDownload, RefusedFilesSendNothing) {
    const std::string good = MakeHex("small", Bytes(256, 0x5A));
    std::string text = ReadFile(good);
    const fs::path cut = dir.Path() / "cut.hex";
    std::ofstream(cut, std::ios::binary) << text.substr(0, text.size() / 2);  // no end record
    const RunResult r = Cli({"download", cut.string()});
    EXPECT_EQ(r.exitCode, 65) << r.err;
    EXPECT_NE(r.err.find("cut.hex"), std::string::npos) << r.err;

    const RunResult missing = Cli({"--json", "download", (dir.Path() / "none.hex").string()});
    EXPECT_EQ(missing.exitCode, 66);
    EXPECT_EQ(JsonLines(missing.out).at(0)["result"], "no_input");
    EXPECT_TRUE(sim.ReceivedFrames().empty()) << "the module must not be put into its loader";

    // A record's checksum changed: refused with its line, unless --ignore-checksums.
    const std::string badSum = BadChecksum(good);
    const RunResult refused = Cli({"download", badSum});
    EXPECT_EQ(refused.exitCode, 65) << refused.err;
    EXPECT_NE(refused.err.find("line 2: checksum"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--ignore-checksums"), std::string::npos) << refused.err;
    EXPECT_TRUE(sim.ReceivedFrames().empty());

    const fs::path trace = dir.Path() / "wire.txt";
    const RunResult taken = Cli({"--trace", trace.string(), "download", badSum, "--ignore-checksums", "--no-verify"});
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_NE(taken.err.find("line 2: checksum"), std::string::npos) << taken.err;
    EXPECT_NE(taken.err.find("downloaded anyway (--ignore-checksums)"), std::string::npos) << taken.err;
    EXPECT_NE(ReadFile(trace).find("# bad records: "), std::string::npos) << ReadFile(trace);
    EXPECT_EQ(FramesWith('s').size(), static_cast<std::size_t>(kBlockCount));
}

// hex-info checks a file with no port: its identity, or why it is refused.
TEST_F(CliDownload, HexInfoChecksAFileWithoutAPort) {
    const std::string good = MakeHex("good", Bytes(256, 0x5A));
    const fs::path cut = dir.Path() / "cut.hex";
    std::ofstream(cut, std::ios::binary) << ReadFile(good).substr(0, ReadFile(good).size() / 2);
    struct Case {
        std::string file;
        int exit;
        const char* result;
    };
    const Case cases[] = {
        {good, 0, "ok"},
        {cut.string(), 65, "data_error"},
        {BadChecksum(good), 65, "data_error"},
        {(dir.Path() / "none.hex").string(), 66, "no_input"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunProgram({kCli, "--json", "hex-info", c.file});
        EXPECT_EQ(r.exitCode, c.exit) << c.file << "\n" << r.err;
        const auto lines = JsonLines(r.out);
        EXPECT_EQ(OfType(lines, "summary").at(0)["result"], c.result) << c.file;
        const auto images = OfType(lines, "image");
        EXPECT_EQ(images.size(), c.exit == 0 ? 1u : 0u) << c.file;
        if (c.exit == 0) {
            EXPECT_EQ(images[0]["file"], c.file);
        } else {
            EXPECT_NE(r.err.find(fs::path(c.file).filename().string()), std::string::npos) << r.err;
        }
    }
    EXPECT_TRUE(sim.ReceivedFrames().empty());
}

TEST_F(CliDownload, DownloadThatEndsEarlySaysWhatTheFlashHolds) {
    const std::string hex = MakeHex("fw", Bytes(256, 0x22));
    // A module error on block 1 is a device error, also when its answer is
    // handled before the press has returned (several runs).
    for (int run = 0; run < 6; ++run) {
        ASSERT_TRUE(sim.InjectError('s', 0x20 + 0x33, 1));
        const RunResult r = Cli({"--json", "download", hex});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("Program Writing Error"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("refused"), std::string::npos) << r.err;
        const auto lines = JsonLines(r.out);
        EXPECT_EQ(OfType(lines, "answer").back()["error"], 0x33);
        const json s = OfType(lines, "summary").at(0);
        EXPECT_EQ(s["device_errors"], 1);
        EXPECT_EQ(s["fields"]["blocks"], 0);
        EXPECT_NE(s["message"].get<std::string>().find("flash holds 0 of 320 blocks"), std::string::npos) << s;
    }
    // Verify that never ran is not said to have failed.
    ASSERT_TRUE(sim.InjectError('s', 0x20 + 0x33, 1));
    const RunResult h = Cli({"download", hex, "--verify"});
    EXPECT_EQ(h.exitCode, 1) << h.err;
    EXPECT_NE(h.out.find("Write Prog  blocks 0/320  Verify not run"), std::string::npos) << h.out;
}

TEST_F(CliDownload, TraceFileThatFillsUpFailsTheRunAfterItsResult) {
    const std::string hex = MakeHex("fw", Bytes(256, 0x33));
    const fs::path file = dir.Path() / "wire.txt";
    // Room for a few lines only (a file size limit of 4 KiB stands for a full disk).
    const RunResult r = RunProgram({"bash", "-c", "ulimit -f 4; exec \"$0\" \"$@\"", kCli, "--port", port, "--json",
                                    "--trace", file.string(), "download", hex, "--no-verify"});
    EXPECT_EQ(r.exitCode, 74) << r.err;
    EXPECT_NE(r.err.find("writing trace file '" + file.string() + "' failed"), std::string::npos) << r.err;
    const auto lines = JsonLines(r.out);
    EXPECT_EQ(OfType(lines, "answer").size(), 1u + kBlockCount);  // the run itself went through
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["result"], "io_error");
    EXPECT_EQ(s["fields"]["downloaded"], true);
    EXPECT_LE(fs::file_size(file), 4096u);
}

// A module at its own pace: Ctrl+C during the download stops it after the
// block under way, whose answer is still read; every frame sent is whole.
class CliPacedDownload : public CliDownload {
protected:
    static zsim::SimOptions Paced() {
        zsim::SimOptions o;
        o.pace = true;
        return o;
    }
    CliPacedDownload() : CliDownload(Paced()) {}
};

TEST_F(CliPacedDownload, CtrlCStopsAfterTheBlockUnderWay) {
    const std::string hex = MakeHex("fw", Bytes(kImageSize, 0x11));
    bool sent = false;
    RunOptions o;
    o.limit = 30s;
    o.onTick = [&](pid_t pid, const std::string&) {
        if (!sent && sim.FramesReceived('s') >= 3) {
            ::kill(pid, SIGINT);
            sent = true;
        }
    };
    const RunResult r = Cli({"--json", "download", hex, "--verify"}, o);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    const auto lines = JsonLines(r.out);
    std::size_t blocks = 0;
    for (const auto& a : OfType(lines, "answer")) blocks += a["code"] == "s";
    const std::size_t frames = FramesWith('s').size();
    EXPECT_GE(frames, 3u);
    EXPECT_LT(frames, 10u);
    EXPECT_EQ(blocks, frames) << "each block sent was answered before the stop";
    EXPECT_EQ(sim.GetStats().badFrames, 0u) << "a frame was cut";
    EXPECT_TRUE(FramesWith('t').empty());
    const json s = OfType(lines, "summary").at(0);
    EXPECT_EQ(s["result"], "stopped");  // after the block under way, as STOP
    EXPECT_EQ(s["fields"]["blocks"], static_cast<int>(blocks));
    EXPECT_EQ(s["fields"]["downloaded"], false);
}

// ---- service log ------------------------------------------------------------------

class CliLog : public CliE2E {
protected:
    static zsim::SimOptions ThreeFrames() {
        zsim::SimOptions o;
        o.module.logFrames = 3;
        o.module.logSize = 80;
        return o;
    }
    CliLog() : CliE2E(ThreeFrames()) {}
    TempDir dir;

    fs::path PasswordFile(const std::string& text) {
        const fs::path p = dir.Path() / "pw";
        std::ofstream(p) << text;
        return p;
    }
    std::vector<fs::path> LogFiles() {
        std::vector<fs::path> v;
        static const std::regex name(R"(\d{6}_\d{6}\.txt)");
        for (const auto& e : fs::directory_iterator(dir.Path() / "logs"))
            if (std::regex_match(e.path().filename().string(), name)) v.push_back(e.path());
        return v;
    }
};

TEST_F(CliLog, WrittenWholeToTheGivenDirectory) {
    fs::create_directory(dir.Path() / "logs");
    const fs::path pw = PasswordFile("rinq\r\n");
    const RunResult r = Cli({"--json", "log", "--password-file", pw.string(), "--dir", (dir.Path() / "logs").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string text = ReadFile(files[0]);
    // Three frames of 80 bytes: 72 bytes and a line break, 8 bytes, the end mark.
    std::size_t ends = 0;
    for (std::size_t p = 0; (p = text.find("\r\n---END\r\n", p)) != std::string::npos; ++p) ++ends;
    EXPECT_EQ(ends, 3u);
    EXPECT_EQ(text.size(), 3u * (80 + 2 + 10));
    const json a = OfType(JsonLines(r.out), "answer").at(0);
    EXPECT_EQ(a["code"], "~");
    EXPECT_EQ(a["fields"]["file"], files[0].string());
    EXPECT_EQ(a["fields"]["bytes"], static_cast<int>(text.size()));
    EXPECT_EQ(FramesWith('~').size(), 1u);  // LOG sent once for the three frames
    EXPECT_EQ(OfType(JsonLines(r.out), "summary").at(0)["answers"], 1);

    // The password from standard input.
    RunOptions stdinPassword;
    stdinPassword.input = "rinq\n";
    const RunResult in =
        Cli({"log", "--password-file", "-", "--dir", (dir.Path() / "logs").string()}, stdinPassword);
    EXPECT_EQ(in.exitCode, 0) << in.err;
}

TEST_F(CliLog, WrongPasswordOrNowhereToWrite) {
    fs::create_directory(dir.Path() / "logs");
    const RunResult wrong = Cli({"log", "--password-file", PasswordFile("RINQ").string(), "--dir",
                                 (dir.Path() / "logs").string()});
    EXPECT_EQ(wrong.exitCode, 77);
    EXPECT_NE(wrong.err.find("wrong service password"), std::string::npos);
    EXPECT_TRUE(LogFiles().empty());

    const RunResult nodir = Cli({"log", "--password-file", PasswordFile("rinq").string(), "--dir",
                                 (dir.Path() / "missing").string()});
    EXPECT_EQ(nodir.exitCode, 73);
    const RunResult nofile = Cli({"log", "--password-file", (dir.Path() / "nopw").string()});
    EXPECT_EQ(nofile.exitCode, 66);
    const RunResult notty = Cli({"log", "--dir", (dir.Path() / "logs").string()});
    EXPECT_EQ(notty.exitCode, 64);
    EXPECT_NE(notty.err.find("--password-file"), std::string::npos);
    EXPECT_TRUE(FramesWith('~').empty());
}

TEST_F(CliLog, PasswordAskedOnTheTerminalWithoutEcho) {
    fs::create_directory(dir.Path() / "logs");
    int master = -1;
    const std::string logs = (dir.Path() / "logs").string();
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(kCli, kCli, "--port", port.c_str(), "log", "--dir", logs.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    bool answered = false;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;  // the child closed the terminal
            seen.append(buf, static_cast<std::size_t>(n));
        }
        if (!answered && seen.find("Enter Password: ") != std::string::npos) {
            ASSERT_EQ(::write(master, "rinq\n", 5), 5);
            answered = true;
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_TRUE(answered) << seen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(seen.find("rinq"), std::string::npos) << "the password was echoed:\n" << seen;
    EXPECT_EQ(LogFiles().size(), 1u);
}

// ---- one record of many ports -------------------------------------------------

// Reads the record with Python's csv module and checks every summary row
// against the JSON summary of its port, field by field; prints the summary
// rows it checked.  Arguments: RECORD.csv OUTPUT.jsonl PORT=UNIT...
constexpr const char* kRecordCheck = R"PY(
import csv, json, sys
rows = list(csv.DictReader(open(sys.argv[1], newline='')))
summaries = {}
for line in open(sys.argv[2]):
    j = json.loads(line)
    if j.get('type') == 'summary':
        summaries[j['port']] = j
units = dict(a.rsplit('=', 1) for a in sys.argv[3:])
bad = []
def num(v):
    return '' if v is None else str(v)
def sums(r, name):
    if r[name + '_1'] == '':
        return ''
    return str(sum(int(r['%s_%d' % (name, b)]) for b in range(1, 5)))
checked = 0
for r in rows:
    if r['unit'] != units.get(r['port']):
        bad.append(('unit', r['port'], r['unit']))
    if not r['time'][-6] in '+-' or r['run'] != rows[0]['run']:
        bad.append(('time or run', r['time'], r['run']))
    if r['type'] != 'summary':
        continue
    checked += 1
    j = summaries[r['port']]
    f = j.get('fields', {})
    total = f.get('total', {})
    want = {'result': j['result'], 'exit': str(j['exit']), 'message': j['message'],
            'answer': str(j['answers']), 'of': num(f.get('repeat'))}
    for k, v in want.items():
        if r[k] != v:
            bad.append((r['port'], k, r[k], v))
    if sums(r, 'requested') != num(total.get('requested')) or r['arguments'] == '':
        bad.append((r['port'], 'requested', sums(r, 'requested'), total.get('requested')))
    for name in ('dispensed', 'rejected'):
        per_box = f.get(name + '_sum')
        for b in range(4):
            w = '' if per_box is None else num(per_box[b])
            if r['%s_%d' % (name, b + 1)] != w:
                bad.append((r['port'], name, b + 1, r['%s_%d' % (name, b + 1)], w))
        if sums(r, name) != num(total.get(name)):
            bad.append((r['port'], name, 'total', sums(r, name), total.get(name)))
    reasons = f.get('reasons') or {}
    for k in ('reject', 'rvdt', 'len', 'skw', 'dst', 'flen', 'fdst'):
        if r['reason_' + k] != num(reasons.get(k)):
            bad.append((r['port'], k, r['reason_' + k], reasons.get(k)))
for b in bad:
    print('MISMATCH', b)
print('checked', checked)
sys.exit(1 if bad else 0)
)PY";

// Eight modules with random faults on one run: two lose their link, one is
// still running when the run is ended (SIGTERM).  The one record file reads
// with Python's csv module, and each port's summary row equals its JSON summary.
TEST(CliEightPorts, OneRecordWhoseSummaryRowsAreTheJsonSummaries) {
    if (std::system("python3 -c 'import csv, json' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    std::vector<std::unique_ptr<zsim::Simulator>> sims;
    std::vector<std::string> args{kCli, "--json"};
    std::vector<std::string> units;
    for (int i = 0; i < 8; ++i) {
        zsim::SimOptions so;
        so.module.seed = 700 + static_cast<std::uint32_t>(i);
        so.module.rejectRate = 0.2;
        so.module.faultRate = i == 7 ? 0.0 : 0.08;
        if (i == 7) {  // slow notes: still dispensing when the run is ended
            so.pace = true;
            so.timeScale = 20.0;
        }
        sims.push_back(std::make_unique<zsim::Simulator>(so));
        const std::string path = sims.back()->StartOnPty();
        if (path.empty()) GTEST_SKIP() << "no pseudo-terminal";
        if (i < 2) {
            zsim::Faults f;
            f.hangUpAfter = 2;  // the line goes after the second answer
            sims.back()->SetFaults(f);
        }
        const std::string unit = "SN-" + std::to_string(4100 + i);
        args.insert(args.end(), {"--port", path + "=" + unit});
        units.push_back(path + "=" + unit);
    }
    TempDir dir;
    const fs::path record = dir.Path() / "line.csv";
    args.insert(args.end(), {"--record", record.string(), "dispense", "2", "1", "0", "1", "--repeat", "4", "--wait",
                             "1"});
    RunOptions o;
    o.limit = 120s;
    bool sent = false;
    const auto start = std::chrono::steady_clock::now();
    o.onTick = [&](pid_t pid, const std::string& out) {
        std::size_t summaries = 0;
        for (std::size_t at = out.find("\"type\":\"summary\""); at != std::string::npos;
             at = out.find("\"type\":\"summary\"", at + 1))
            ++summaries;
        // Six summaries: the lost lines and most fast units have ended (one of
        // the faulty ones may still wait out a lost answer); the slow unit is
        // certainly still dispensing.
        if (!sent && (summaries >= 6 || std::chrono::steady_clock::now() - start > 60s)) {
            ::kill(pid, SIGTERM);
            sent = true;
        }
    };
    const RunResult r = RunProgram(args, o);
    EXPECT_EQ(r.exitCode, 143) << r.err;
    const auto lines = JsonLines(r.out);
    std::map<std::string, int> results;
    for (const auto& s : OfType(lines, "summary")) ++results[s.value("result", "")];
    EXPECT_GE(results["link_failed"], 2) << r.out;
    EXPECT_GE(results["interrupted"], 1) << r.out;

    const fs::path output = dir.Path() / "out.jsonl", script = dir.Path() / "check.py";
    std::ofstream(output) << r.out;
    std::ofstream(script) << kRecordCheck;
    std::vector<std::string> check{"python3", script.string(), record.string(), output.string()};
    check.insert(check.end(), units.begin(), units.end());
    const RunResult c = RunProgram(check);
    EXPECT_EQ(c.exitCode, 0) << c.out << c.err << ReadFile(record);
    EXPECT_NE(c.out.find("checked 8"), std::string::npos) << c.out << ReadFile(record);
}

}  // namespace
