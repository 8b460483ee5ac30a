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
