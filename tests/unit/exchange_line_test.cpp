// The exchange line on the virtual clock, from the console's events alone:
// a batch with a resend, a download, and the reason of a failure.
#include "console/ConsoleDlg.h"
#include "console/ExchangeLine.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Response(std::uint8_t code, const Bytes& data) {
    Bytes f;
    f.reserve(data.size() + 7);
    for (std::uint8_t b : {proto::SOH, std::uint8_t{'0'}, std::uint8_t{'0'}, code, std::uint8_t{' '}})
        f.push_back(b);
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

struct ExchangeLineTest : ::testing::Test {
    fw::HeadlessHost host;
    CaptureWriter cap;
    CConsoleDlg dlg{host};
    ExchangeLine line{[this] { return host.Now(); }};
    int changes = 0;

    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;  // as after OPEN, without a port
        dlg.Subscribe(&line);
        line.SetOnChange([this] { ++changes; });
    }
    void TearDown() override { dlg.Unsubscribe(&line); }
    void Module(const Bytes& b) {
        dlg.ReceiveBytes(b.data(), b.size());
        host.Pump();
    }
    void Page(int page) {
        host.SelectTab(ids::kTab, page);
        dlg.OnTabSelChange();
    }
    struct Step {
        const char* what;
        std::function<void()> act;
        std::string expected;
    };
    void Run(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            s.act();
            EXPECT_EQ(line.Line(), s.expected) << s.what;
        }
    }
};

TEST_F(ExchangeLineTest, ABatchWithAResendCountsDownEachWait) {
    Page(1);
    host.Type(1035, "2");
    host.Type(ids::kRepeat, "2");
    host.Type(ids::kWait, "3");
    const Bytes answer = Response('R', Bytes(20, ' '));
    Run({
        {"idle", [] {}, ""},
        {"sent", [&] { host.Click(1001); }, "DISPENSE: awaiting ACK 1.0 s, answer within 120 s"},
        {"a while", [&] { host.Advance(400); }, "DISPENSE: awaiting ACK 0.6 s, answer within 120 s"},
        {"no ACK: resent", [&] { host.Advance(600); },
         "DISPENSE: awaiting ACK 1.0 s (resend 1 of 3), answer within 119 s"},
        {"ACK", [&] { Module({proto::ACK}); }, "DISPENSE: awaiting answer 119 s"},
        {"answer of run 1", [&] { Module(answer); }, "DISPENSE run 1 of 2: next send in 3.0 s"},
        {"the Wait runs", [&] { host.Advance(1000); }, "DISPENSE run 1 of 2: next send in 2.0 s"},
        {"repeat send", [&] { host.Advance(2000); }, "DISPENSE run 2 of 2: awaiting ACK 1.0 s, answer within 130 s"},
        {"ACK", [&] { Module({proto::ACK}); }, "DISPENSE run 2 of 2: awaiting answer 130 s"},
        {"answer of run 2: done", [&] { Module(answer); }, ""},
    });
    EXPECT_FALSE(line.Counting());
    EXPECT_GT(changes, 0);
}

TEST_F(ExchangeLineTest, ADownloadShowsItsBlockAndTheTimeLeft) {
    // Write Prog makes the file's folder the current directory: it is given back.
    const std::filesystem::path cwd = std::filesystem::current_path();
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "exchange_line_download";
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "image.hex").string();
    {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(":0400000001020304F2\n:00000001FF\n", f);
        std::fclose(f);
    }
    host.m_answerFile = [&](std::string_view) { return std::optional<std::string>(file); };
    Page(5);
    const Bytes block = Response('s', {});
    auto blockAnswered = [&] {
        Module({proto::ACK});
        Module(block);
    };
    // Before two blocks have gone the time left is the line's: a block's 266
    // bytes with the ACKs and its answer at 960 bytes a second, 285 ms a block.
    Run({
        {"first block sent", [&] { host.Click(ids::kWriteProg); }, "block write: awaiting ACK 1.0 s, answer within 120 s"},
        {"block 1 answered", [&] { host.Advance(300); blockAnswered(); },
         "block 1 of 320, 1:32 left; block write: awaiting ACK 1.0 s, answer within 120 s"},
        {"block 2 after 500 ms: the rate measured", [&] { host.Advance(500); blockAnswered(); },
         "block 2 of 320, 2:39 left; block write: awaiting ACK 1.0 s, answer within 120 s"},
    });
    for (int k = 3; k < 320; ++k) {
        host.Advance(500);
        blockAnswered();
    }
    EXPECT_EQ(line.Line(), "block 319 of 320, 0:01 left; block write: awaiting ACK 1.0 s, answer within 120 s");
    blockAnswered();
    EXPECT_EQ(line.Line(), "");
    std::filesystem::current_path(cwd);
    std::filesystem::remove_all(dir);
}

TEST_F(ExchangeLineTest, AGiveUpLeavesItsReasonUntilTheNextOpen) {
    Page(1);
    host.Type(1035, "1");
    host.Click(1001);
    host.Advance(4000);  // three resends, then the give-up
    EXPECT_EQ(line.Line(), "");
    EXPECT_EQ(line.Reason(), "DISPENSE: no ACK after 3 resends");
    line.Link(ev::LinkEvent::Open, 1, "/dev/ttyS0");
    EXPECT_EQ(line.Reason(), "");
    line.Link(ev::LinkEvent::OpenFailed, 3, "no such device");
    EXPECT_EQ(line.Reason(), "COM3: no such device");
}

}  // namespace
