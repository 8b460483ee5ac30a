// A DISPENSE batch end to end against the module simulator, the batch under
// the simulator's faults, and the STATUS, SETTING and TEST pages' commands.
#include "SimConsole.h"

#include <chrono>

namespace {

using namespace std::chrono_literals;

class E2EBatch : public SimConsoleTest {
protected:
    void StartDispense(const char* repeat, const char* wait) {
        host.SelectTab(ids::kTab, 1);
        host.Type(1035, "5");
        host.Type(1036, "0");
        host.Type(1037, "0");
        host.Type(1038, "0");
        host.Type(ids::kRepeat, repeat);
        host.Type(ids::kWait, wait);
        // The click may already pump the answer in (an unpaced module is fast),
        // so the busy flag is not looked at here.
        ASSERT_TRUE(host.Click(1001));
    }
    // Pumps the batch to its end, moving the virtual clock over each wait.
    bool RunToIdle(int maxSteps = 20) {
        for (int i = 0; i < maxSteps; ++i) {
            if (!host.PumpUntil([&] { return !dlg.m_bBusy || host.IsTimerRunning(kTimerRepeat); },
                                kPatience))
                return false;
            if (!dlg.m_bBusy) return true;
            host.Advance(static_cast<std::uint64_t>(dlg.m_nWaitSec) * 1000);
        }
        return !dlg.m_bBusy;
    }
};

TEST_F(E2EBatch, DispenseBatchRunsThreeSendsAndShowsTotals) {
    StartDispense("3", "1");
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(FramesWithCode('R'), 3u);
    for (const auto& f : sim.ReceivedFrames()) {
        if (f.size() > 4 && f[3] == 'R') {
            EXPECT_EQ(f[4], 0x25);  // 5 notes from box 1
        }
    }
    EXPECT_EQ(dlg.m_nTotalRequested, 15);
    EXPECT_EQ(dlg.m_nTotalDispensed + dlg.m_nTotalRejected, 15);
    EXPECT_EQ(host.GetControlText(1129), "15");
    EXPECT_EQ(host.GetControlText(ids::kRepeat), "3");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_TRUE(host.IsControlEnabled(1001));
}

TEST_F(E2EBatch, ErrorByteInDispenseAnswerEndsTheBatch) {
    ASSERT_TRUE(sim.InjectError('R', zsim::err::kPickUp, 1));
    StartDispense("3", "1");
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(FramesWithCode('R'), 1u);
    EXPECT_EQ(host.GetControlText(ids::kRepeat), "1");
    EXPECT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(dlg.m_bBusy, 0);
}

// An answer no send waited for, between two runs: it could be taken for the
// next run's, so the batch ends there and says its counts may be off.
TEST_F(E2EBatch, UnsolicitedDispenseAnswerBetweenSendsEndsTheBatchAndSaysSo) {
    StartDispense("3", "5");
    ASSERT_TRUE(host.PumpUntil([&] { return host.IsTimerRunning(kTimerRepeat); }, kPatience));
    const int accepted = dlg.m_nFramesAccepted;
    sim.SendUnsolicited('R');
    ASSERT_TRUE(host.PumpUntil([&] { return dlg.m_nFramesAccepted > accepted; }, kPatience));
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(FramesWithCode('R'), 1u);
    EXPECT_EQ(dlg.m_bBusy, 0);
    ASSERT_FALSE(host.m_boxes.empty());
    EXPECT_NE(host.m_boxes.back().text.find("the batch stopped; its counts may be off by one: check LAST STAT"),
              std::string::npos);
}

TEST_F(E2EBatch, NoAckGivesFourWritesThenAckTimeout) {
    zsim::Faults f;
    f.withholdAck = 4;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 2);
    ASSERT_TRUE(host.Click(1006));
    for (int i = 0; i < 4; ++i) {
        host.Advance(1000);
        host.PumpUntil([] { return false; }, 50ms);
    }
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(sim.GetStats().goodFrames, 4u);
}

TEST_F(E2EBatch, BadBccIsAnsweredWithNakThenTheGoodFrameIsAccepted) {
    zsim::Faults f;
    f.corruptBcc = 1;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 2);
    ASSERT_TRUE(host.Click(1006));
    ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience));
    EXPECT_EQ(dlg.m_nFramesAccepted, 1);
}

// Runs one command button on its page and waits until the console is idle.
bool RunCommand(fw::HeadlessHost& host, CConsoleDlg& dlg, int nPage, int nButton) {
    // A switch to the SETTING page resets its edits, so stay on the page.
    if (host.GetCurSel(ids::kTab) != nPage) host.SelectTab(ids::kTab, nPage);
    if (!host.Click(nButton)) return false;
    return host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience);
}

TEST_F(E2EBatch, StatusSettingAndTestCommandsShowTheModulesValues) {
    ASSERT_TRUE(RunCommand(host, dlg, 2, 1006));  // STATUS
    EXPECT_EQ(host.GetControlText(1078), "7A");    // box 1 opacity

    host.SelectTab(ids::kTab, 3);
    const char* opacity[4] = {"11", "22", "3C", "44"};
    const int opacityIds[4] = {1086, 1087, 1088, 1089};
    for (int i = 0; i < 4; ++i) host.Type(opacityIds[i], opacity[i]);
    ASSERT_TRUE(RunCommand(host, dlg, 3, 1008));  // SET OPACITY
    for (int id : opacityIds) host.Type(id, "");
    ASSERT_TRUE(RunCommand(host, dlg, 3, 1007));  // GET OPACITY
    for (int i = 0; i < 4; ++i) EXPECT_EQ(host.GetControlText(opacityIds[i]), opacity[i]);

    const int orderIds[4] = {1090, 1091, 1112, 1113};
    const char* order[4] = {"2", "1", "4", "3"};
    host.SelectTab(ids::kTab, 3);
    for (int i = 0; i < 4; ++i) host.Type(orderIds[i], order[i]);
    ASSERT_TRUE(RunCommand(host, dlg, 3, 1010));  // SET ORDER
    for (int id : orderIds) host.Type(id, "");
    ASSERT_TRUE(RunCommand(host, dlg, 3, 1009));  // GET ORDER
    for (int i = 0; i < 4; ++i) EXPECT_EQ(host.GetControlText(orderIds[i]), order[i]);

    ASSERT_TRUE(RunCommand(host, dlg, 3, 1011));  // SEN DIAG
    EXPECT_FALSE(host.GetControlText(1119).empty());

    for (int id : {1012, 1013, 1014, 1015, 1016}) ASSERT_TRUE(RunCommand(host, dlg, 4, id)) << id;
    EXPECT_EQ(host.GetControlText(1126).substr(0, 4), "Z120");
    EXPECT_FALSE(host.GetControlText(1123).empty());
    EXPECT_TRUE(host.m_boxes.empty());
    EXPECT_EQ(FramesWithCode('q'), 5u);
}

// A module that never answers STATUS but sends a dump and a late Reset answer
// meanwhile: the console waits for STATUS's own answer and gives up at its
// deadline, and the page comes back.
TEST_F(E2EBatch, UnaskedFramesDoNotKeepTheConsoleBusyForGood) {
    zsim::Faults f;
    f.noResponse = 1;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 2);
    const std::uint64_t t0 = host.Now();
    ASSERT_TRUE(host.Click(1006));
    ASSERT_TRUE(host.PumpUntil([&] { return !host.IsTimerRunning(kTimerAck); }, kPatience));
    const int accepted = dlg.m_nFramesAccepted;
    sim.SendUnsolicited('w');
    sim.SendUnsolicited('D');
    ASSERT_TRUE(host.PumpUntil([&] { return dlg.m_nFramesAccepted == accepted + 2; }, kPatience));
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_EQ(host.TimerDue(kTimerResponse), t0 + kResponseFirstMs);
    host.Advance(t0 + kResponseFirstMs - host.Now());
    EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_TRUE(host.IsControlEnabled(1006));
    EXPECT_EQ(FramesWithCode('P'), 1u);
}

}  // namespace
