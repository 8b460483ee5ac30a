// Late and duplicated answers, on the virtual clock: an answer the console
// cannot tell from the next send's never lets it send ahead of the module,
// and where it may have cost a batch's counts the console says so.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t code, std::uint8_t err = ' ', std::size_t dataLen = 28) {
    Bytes f{proto::SOH, '0', '0', code, err};
    f.insert(f.end(), dataLen, ' ');
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

struct Notices final : ev::ConsoleObserver {
    std::vector<ev::NoticeKind> kinds;
    void Noticed(const ev::Notice& n) override { kinds.push_back(n.kind); }
    int Count(ev::NoticeKind k) const { return static_cast<int>(std::count(kinds.begin(), kinds.end(), k)); }
};

struct Rig {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    Notices heard;
    std::string hex = ::testing::TempDir() + "zantu_late_answers.hex";
    Rig() {
        dlg.Create();
        dlg.m_pWriter = &cap;
        dlg.Subscribe(&heard);
        std::FILE* f = std::fopen(hex.c_str(), "wb");
        std::fputs(":0400000001020304F2\n:00000001FF\n", f);
        std::fclose(f);
        host.m_answerFile = [this](std::string_view) { return std::optional<std::string>(hex); };
    }
    ~Rig() { dlg.Unsubscribe(&heard); }
    void Feed(const Bytes& b) {
        dlg.ReceiveBytes(b.data(), b.size());
        host.Pump();
    }
    void Ack() { Feed({proto::ACK}); }
    void Dispense(const char* repeat) {
        host.SelectTab(ids::kTab, 1);
        host.SetControlText(1035, "2");
        host.SetControlText(ids::kRepeat, repeat);
        host.SetControlText(ids::kWait, "1");
        dlg.OnCommand(1001);
    }
    void WriteProg() {
        host.SelectTab(ids::kTab, 5);
        dlg.OnCommand(ids::kWriteProg);
    }
    // The codes of the host frames written, in order.
    std::string Sent() const {
        std::string s;
        for (const Bytes& w : cap.writes)
            if (w.size() > 3 && w[0] == proto::EOT) s.push_back(static_cast<char>(w[3]));
        return s;
    }
    bool Boxed(const std::string& text) const {
        for (const auto& b : host.m_boxes)
            if (b.text.find(text) != std::string::npos) return true;
        return false;
    }
};

struct Case {
    const char* name;
    std::function<void(Rig&)> run;
    const char* sent;    // the host frames' codes, in order
    int uncertain;       // BatchUncertain notices
    bool busy;           // busy at the end
    const char* box;     // a box that must have been shown ("" none)
    const char* noBox;   // a box that must not have been shown ("" none)
};

TEST(LateAnswers, NeverSendAheadAndSayWhenCountsMayBeOff) {
    const Case cases[] = {
        {"a second answer during a batch's wait ends the batch",
         [](Rig& r) {
             r.Dispense("3");
             r.Ack();
             r.Feed(Frame('R'));
             r.Feed(Frame('R'));  // the module answered the send twice
             r.host.Advance(10000);
         },
         "R", 1, false, "the batch stopped; its counts may be off by one: check LAST STAT", ""},
        {"a late answer after a batch marks its counts uncertain",
         [](Rig& r) {
             r.Dispense("1");
             r.Ack();
             r.Feed(Frame('R'));
             r.host.SelectTab(ids::kTab, 2);
             r.dlg.OnCommand(1006);  // STATUS
             r.Ack();
             r.Feed(Frame('R'));  // the dispense answered again
             r.Feed(Frame('P'));
         },
         "RP", 1, false, "the last batch's counts may be off by one", ""},
        {"after a dispense time-out the next dispense asks LAST STAT first",
         [](Rig& r) {
             r.Dispense("1");
             r.Ack();
             r.host.Advance(kResponseFirstMs);  // no answer in time
             r.Dispense("2");
             r.Ack();
             r.Feed(Frame('R'));  // the old answer, late
             r.Feed(Frame('U'));  // LAST STAT: the line is settled
             r.Ack();
             r.Feed(Frame('R'));
             r.host.Advance(1000);
             r.Ack();
             r.Feed(Frame('R'));
         },
         "RURR", 1, false, "the last batch's counts may be off by one", ""},
        {"an answer decoded after the window closed starts no repeat",
         [](Rig& r) {
             r.Dispense("3");
             r.Ack();
             r.dlg.EndNow();  // the window closed (a stopping signal; EXIT asks first)
             r.Feed(Frame('R'));
             r.host.Advance(10000);
         },
         "R", 0, false, "", ""},
        {"a stale block answer after a time-out holds the block; the real one's error stops the download",
         [](Rig& r) {
             r.WriteProg();
             r.Ack();
             r.host.Advance(kResponseFirstMs);  // block 0's answer is lost
             r.WriteProg();
             r.Ack();
             r.Feed(Frame('s', ' ', 0));         // the old block 0's answer, late
             r.host.Advance(500);
             r.Feed(Frame('s', 0x20 + 0x0B, 0));  // the new block 0's answer: device error 0B
             r.host.Advance(10000);
         },
         "ss", 0, false, "", "Downloading Done!"},
        {"an error answer dropped before a block's ACK still stops the download",
         [](Rig& r) {
             r.WriteProg();
             r.Ack();
             r.Feed(Frame('s', ' ', 0));
             Bytes late = Frame('s', 0x20 + 0x0B, 0);  // before block 1's ACK
             late.push_back(proto::ACK);
             r.Feed(late);
             r.Feed(Frame('s', ' ', 0));
             r.host.Advance(10000);
         },
         "ss", 0, false, "", "Downloading Done!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        c.run(r);
        EXPECT_EQ(r.Sent(), c.sent);
        EXPECT_EQ(r.heard.Count(ev::NoticeKind::BatchUncertain), c.uncertain);
        EXPECT_EQ(r.dlg.IsBusy(), c.busy);
        if (*c.box) {
            EXPECT_TRUE(r.Boxed(c.box));
        }
        if (*c.noBox) {
            EXPECT_FALSE(r.Boxed(c.noBox));
        }
    }
}

}  // namespace
