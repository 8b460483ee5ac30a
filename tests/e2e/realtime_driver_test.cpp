// The real-time driver of the headless host: its virtual clock follows the
// real one, timers fire when their real time has come and not before, a
// request from another thread is handled at once, and a wait neither spins
// nor outlasts its limit.  Bounds are loose: the machine may be loaded.
#include "framework/RealTimeDriver.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Recorder final : fw::Window {
    fw::HeadlessHost* host = nullptr;
    std::vector<std::pair<int, Clock::time_point>> timers;
    int messages = 0;
    unsigned armOnMessage = 0;  // a message arms timer 3 for this long (0: none)
    Clock::time_point armedAt{};
    void OnTimer(int id) override {
        host->KillTimer(id);
        timers.emplace_back(id, Clock::now());
    }
    std::intptr_t OnMessage(unsigned, std::uintptr_t, std::intptr_t) override {
        if (armOnMessage) {
            armedAt = Clock::now();
            host->SetTimer(3, armOnMessage);
        }
        return ++messages;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

class RealTimeDriverTest : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    Recorder rec;
    void SetUp() override {
        rec.host = &host;
        host.SetWindow(&rec);
    }
    void TearDown() override { host.SetWindow(nullptr); }
};

TEST_F(RealTimeDriverTest, TimersFireInRealTimeAndInOrder) {
    fw::RealTimeDriver driver(host);
    const auto start = Clock::now();
    host.SetTimer(2, 120);
    host.SetTimer(1, 40);
    EXPECT_TRUE(driver.RunUntil([&] { return rec.timers.size() == 2; }, 10s));
    ASSERT_EQ(rec.timers.size(), 2u);
    EXPECT_EQ(rec.timers[0].first, 1);
    EXPECT_EQ(rec.timers[1].first, 2);
    EXPECT_GE(rec.timers[0].second - start, 40ms);
    EXPECT_GE(rec.timers[1].second - start, 120ms);
    // The virtual clock stands where the real one does.
    EXPECT_GE(host.Now(), 120u);
    EXPECT_LE(host.Now(), driver.VirtualAt(Clock::now()));
}

TEST_F(RealTimeDriverTest, RequestFromAnotherThreadIsHandledWithoutWaitingForATimer) {
    fw::RealTimeDriver driver(host);
    host.SetTimer(1, 60000);  // far away: the driver must not sleep until then
    std::jthread sender([&](std::stop_token st) {
        std::this_thread::sleep_for(30ms);
        host.SendMessageFromThread(0x401, 0, 0, st);
    });
    const auto start = Clock::now();
    EXPECT_TRUE(driver.RunUntil([&] { return rec.messages == 1; }, 20s));
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_TRUE(rec.timers.empty());
}

TEST_F(RealTimeDriverTest, TimerArmedInAHandOverCountsFromTheMomentItIsArmed) {
    // The driver's last step was at its start; the hand-over comes while it
    // waits, well after it.  The timer counts from the hand-over.
    fw::RealTimeDriver driver(host);
    rec.armOnMessage = 200;
    std::jthread sender([&](std::stop_token st) {
        std::this_thread::sleep_for(60ms);
        host.SendMessageFromThread(0x401, 0, 0, st);
    });
    EXPECT_TRUE(driver.RunUntil([&] { return rec.timers.size() == 1; }, 20s));
    ASSERT_EQ(rec.timers.size(), 1u);
    EXPECT_EQ(rec.timers[0].first, 3);
    EXPECT_GE(rec.timers[0].second - rec.armedAt, 200ms);
}

TEST_F(RealTimeDriverTest, WaitEndsAtItsLimitWithoutSpinning) {
    fw::RealTimeDriver driver(host);
    const std::clock_t cpu0 = std::clock();
    const auto start = Clock::now();
    EXPECT_FALSE(driver.RunUntil([] { return false; }, 300ms, 50ms));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    // A spinning loop would use the whole 300 ms of processor time.
    EXPECT_LT(static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.15);
}

}  // namespace
