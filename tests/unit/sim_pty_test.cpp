// The simulator on a real pseudo-terminal: an exchange through the slave
// opened exclusively, reopening the slave, pacing, a prompt Stop and the
// injected hang-up.  Every wait is bounded.
#include "TempTree.h"
#include "Embedded.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

int OpenSlave(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    ioctl(fd, TIOCEXCL);
    flock(fd, LOCK_EX | LOCK_NB);
    return fd;
}

// Reads until `want` bytes came, the line hung up or the limit passed.
Bytes ReadFor(int fd, std::size_t want, int limitMs, bool* hungUp = nullptr) {
    Bytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (got.size() < want && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) continue;
        std::uint8_t buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR) || (p.revents & POLLHUP)) {
            if (hungUp) *hungUp = true;
            break;
        }
    }
    return got;
}

bool WriteAll(int fd, const Bytes& b) { return write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size()); }

constexpr std::size_t kStatusAnswer = 1 + 25;  // ACK, then SOH..BCC of 'P'

TEST(SimPty, ExchangeThroughExclusiveSlaveAndReopen) {
    zsim::Simulator sim;
    const std::string path = sim.StartOnPty();
    ASSERT_FALSE(path.empty()) << sim.LastError();
    for (int round = 0; round < 2; ++round) {  // the second open finds the line as the first did
        const int fd = OpenSlave(path);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAll(fd, zsim::HostFrame('P')));
        const Bytes got = ReadFor(fd, kStatusAnswer, 2000);
        ASSERT_EQ(got.size(), kStatusAnswer);
        EXPECT_EQ(got[0], zsim::kACK);
        EXPECT_EQ(got[1], zsim::kSOH);
        EXPECT_EQ(got[4], 'P');
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < got.size(); ++i) x ^= got[i];
        EXPECT_EQ(x, 0);
        close(fd);
    }
    EXPECT_EQ(sim.FramesReceived('P'), 2u);
    const auto t0 = Clock::now();
    sim.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    sim.Stop();  // twice is harmless
    EXPECT_FALSE(sim.Running());
}

TEST(SimPty, PacedAnswerTakesItsLineTime) {
    zsim::SimOptions opt;
    opt.pace = true;
    opt.module.commandMs = 0;
    zsim::Simulator sim(opt);
    const std::string path = sim.StartOnPty();
    ASSERT_FALSE(path.empty());
    const int fd = OpenSlave(path);
    ASSERT_GE(fd, 0);
    const auto t0 = Clock::now();
    ASSERT_TRUE(WriteAll(fd, zsim::HostFrame('P')));
    const Bytes got = ReadFor(fd, kStatusAnswer, 3000);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    EXPECT_EQ(got.size(), kStatusAnswer);
    // 6 bytes in and 26 out at 1.04 ms a byte.
    EXPECT_GE(ms, 30.0);
    EXPECT_LT(ms, 1000.0);
    close(fd);
}

TEST(SimPty, StopIsPromptDuringALongPacedDispense) {
    zsim::SimOptions opt;
    opt.pace = true;
    zsim::Simulator sim(opt);
    const std::string path = sim.StartOnPty();
    ASSERT_FALSE(path.empty());
    const int fd = OpenSlave(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, zsim::HostFrame('R', {0x84, 0x84, ' ', ' ', ' ', ' ', ' '})));  // 200 notes, ~50 s
    EXPECT_EQ(ReadFor(fd, 1, 1000), Bytes{zsim::kACK});
    const auto t0 = Clock::now();
    sim.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    bool hungUp = false;
    ReadFor(fd, 1, 1000, &hungUp);
    EXPECT_TRUE(hungUp);  // Stop closes the line
    close(fd);
}

TEST(SimPty, HangUpAfterNFramesClosesTheLine) {
    zsim::Simulator sim;
    sim.SetFaults([] {
        zsim::Faults f;
        f.hangUpAfter = 1;
        return f;
    }());
    const std::string path = sim.StartOnPty();
    ASSERT_FALSE(path.empty());
    const int fd = OpenSlave(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, zsim::HostFrame('P')));
    bool hungUp = false;
    const Bytes got = ReadFor(fd, kStatusAnswer + 1, 2000, &hungUp);
    EXPECT_EQ(got.size(), kStatusAnswer);  // the answer still went out
    EXPECT_TRUE(hungUp);
    // The line may be seen closed a moment before the simulator records it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!sim.HungUp() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(sim.HungUp());
    close(fd);
}

TEST(SimPty, UnsolicitedDumpReachesTheHost) {
    zsim::Simulator sim;
    const std::string path = sim.StartOnPty();
    ASSERT_FALSE(path.empty());
    const int fd = OpenSlave(path);
    ASSERT_GE(fd, 0);
    // Wait until the runner sees the host (it looks every 20 ms while nobody is there).
    ASSERT_TRUE(WriteAll(fd, zsim::HostFrame('P')));
    ASSERT_EQ(ReadFor(fd, kStatusAnswer, 2000).size(), kStatusAnswer);
    sim.SendUnsolicited('w');
    const Bytes got = ReadFor(fd, 38, 2000);
    ASSERT_EQ(got.size(), 38u);
    EXPECT_EQ(got[3], 'w');
    close(fd);
}

// The module a front-end embeds: a flash file that cannot be written is said
// before the session; a good one receives the flash when the module stops.
TEST(SimEmbedded, FlashFileIsCheckedFirstAndWrittenAtFinish) {
    TempTree tree;
    const std::string dir = tree.Root();
    const std::string plain = dir + "/plain";
    ASSERT_TRUE(zsim::WriteFlashFile(plain, {1, 2}).empty());
    for (const std::string& bad : {dir, plain + "/flash.bin", dir + "/none/flash.bin"}) {
        zsim::EmbeddedModule m({.timeScale = 0, .saveFlash = bad, .faults = {}});
        EXPECT_TRUE(m.Start().empty()) << bad;
        EXPECT_NE(m.Error().find(bad), std::string::npos) << m.Error();
    }
    const std::string file = dir + "/flash.bin";
    zsim::EmbeddedModule m({.timeScale = 0, .saveFlash = file, .faults = {}});
    const std::string path = m.Start();
    ASSERT_FALSE(path.empty()) << m.Error();
    m.Module().WithCore([](zsim::ModuleCore& c) {
        c.Feed(zsim::HostFrame('r'));
        Bytes block{'0', '0', '0', '0'};
        for (std::size_t i = 0; i < zsim::kBlockSize; ++i) block.insert(block.end(), {'3', '4'});
        c.Feed(zsim::HostFrame('s', block));
    });
    ASSERT_TRUE(m.Finish()) << m.Error();
    std::FILE* f = std::fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes saved(zsim::kFlashSize + 1);
    saved.resize(std::fread(saved.data(), 1, saved.size(), f));
    std::fclose(f);
    ASSERT_EQ(saved.size(), zsim::kFlashSize);
    EXPECT_EQ(saved[0], 0x34);
    EXPECT_EQ(saved[zsim::kBlockSize], 0xFF);
}

}  // namespace
