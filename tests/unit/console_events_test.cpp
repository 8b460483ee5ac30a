// What the console tells its listeners, on the virtual clock: a batch from
// the press to idle in the order things happen, and each refusal told before
// the box that says so.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct NullWriter : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};

// Every event as a short word; the bytes of a frame before its BCC are left out.
struct Recorder : ev::ConsoleObserver {
    std::vector<std::string> seen;
    void Written(const std::uint8_t*, std::size_t, const ev::TxNote& note) override {
        static constexpr const char* kNames[] = {"tx first", "tx resend", "tx repeat", "tx ack", "tx nak"};
        seen.push_back(kNames[static_cast<int>(note.kind)]);
    }
    void Received(ev::RxKind kind) override {
        if (kind == ev::RxKind::Ack) seen.push_back("rx ack");
        if (kind == ev::RxKind::FrameAnswer) seen.push_back("rx answer");
        if (kind == ev::RxKind::FrameUnasked) seen.push_back("rx unasked");
    }
    void FrameDropped() override { seen.push_back("dropped"); }
    void Answered(const ev::Answer& a) override {
        seen.push_back("answer " + std::string(1, static_cast<char>(a.code)) + " " + std::to_string(a.index) +
                       "/" + std::to_string(a.of));
    }
    void Pressed(const ev::Press& p) override { seen.push_back("press " + std::to_string(p.id)); }
    void Refused(const ev::Press& p, ev::Refusal why, std::string_view) override {
        seen.push_back("refused " + std::to_string(p.id) + " " + std::to_string(static_cast<int>(why)));
    }
    void Noticed(const ev::Notice& n) override {
        if (n.kind == ev::NoticeKind::Acked) seen.push_back("acked " + std::to_string(n.type));
        if (n.kind == ev::NoticeKind::LoaderOk) seen.push_back("loader ok");
    }
    void Idle(bool idle) override { seen.push_back(idle ? "idle" : "not idle"); }
};

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

class ConsoleEvents : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    NullWriter out;
    CConsoleDlg dlg{host};
    Recorder rec;

    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &out;
        dlg.m_bLinked = 1;  // as after OPEN, without a port
        dlg.Subscribe(&rec);
    }
    void TearDown() override { dlg.Unsubscribe(&rec); }
    void Module(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
    void Page(int page) {
        host.SelectTab(ids::kTab, page);
        dlg.OnTabSelChange();
    }
};

TEST_F(ConsoleEvents, ABatchIsToldFromThePressToIdleInOrder) {
    Page(1);
    host.Type(1035, "2");
    host.Type(ids::kRepeat, "2");
    host.Type(ids::kWait, "1");
    ASSERT_TRUE(host.Click(1001));  // DISPENSE
    const Bytes answer = Response('R', Bytes(20, ' '));
    for (int run = 0; run < 2; ++run) {
        Module({proto::ACK});
        Module(answer);
        if (run == 0) Module({proto::SOH, '0', '0'});  // a frame the repeat send cuts short
        host.Advance(1000);  // the Wait between the runs
    }
    const std::vector<std::string> expected{
        "press 1001", "tx first", "not idle", "rx ack",    "acked 1",        "rx answer", "tx ack",
        "answer R 1/2", "dropped", "tx repeat", "rx ack", "acked 1", "rx answer", "tx ack", "answer R 2/2", "idle"};
    EXPECT_EQ(rec.seen, expected);
}

// Go Loader's answer answers the frame just sent (no batch waits for it);
// a frame under way when the next send goes is told as dropped before it.
TEST_F(ConsoleEvents, GoLoadersAnswerIsAnAnswerAndAFrameCutShortIsDropped) {
    Page(5);
    ASSERT_TRUE(host.Click(ids::kGoLoader));
    Module({proto::ACK});
    Module(Response('r', {}));
    Module({proto::SOH, '0', '0'});  // a frame that never ends
    ASSERT_TRUE(host.Click(ids::kReset));
    Module({proto::ACK});
    const std::vector<std::string> expected{
        "press 1170", "tx first", "not idle", "rx ack",   "acked 20", "idle",     "rx answer", "tx ack",
        "answer r 0/0", "loader ok",  "press 1173", "dropped", "tx first", "not idle", "rx ack", "acked 23",  "idle"};
    EXPECT_EQ(rec.seen, expected);
}

// Each refusal is told before the box that says so (or alone, when there is none).
TEST_F(ConsoleEvents, RefusalsAreToldBeforeTheirBox) {
    std::vector<std::string> beforeBox;
    host.m_answerBox = [&](const fw::MessageBoxRecord& box) {
        beforeBox.push_back(box.text + " after " + (rec.seen.empty() ? "" : rec.seen.back()));
        return fw::kIdOk;
    };
    Page(3);
    for (int id : {1090, 1091, 1112, 1113}) host.Type(id, "1");  // not an order
    ASSERT_TRUE(host.Click(1010));                              // SET ORDER
    Page(5);
    host.m_answerFile = [](std::string_view) { return std::optional<std::string>(); };
    ASSERT_TRUE(host.Click(ids::kWriteProg));  // no file chosen
    ASSERT_TRUE(host.Click(ids::kVerify));
    ASSERT_TRUE(host.Click(ids::kVerify));     // while Verify waits for its answer
    const std::vector<std::string> boxes{"Error Parameter after refused 1010 2",
                                         "File Not Open! after refused 1171 3"};
    EXPECT_EQ(beforeBox, boxes);
    EXPECT_EQ(rec.seen.back(), "refused 1172 0");
}

}  // namespace
