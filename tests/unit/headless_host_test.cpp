// The headless back-end's own rules: timer order on the virtual clock, posted
// messages in order, the cross-thread send and its cancellation.
#include "framework/HeadlessHost.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Recorder : fw::Window {
    fw::HeadlessHost* host = nullptr;
    std::vector<std::pair<std::uint64_t, int>> timers;
    std::vector<unsigned> messages;
    void OnTimer(int id) override {
        timers.emplace_back(host->Now(), id);
        host->KillTimer(id);
    }
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override {
        messages.push_back(msg);
        return 1;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

TEST(HeadlessHost, TimersFireInDueOrderThenStartOrder) {
    fw::HeadlessHost host;
    Recorder w;
    w.host = &host;
    host.SetWindow(&w);
    host.SetTimer(2, 300);
    host.SetTimer(1, 100);
    host.SetTimer(3, 300);
    host.Advance(299);
    ASSERT_EQ(w.timers.size(), 1u);
    host.Advance(1);
    ASSERT_EQ(w.timers.size(), 3u);
    EXPECT_EQ(w.timers[0], (std::pair<std::uint64_t, int>{100, 1}));
    EXPECT_EQ(w.timers[1], (std::pair<std::uint64_t, int>{300, 2}));
    EXPECT_EQ(w.timers[2], (std::pair<std::uint64_t, int>{300, 3}));
}

TEST(HeadlessHost, RestartingATimerCountsFromTheFullTime) {
    fw::HeadlessHost host;
    Recorder w;
    w.host = &host;
    host.SetWindow(&w);
    host.SetTimer(1, 1000);
    host.Advance(600);
    host.SetTimer(1, 1000);
    host.Advance(999);
    EXPECT_TRUE(w.timers.empty());
    host.Advance(1);
    ASSERT_EQ(w.timers.size(), 1u);
    EXPECT_EQ(w.timers[0].first, 1600u);
}

TEST(HeadlessHost, UnkilledTimersArePeriodic) {
    fw::HeadlessHost host;
    struct Counting : Recorder {
        void OnTimer(int id) override { timers.emplace_back(host->Now(), id); }
    } w;
    w.host = &host;
    host.SetWindow(&w);
    host.SetTimer(4, 300);
    host.Advance(900);
    EXPECT_EQ(w.timers.size(), 3u);
}

TEST(HeadlessHost, PostedMessagesRunInOrder) {
    fw::HeadlessHost host;
    Recorder w;
    host.SetWindow(&w);
    host.PostMessage(5, 0, 0);
    host.PostMessage(7, 0, 0);
    EXPECT_TRUE(w.messages.empty());
    host.Pump();
    EXPECT_EQ(w.messages, (std::vector<unsigned>{5, 7}));
}

TEST(HeadlessHost, CrossThreadSendReturnsAfterTheHandlerRan) {
    fw::HeadlessHost host;
    Recorder w;
    host.SetWindow(&w);
    bool result = false;
    std::jthread sender([&](std::stop_token st) { result = host.SendMessageFromThread(0x401, 0, 0, st); });
    ASSERT_TRUE(host.PumpUntil([&] { return !w.messages.empty(); }));
    sender.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(w.messages, (std::vector<unsigned>{0x401}));
}

TEST(HeadlessHost, CancelledCrossThreadSendNeverRuns) {
    fw::HeadlessHost host;
    Recorder w;
    host.SetWindow(&w);
    bool result = true;
    std::jthread sender([&](std::stop_token st) { result = host.SendMessageFromThread(0x401, 0, 0, st); });
    // Stop the sender before the user-interface thread pumps.
    while (true) {
        sender.request_stop();
        break;
    }
    sender.join();
    host.Pump();
    EXPECT_FALSE(result);
    EXPECT_TRUE(w.messages.empty());
}

}  // namespace

namespace {

TEST(HeadlessHost, ResetLeavesTheStateOfANewHost) {
    fw::HeadlessHost host;
    Recorder w;
    w.host = &host;
    host.SetWindow(&w);
    const fw::ControlTemplate tpl[] = {
        {10, fw::CtlKind::Radio, "a", {1, 2, 3, 4}, fw::kStyleGroupStart | fw::kStyleDisabled},
        {11, fw::CtlKind::Radio, "b", {}, fw::kStyleNone},
    };
    host.CreateDialog("t", 10, 10, tpl);
    host.SetControlText(20, "text");
    host.SetCheck(11, 1);
    host.ShowControl(10, false);
    host.SetTimer(1, 100);
    host.Advance(50);
    host.PostMessage(0x405, 0, 0);
    host.MessageBox("box", "", fw::MsgIcon::None);

    host.Reset();
    fw::HeadlessHost fresh;
    EXPECT_EQ(host.Now(), 0u);
    EXPECT_FALSE(host.IsTimerRunning(1));
    EXPECT_TRUE(host.m_boxes.empty());
    EXPECT_EQ(host.GetWindow(), nullptr);
    for (int id : {10, 11, 20}) {
        EXPECT_FALSE(host.HasControl(id)) << id;
        EXPECT_EQ(host.IsControlVisible(id), fresh.IsControlVisible(id)) << id;
        EXPECT_EQ(host.IsControlEnabled(id), fresh.IsControlEnabled(id)) << id;
        EXPECT_EQ(host.GetControlText(id), "") << id;
        EXPECT_EQ(host.GetCheck(id), 0) << id;
        EXPECT_FALSE(host.Click(id)) << id;
    }
    // A control used again starts as a new one.
    host.SetControlText(10, "x");
    fresh.SetControlText(10, "x");
    EXPECT_EQ(host.IsControlEnabled(10), fresh.IsControlEnabled(10));
    EXPECT_EQ(host.IsControlVisible(10), fresh.IsControlVisible(10));
    EXPECT_EQ(host.GetControlRect(10), fresh.GetControlRect(10));
    EXPECT_EQ(host.KindOf(10), fresh.KindOf(10));
    host.SetWindow(&w);
    host.Pump();
    EXPECT_TRUE(w.messages.empty());  // the posted message went with the reset
}

}  // namespace
