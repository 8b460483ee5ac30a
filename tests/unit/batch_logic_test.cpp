// Command execution and repeat batches on the virtual clock: batch set-up from
// the Repeat and Wait fields, the count-down of awaited answers, the repeat
// timer, the send bookkeeping, and the guards that keep the console from
// sending a frame nobody asked for or from staying busy for good.
//
// The frames are built here the way the command catalogue builds them (head,
// code, parameters, then the common close-and-send), so these tests exercise
// the batch logic whatever state the catalogue is in.  Module answers are
// fed to the receiver byte for byte: ACK, then a response frame with its BCC.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CaptureWriter : CByteWriter {
    fw::HeadlessHost* host = nullptr;
    std::vector<std::pair<std::uint64_t, Bytes>> writes;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        writes.emplace_back(host->Now(), Bytes(p, p + n));
        return 1;
    }
    // Host frames only (the receiver's own ACK/NAK bytes left out).
    std::vector<std::pair<std::uint64_t, Bytes>> Frames() const {
        std::vector<std::pair<std::uint64_t, Bytes>> out;
        for (const auto& w : writes)
            if (w.second.size() > 1 && w.second[0] == proto::EOT) out.push_back(w);
        return out;
    }
};

// Response frame: SOH '0' '0' code error data... ETX BCC.
Bytes Response(std::uint8_t code, std::uint8_t err = ' ', const Bytes& data = {}) {
    Bytes f;
    f.reserve(data.size() + 7);
    for (std::uint8_t b : {proto::SOH, std::uint8_t{'0'}, std::uint8_t{'0'}, code, err})
        f.push_back(b);
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

// Dispense answer data from position 5: an unread byte, per box dispensed,
// rejected, unread; then seven reason counts.
Bytes DispenseData(int disp1, int rej1 = 0) {
    Bytes d{' '};
    for (int box = 0; box < 4; ++box) {
        d.push_back(proto::CountByte(box == 0 ? disp1 : 0));
        d.push_back(proto::CountByte(box == 0 ? rej1 : 0));
        d.push_back(' ');
    }
    for (int k = 0; k < 7; ++k) d.push_back(' ');
    return d;
}

constexpr std::array<std::uint8_t, 18> kCounted{'P', 'Q', 'R', 'S', 'U', 'X', 'Z', '[', '\\',
                                               ']', '^', '_', 'p', 'q', 's', 't', 'u', '~'};

class BatchTest : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;

    void SetUp() override {
        cap.host = &host;
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;
        host.SetControlText(ids::kRepeat, "1");
        host.SetControlText(ids::kWait, "1");
    }

    // What SendCommand does around the batch logic: data exchange, set-up,
    // frame head, code and parameters, close and send.
    void Send(int nType, std::uint8_t code, const Bytes& params = {}, const int req[4] = nullptr) {
        dlg.UpdateData(true);
        dlg.UpdateData(false);
        dlg.BatchSetup(nType);
        dlg.m_TxFrame[0] = proto::EOT;
        dlg.m_TxFrame[1] = proto::HOST_ID;
        dlg.m_TxFrame[2] = proto::STX;
        dlg.m_TxFrame[3] = code;
        dlg.m_nTxLen = 4;
        dlg.m_nCmdCode = code;
        dlg.m_nLastType = nType;
        if (req)
            for (int i = 0; i < 4; ++i) dlg.m_nRequest[i] = req[i];
        for (std::uint8_t b : params) dlg.m_TxFrame[dlg.m_nTxLen++] = b;
        dlg.CloseAndSend(nType);
    }
    void SendDispense(const int req[4]) {
        Bytes p;
        for (int i = 0; i < 4; ++i) p.push_back(proto::CountByte(req[i]));
        p.insert(p.end(), {' ', ' ', ' '});
        Send(1, 'R', p, req);
    }
    void Feed(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
    void Ack() { Feed({proto::ACK}); }
    void Answer(std::uint8_t code, std::uint8_t err = ' ', const Bytes& data = {}) {
        Feed(Response(code, err, data));
    }
    std::size_t FrameCount() const { return cap.Frames().size(); }
    // Whether the page layout's counter refresh writes the Repeat field yet.
    bool CounterRefreshShowsRepeat() {
        const int saved = dlg.m_nRepeatLeft;
        dlg.m_nRepeatLeft = 7;
        dlg.CounterRefresh();
        const bool shows = host.GetControlText(ids::kRepeat) == "7";
        dlg.m_nRepeatLeft = saved;
        dlg.CounterRefresh();
        return shows;
    }
    // Runs a batch to its end, answering each send at once; returns the sends.
    std::size_t RunBatchToEnd(std::size_t limit) {
        for (std::size_t i = 0; i < limit && dlg.m_bBusy; ++i) {
            Ack();
            Answer('R', ' ', DispenseData(0));
            if (dlg.m_bBusy) host.Advance(static_cast<std::uint64_t>(dlg.m_nWaitSec) * 1000);
        }
        return FrameCount();
    }
};

constexpr int kReq5[4] = {5, 0, 0, 0};

TEST_F(BatchTest, DispenseRepeat3Wait2RunsThreeIdenticalSendsWithWaits) {
    const bool bTexts = CounterRefreshShowsRepeat();
    host.SetControlText(ids::kRepeat, "3");
    host.SetControlText(ids::kWait, "2");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    EXPECT_EQ(dlg.m_nRepeatLeft, 3);
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_EQ(host.TimerPeriod(kTimerResponse), kResponseFirstMs);
    if (bTexts) {
        EXPECT_EQ(host.GetControlText(ids::kRepeat), "3");
    }

    const std::vector<int> leftAfter{2, 1, 3};
    std::uint64_t tAnswer = 0;
    for (int run = 0; run < 3; ++run) {
        host.Advance(50);
        Ack();
        host.Advance(500);
        EXPECT_EQ(dlg.m_bBusy, 1) << "run " << run;
        Answer('R', ' ', DispenseData(5));
        tAnswer = host.Now();
        EXPECT_EQ(dlg.m_nRepeatLeft, leftAfter[static_cast<std::size_t>(run)]) << "run " << run;
        if (bTexts) {
            EXPECT_EQ(host.GetControlText(ids::kRepeat),
                      std::to_string(leftAfter[static_cast<std::size_t>(run)]));
        }
        if (run < 2) {
            EXPECT_EQ(dlg.m_bBusy, 1);
            host.Advance(1999);
            EXPECT_EQ(FrameCount(), static_cast<std::size_t>(run + 1));
            host.Advance(1);
            ASSERT_EQ(FrameCount(), static_cast<std::size_t>(run + 2));
            EXPECT_EQ(cap.Frames().back().first, tAnswer + 2000);
            EXPECT_EQ(host.TimerPeriod(kTimerResponse), kResponseRepeatMs);
            EXPECT_EQ(host.TimerPeriod(kTimerAck), kAckMs);
            EXPECT_EQ(dlg.m_nRxState, proto::kRxAwaitAck);
        }
    }
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
    EXPECT_EQ(dlg.m_nTotalRequested, 15);
    const auto frames = cap.Frames();
    ASSERT_EQ(frames.size(), 3u);
    const Bytes expected{0x04, 0x30, 0x02, 0x52, 0x25, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x03,
                         0x42};
    for (const auto& f : frames) EXPECT_EQ(f.second, expected);
    host.Advance(300000);
    EXPECT_EQ(FrameCount(), 3u);
}

struct FieldCase {
    const char* text;
    int expected;
};

TEST_F(BatchTest, RepeatFieldOutOfRangeOrUnreadableGivesOneSend) {
    const FieldCase cases[] = {{"0", 1},  {"2001", 1}, {"", 1},   {"abc", 1},
                               {"-3", 1}, {" 2x", 2},  {"+4", 4}, {"99999999999999999999", 1}};
    for (const auto& c : cases) {
        CaptureWriter local;
        local.host = &host;
        dlg.m_pWriter = &local;
        cap.writes.clear();
        dlg.m_nTab = 1;
        host.SetControlText(ids::kRepeat, c.text);
        SendDispense(kReq5);
        for (int i = 0; i < 10 && dlg.m_bBusy; ++i) {
            Ack();
            Answer('R', ' ', DispenseData(5));
            host.Advance(1000);
        }
        std::size_t n = 0;
        for (const auto& w : local.writes)
            if (w.second.size() > 1) ++n;
        EXPECT_EQ(n, static_cast<std::size_t>(c.expected)) << "Repeat text '" << c.text << "'";
        EXPECT_EQ(dlg.m_bBusy, 0) << c.text;
        EXPECT_EQ(dlg.m_nRepeat, c.expected) << c.text;
        dlg.m_pWriter = &cap;
    }
}

TEST_F(BatchTest, Repeat2000GivesTwoThousandSends) {
    host.SetControlText(ids::kRepeat, "2000");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    EXPECT_EQ(RunBatchToEnd(2100), 2000u);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nTotalRequested, 10000);
    EXPECT_EQ(dlg.m_nRepeatLeft, 2000);
}

TEST_F(BatchTest, WaitFieldClampsToOneSecondAndAllowsTenMinutes) {
    const FieldCase cases[] = {{"0", 1000}, {"601", 1000}, {"600", 600000}, {"", 1000}, {"7", 7000}};
    for (const auto& c : cases) {
        host.SetControlText(ids::kRepeat, "2");
        host.SetControlText(ids::kWait, c.text);
        dlg.m_nTab = 1;
        SendDispense(kReq5);
        Ack();
        Answer('R', ' ', DispenseData(5));
        EXPECT_EQ(host.TimerPeriod(kTimerRepeat), static_cast<unsigned>(c.expected)) << c.text;
        const std::size_t before = FrameCount();
        host.Advance(static_cast<std::uint64_t>(c.expected) - 1);
        EXPECT_EQ(FrameCount(), before) << c.text;
        host.Advance(1);
        EXPECT_EQ(FrameCount(), before + 1) << c.text;
        Ack();
        Answer('R', ' ', DispenseData(5));
        EXPECT_EQ(dlg.m_bBusy, 0) << c.text;
    }
}

TEST_F(BatchTest, PurgeIsSentOnceAndKeepsTheBatchCounters) {
    host.SetControlText(ids::kRepeat, "4");
    dlg.m_nTab = 1;
    dlg.m_nRepeat = 3;
    dlg.m_nDispSum[0] = 12;
    dlg.m_nTotalDispensed = 12;
    dlg.m_nReasonSum[2] = 4;
    Send(2, 'Q');
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nDispSum[0], 12);
    EXPECT_EQ(dlg.m_nTotalDispensed, 12);
    EXPECT_EQ(dlg.m_nReasonSum[2], 4);
    Ack();
    Answer('Q', ' ', DispenseData(0));
    EXPECT_EQ(dlg.m_bBusy, 0);
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 1u);
    EXPECT_EQ(dlg.m_nRepeatLeft, 3);  // the last DISPENSE-page repeat count again
}

TEST_F(BatchTest, CommandOnAnotherPageIsSentOnceAndRestoresLastRepeat) {
    host.SetControlText(ids::kRepeat, "2");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    RunBatchToEnd(5);
    ASSERT_EQ(FrameCount(), 2u);
    dlg.m_nTotalRequested = 10;

    host.SetControlText(ids::kRepeat, "5");
    dlg.m_nTab = 2;
    Send(6, 'P');
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nTotalRequested, 10);  // a STATUS asks for no notes
    Ack();
    Answer('P', ' ', Bytes(18, ' '));
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nRepeatLeft, 2);
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 3u);
}

TEST_F(BatchTest, BlockWriteOnDispensePageIsABatchOfOne) {
    host.SetControlText(ids::kRepeat, "5");
    dlg.m_nTab = 1;
    dlg.m_nRepeat = 2;
    dlg.m_nTotalRequested = 9;
    Send(21, 's', Bytes(260, '0'));
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nRepeat, 2);
    EXPECT_EQ(dlg.m_nTotalRequested, 9);
    Ack();
    Answer('s');
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 1u);
}

TEST_F(BatchTest, LastStatOnDispensePageRepeatsAndZeroesCounters) {
    host.SetControlText(ids::kRepeat, "3");
    dlg.m_nTab = 1;
    dlg.m_nDispSum[1] = 8;
    dlg.m_nTotalRejected = 2;
    dlg.m_nRequest[0] = 5;
    Send(4, 'U');
    EXPECT_EQ(dlg.m_nDispSum[1], 0);
    EXPECT_EQ(dlg.m_nTotalRejected, 0);
    EXPECT_EQ(dlg.m_nRequest[0], 0);
    for (int i = 0; i < 5 && dlg.m_bBusy; ++i) {
        Ack();
        Answer('U', ' ', Bytes(14, ' '));
        if (dlg.m_bBusy) host.Advance(1000);
    }
    EXPECT_EQ(FrameCount(), 3u);
    EXPECT_EQ(dlg.m_nTotalRequested, 0);
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(BatchTest, SendPutsZeroIntoLastAnswerReasonAndRejectedTexts) {
    for (int id = 1057; id <= 1064; ++id) host.SetControlText(id, "9");
    for (int id = 1132; id <= 1146; ++id) host.SetControlText(id, "9");
    dlg.m_nTab = 3;
    dlg.m_nDispensed[0] = 4;
    dlg.m_nRejSum[2] = 6;
    Send(7, '[');
    for (int id = 1057; id <= 1064; ++id) EXPECT_EQ(host.GetControlText(id), "0") << id;
    for (int id = 1132; id <= 1138; ++id) EXPECT_EQ(host.GetControlText(id), "0") << id;
    for (int id = 1139; id <= 1142; ++id) EXPECT_EQ(host.GetControlText(id), "9") << id;
    for (int id = 1143; id <= 1146; ++id) EXPECT_EQ(host.GetControlText(id), "0") << id;
    EXPECT_EQ(dlg.m_nDispensed[0], 4);
    EXPECT_EQ(dlg.m_nRejSum[2], 6);
}

TEST_F(BatchTest, RepeatSendDoesNotZeroTextsAgain) {
    host.SetControlText(ids::kRepeat, "2");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    Ack();
    Answer('R', ' ', DispenseData(5));
    host.SetControlText(1057, "5");
    host.Advance(1000);
    ASSERT_EQ(FrameCount(), 2u);
    EXPECT_EQ(host.GetControlText(1057), "5");
}

TEST_F(BatchTest, ButtonPressWhileBusyIsIgnored) {
    dlg.m_nTab = 1;
    host.SetControlText(ids::kRepeat, "2");
    SendDispense(kReq5);
    Ack();
    Answer('R', ' ', DispenseData(5));
    ASSERT_TRUE(host.IsTimerRunning(kTimerRepeat));  // waiting between two sends
    const int left = dlg.m_nRepeatLeft;
    for (int id = 1001; id <= 1018; ++id) dlg.OnCommand(id);
    EXPECT_EQ(FrameCount(), 1u);
    EXPECT_EQ(dlg.m_nRepeatLeft, left);
    EXPECT_EQ(dlg.m_bBusy, 1);
}

TEST_F(BatchTest, ButtonPressWhenIdleSendsItsCommandType) {
    dlg.m_nTab = 2;
    dlg.OnCommand(1006);
    ASSERT_EQ(FrameCount(), 1u);
    const Bytes status{0x04, 0x30, 0x02, 0x50, 0x03, 0x65};
    EXPECT_EQ(cap.Frames().front().second, status);
    EXPECT_EQ(dlg.m_bBusy, 1);
}

TEST_F(BatchTest, DumpFrameDuringBatchChangesNothing) {
    dlg.m_nTab = 1;
    host.SetControlText(ids::kRepeat, "3");
    SendDispense(kReq5);
    Ack();
    host.SetControlText(ids::kRepeat, "edited");
    Answer('w', ' ', Bytes(31, ' '));
    EXPECT_EQ(dlg.m_nRepeatLeft, 3);
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_TRUE(dlg.m_bAnswerAwaited);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
    EXPECT_EQ(host.GetControlText(ids::kRepeat), "edited");  // no counter refresh after 'w'
    Answer('R', ' ', DispenseData(5));
    EXPECT_EQ(dlg.m_nRepeatLeft, 2);
}

TEST_F(BatchTest, DispenseErrorEndsTheBatchWithRepeatOne) {
    dlg.m_nTab = 1;
    host.SetControlText(ids::kRepeat, "3");
    SendDispense(kReq5);
    Ack();
    Answer('R', '!', DispenseData(2));
    EXPECT_EQ(dlg.m_nDispSum[0], 2);
    EXPECT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nRepeat, 1);
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 1u);
}

// ---- answers that answer no outstanding send ---------------------------------

enum class Unasked { BeforeAnyCommand, AfterResponseTimeout, AfterAckTimeout, DuringWait,
                     SecondFrame };

TEST_F(BatchTest, UnsolicitedCountedAnswerNeverCausesASend) {
    const Unasked scenarios[] = {Unasked::BeforeAnyCommand, Unasked::AfterResponseTimeout,
                                 Unasked::AfterAckTimeout, Unasked::DuringWait,
                                 Unasked::SecondFrame};
    for (Unasked s : scenarios) {
        for (std::uint8_t code : kCounted) {
            fw::HeadlessHost h;
            CConsoleDlg d(h);
            CaptureWriter w;
            w.host = &h;
            d.m_pWriter = &w;
            h.SetControlText(ids::kRepeat, "3");
            h.SetControlText(ids::kWait, "1");
            auto feed = [&](const Bytes& b) { d.ReceiveBytes(b.data(), b.size()); };
            auto send = [&] {
                d.m_nTab = 1;
                d.UpdateData(true);
                d.BatchSetup(1);
                const Bytes f{proto::EOT, proto::HOST_ID, proto::STX, 'R', '%', ' ', ' ', ' ',
                              ' ', ' ', ' '};
                std::copy(f.begin(), f.end(), d.m_TxFrame);
                d.m_nTxLen = static_cast<int>(f.size());
                d.m_nCmdCode = 'R';
                d.m_nLastType = 1;
                d.m_nRequest[0] = 5;
                d.CloseAndSend(1);
            };
            switch (s) {
            case Unasked::BeforeAnyCommand: break;
            case Unasked::AfterResponseTimeout:
                send();
                feed({proto::ACK});
                h.Advance(kResponseFirstMs);
                ASSERT_EQ(d.m_strStatus, "!!! Error Response Timeout");
                break;
            case Unasked::AfterAckTimeout:
                send();
                h.Advance(4000);
                ASSERT_EQ(d.m_strStatus, "!!! Error ACK Timeout");
                feed({proto::ACK});
                break;
            case Unasked::DuringWait:
                send();
                feed({proto::ACK});
                feed(Response('R', ' ', DispenseData(5)));
                ASSERT_TRUE(h.IsTimerRunning(kTimerRepeat));
                break;
            case Unasked::SecondFrame:
                d.m_nTab = 2;
                d.m_nRepeat = 3;
                d.UpdateData(true);
                d.BatchSetup(6);
                d.m_TxFrame[3] = 'P';
                d.m_nTxLen = 4;
                d.m_nCmdCode = 'P';
                d.m_nLastType = 6;
                d.CloseAndSend(6);
                feed({proto::ACK});
                feed(Response('P', ' ', Bytes(18, ' ')));
                ASSERT_EQ(d.m_bBusy, 0);
                break;
            }
            const std::size_t writesBefore = w.writes.size();
            const int leftBefore = d.m_nRepeatLeft;
            const auto busyBefore = d.m_bBusy;
            const auto repeatDue = h.TimerDue(kTimerRepeat);
            d.m_nRxState = proto::kRxIdle;  // let the frame in even if an ACK was awaited
            feed(Response(code, ' ', Bytes(40, ' ')));
            const std::string what =
                "scenario " + std::to_string(static_cast<int>(s)) + " code " + std::to_string(code);
            // The batch's own code during its wait ends the batch (its counts
            // may be off); any other leaves it as it was.
            const bool ends = s == Unasked::DuringWait && code == 'R';
            EXPECT_EQ(d.m_nRepeatLeft, ends ? d.m_nRepeat : leftBefore) << what;
            EXPECT_EQ(d.m_bBusy, ends ? 0 : busyBefore) << what;
            if (ends)
                EXPECT_FALSE(h.IsTimerRunning(kTimerRepeat)) << what;
            else
                EXPECT_EQ(h.TimerDue(kTimerRepeat), repeatDue) << what;
            // Of what is sent from here on: only the running batch's next frame,
            // at the end of its wait.
            h.Advance(s == Unasked::DuringWait ? 1000 : 10000);
            std::size_t frames = 0;
            for (std::size_t i = writesBefore; i < w.writes.size(); ++i)
                if (w.writes[i].second.size() > 1) ++frames;
            EXPECT_EQ(frames, s == Unasked::DuringWait && !ends ? 1u : 0u) << what;
        }
    }
}

TEST_F(BatchTest, DispenseAnswerThatAnswersNoSendIsShownButNotCounted) {
    host.SetControlText(ids::kRepeat, "2");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    Ack();
    Answer('R', ' ', DispenseData(5, 1));
    ASSERT_TRUE(host.IsTimerRunning(kTimerRepeat));
    // A second copy of the answer, and one with an error byte, while the batch waits.
    Answer('R', ' ', DispenseData(5, 1));
    Answer('R', 0x21, DispenseData(3));
    EXPECT_EQ(host.GetControlText(1057), "5");  // still the last answer counted
    EXPECT_NE(dlg.m_strRecv.find("Unasked 'R' answer: dispensed 3"), std::string::npos);
    EXPECT_EQ(dlg.m_nTotalDispensed, 5);
    EXPECT_EQ(dlg.m_nTotalRejected, 1);
    EXPECT_EQ(host.GetControlText(1130), "5");
    // Evidence that an answer may be taken for the wrong send: the batch ends
    // there, with no further send.
    EXPECT_EQ(dlg.m_bBusy, 0);
    host.Advance(1000);
    EXPECT_EQ(FrameCount(), 1u);
    EXPECT_EQ(host.GetControlText(1129), "5");
}

// ---- the console never stays busy for good -----------------------------------

TEST_F(BatchTest, GoLoaderAndResetAckAfterResendClearsBusy) {
    for (auto [type, code] : {std::pair<int, std::uint8_t>{20, 'r'}, {23, 'D'}}) {
        dlg.m_nTab = 5;
        Send(type, code);
        dlg.m_bBusy = 0;  // the handler leaves the console idle right after the send
        dlg.EnableRule();
        host.Advance(1000);  // no ACK: the resend sets the busy flag again
        ASSERT_EQ(dlg.m_bBusy, 1) << type;
        Ack();
        EXPECT_EQ(dlg.m_bBusy, 0) << type;
        EXPECT_FALSE(host.IsTimerRunning(kTimerResponse)) << type;
        EXPECT_FALSE(dlg.m_bAnswerAwaited) << type;
        Answer(code);
        EXPECT_EQ(dlg.m_bBusy, 0) << type;
    }
}

TEST_F(BatchTest, AckOfOtherCommandsKeepsBusy) {
    dlg.m_nTab = 5;
    Send(22, 't', {'0', '0', '0', '0'});
    Ack();
    EXPECT_EQ(dlg.m_bBusy, 1);
    Answer('t');
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(BatchTest, RepeatTimerWithoutRunningBatchSendsNothing) {
    dlg.m_nRepeatLeft = 0;
    dlg.m_nCmdCode = 'R';
    dlg.m_nTxLen = 6;
    host.SetTimer(kTimerRepeat, 1000);
    host.Advance(1000);
    EXPECT_TRUE(cap.writes.empty());
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
}

TEST_F(BatchTest, AckTimeoutInBatchEndsItWithNoFurtherSends) {
    dlg.m_nTab = 1;
    host.SetControlText(ids::kRepeat, "3");
    SendDispense(kReq5);
    Ack();
    Answer('R', ' ', DispenseData(5));
    host.Advance(1000);  // second send
    ASSERT_EQ(FrameCount(), 2u);
    host.Advance(4000);  // never acknowledged: three resends, then give up
    EXPECT_EQ(FrameCount(), 5u);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nRepeatLeft, 0);
    host.Advance(200000);
    EXPECT_EQ(FrameCount(), 5u);
    EXPECT_EQ(dlg.m_bBusy, 0);
}

// ---- a box open keeps every send --------------------------------------------

// An unasked STATUS frame's device error box, held 10 s in a batch's Wait:
// the run due meanwhile goes out only once the box is closed and the line
// read (without a port the sync point is a posted message).
TEST_F(BatchTest, TheBatchWaitsWhileABoxIsOpenAndGoesOnAfterIt) {
    host.SetControlText(ids::kRepeat, "2");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    Ack();
    Answer('R', ' ', DispenseData(5));
    ASSERT_TRUE(host.IsTimerRunning(kTimerRepeat));
    std::size_t framesInBox = 0;
    host.m_answerBox = [&](const fw::MessageBoxRecord&) {
        host.Advance(10000);
        framesInBox = FrameCount();
        return fw::kIdOk;
    };
    Answer('P', '!', Bytes(40, '0'));
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(framesInBox, 1u);
    EXPECT_EQ(FrameCount(), 1u);  // nothing before the line was read
    host.Pump();
    ASSERT_EQ(FrameCount(), 2u);
    Ack();
    Answer('R', ' ', DispenseData(5));
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nTotalRequested, 10);
    EXPECT_EQ(dlg.m_nTotalDispensed, 10);
}

// A press's box lets the line in: the ACK read inside it cancels the resend
// whose time came while the box was open.
TEST_F(BatchTest, AnAckReadWhileABoxIsOpenCancelsTheKeptResend) {
    Send(6, 'P');
    host.m_answerBox = [&](const fw::MessageBoxRecord&) {
        host.Advance(1500);
        Ack();
        host.Advance(8500);
        return fw::kIdOk;
    };
    dlg.OnAbout();
    host.Pump();
    host.Advance(2000);
    EXPECT_EQ(FrameCount(), 1u);
    Answer('P', ' ', Bytes(40, '0'));
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_strStatus, "");
}

// A box held past the response time-out: the time-out is taken only when
// the bytes that came meanwhile hold no answer.
TEST_F(BatchTest, ABoxHeldPastTheResponseTimeOutLetsTheAnswerThatCameCount) {
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered in the box" : "no answer");
        dlg.m_strStatus.clear();
        dlg.m_nTab = 1;
        SendDispense(kReq5);
        Ack();
        host.m_answerBox = [&](const fw::MessageBoxRecord&) {
            host.Advance(130000);
            return fw::kIdOk;
        };
        Answer('P', '!', Bytes(40, '0'));
        host.m_answerBox = nullptr;
        if (answered) Answer('R', ' ', DispenseData(5));  // handed over before the sync point
        host.Pump();
        EXPECT_EQ(dlg.m_strStatus, answered ? "" : "!!! Error Response Timeout");
        EXPECT_EQ(dlg.m_bBusy, 0);
        EXPECT_EQ(dlg.m_nTotalDispensed, answered ? 5 : 0);
        EXPECT_EQ(FrameCount(), 1u);
        cap.writes.clear();
    }
}

// What a box kept goes before any press: Go Loader leaves the console idle,
// its resend is kept by the About box, and Reset pressed before the line was
// read sends nothing.
TEST_F(BatchTest, APressWaitsBehindWhatABoxKept) {
    Send(20, 'r');
    dlg.m_bBusy = 0;  // as Go Loader's handler leaves it
    host.m_answerBox = [&](const fw::MessageBoxRecord&) {
        host.Advance(1500);
        return fw::kIdOk;
    };
    dlg.OnAbout();
    EXPECT_FALSE(dlg.IsIdle());
    dlg.OnCommand(ids::kReset);
    EXPECT_EQ(FrameCount(), 1u);
    host.Pump();
    ASSERT_EQ(FrameCount(), 2u);  // the kept resend of Go Loader
    EXPECT_EQ(cap.Frames()[1].second[3], 'r');
}

}  // namespace

namespace {

// STOP: during an awaited answer the batch ends after it, in the Wait at
// once, and the port stays open; EXIT during a batch asks first (No keeps it).
TEST_F(BatchTest, StopEndsTheBatchAfterTheExchangeUnderWayAndExitAsksFirst) {
    host.SetControlText(ids::kRepeat, "5");
    host.SetControlText(ids::kWait, "3");
    dlg.m_nTab = 1;
    SendDispense(kReq5);
    EXPECT_TRUE(dlg.BatchStoppable());
    Ack();
    dlg.OnCommand(ids::kStop);  // the answer is awaited: it still counts
    EXPECT_FALSE(dlg.BatchStoppable());
    EXPECT_EQ(dlg.m_bBusy, 1);
    Answer('R', ' ', DispenseData(5));
    EXPECT_EQ(dlg.m_bBusy, 0);
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 1u);

    SendDispense(kReq5);  // a new press: STOP no longer holds
    Ack();
    Answer('R', ' ', DispenseData(5));
    ASSERT_EQ(dlg.m_bBusy, 1);  // in the Wait
    int asked = 0;
    host.m_answerBox = [&](const fw::MessageBoxRecord& box) {
        asked += box.yesNo;
        return fw::kIdNo;
    };
    dlg.OnCommand(ids::IDCANCEL);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(host.m_endResult) << "No: the console goes on";
    dlg.OnCommand(ids::kStop);  // nothing under way: ended now
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerRepeat));
    host.Advance(10000);
    EXPECT_EQ(FrameCount(), 2u);
    dlg.OnCommand(ids::IDCANCEL);  // no batch: no question
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(host.m_endResult, ids::IDCANCEL);
}

}  // namespace
