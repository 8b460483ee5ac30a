// Late and duplicated answers, on the virtual clock: an answer the console
// cannot tell from the next send's never lets it send ahead of the module,
// and where it may have cost a batch's counts the console says so.
#include "TempTree.h"
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
    TempTree tree;
    std::string hex = tree.Path("image.hex");
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
    void Press(int page, int id) {
        host.SelectTab(ids::kTab, page);
        dlg.OnCommand(id);
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
        {"a block's error before its ACK ends the download at once: the block is not sent again",
         [](Rig& r) {
             r.WriteProg();
             r.Ack();
             r.Feed(Frame('s', ' ', 0));
             r.Feed(Frame('s', 0x20 + 0x0B, 0));  // block 1's answer, and no ACK
             r.host.Advance(kResponseFirstMs + 10000);
         },
         "ss", 0, false, "", "Downloading Done!"},
        {"an answer naming another TEST command is not RomVer's",
         [](Rig& r) {
             r.Press(4, 1016);  // RomVer
             r.Ack();
             r.Feed(Frame('q'));  // sub-command ' ': DIVERT's answer
         },
         "q", 0, true, "", ""},
        {"RomVer's own answer after another's ends the wait",
         [](Rig& r) {
             r.Press(4, 1016);
             r.Ack();
             r.Feed(Frame('q'));
             Bytes own = Frame('q');
             own[5] = '0';
             own.back() = 0;
             own.back() = proto::Xor(own.data(), own.size());
             r.Feed(own);
         },
         "q", 0, false, "", ""},
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

namespace {

// A command given up on may still have reached the module: for a dispense
// the receive text says that its counts are unknown, and its late answer is
// shown with its numbers.
TEST(LateAnswers, ADispenseGivenUpSaysTheModuleMayHaveIt) {
    struct GiveUp {
        const char* name;
        int page, button;
        bool acked;  // ACKed, then no answer: the response time-out
        bool said;
    };
    const GiveUp cases[] = {
        {"DISPENSE without ACK", 1, 1001, false, true},
        {"DISPENSE without answer", 1, 1001, true, true},
        {"ZIGZAG without answer", 1, 1005, true, true},
        {"STATUS without ACK", 2, 1006, false, false},
    };
    for (const GiveUp& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.host.SetControlText(1035, "2");
        r.Press(c.page, c.button);
        if (c.acked) r.Ack();
        r.host.Advance(kResponseFirstMs);
        EXPECT_FALSE(r.dlg.IsBusy());
        const bool said = r.dlg.m_strRecv.find("may have received the command given up on: its counts are "
                                               "unknown") != std::string::npos;
        EXPECT_EQ(said, c.said) << r.dlg.m_strRecv;
        if (!c.said) continue;
        if (!c.acked) r.Ack();  // its ACK and answer, late
        Bytes late{proto::SOH, '0', '0', c.button == 1001 ? std::uint8_t{'R'} : std::uint8_t{'p'}, ' ', ' '};
        for (int box = 0; box < 4; ++box) late.insert(late.end(), {proto::CountByte(box == 0 ? 2 : 0), ' ', ' '});
        late.push_back(proto::ETX);
        late.push_back(proto::Xor(late.data(), late.size()));
        r.Feed(late);
        EXPECT_NE(r.dlg.m_strRecv.find("answer: dispensed 2 0 0 0, rejected 0 0 0 0"), std::string::npos)
            << r.dlg.m_strRecv;
    }
}

}  // namespace
