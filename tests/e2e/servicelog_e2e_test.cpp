// The service log end to end: LOG with the service password against the
// simulated module's log, and the file compared byte for byte with the layout
// a technician's tools read (8-byte records, 9 to a line, "---END" after each
// frame).
//
// The simulated module keeps one 8-byte record per command it ran, "SSSSCVVV"
// (sequence number, command code, first parameter less 0x20), the newest
// last, and fills records its history lacks with dots.
#include "SimConsole.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kDots = "........";
const std::string kEnd = "\r\n---END\r\n";

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

zsim::SimOptions LogOptions(int frames, int size) {
    zsim::SimOptions o;
    o.module.logFrames = frames;
    o.module.logSize = size;
    return o;
}

class E2EServiceLogBase : public SimConsoleTest {
protected:
    using SimConsoleTest::SimConsoleTest;
    ScopedWorkDir work;
    const fs::path kFileName = "070305_140709.txt";  // the headless host's local time

    void SetUp() override {
        ASSERT_TRUE(work.Ok());
        SimConsoleTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        host.m_answerPrompt = [](std::string_view) { return std::optional<std::string>("rinq"); };
    }
    void TearDown() override {
        SimConsoleTest::TearDown();
        // The console keeps its log file open for the rest of the run.
        if (dlg.m_hLogFile) std::fclose(dlg.m_hLogFile);
        dlg.m_hLogFile = nullptr;
    }
    // Presses a button of the STATUS page and waits until the console is idle.
    void PressOnStatusPage(int id) {
        if (host.GetCurSel(ids::kTab) != 2) host.SelectTab(ids::kTab, 2);
        ASSERT_TRUE(host.Click(id));
        ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience));
    }
    std::string LogText() const { return ReadFile(work.Path() / kFileName); }
};

class E2EServiceLog : public E2EServiceLogBase {
protected:
    E2EServiceLog() : E2EServiceLogBase(LogOptions(1, 144)) {}
};

TEST_F(E2EServiceLog, LogFramesAreSavedExactlyAndLaterPressesAppend) {
    PressOnStatusPage(1006);  // STATUS twice: two records in the module's history
    PressOnStatusPage(1006);
    PressOnStatusPage(ids::kLog);
    EXPECT_EQ(host.m_prompts.size(), 1u);
    ASSERT_EQ(dlg.m_strLogPath, (work.Path() / kFileName).string());

    // 144 bytes: two lines of nine records.
    const std::string first = Repeat(kDots, 9) + "\r\n" + Repeat(kDots, 7) + "0000P000" + "0001P000" +
                              "\r\n" + kEnd;
    EXPECT_EQ(LogText(), first);

    // The second press neither asks again nor makes a new file; its frame
    // also holds the record of the first LOG ('~' with the parameter '0').
    PressOnStatusPage(ids::kLog);
    EXPECT_EQ(host.m_prompts.size(), 1u);
    const std::string second = Repeat(kDots, 9) + "\r\n" + Repeat(kDots, 6) + "0000P000" + "0001P000" +
                               "0002~016" + "\r\n" + kEnd;
    EXPECT_EQ(LogText(), first + second);
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(work.Path())) files.push_back(e.path().filename());
    EXPECT_EQ(files, std::vector<fs::path>{kFileName});
    EXPECT_TRUE(host.m_boxes.empty());
}

TEST_F(E2EServiceLog, WrongPasswordSendsNothingAndCreatesNoFile) {
    host.m_answerPrompt = [](std::string_view) { return std::optional<std::string>("rinq "); };
    host.SelectTab(ids::kTab, 2);
    ASSERT_TRUE(host.Click(ids::kLog));
    host.PumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(FramesWithCode('~'), 0u);
    EXPECT_FALSE(fs::exists(work.Path() / kFileName));
    EXPECT_EQ(dlg.m_bBusy, 0);
}

class E2EServiceLogMultiFrame : public E2EServiceLogBase {
protected:
    E2EServiceLogMultiFrame() : E2EServiceLogBase(LogOptions(3, 16)) {}
};

TEST_F(E2EServiceLogMultiFrame, EveryFrameIsWrittenAndOnlyTheFirstAnswersTheLog) {
    // A batch of three on the DISPENSE page first: the batch's repeat count
    // stays 3, so a later frame taken as an answer would send LOG again.
    host.SelectTab(ids::kTab, 1);
    host.Type(1035, "5");
    host.Type(ids::kRepeat, "3");
    host.Type(ids::kWait, "1");
    ASSERT_TRUE(host.Click(1001));
    for (int i = 0; i < 10 && dlg.m_bBusy; ++i) {
        host.PumpUntil([&] { return !dlg.m_bBusy || host.IsTimerRunning(kTimerRepeat); }, kPatience);
        if (dlg.m_bBusy) host.Advance(1000);
    }
    ASSERT_EQ(dlg.m_bBusy, 0);
    ASSERT_EQ(FramesWithCode('R'), 3u);

    PressOnStatusPage(ids::kLog);
    const std::string expected = Repeat(kDots, 2) + kEnd + kDots + "0000R005" + kEnd +
                                 "0001R005" + "0002R005" + kEnd;
    ASSERT_TRUE(host.PumpUntil([&] { return LogText().size() >= expected.size(); }, kPatience));
    // Well past any Wait: nothing more is sent.
    for (int i = 0; i < 5; ++i) {
        host.Advance(1000);
        host.PumpUntil([] { return false; }, 10ms);
    }
    EXPECT_EQ(LogText(), expected);
    EXPECT_EQ(FramesWithCode('~'), 1u);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
}

}  // namespace
