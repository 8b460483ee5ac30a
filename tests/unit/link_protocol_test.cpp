// Link protocol on the virtual clock: closing and sending host frames, the
// receiver state machine across chunks, ACK/NAK, the ACK timer with its three
// resends and the response timer.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every write with the virtual time and whether the response timer ran
// at that moment (the receiver stops it before answering ACK).
struct LinkCapture final : CByteWriter {
    struct Rec {
        Bytes bytes;
        std::uint64_t at;
        bool respTimer;
    };
    fw::HeadlessHost* host = nullptr;
    std::vector<Rec> recs;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        recs.push_back({Bytes(p, p + n), host->Now(), host->IsTimerRunning(kTimerResponse)});
        return 1;
    }
};

// SOH, two unexamined bytes, code, error byte, fields, ETX and a BCC (correct
// unless bccDelta is nonzero).
Bytes Response(std::uint8_t code, const Bytes& fields = {}, std::uint8_t bccDelta = 0) {
    Bytes f{proto::SOH, '0', '0', code, ' '};
    f.insert(f.end(), fields.begin(), fields.end());
    f.push_back(proto::ETX);
    f.push_back(static_cast<std::uint8_t>(proto::Xor(f.data(), f.size()) ^ bccDelta));
    return f;
}

const Bytes kAck{proto::ACK};
const Bytes kNak{proto::NAK};

class LinkTest : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    LinkCapture cap;

    void SetUp() override {
        cap.host = &host;
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;
    }
    void Send(int nType, std::uint8_t code, const Bytes& params = {}) {
        dlg.m_TxFrame[0] = proto::EOT;
        dlg.m_TxFrame[1] = proto::HOST_ID;
        dlg.m_TxFrame[2] = proto::STX;
        dlg.m_TxFrame[3] = code;
        dlg.m_nTxLen = 4;
        for (std::uint8_t b : params) dlg.m_TxFrame[dlg.m_nTxLen++] = b;
        dlg.m_nCmdCode = code;
        dlg.m_nLastType = nType;
        dlg.CloseAndSend(nType);
    }
    void Feed(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
    // Through the channel's hand-over buffer, as the reader delivers it.
    void FeedChunk(const Bytes& b) {
        ASSERT_LE(b.size(), CComm::kChunk);
        std::copy(b.begin(), b.end(), dlg.m_Comm.m_RxBuf);
        dlg.m_Comm.m_wRxLen = static_cast<std::uint16_t>(b.size());
        EXPECT_EQ(dlg.OnMessage(WM_COMM_DATA, 0, 0), 1);
    }
    Bytes Stored() const { return Bytes(dlg.m_TxFrame, dlg.m_TxFrame + dlg.m_nTxLen); }
    std::size_t Writes() const { return cap.recs.size(); }
    const Bytes& LastWrite() const { return cap.recs.back().bytes; }
};

TEST_F(LinkTest, FrameWithoutParametersIsClosedWithEtxBccAndTrailingZero) {
    dlg.m_TxFrame[6] = 0xAA;
    Send(16, 'P');
    EXPECT_EQ(Stored(), (Bytes{0x04, 0x30, 0x02, 0x50, 0x03, 0x65}));
    EXPECT_EQ(dlg.m_nTxLen, 6);
    EXPECT_EQ(dlg.m_TxFrame[6], 0);
    ASSERT_EQ(Writes(), 1u);
    EXPECT_EQ(LastWrite(), Stored());
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxAwaitAck);
    EXPECT_EQ(host.TimerPeriod(kTimerAck), kAckMs);
}

TEST_F(LinkTest, LongestBlockFrameFitsAndEveryFrameXorsToZero) {
    Bytes params(260, '5');  // 4 address nibbles and 256 data nibbles
    Send(21, 's', params);
    EXPECT_EQ(dlg.m_nTxLen, 266);
    EXPECT_EQ(dlg.m_TxFrame[266], 0);
    EXPECT_EQ(proto::Xor(dlg.m_TxFrame, 266), 0);
    EXPECT_EQ(LastWrite().size(), 266u);
}

TEST_F(LinkTest, ResponseTimerArmedForEveryTypeButGoLoaderAndReset) {
    for (int nType = 1; nType <= 23; ++nType) {
        SCOPED_TRACE(nType);
        host.KillTimer(kTimerResponse);
        Send(nType, 'P');
        const bool bArmed = nType != 20 && nType != 23;
        EXPECT_EQ(host.IsTimerRunning(kTimerResponse), bArmed);
        if (bArmed) {
            EXPECT_EQ(host.TimerPeriod(kTimerResponse), kResponseFirstMs);
            // Armed before the ACK timer (write, then response timer, then ACK timer).
            EXPECT_FALSE(cap.recs.back().respTimer);
        }
        Feed(kAck);
    }
}

TEST_F(LinkTest, GoLoaderAndResetNeverEndInResponseTimeout) {
    for (int nType : {20, 23}) {
        SCOPED_TRACE(nType);
        dlg.m_strStatus.clear();
        Send(nType, nType == 20 ? 'r' : 'D');
        Feed(kAck);
        host.Advance(600000);
        EXPECT_EQ(dlg.m_strStatus, "");
    }
}

TEST_F(LinkTest, BlockWriteAnswerLostEndsInResponseTimeout) {
    Send(21, 's', Bytes(260, '0'));
    Feed(kAck);
    host.Advance(kResponseFirstMs - 1);
    EXPECT_EQ(dlg.m_strStatus, "");
    host.Advance(1);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(LinkTest, BadBccIsAnsweredWithOneNakAndTheNextGoodFrameIsAccepted) {
    Send(16, 'P');
    Feed(kAck);
    const std::size_t before = Writes();
    Feed(Response('P', {'1', '2'}, 0x40));
    ASSERT_EQ(Writes(), before + 1);
    EXPECT_EQ(LastWrite(), kNak);
    EXPECT_EQ(dlg.m_nFramesAccepted, 0);
    EXPECT_TRUE(host.IsTimerRunning(kTimerResponse));
    EXPECT_EQ(host.TimerDue(kTimerResponse), kResponseFirstMs);  // not restarted
    EXPECT_EQ(dlg.m_strRxFrame.size(), 9u);  // the bad frame stays until the next byte
    EXPECT_EQ(dlg.m_nRxState, proto::kRxIdle);

    const Bytes good = Response('P', {'1', '2'});
    Feed(good);
    ASSERT_EQ(Writes(), before + 2);
    EXPECT_EQ(LastWrite(), kAck);
    EXPECT_FALSE(cap.recs.back().respTimer);  // stopped before the ACK went out
    EXPECT_EQ(dlg.m_nFramesAccepted, 1);
    EXPECT_EQ(dlg.m_strRxFrame, std::string(good.begin(), good.end()));
    EXPECT_EQ(dlg.m_nRxCount, static_cast<int>(good.size()));
}

TEST_F(LinkTest, LogFrameIsAcceptedWhateverItsBcc) {
    for (int delta = 0; delta < 256; delta += 17) {
        SCOPED_TRACE(delta);
        const int accepted = dlg.m_nFramesAccepted;
        Feed(Response('~', Bytes(8, 'a'), static_cast<std::uint8_t>(delta)));
        EXPECT_EQ(LastWrite(), kAck);
        EXPECT_EQ(dlg.m_nFramesAccepted, accepted + 1);
    }
    // Without a byte at position 3 there is no '~' to exempt the frame.
    Feed({proto::SOH, '~', proto::ETX, 0x00});
    EXPECT_EQ(LastWrite(), kNak);
}

TEST_F(LinkTest, ResponseBeforeAckIsDroppedAndTheAckTimerResends) {
    Send(16, 'P');
    Feed(Response('P', {'1'}));
    EXPECT_EQ(Writes(), 1u);  // neither ACK nor NAK
    EXPECT_EQ(dlg.m_nFramesAccepted, 0);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxAwaitAck);
    host.Advance(kAckMs);
    ASSERT_EQ(Writes(), 2u);
    EXPECT_EQ(LastWrite(), Stored());
    EXPECT_EQ(dlg.m_nAckRetries, 1);
}

TEST_F(LinkTest, NakFromModuleWhileAwaitingAckCausesNothing) {
    Send(16, 'P');
    host.Advance(500);
    Feed(kNak);
    EXPECT_EQ(Writes(), 1u);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxAwaitAck);
    EXPECT_EQ(host.TimerDue(kTimerAck), 1000u);  // not restarted
    host.Advance(500);
    ASSERT_EQ(Writes(), 2u);
    EXPECT_EQ(cap.recs[1].at, 1000u);
}

TEST_F(LinkTest, WithoutAckFrameIsWrittenFourTimesThenAckTimeout) {
    Send(16, 'P');
    dlg.m_nRepeat = 5;
    dlg.m_nRepeatLeft = 3;
    dlg.m_bDownloading = 1;
    host.Advance(3999);
    ASSERT_EQ(Writes(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(cap.recs[i].at, i * 1000);
        EXPECT_EQ(cap.recs[i].bytes, Stored());
    }
    EXPECT_EQ(dlg.m_nAckRetries, 3);
    EXPECT_EQ(dlg.m_strStatus, "");
    host.Advance(1);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    EXPECT_EQ(Writes(), 4u);
    EXPECT_EQ(dlg.m_nAckRetries, 0);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nRepeat, 0);
    EXPECT_EQ(dlg.m_nRepeatLeft, 0);
    EXPECT_EQ(dlg.m_bDownloading, 0);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxAwaitAck);
    EXPECT_FALSE(host.IsTimerRunning(kTimerAck));
    EXPECT_TRUE(host.IsTimerRunning(kTimerResponse));

    // The response timer still runs from the first send.
    host.Advance(kResponseFirstMs - 4001);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    host.Advance(1);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
    EXPECT_EQ(host.Now(), kResponseFirstMs);
    EXPECT_EQ(Writes(), 4u);
}

TEST_F(LinkTest, LateAckAfterGiveUpOnlyReturnsToIdle) {
    Send(16, 'P');
    host.Advance(4000);
    ASSERT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    const std::size_t writes = Writes();
    Feed(kAck);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxIdle);
    EXPECT_EQ(Writes(), writes);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nAckRetries, 0);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    EXPECT_FALSE(host.IsTimerRunning(kTimerAck));
}

TEST_F(LinkTest, AckStopsTheAckTimerAndClearsRetries) {
    Send(16, 'P');
    host.Advance(2000);
    ASSERT_EQ(dlg.m_nAckRetries, 2);
    Feed(kAck);
    EXPECT_EQ(dlg.m_nAckRetries, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerAck));
    EXPECT_EQ(dlg.m_nRxState, proto::kRxIdle);
    host.Advance(10000);
    EXPECT_EQ(Writes(), 3u);
}

TEST_F(LinkTest, ResendSetsBusyAndKeepsTheResponseTimer) {
    Send(16, 'P');
    dlg.m_bBusy = 0;
    host.Advance(kAckMs);
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_EQ(host.TimerDue(kTimerResponse), kResponseFirstMs);
}

// (The download flag is the download's own business on this time-out.)
TEST_F(LinkTest, ResponseTimeoutClearsBusyAndRepeatsButNotTheRest) {
    Send(16, 'P');
    Feed(kAck);
    dlg.m_nRepeat = 4;
    dlg.m_nRepeatLeft = 2;
    dlg.m_nAckRetries = 2;
    dlg.m_nRxState = proto::kRxInFrame;
    host.Advance(kResponseFirstMs);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_nRepeat, 0);
    EXPECT_EQ(dlg.m_nRepeatLeft, 0);
    EXPECT_EQ(dlg.m_nAckRetries, 2);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxInFrame);
    EXPECT_FALSE(host.IsTimerRunning(kTimerResponse));
    host.Advance(kResponseFirstMs);  // fires once per start
    EXPECT_EQ(Writes(), 1u);
}

TEST_F(LinkTest, AckFrameAndNextSohInOneChunk) {
    Send(16, 'P');
    Bytes chunk = kAck;
    const Bytes frame = Response('P', {'7', '8', '9'});
    chunk.insert(chunk.end(), frame.begin(), frame.end());
    chunk.push_back(proto::SOH);
    FeedChunk(chunk);
    EXPECT_FALSE(host.IsTimerRunning(kTimerAck));
    EXPECT_EQ(dlg.m_nFramesAccepted, 1);
    EXPECT_FALSE(cap.recs.back().respTimer);
    EXPECT_EQ(LastWrite(), kAck);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxInFrame);
    EXPECT_EQ(dlg.m_strRxFrame, std::string(1, '\x01'));
    EXPECT_EQ(dlg.m_nRxCount, 1);
}

TEST_F(LinkTest, FrameSplitAtEveryPointIsAssembledAsInOneChunk) {
    const Bytes frame = Response('R', {'!', '"', '#', '$', '\x01', ' ', ' '});
    for (std::size_t cut1 = 0; cut1 <= frame.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= frame.size(); ++cut2) {
            SCOPED_TRACE(testing::Message() << cut1 << "," << cut2);
            const int accepted = dlg.m_nFramesAccepted;
            const std::size_t writes = Writes();
            dlg.m_nRxState = proto::kRxIdle;
            FeedChunk(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut1)));
            FeedChunk(Bytes(frame.begin() + static_cast<long>(cut1),
                            frame.begin() + static_cast<long>(cut2)));
            EXPECT_EQ(dlg.m_nFramesAccepted, accepted + (cut2 == frame.size() ? 1 : 0));
            FeedChunk(Bytes(frame.begin() + static_cast<long>(cut2), frame.end()));
            EXPECT_EQ(dlg.m_nFramesAccepted, accepted + 1);
            ASSERT_EQ(Writes(), writes + 1);
            EXPECT_EQ(LastWrite(), kAck);
            EXPECT_EQ(dlg.m_strRxFrame, std::string(frame.begin(), frame.end()));
        }
    }
}

TEST_F(LinkTest, ChunkLongerThanTheChannelBufferIsCutAtItsSize) {
    dlg.m_Comm.m_RxBuf[0] = proto::SOH;
    for (std::size_t i = 1; i < CComm::kChunk; ++i) dlg.m_Comm.m_RxBuf[i] = 'x';
    dlg.m_Comm.m_wRxLen = 0xFFFF;
    dlg.OnCommData();
    EXPECT_EQ(dlg.m_nRxCount, static_cast<int>(CComm::kChunk));
    EXPECT_EQ(dlg.m_strRxFrame.size(), CComm::kChunk);
}

struct ShortFrameCase {  // bytes, accepted, answer
    Bytes bytes;
    bool accepted;
};

TEST_F(LinkTest, FramesJudgedByXorOnly) {
    const ShortFrameCase cases[] = {
        {{0x01, 0x03, 0x02}, true},                    // the shortest frame
        {{0x01, 0x03, 0x03}, false},
        {{0x01, 0x01, 0x01, 0x03, 0x02}, true},        // SOH inside is data
        {{0x01, 'a', 'b', 'c', 0x01, 0x03, 0x03 ^ 'a' ^ 'b' ^ 'c'}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        dlg.m_nRxState = proto::kRxIdle;
        const int accepted = dlg.m_nFramesAccepted;
        Feed(c.bytes);
        EXPECT_EQ(dlg.m_nFramesAccepted, accepted + (c.accepted ? 1 : 0));
        EXPECT_EQ(LastWrite(), c.accepted ? kAck : kNak);
        EXPECT_EQ(dlg.m_nRxCount, static_cast<int>(c.bytes.size()));
        EXPECT_EQ(dlg.m_strRxFrame, std::string(c.bytes.begin(), c.bytes.end()));
    }
}

TEST_F(LinkTest, SohInsideAFrameDoesNotRestartIt) {
    Feed({proto::SOH, 'a', proto::SOH, 'b'});
    EXPECT_EQ(dlg.m_nRxCount, 4);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxInFrame);
    EXPECT_EQ(dlg.m_strRxFrame, std::string("\x01" "a\x01" "b"));
}

TEST_F(LinkTest, NoiseWhileIdleIsDropped) {
    Feed({0x00, 0x06, 0x15, 0x03, 0xFF, 'x'});
    EXPECT_EQ(Writes(), 0u);
    EXPECT_EQ(dlg.m_nRxState, proto::kRxIdle);
    EXPECT_EQ(dlg.m_nRxCount, 0);
    EXPECT_TRUE(dlg.m_strRxFrame.empty());
}

TEST_F(LinkTest, ResendOfAnOutOfRangeLengthWritesNothing) {
    for (int n : {-1, static_cast<int>(kTxFrameSize) + 1, 1 << 30}) {
        SCOPED_TRACE(n);
        dlg.m_nTxLen = n;
        dlg.ResendStored(ev::TxKind::Resend);
        EXPECT_EQ(Writes(), 0u);
    }
}

}  // namespace

namespace {

TEST_F(LinkTest, ReceiverStateOutsideItsRangeIsTakenAsIdle) {
    for (int state : {-1, 4, 1000}) {
        SCOPED_TRACE(state);
        dlg.m_nRxState = state;
        Feed({0x00});
        EXPECT_EQ(dlg.m_nRxState, proto::kRxIdle);
        EXPECT_EQ(dlg.m_nFramesAccepted, 0);
        dlg.m_nRxState = state;
        Feed({proto::SOH});
        EXPECT_EQ(dlg.m_nRxState, proto::kRxInFrame);
        EXPECT_EQ(dlg.m_nRxCount, 1);
    }
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(LinkTest, FrameTooLongForTheBufferIsNotSent) {
    dlg.m_nTxLen = static_cast<int>(kTxFrameSize) - 2;
    dlg.CloseAndSend(16);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerAck));
}

}  // namespace
