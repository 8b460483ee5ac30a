// The firmware download end to end: HEX files made by objcopy from binaries,
// loaded by the DOWN_LOAD page's Write Prog and sent in 320 blocks to the
// simulated module, whose flash must then hold the binary byte for byte; and
// the download under the module's faults.
#include "SimConsole.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class E2EDownload : public SimConsoleTest {
protected:
    ScopedWorkDir work;

    void SetUp() override {
        ASSERT_TRUE(work.Ok());
        SimConsoleTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        host.SelectTab(ids::kTab, 5);
    }

    // Writes `bin` to NAME.bin and converts it with objcopy to NAME.hex;
    // returns the HEX file's absolute path.
    std::string MakeHex(const std::string& name, const Bytes& bin) {
        const auto binPath = work.Path() / (name + ".bin");
        const auto hexPath = work.Path() / (name + ".hex");
        std::ofstream(binPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
        const std::string cmd = "objcopy -I binary -O ihex '" + binPath.string() + "' '" +
                                hexPath.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd << " (objcopy comes with binutils)";
        return hexPath.string();
    }
    static Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        return b;
    }
    // Go Loader, answered.
    void EnterLoader() {
        const std::size_t before = BoxesSaying("Go Loader O.K.!");
        ASSERT_TRUE(host.Click(ids::kGoLoader));
        ASSERT_TRUE(host.PumpUntil([&] { return BoxesSaying("Go Loader O.K.!") > before; }, kPatience));
        ASSERT_TRUE(host.PumpUntil([&] { return !host.IsTimerRunning(kTimerAck); }, kPatience));
    }
    void StartWriteProg(const std::string& hex) {
        host.m_answerFile = [hex](std::string_view) { return std::optional<std::string>(hex); };
        ASSERT_TRUE(host.Click(ids::kWriteProg));
    }
    bool DownloadDone(std::size_t times = 1) {
        return host.PumpUntil([&] { return BoxesSaying("Downloading Done!") >= times; }, kPatience);
    }
    // Addresses of the block writes the module received, in order.
    std::vector<unsigned> BlockAddresses() {
        std::vector<unsigned> v;
        for (const auto& f : sim.ReceivedFrames()) {
            if (f.size() < 8 || f[3] != 's') continue;
            unsigned a = 0;
            for (int i = 4; i < 8; ++i) a = (a << 4) | (f[static_cast<std::size_t>(i)] & 0x0F);
            v.push_back(a);
        }
        return v;
    }
    // The download stopped on a time-out: idle, the progress timer off, no
    // "Downloading Done!".
    void ExpectStoppedBy(const char* status) {
        EXPECT_EQ(dlg.m_strStatus, status);
        EXPECT_EQ(dlg.m_bDownloading, 0);
        EXPECT_EQ(dlg.m_bBusy, 0);
        EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
        EXPECT_EQ(BoxesSaying("Downloading Done!"), 0u);
        EXPECT_TRUE(host.IsControlEnabled(ids::kWriteProg));
    }
    static std::vector<unsigned> AllBlockAddresses() {
        std::vector<unsigned> v;
        for (int k = 0; k < kBlockCount; ++k) v.push_back(static_cast<unsigned>(k * kBlockSize));
        return v;
    }
};

TEST_F(E2EDownload, RandomImageLandsInTheModuleByteForByteAndVerifies) {
    const Bytes bin = RandomBytes(kImageSize, 20261207);
    const std::string hex = MakeHex("random", bin);
    EnterLoader();
    StartWriteProg(hex);
    ASSERT_TRUE(DownloadDone());

    EXPECT_EQ(sim.Flash(), bin);
    EXPECT_EQ(BlockAddresses(), AllBlockAddresses());
    EXPECT_EQ(BoxesSaying("Downloading Done!"), 1u);
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), kBlockCount);
    EXPECT_EQ(dlg.m_bDownloading, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
    // The HEX file's folder is now the current directory.
    EXPECT_EQ(std::filesystem::current_path(), work.Path());

    ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience));
    ASSERT_TRUE(host.Click(ids::kVerify));
    ASSERT_TRUE(host.PumpUntil([&] { return BoxesSaying("Verify O.K.!") == 1; }, kPatience));
    EXPECT_EQ(FramesWithCode('t'), 1u);
    EXPECT_EQ(host.m_boxes.size(), 3u);  // Go Loader, Done, Verify: no error box
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(E2EDownload, FileOfOneSmallRangeStillSendsEveryBlockWithTheRestErased) {
    // A full image first, so that the 0xFF of the second download is seen
    // overwriting data rather than the module's erased state.
    EnterLoader();
    StartWriteProg(MakeHex("full", RandomBytes(kImageSize, 7)));
    ASSERT_TRUE(DownloadDone());
    ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience));

    const Bytes head = RandomBytes(0x100, 8);
    StartWriteProg(MakeHex("head", head));
    ASSERT_TRUE(DownloadDone(2));
    Bytes expected(kImageSize, 0xFF);
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(sim.Flash(), expected);
    const auto addrs = BlockAddresses();
    ASSERT_EQ(addrs.size(), 2u * kBlockCount);
    EXPECT_EQ(std::vector<unsigned>(addrs.begin() + kBlockCount, addrs.end()), AllBlockAddresses());
}

TEST_F(E2EDownload, ErrorOnTheHundredFiftiethBlockStopsThere) {
    ASSERT_TRUE(sim.InjectError('s', zsim::err::kProgramWriting, 1, 149));
    EnterLoader();
    StartWriteProg(MakeHex("img", RandomBytes(kImageSize, 3)));
    ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bDownloading; }, kPatience));
    ASSERT_TRUE(host.PumpUntil([&] { return !dlg.m_bBusy; }, kPatience));
    EXPECT_EQ(FramesWithCode('s'), 150u);
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), 150);
    EXPECT_EQ(BoxesSaying("Downloading Done!"), 0u);
    ASSERT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(host.m_boxes.back().caption, "Error = 33 ");
    EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
    // Nothing more goes out on later timer expiries.
    host.Advance(kResponseRepeatMs);
    host.PumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(FramesWithCode('s'), 150u);
}

TEST_F(E2EDownload, NoAckMidDownloadStopsItWithAckTimeout) {
    EnterLoader();
    StartWriteProg(MakeHex("img", RandomBytes(kImageSize, 4)));
    ASSERT_TRUE(host.PumpUntil([&] { return dlg.m_nBlocksDone >= 100; }, kPatience));
    zsim::Faults f;
    f.withholdAck = 4;  // the block and its three resends
    sim.SetFaults(f);
    // Each withheld frame is waited for, then the ACK timer moved on.
    for (int left = 3; left >= 0; --left) {
        ASSERT_TRUE(PollUntil([&] { return sim.GetFaults().withholdAck <= left; }, kPatience)) << left;
        ASSERT_TRUE(host.PumpUntil([&] { return host.IsTimerRunning(kTimerAck); }, kPatience));
        host.Advance(kAckMs);
    }
    host.Pump();
    ExpectStoppedBy("!!! Error ACK Timeout");
    const int stoppedAt = host.GetProgressPos(ids::kProgress);
    EXPECT_GE(stoppedAt, 100);
    EXPECT_LT(stoppedAt, kBlockCount);
    // The module ignored the stopped block and its three resends.
    const auto addrs = BlockAddresses();
    ASSERT_EQ(addrs.size(), static_cast<std::size_t>(stoppedAt - 1 + 4));
    for (std::size_t i = addrs.size() - 4; i < addrs.size(); ++i)
        EXPECT_EQ(addrs[i], static_cast<unsigned>((stoppedAt - 1) * kBlockSize));
}

TEST_F(E2EDownload, BlockAnswerThatNeverComesEndsWithResponseTimeout) {
    EnterLoader();
    StartWriteProg(MakeHex("img", RandomBytes(kImageSize, 5)));
    ASSERT_TRUE(host.PumpUntil([&] { return dlg.m_nBlocksDone >= 50; }, kPatience));
    zsim::Faults f;
    f.noResponse = 1;
    sim.SetFaults(f);
    // The block is ACKed, its answer withheld: the console waits on the
    // response timer alone.
    ASSERT_TRUE(PollUntil([&] {
        return sim.GetFaults().noResponse == 0 && !host.IsTimerRunning(kTimerAck);
    }, kPatience));
    const std::size_t sent = FramesWithCode('s');
    ASSERT_TRUE(host.IsTimerRunning(kTimerResponse));
    EXPECT_EQ(dlg.m_bDownloading, 1);
    host.Advance(kResponseFirstMs);
    host.Pump();
    ExpectStoppedBy("!!! Error Response Timeout");
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), static_cast<int>(sent));
}

}  // namespace
