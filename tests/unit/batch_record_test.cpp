// The batch record: what begins a batch, one row per awaited answer with its
// counts, the totals, and how a batch ends.  Events are told as the console
// tells them.
#include "commands/CommandType.h"
#include "records/BatchRecord.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct BatchRecordTest : ::testing::Test {
    std::int64_t now = 1'000'000;
    rec::BatchRecord record{[this] { return now; }};
    ev::FrameNote frame;

    // A press of the button for type that sends its frame.
    void Press(int type, int id) {
        record.Pressed(ev::Press{id, type});
        record.Idle(false);
        frame.type = type;
        ev::TxNote note;
        note.kind = ev::TxKind::FirstSend;
        note.frame = &frame;
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
    Press(cmd::kTestDisp, 1003);
    for (int k = 1; k <= static_cast<int>(rec::kMaxRows); ++k) Answer(cmd::kTestDisp, k, rec::kMaxRows);
    EXPECT_EQ(record.Rows().size(), rec::kMaxRows);
    EXPECT_EQ(record.Dropped(), 0u);
    EXPECT_EQ(record.Result(), rec::Outcome::Ok);
}

// How a batch of three ends, and the result word it is written with.
struct EndCase {
    const char* name;
    int answers;        // answers that come, the last with `error`
    int error;          // -1: none
    ev::LinkEvent link; // told after the answers (Open: none)
    const char* word;
};

class BatchEnd : public BatchRecordTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(BatchEnd, ResultWord) {
    const EndCase& c = GetParam();
    Press(cmd::kDispense, 1001);
    for (int k = 1; k <= c.answers; ++k) Answer(cmd::kDispense, k, 3, k == c.answers ? c.error : -1);
    if (c.link != ev::LinkEvent::Open) record.Link(c.link, 1, {});
    record.Idle(true);
    EXPECT_FALSE(record.Running());
    EXPECT_EQ(rec::OutcomeWord(record.Result()), c.word);
    EXPECT_EQ(static_cast<int>(record.Rows().size()), c.answers);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BatchEnd,
    ::testing::Values(EndCase{"AllAnswered", 3, -1, ev::LinkEvent::Open, "ok"},
                      EndCase{"DeviceErrorEndsIt", 2, 0x11, ev::LinkEvent::Open, "device_error"},
                      EndCase{"NoAnswer", 1, -1, ev::LinkEvent::ResponseTimeout, "link_failed"},
                      EndCase{"NoAck", 0, -1, ev::LinkEvent::AckTimeout, "link_failed"},
                      EndCase{"PortLostThenIdle", 1, -1, ev::LinkEvent::PortLost, "link_failed"},
                      EndCase{"IdleBeforeTheLast", 2, -1, ev::LinkEvent::Open, "interrupted"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
