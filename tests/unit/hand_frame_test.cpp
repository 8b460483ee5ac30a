// Frames built by hand (the frame tool's press): the same bytes as the page's
// button for the same values, bad values refused in words, the busy rule,
// and a dispense-type frame counted, recorded and traced with its fields, all
// through the console's own link on the virtual clock.
#include "commands/Catalogue.h"
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"
#include "records/BatchRecord.h"
#include "trace/WireTrace.h"

#include "CaptureWriter.h"
#include "TraceParse.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// SOH '0' '0' code ' ' data... ETX BCC.
Bytes Response(std::uint8_t code, const Bytes& data) {
    Bytes f;
    f.reserve(data.size() + 7);
    for (std::uint8_t b : {proto::SOH, std::uint8_t{'0'}, std::uint8_t{'0'}, code, std::uint8_t{' '}}) f.push_back(b);
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

struct Console {
    fw::HeadlessHost host;
    CaptureWriter out;
    CConsoleDlg dlg{host};
    Console() {
        dlg.Create();
        dlg.m_pWriter = &out;
        dlg.m_bLinked = 1;  // as after OPEN, without a port
    }
    void Module(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
    void Page(int page) {
        host.SelectTab(ids::kTab, page);
        dlg.OnTabSelChange();
    }
};

TEST(HandFrame, MakesThePagesFrameForTheSameValuesAndRefusesBadOnesInWords) {
    struct Case {  // type, values for the hand, page, fields typed there (id, text), radio checked (0: none)
        int type;
        std::vector<std::string> values;
        int page;
        std::vector<std::pair<int, std::string>> typed;
        int radio;
    };
    const Case cases[] = {
        {cmd::kDispense, {"5", "3", "2", "1"}, 1, {{1035, "5"}, {1036, "3"}, {1037, "2"}, {1038, "1"}}, 0},
        {cmd::kStatus, {}, 2, {}, 0},
        {cmd::kSetOpacity, {"A5", "7f", "0", "23"}, 3, {{ids::kOpacity[0], "A5"}, {ids::kOpacity[1], "7F"},
                                                       {ids::kOpacity[2], "0"}, {ids::kOpacity[3], "23"}}, 0},
        {cmd::kSetOrder, {"2", "1", "4", "3"}, 3, {{ids::kOrder[0], "2"}, {ids::kOrder[1], "1"},
                                                  {ids::kOrder[2], "4"}, {ids::kOrder[3], "3"}}, 0},
        {cmd::kClutch, {"3"}, 4, {}, ids::kTestBox[2]},
        {cmd::kRvdt, {""}, 4, {}, 0},
        {cmd::kSenDiag, {"2"}, 3, {}, ids::kSenDiagBox[1]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(CommandName(c.type)));
        Console page;
        page.Page(c.page);
        for (const auto& [id, text] : c.typed) page.host.Type(id, text);
        if (c.radio) page.host.SetCheck(c.radio, 1);
        for (const ids::Box4& group : {ids::kTestBox, ids::kSenDiagBox})
            for (int id : group)
                if (id != c.radio) page.host.SetCheck(id, 0);
        ASSERT_TRUE(page.host.Click(1000 + c.type));
        ASSERT_EQ(page.out.writes.size(), 1u);

        Bytes body;
        std::string why;
        ASSERT_TRUE(BuildHandBody(c.type, c.values, body, &why)) << why;
        Console hand;
        EXPECT_EQ(CConsoleDlg::HandFrameBytes(body), page.out.writes[0]);
        EXPECT_TRUE(hand.dlg.PressHandFrame(body).sent);
        ASSERT_EQ(hand.out.writes.size(), 1u);
        EXPECT_EQ(hand.out.writes[0], page.out.writes[0]);
        EXPECT_EQ(hand.dlg.m_TxNote.kind, page.dlg.m_TxNote.kind);
        EXPECT_EQ(std::vector<int>(hand.dlg.m_TxNote.values, hand.dlg.m_TxNote.values + hand.dlg.m_TxNote.count),
                  std::vector<int>(page.dlg.m_TxNote.values, page.dlg.m_TxNote.values + page.dlg.m_TxNote.count));
    }

    struct Bad {  // type, values, words the refusal says
        int type;
        std::vector<std::string> values;
        const char* words;
    };
    const Bad bad[] = {
        {cmd::kDispense, {"5", "101", "0", "0"}, "box 2: '101' is not a count of 0 to 100"},
        {cmd::kDispense, {"5", "-1", "0", "0"}, "box 2: '-1' is not a count of 0 to 100"},
        {cmd::kSetOpacity, {"A5", "1G", "0", "0"}, "value 2: '1G' is not a byte 00 to FF"},
        {cmd::kSetOrder, {"1", "2", "2", "4"}, "box 2 stands twice in the order"},
        {cmd::kClutch, {"5"}, "box: '5' is not a box 1 to 4"},
        {cmd::kWriteBlock, {}, "block write is not sent by hand"},
    };
    for (const Bad& b : bad) {
        Bytes body;
        std::string why;
        EXPECT_FALSE(BuildHandBody(b.type, b.values, body, &why));
        EXPECT_NE(why.find(b.words), std::string::npos) << why;
    }
    // A body the module would read as another frame is refused by the press itself.
    Console c;
    for (const Bytes& body : {Bytes{}, Bytes{'P', proto::ETX}, Bytes{'s', '0', '0', '0', '0'}}) {
        const CConsoleDlg::HandResult r = c.dlg.PressHandFrame(body);
        EXPECT_FALSE(r.sent);
        EXPECT_FALSE(r.reason.empty());
    }
    EXPECT_TRUE(c.out.writes.empty());
}

TEST(HandFrame, IsAPressThroughTheLinkBusyRuleCountingRecordAndTraceIncluded) {
    Console c;
    rec::BatchRecord record([] { return std::int64_t{1000}; });
    trace::LineStore store;
    trace::WireTrace wire([] { return std::uint64_t{0}; });
    wire.SetWallClock([] { return std::int64_t{1'700'000'000'000}; });
    wire.AddSink(&store);
    c.dlg.Subscribe(&record);
    c.dlg.Subscribe(&wire);
    c.Page(4);  // not the DISPENSE page: the hand frame counts all the same

    Bytes body;
    const std::vector<std::string> request{"5", "3", "2", "1"};
    ASSERT_TRUE(BuildHandBody(cmd::kDispense, request, body, nullptr));
    ASSERT_TRUE(c.dlg.PressHandFrame(body).sent);
    ASSERT_EQ(c.out.writes.size(), 1u);

    // Busy: refused with the page's reason, nothing written, also for a frame typed in hex.
    const CConsoleDlg::HandResult busy = c.dlg.PressHandFrame(Bytes{'P'});
    EXPECT_FALSE(busy.sent);
    EXPECT_NE(busy.reason.find("busy"), std::string::npos) << busy.reason;
    EXPECT_EQ(c.out.writes.size(), 1u);

    // No ACK: resent by the link as any frame.
    c.host.Advance(1000);
    ASSERT_EQ(c.out.writes.size(), 2u);
    EXPECT_EQ(c.out.writes[1], c.out.writes[0]);

    c.Module({proto::ACK});
    // Box k: dispensed, rejected, a blank; then seven reasons.
    Bytes data{' '};
    for (auto [d, r] : {std::pair{5, 0}, {3, 0}, {2, 1}, {1, 0}})
        for (int b : {d + 0x20, r + 0x20, 0x20}) data.push_back(static_cast<std::uint8_t>(b));
    for (int reason : {1, 0, 0, 0, 0, 0, 0}) data.push_back(static_cast<std::uint8_t>(reason + 0x20));
    c.Module(Response('R', data));
    EXPECT_TRUE(c.dlg.IsIdle());
    EXPECT_EQ(c.dlg.m_nTotalRequested, 11);
    EXPECT_EQ(c.dlg.m_nTotalDispensed, 11);
    EXPECT_EQ(c.dlg.m_nTotalRejected, 1);

    ASSERT_EQ(record.Info().number, 1u);
    EXPECT_EQ(record.Info().type, cmd::kDispense);
    EXPECT_EQ(std::vector<int>(record.Info().request, record.Info().request + 4), (std::vector<int>{5, 3, 2, 1}));
    EXPECT_EQ(record.Answers(), 1);
    EXPECT_EQ(record.Totals().Dispensed(), 11);
    EXPECT_FALSE(record.Running());

    // The answer's line carries its fields, before the ACK that followed it.
    const auto lines = StoreLines(store);
    ASSERT_GE(lines.size(), 5u);
    const TraceLine& answer = lines[lines.size() - 2];
    EXPECT_EQ(answer.dir, "RX");
    EXPECT_NE(answer.what.find("; R: dispensed 5,3,2,1 rejected 0,0,1,0"), std::string::npos) << answer.what;
    EXPECT_EQ(lines.back().what, "ACK");
    EXPECT_EQ(store.WallMs(store.End() - 1), 1'700'000'000'000);

    // While a box of the console is open (the tool stays usable beside it), nothing is sent.
    c.Page(3);
    for (int id : ids::kOrder) c.host.Type(id, "1");  // not an order: "Error Parameter"
    CConsoleDlg::HandResult inBox;
    c.host.m_answerBox = [&](const fw::MessageBoxRecord&) {
        inBox = c.dlg.PressHandFrame(Bytes{'P'});
        return fw::kIdOk;
    };
    ASSERT_TRUE(c.host.Click(1010));
    EXPECT_FALSE(inBox.sent);
    EXPECT_NE(inBox.reason.find("message box"), std::string::npos) << inBox.reason;
    EXPECT_EQ(c.out.writes.size(), 3u);

    // Idle again: the next hand frame goes out.
    EXPECT_TRUE(c.dlg.PressHandFrame(Bytes{'P'}).sent);
    EXPECT_EQ(c.out.writes.size(), 4u);  // the answer's ACK, then STATUS
    c.dlg.Unsubscribe(&wire);
    c.dlg.Unsubscribe(&record);
}

}  // namespace
