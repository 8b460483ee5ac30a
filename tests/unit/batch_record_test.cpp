// The batch record: what begins a batch, one row per awaited answer with its
// counts, the totals, and how a batch ends.  Events are told as the console
// tells them.
#include "commands/CommandType.h"
#include "records/BatchRecord.h"
#include "records/RecordWriter.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct BatchRecordTest : ::testing::Test {
    std::int64_t now = 1'000'000;
    rec::BatchRecord record{[this] { return now; }};
    ev::FrameNote frame;

    // A press of the button for type that sends its frame.
    void Press(int type, int id, int runs = 3) {
        record.Pressed(ev::Press{id, type});
        record.Idle(false);
        frame.type = type;
        ev::TxNote note;
        note.kind = ev::TxKind::FirstSend;
        note.frame = &frame;
        note.runs = runs;  // the Repeat of the batch, as the console tells it
        const std::uint8_t bytes[1] = {0x04};
        record.Written(bytes, 1, note);
    }
    // Answer k of n: box 1 dispensed 5 - k % 2, rejected k % 2 for reason "LEN".
    void Answer(int type, int k, int n, int error = -1) {
        ev::DispenseCounts c;
        c.requested[0] = 5;
        c.requested[2] = 2;
        c.dispensed[0] = 5 - k % 2;
        c.dispensed[2] = 2;
        c.rejected[0] = k % 2;
        c.reasons[2] = k % 2;
        ev::Answer a;
        a.type = type;
        a.awaited = true;
        a.error = error;
        a.index = k;
        a.of = n;
        a.counts = &c;
        now += 250;
        record.Answered(a);
    }
};

TEST_F(BatchRecordTest, APressThatSendsBeginsABatchOfOneRowPerAnswerWithItsTotals) {
    Press(cmd::kDispense, 1001);
    EXPECT_TRUE(record.Running());
    EXPECT_EQ(record.Info().number, 1u);
    EXPECT_EQ(record.Info().startMs, 1'000'000);
    for (int k = 1; k <= 3; ++k) Answer(cmd::kDispense, k, 3);

    ASSERT_EQ(record.Rows().size(), 3u);
    EXPECT_EQ(record.Rows()[1].index, 2);
    EXPECT_EQ(record.Rows()[1].of, 3);
    EXPECT_EQ(record.Rows()[1].timeMs, 1'000'500);
    EXPECT_EQ(record.Rows()[0].counts.rejected[0], 1);
    EXPECT_EQ(record.Rows()[1].counts.rejected[0], 0);
    EXPECT_EQ(record.Totals().Requested(), 21);
    EXPECT_EQ(record.Totals().Dispensed(), 19);
    EXPECT_EQ(record.Totals().reasons[2], 2);
    EXPECT_EQ(record.Arguments(), "5 0 2 0 --repeat 3");
    EXPECT_EQ(record.Result(), rec::Outcome::Ok);
    EXPECT_FALSE(record.Running());
}

TEST_F(BatchRecordTest, APressThatSendsNothingKeepsTheLastBatch) {
    Press(cmd::kZigzag, 1005);
    Answer(cmd::kZigzag, 1, 1);
    record.Pressed(ev::Press{1001, cmd::kDispense});
    record.Refused(ev::Press{1001, cmd::kDispense}, ev::Refusal::NotLinked, {});
    Answer(cmd::kDispense, 1, 1);  // no send of this batch was seen: not recorded
    EXPECT_EQ(record.Info().number, 1u);
    EXPECT_EQ(rec::CommandName(record.Info().type), "zigzag");
    EXPECT_EQ(record.Rows().size(), 1u);
}

TEST_F(BatchRecordTest, UnawaitedAnswersAndOtherCommandsAreNoRows) {
    Press(cmd::kDispense, 1001);
    ev::DispenseCounts c;
    ev::Answer unasked;
    unasked.type = cmd::kDispense;
    unasked.counts = &c;
    record.Answered(unasked);
    Press(cmd::kLastStat, 1004);  // LAST STAT makes no record of its own
    Answer(cmd::kLastStat, 1, 2);
    EXPECT_TRUE(record.Rows().empty());
    EXPECT_TRUE(record.Running());
}

TEST_F(BatchRecordTest, AFullBatchKeepsEveryRow) {
    Press(cmd::kTestDisp, 1003, static_cast<int>(rec::kMaxRows));
    for (int k = 1; k <= static_cast<int>(rec::kMaxRows); ++k) Answer(cmd::kTestDisp, k, rec::kMaxRows);
    EXPECT_EQ(record.Rows().size(), rec::kMaxRows);
    EXPECT_EQ(record.Dropped(), 0u);
    EXPECT_EQ(record.Result(), rec::Outcome::Ok);
}

// How a batch of three (5 notes from box 1 and 2 from box 3 a send) ends,
// against the summary row it writes.  The steps, in order: a answer, e answer
// with a device error, r the repeat send, A ACK time-out, R response time-out,
// L port lost, S stop (STOP, the first Ctrl+C), U an answer no send waited
// for, X the program ends (Interrupt), I idle.
struct EndCase {
    const char* name;
    const char* steps;
    const char* word;      // result
    int answers;           // answer column
    int requested;         // the requests summed over the boxes
    const char* dispensed; // dispensed_1: "" when not known
};

class BatchEnd : public BatchRecordTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(BatchEnd, SummaryRow) {
    const EndCase& c = GetParam();
    frame.kind = ev::NoteKind::Counts;
    frame.count = 4;
    frame.values[0] = 5;
    frame.values[2] = 2;
    Press(cmd::kDispense, 1001);
    int k = 0;
    for (const char* p = c.steps; *p; ++p) {
        switch (*p) {
        case 'a': Answer(cmd::kDispense, ++k, 3); break;
        case 'e': Answer(cmd::kDispense, ++k, 3, 0x11); break;
        case 'r': {
            ev::TxNote note;
            note.kind = ev::TxKind::RepeatSend;
            note.frame = &frame;
            const std::uint8_t b = 0x04;
            record.Written(&b, 1, note);
            break;
        }
        case 'A': record.Link(ev::LinkEvent::AckTimeout, 1, {}); break;
        case 'R': record.Link(ev::LinkEvent::ResponseTimeout, 1, {}); break;
        case 'L': record.Link(ev::LinkEvent::PortLost, 1, {}); break;
        case 'S': record.Noticed(ev::Notice{.kind = ev::NoticeKind::BatchStopped}); break;
        case 'U': record.Noticed(ev::Notice{.kind = ev::NoticeKind::BatchUncertain}); break;
        case 'X': record.Interrupt(); break;
        case 'I': record.Idle(true); break;
        default: FAIL() << *p;
        }
    }
    EXPECT_FALSE(record.Running());
    const rec::RunFields run{"COM1", "U-1", "dispense", record.Arguments()};
    const rec::Row row = rec::SummaryRow(run, record, record.EndMs());
    EXPECT_EQ(row.result, c.word);
    EXPECT_EQ(row.answer, c.answers);
    EXPECT_EQ(row.of, 3);  // known from the first frame, answered or not
    EXPECT_EQ(run.arguments, "5 0 2 0 --repeat 3");
    EXPECT_EQ(row.counts.Requested(), c.requested);
    EXPECT_EQ(row.countsKnown ? std::to_string(row.counts.dispensed[0]) : std::string(), c.dispensed);
    EXPECT_EQ(static_cast<int>(record.Rows().size()), c.answers);
    EXPECT_GT(record.EndMs(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BatchEnd,
    ::testing::Values(EndCase{"AllAnswered", "araraI", "ok", 3, 21, "13"},
                      EndCase{"DeviceErrorEndsIt", "areI", "device_error", 2, 14, "9"},
                      EndCase{"NoAnswer", "arRI", "link_failed", 1, 14, ""},
                      EndCase{"NoAckBeforeAnyAnswer", "AI", "link_failed", 0, 7, ""},
                      EndCase{"PortLostThenIdle", "arLI", "link_failed", 1, 14, ""},
                      EndCase{"StoppedInTheWait", "aSI", "stopped", 1, 7, "4"},
                      EndCase{"StoppedAfterTheExchangeUnderWay", "arSaI", "stopped", 2, 14, "9"},
                      EndCase{"WindowClosedAwaitingAnAnswer", "arX", "interrupted", 1, 14, ""},
                      EndCase{"WindowClosedBeforeAnyAnswer", "X", "interrupted", 0, 7, ""},
                      EndCase{"IdleBeforeTheLast", "araI", "interrupted", 2, 14, "9"},
                      EndCase{"UnaskedAnswerEndsItAtTheNext", "araUI", "uncertain", 2, 14, "9"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
