// The channel on an in-process line: the test plays the module on the far end.
#include "ChunkRecorder.h"
#include "framework/HeadlessHost.h"
#include "link/Comm.h"
#include "link/MemoryLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadAll(memline::End& end, std::size_t n) {
    std::vector<std::uint8_t> got(n);
    std::size_t have = 0;
    for (int i = 0; i < 100 && have < n; ++i) {
        const long r = end.Read(got.data() + have, n - have, std::chrono::milliseconds(50));
        if (r > 0) have += static_cast<std::size_t>(r);
    }
    got.resize(have);
    return got;
}

struct CommMemoryLine : ::testing::Test {
    fw::HeadlessHost host;
    ChunkRecorder rec;
    CComm comm;
    std::shared_ptr<memline::End> module;
    std::string name;
    void SetUp() override {
        auto [channelEnd, moduleEnd] = memline::MakeLine();
        module = moduleEnd;
        name = memline::Publish(channelEnd);
        rec.comm = &comm;
        host.SetWindow(&rec);
        comm.SetNotifyWindow(&host);
        PortMap map;
        map.Set(1, name);
        comm.SetPortMap(map);
    }
    void TearDown() override {
        comm.Close();
        memline::Withdraw(name);
    }
};

TEST_F(CommMemoryLine, CarriesBothWaysInChunksAndDropsWhatTheModuleDidNotRead) {
    ASSERT_NE(comm.Open(1, 9600, 8, ONESTOPBIT, NOPARITY), 0);
    EXPECT_EQ(comm.Handle(), -1);  // no descriptor behind it
    std::vector<std::uint8_t> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(module->Write(data.data(), data.size()), data.size());
    ASSERT_TRUE(host.PumpUntil([&] { return rec.bytes.size() >= data.size(); }));
    EXPECT_EQ(rec.bytes, data);
    for (auto s : rec.sizes) EXPECT_LE(s, CComm::kChunk);

    const std::uint8_t frame[] = {0x04, 0x30, 0x02, 0x50, 0x03, 0x65};
    EXPECT_EQ(comm.Write(frame, sizeof frame), 1);
    EXPECT_EQ(ReadAll(*module, sizeof frame), std::vector<std::uint8_t>(frame, frame + sizeof frame));

    // A frame the link gave up on never reaches the module.
    EXPECT_EQ(comm.Write(frame, sizeof frame), 1);
    EXPECT_EQ(comm.UnsentBytes(), sizeof frame);
    EXPECT_EQ(comm.DropUnsent(), sizeof frame);
    EXPECT_EQ(module->Readable(), 0u);
}

TEST_F(CommMemoryLine, ClosedAndOpenedAgainItReachesTheSameModule) {
    ASSERT_NE(comm.Open(1, 9600, 8, ONESTOPBIT, NOPARITY), 0);
    CComm other;
    other.SetPortMap(comm.GetPortMap());
    EXPECT_EQ(other.Open(1, 9600, 8, ONESTOPBIT, NOPARITY), 0);  // one user at a time
    EXPECT_EQ(other.LastOpenError().fault, PortFault::InUse);
    comm.Close();
    EXPECT_EQ(CComm::LiveReaders(), 0);
    EXPECT_FALSE(module->FarClosed());  // given back, not hung up
    ASSERT_NE(comm.Open(1, 9600, 8, ONESTOPBIT, NOPARITY), 0);
    EXPECT_EQ(CComm::LiveReaders(), 1);
    const std::uint8_t b = 0x06;
    ASSERT_EQ(module->Write(&b, 1), 1u);
    ASSERT_TRUE(host.PumpUntil([&] { return !rec.bytes.empty(); }));
    EXPECT_EQ(rec.bytes, std::vector<std::uint8_t>{0x06});
}

TEST_F(CommMemoryLine, TheModuleEndingIsOneLostPortAfterItsLastBytes) {
    ASSERT_NE(comm.Open(1, 9600, 8, ONESTOPBIT, NOPARITY), 0);
    const std::uint8_t last[] = {0x15, 0x16};
    ASSERT_EQ(module->Write(last, sizeof last), sizeof last);
    module->Close();
    ASSERT_TRUE(host.PumpUntil([&] { return rec.lost > 0; }));
    EXPECT_EQ(rec.bytes, std::vector<std::uint8_t>(last, last + sizeof last));
    host.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(rec.lost, 1);
    comm.ReleaseLost();
    EXPECT_EQ(comm.Reopen(), 0);  // the module is not coming back on this line
    EXPECT_EQ(comm.LastOpenError().fault, PortFault::NoDevice);
    EXPECT_EQ(CComm::LiveReaders(), 0);
}

TEST(CommMemoryLineOpen, AnUnknownLineIsNoDevice) {
    CComm comm;
    PortMap map;
    map.Set(3, std::string(memline::kNamePrefix) + "nobody-here");
    comm.SetPortMap(map);
    EXPECT_EQ(comm.Open(3, 9600, 8, ONESTOPBIT, NOPARITY), 0);
    EXPECT_EQ(comm.LastOpenError().fault, PortFault::NoDevice);
    EXPECT_EQ(comm.IsOpen(), false);
}

}  // namespace
