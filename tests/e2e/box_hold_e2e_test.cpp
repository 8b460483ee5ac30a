// A message box held open for 10 s in each of the console's waits (a batch's
// Wait, an ACK wait, a response wait, a download between two blocks), with
// the real channel on a pseudo-terminal and the module played by the test:
// nothing leaves while the box is open, what the module sent meanwhile is
// handled after it, and the batch or the download then goes on with exact
// counts.  The box is answered by moving the virtual clock on 10 s.
#include "Invariants.h"
#include "ScriptedModule.h"
#include "SimConsole.h"

#include <fstream>

namespace {

using Bytes = ScriptedModule::Bytes;
constexpr std::uint64_t kBoxMs = 10000;

class BoxHold : public ::testing::Test {
protected:
    ScriptedModule module;
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    inv::Checker checker;
    inv::ConsoleWatch watch{host, checker};
    std::uint64_t framesInBoxes = 0;  // host frames written while a box was open
    int boxesHeld = 0;
    std::uint64_t boxMs = kBoxMs;     // how long each box stays open

    void SetUp() override {
        if (module.Path().empty()) GTEST_SKIP() << "no pseudo-terminal";
        dlg.Create();
        PortMap map;
        map.Set(1, module.Path());
        dlg.m_Comm.SetPortMap(map);
        dlg.OnOpen();
        ASSERT_EQ(dlg.m_strStatus, "COM1 connect");
        ASSERT_TRUE(dlg.Subscribe(&watch));
        // Every box is held 10 s; `during` runs first (the module's bytes that
        // come while it is open).
        host.m_answerBox = [this](const fw::MessageBoxRecord&) {
            const std::uint64_t before = checker.HostFramesWritten();
            if (during) during();
            during = nullptr;
            host.Advance(boxMs);
            module.Service();
            framesInBoxes += checker.HostFramesWritten() - before;
            ++boxesHeld;
            return fw::kIdOk;
        };
    }
    void TearDown() override {
        watch.Look();
        EXPECT_EQ(checker.ViolationCount(), 0u) << checker.FirstViolationTrace();
        dlg.Unsubscribe(&watch);
        dlg.m_Comm.Close();
    }
    std::function<void()> during;

    // Pumps the console and serves the module until pred holds.
    bool Run(const std::function<bool()>& pred) {
        const auto end = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            module.Service();
            if (host.PumpUntil(pred, std::chrono::milliseconds(2))) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
        }
    }
    // Runs the batch to its end, moving the clock over each Wait.
    bool RunBatch() {
        for (int i = 0; i < 10; ++i) {
            if (!Run([&] { return !dlg.m_bBusy || host.IsTimerRunning(kTimerRepeat); })) return false;
            if (!dlg.m_bBusy) return true;
            host.Advance(static_cast<std::uint64_t>(dlg.m_nWaitSec) * 1000);
        }
        return false;
    }
    void PressDispense(const char* repeat) {
        host.SelectTab(ids::kTab, 1);
        for (int id : {1035, 1036, 1037, 1038}) host.Type(id, id == 1035 ? "5" : "0");
        host.Type(ids::kRepeat, repeat);
        host.Type(ids::kWait, "1");
        ASSERT_TRUE(host.Click(1001));
    }
    void ExpectBatch(std::size_t framesSent, int requested) {
        EXPECT_EQ(module.Count('R'), framesSent);
        EXPECT_EQ(dlg.m_bBusy, 0);
        EXPECT_EQ(host.GetControlText(1129), std::to_string(requested));
        EXPECT_EQ(host.GetControlText(1130), std::to_string(requested));  // every note asked for came
        EXPECT_EQ(host.GetControlText(1131), "0");
        EXPECT_EQ(dlg.m_strStatus, "COM1 connect");
    }
};

TEST_F(BoxHold, InABatchsWaitTheNextRunWaitsForTheBox) {
    // Run 1's answer, and in the same chunk an unasked STATUS frame whose
    // device error box opens in the Wait; a dump comes while it is open.
    module.reply = [](const Bytes& f, std::size_t n) {
        Bytes out = ScriptedModule::Standard(f);
        if (n == 0) {
            const Bytes e = ScriptedModule::UnaskedStatusError();
            out.insert(out.end(), e.begin(), e.end());
        }
        return out;
    };
    during = [this] { module.Send(ScriptedModule::Response('w', '0', Bytes(31, '0'))); };
    PressDispense("3");
    ASSERT_TRUE(RunBatch());
    EXPECT_EQ(boxesHeld, 1);
    EXPECT_EQ(framesInBoxes, 0u);
    ExpectBatch(3, 15);
    // The dump was written to the pseudo-terminal while the box was open; the
    // kernel may hand it to the reading side a little later, and on the
    // virtual clock the batch can end before that.
    Run([&] { return checker.FramesAccepted() >= 5; });
    EXPECT_EQ(checker.FramesAccepted(), 5u);  // three answers, the STATUS frame and the dump
}

TEST_F(BoxHold, InAnAckWaitTheResendWaitsForTheBox) {
    // Run 2's first copy is lost; the About box opens while its ACK is awaited.
    module.reply = [](const Bytes& f, std::size_t n) { return n == 1 ? Bytes{} : ScriptedModule::Standard(f); };
    PressDispense("2");
    ASSERT_TRUE(Run([&] { return host.IsTimerRunning(kTimerRepeat); }));
    host.Advance(1000);
    ASSERT_TRUE(Run([&] { return module.Count('R') == 2; }));
    dlg.OnAbout();
    EXPECT_EQ(boxesHeld, 1);
    EXPECT_EQ(framesInBoxes, 0u);
    EXPECT_EQ(module.Count('R'), 2u);
    ASSERT_TRUE(RunBatch());
    ExpectBatch(3, 10);  // the lost copy, resent once the box closed
}

// Run 1 is acknowledged; an unasked STATUS frame's box opens before its
// answer, which comes while the box is open: held 10 s, and held past the
// response time-out, which the answer read after the box makes void.
class BoxHoldInResponseWait : public BoxHold, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(BoxHoldInResponseWait, TheAnswerThatCameCountsAfterTheBox) {
    boxMs = GetParam();
    Bytes first;
    module.reply = [&](const Bytes& f, std::size_t n) {
        if (n != 0) return ScriptedModule::Standard(f);
        first = f;
        Bytes out{proto::ACK};
        const Bytes e = ScriptedModule::UnaskedStatusError();
        out.insert(out.end(), e.begin(), e.end());
        return out;
    };
    during = [&] { module.Send(ScriptedModule::Answer(first)); };
    PressDispense("2");
    ASSERT_TRUE(RunBatch());
    EXPECT_EQ(boxesHeld, 1);
    EXPECT_EQ(framesInBoxes, 0u);
    ExpectBatch(2, 10);
}
INSTANTIATE_TEST_SUITE_P(Held, BoxHoldInResponseWait, ::testing::Values(kBoxMs, kResponseFirstMs + 10000));

TEST_F(BoxHold, BetweenTwoBlocksTheDownloadWaitsForTheBox) {
    ScopedWorkDir work;
    ASSERT_TRUE(work.Ok());
    const std::string hex = (work.Path() / "erased.hex").string();
    std::ofstream(hex) << ":00000001FF\n";
    // Block 10's answer, and with it an unasked STATUS frame's box: the next
    // block is already asked for.
    module.reply = [](const Bytes& f, std::size_t n) {
        Bytes out = ScriptedModule::Standard(f);
        if (n == 9) {
            const Bytes e = ScriptedModule::UnaskedStatusError();
            out.insert(out.end(), e.begin(), e.end());
        }
        return out;
    };
    host.SelectTab(ids::kTab, 5);
    host.m_answerFile = [hex](std::string_view) { return std::optional<std::string>(hex); };
    ASSERT_TRUE(host.Click(ids::kWriteProg));
    ASSERT_TRUE(Run([&] { return !dlg.m_bDownloading && !dlg.m_bBusy; }));
    EXPECT_EQ(boxesHeld, 2);  // the error, and "Downloading Done!"
    EXPECT_EQ(framesInBoxes, 0u);
    EXPECT_EQ(module.Count('s'), static_cast<std::size_t>(kBlockCount));
    EXPECT_EQ(module.Count('t'), 0u);  // nothing doubtful: no Verify of its own
    ASSERT_EQ(host.m_boxes.size(), 2u);
    EXPECT_EQ(host.m_boxes[1].text, "Downloading Done!");
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), kBlockCount);
    EXPECT_EQ(dlg.m_strStatus, "COM1 connect");
}

}  // namespace
