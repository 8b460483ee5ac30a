// What an answer tells its subscribers (Answered) and what the window shows
// after the answer has been handled come from one decoding: for a frame of
// every code with fields, each value told is what its field shows, and a
// field told as "" is left as it was.  The answer is told before its device
// error box opens.
#include "commands/AnswerFields.h"
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct NullWriter : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};

// SOH '0' '0' code error data... ETX BCC.
Bytes Response(std::uint8_t code, std::uint8_t err, const Bytes& data) {
    Bytes f;
    f.reserve(data.size() + 7);
    for (std::uint8_t b : {proto::SOH, std::uint8_t{'0'}, std::uint8_t{'0'}, code, err}) f.push_back(b);
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

// An Answered event, copied out of the call.
struct Told {
    ev::Answer a;
    std::vector<const AnswerField*> rows;
    std::vector<std::array<std::string, 4>> values;
    bool hasCounts = false;
    ev::DispenseCounts counts;
};

struct Recorder : ev::ConsoleObserver {
    std::vector<Told> told;
    std::vector<std::string>* log = nullptr;
    void Answered(const ev::Answer& a) override {
        Told t;
        t.a = a;
        t.a.fields = {};
        t.a.frame = {};
        t.a.counts = nullptr;
        for (const ev::FieldValue& f : a.fields) {
            t.rows.push_back(f.row);
            std::array<std::string, 4> v;
            for (std::size_t i = 0; i < 4; ++i) v[i] = std::string(f.v[i]);
            t.values.push_back(v);
        }
        if (a.counts) {
            t.hasCounts = true;
            t.counts = *a.counts;
        }
        told.push_back(std::move(t));
        if (log) log->push_back("answered error " + std::to_string(a.error));
    }
};

struct Case {
    const char* name;
    int page;  // tab page the command is pressed on
    int type;  // command sent (cmd::kNone: none, the frame comes unasked)
    std::vector<Bytes> answers;  // frames fed, in turn, each after the ACK
    int repeat = 1;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Bytes StatusData() {
    return {0x21, 0x02, 0x10, ' ', 0x3A, 0x1F, 0x0F, ' ', 0x22, 0x23, 0x01, ' ', '0', '1', 0x1E, ' ', 0x7F, 0x20};
}
// From position 5: unread, per box dispensed, rejected, unread; seven reasons.
Bytes DispenseData(int d1, int r1, int d3) {
    Bytes d{' '};
    for (int box = 0; box < 4; ++box) {
        d.push_back(proto::CountByte(box == 0 ? d1 : box == 2 ? d3 : 0));
        d.push_back(proto::CountByte(box == 0 ? r1 : 0));
        d.push_back(' ');
    }
    for (int k = 0; k < 7; ++k) d.push_back(proto::CountByte(k));
    return d;
}

const Case kCases[] = {
    {"status", 2, cmd::kStatus, {Response('P', ' ', StatusData())}},
    {"status, short", 2, cmd::kStatus, {Response('P', ' ', {0x3F, 0x22, 0x1F, ' ', 0x25})}},
    // The second answer ends inside box 2: its counts for boxes 2..4 and the
    // reasons keep the counters' values.
    {"dispense batch", 1, cmd::kDispense,
     {Response('R', ' ', DispenseData(3, 1, 2)), Response('R', ' ', {' ', 0x25, 0x22, ' ', 0x21})},
     2},
    {"test disp", 1, cmd::kTestDisp, {Response('S', ' ', DispenseData(1, 0, 0))}},
    {"zigzag", 1, cmd::kZigzag, {Response('p', ' ', DispenseData(0, 2, 5))}},
    {"purge", 1, cmd::kPurge, {Response('Q', ' ', DispenseData(4, 1, 1))}},
    {"unasked dispense", 1, cmd::kNone, {Response('R', ' ', DispenseData(3, 1, 2))}},
    {"last stat", 1, cmd::kLastStat, {Response('U', ' ', {' ', ' ', 0x25, 0x21, ' ', 0x22, ' ', ' ', ' ', ' ', 0x84, 0x20, ' '})}},
    {"get opacity", 3, cmd::kGetOpacity, {Response('[', ' ', {'1', ':', '0', '0', 'A', 'F', '?', '?'})}},
    {"get length", 3, cmd::kGetLength, {Response('_', ' ', {'1', ':', '0', '0', '3', '4', '?', '?'})}},
    {"get order", 3, cmd::kGetOrder, {Response(']', ' ', {'2', '1', '4', '3'})}},
    {"sen diag", 3, cmd::kSenDiag, {Response('X', ' ', {0x3A, 0x1F, 0x20, 0x7F})}},
    {"bldc", 4, cmd::kBldc, {Response('q', ' ', {'"', '0', '4', '?', '0'})}},
    {"rvdt", 4, cmd::kRvdt, {Response('q', ' ', {'#', '1', ':', '0', '?'})}},
    {"romver", 4, cmd::kRomVer, {Response('q', ' ', {'0', '1', '2', '3', '4', '0', ':', '0', '?'})}},
    {"romver, short", 4, cmd::kRomVer, {Response('q', ' ', {'0', '1', '2', '3', '4', '0'})}},
    {"too short for a code", 2, cmd::kStatus, {Bytes{proto::SOH, proto::ETX, proto::SOH ^ proto::ETX}}},
};

class AnswerFields : public ::testing::TestWithParam<Case> {
protected:
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    NullWriter out;
    Recorder rec;

    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &out;
        dlg.m_bLinked = 1;
        ASSERT_TRUE(dlg.Subscribe(&rec));
    }
    void TearDown() override { dlg.Unsubscribe(&rec); }

    void Feed(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
    std::string Shown(const AnswerField& row, std::size_t i) {
        const int id = row.ids[i];
        switch (row.src) {
        case FieldSource::Control:
            return row.kind == FieldKind::Flag ? std::to_string(host.GetCheck(id)) : host.GetControlText(id);
        case FieldSource::Request: return std::to_string(dlg.m_nRequest[id]);
        case FieldSource::Dispensed: return std::to_string(dlg.m_nDispensed[id]);
        case FieldSource::Rejected: return std::to_string(dlg.m_nRejected[id]);
        }
        return {};
    }
    // What every field of the answer's code shows, by row and value.
    std::map<std::pair<const AnswerField*, std::size_t>, std::string> Snapshot(std::span<const AnswerField> rows) {
        std::map<std::pair<const AnswerField*, std::size_t>, std::string> m;
        for (const AnswerField& row : rows)
            for (std::size_t i = 0; i < static_cast<std::size_t>(row.count); ++i) m[{&row, i}] = Shown(row, i);
        return m;
    }
};

TEST_P(AnswerFields, EachValueToldIsWhatItsFieldShows) {
    const Case& c = GetParam();
    host.SelectTab(ids::kTab, c.page);
    host.SetControlText(ids::kRepeat, std::to_string(c.repeat));
    host.SetControlText(ids::kWait, "1");
    host.SetControlText(ids::kRequest[0], "3");
    host.SetControlText(ids::kRequest[2], "2");
    host.SetCheck(ids::kTestBox[1], 1);
    for (std::size_t n = 0; n < c.answers.size(); ++n) {
        SCOPED_TRACE(n);
        if (c.type != cmd::kNone) {
            if (n == 0)
                dlg.OnCommandButton(ids::kFirstCommandButton + c.type - cmd::kFirstType);
            else
                host.Advance(1000);  // the Wait before the batch's next send
            Feed({proto::ACK});
        }
        const Bytes& frame = c.answers[n];
        const int code = frame.size() >= proto::kMinFrameWithCode ? frame[3] : -1;
        const int sub = code == 'q' && frame.size() > 7 ? frame[5] : 0;
        const auto before = Snapshot(FieldsOf(code, sub));
        const std::size_t toldBefore = rec.told.size();
        Feed(frame);
        ASSERT_EQ(rec.told.size(), toldBefore + 1);
        const Told& t = rec.told.back();
        EXPECT_EQ(t.a.code, code);
        EXPECT_EQ(t.a.awaited, c.type != cmd::kNone && code != -1);
        EXPECT_EQ(t.a.type, t.a.awaited ? c.type : 0);
        EXPECT_EQ(t.a.sub, c.type >= cmd::kDivert && c.type <= cmd::kRomVer ? sub : 0);
        EXPECT_EQ(t.a.error, -1);
        ASSERT_EQ(t.rows.size(), FieldsOf(code, sub).size());
        int written = 0, left = 0;
        for (std::size_t r = 0; r < t.rows.size(); ++r) {
            const AnswerField& row = *t.rows[r];
            EXPECT_EQ(&row, &FieldsOf(code, sub)[r]);
            for (std::size_t i = 0; i < static_cast<std::size_t>(row.count); ++i) {
                SCOPED_TRACE(std::string(row.key) + " " + std::to_string(i));
                const std::string& v = t.values[r][i];
                if (v.empty()) {
                    ++left;
                    EXPECT_EQ(Shown(row, i), before.at({&row, i}));
                } else {
                    ++written;
                    EXPECT_EQ(Shown(row, i), v);
                }
            }
        }
        // A counted dispense-type or PURGE answer writes every field (a count
        // the frame lacks keeps the counter's value), one not awaited none;
        // any other answer writes every field its frame holds.
        const bool countType = code == 'R' || code == 'S' || code == 'p' || code == 'Q';
        if (countType) {
            EXPECT_EQ(left, t.a.awaited ? 0 : written + left);
        } else if (t.a.complete) {
            EXPECT_EQ(left, 0);
        } else {
            EXPECT_EQ(left > 0, !t.rows.empty());
        }
        EXPECT_EQ(t.hasCounts, code == 'R' || code == 'S' || code == 'p' || code == 'Q');
        if (t.hasCounts && t.a.awaited) {
            for (std::size_t box = 0; box < 4; ++box) {
                EXPECT_EQ(t.counts.requested[box], code == 'Q' ? 0 : dlg.m_nRequest[box]);
                if (t.counts.has[box]) {
                    EXPECT_EQ(t.counts.dispensed[box], dlg.m_nDispensed[box]);
                    EXPECT_EQ(t.counts.rejected[box], dlg.m_nRejected[box]);
                }
            }
        }
    }
    EXPECT_TRUE(host.m_boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(EveryCode, AnswerFields, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string s;
                             for (const char* p = info.param.name; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) s += *p;
                             return s;
                         });

// A subscriber hears the answer, with its device error, before the error's
// box opens; the values it was told are those the window shows once the box
// has been closed.
TEST(AnswerFieldsOrder, AnsweredComesBeforeTheDeviceErrorBox) {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    NullWriter out;
    Recorder rec;
    std::vector<std::string> log;
    rec.log = &log;
    dlg.Create();
    dlg.m_pWriter = &out;
    dlg.m_bLinked = 1;
    ASSERT_TRUE(dlg.Subscribe(&rec));
    host.m_answerBox = [&](const fw::MessageBoxRecord& box) {
        log.push_back("box " + std::string(box.caption));
        return fw::kIdOk;
    };
    host.SelectTab(ids::kTab, 1);
    host.SetControlText(ids::kRepeat, "3");
    host.SetControlText(ids::kRequest[0], "3");
    dlg.OnCommandButton(ids::kFirstCommandButton + cmd::kDispense - cmd::kFirstType);
    const Bytes ack{proto::ACK};
    dlg.ReceiveBytes(ack.data(), ack.size());
    const Bytes frame = Response('R', '!', DispenseData(2, 1, 0));
    dlg.ReceiveBytes(frame.data(), frame.size());

    EXPECT_EQ(log, (std::vector<std::string>{"answered error 1", "box Error = 01 "}));
    ASSERT_EQ(rec.told.size(), 1u);
    const Told& t = rec.told[0];
    EXPECT_TRUE(t.a.awaited);
    ASSERT_EQ(t.rows.size(), FieldsOf('R', 0).size());
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
        if (t.rows[r]->src != FieldSource::Control) continue;
        EXPECT_EQ(host.GetControlText(t.rows[r]->ids[0]), t.values[r][0]) << t.rows[r]->key;
    }
    EXPECT_EQ(host.GetControlText(ids::kDispensed[0]), "2");
    EXPECT_EQ(dlg.m_nRepeat, 1);  // the error ends the batch at this answer
    dlg.Unsubscribe(&rec);
}

}  // namespace
