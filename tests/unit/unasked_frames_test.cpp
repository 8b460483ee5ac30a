// A module that misbehaves: frames nobody asked for, late answers, answers
// with another code, frames too short to hold their fields, and presses that
// would mix two firmware images.  The console must never send what nobody
// asked for, never stay busy for good, and never take a frame for an answer
// it is not.
#include "TempTree.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Capture : CByteWriter {
    std::vector<Bytes> writes;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        writes.emplace_back(p, p + n);
        return 1;
    }
    // Host frames written from write number `from` on (the console's own
    // ACK and NAK bytes left out).
    std::vector<Bytes> FramesFrom(std::size_t from) const {
        std::vector<Bytes> out;
        for (std::size_t i = from; i < writes.size(); ++i)
            if (writes[i].size() > 1) out.push_back(writes[i]);
        return out;
    }
};

// Closes a frame with its BCC.
Bytes Closed(Bytes f) {
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}
// SOH '0' '0' code error data... ETX BCC.
Bytes Response(std::uint8_t code, std::uint8_t err = ' ', std::size_t dataLen = 40) {
    Bytes f{proto::SOH, '0', '0', code, err};
    f.insert(f.end(), dataLen, ' ');
    f.push_back(proto::ETX);
    return Closed(f);
}

struct HexFile {
    TempTree tree;
    std::string path = tree.Path("image.hex");
    explicit HexFile(const char* text) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs(text, f);
        std::fclose(f);
    }
};

class UnaskedFrames : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    Capture cap;
    int fileDialogs = 0;
    int prompts = 0;

    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;
        host.m_answerFile = [this](std::string_view) {
            ++fileDialogs;
            return std::optional<std::string>();
        };
        host.m_answerPrompt = [this](std::string_view) {
            ++prompts;
            return std::optional<std::string>();
        };
    }
    void Feed(const Bytes& b) {
        dlg.ReceiveBytes(b.data(), b.size());
        host.Pump();
    }
    void Ack() { Feed({proto::ACK}); }
    void Page(int n) { host.SelectTab(ids::kTab, n); }
    // DISPENSE with 5 notes from box 1, Repeat and Wait as given.
    void PressDispense(const char* repeat, const char* wait) {
        Page(1);
        host.SetControlText(1035, "5");
        host.SetControlText(ids::kRepeat, repeat);
        host.SetControlText(ids::kWait, wait);
        dlg.OnCommand(1001);
    }
    Bytes DispenseAnswer(int dispensed) const {
        Bytes f{proto::SOH, '0', '0', 'R', ' ', ' '};
        for (int box = 0; box < 4; ++box) {
            f.push_back(proto::CountByte(box == 0 ? dispensed : 0));
            f.push_back(proto::CountByte(0));
            f.push_back(' ');
        }
        f.insert(f.end(), 7, ' ');
        f.push_back(proto::ETX);
        return Closed(f);
    }
    // Every byte a module could put at the code position (ETX would end the
    // frame before it), but the one given.
    static std::vector<std::uint8_t> CodesBut(int awaited) {
        std::vector<std::uint8_t> codes;
        for (int c = 0; c < 256; ++c)
            if (c != proto::ETX && c != awaited) codes.push_back(static_cast<std::uint8_t>(c));
        return codes;
    }
    // Every frame of the codes but `awaited`, with and without an error byte,
    // each followed by `check`.
    template <class Check>
    void FeedEveryOtherCode(int awaited, Check check) {
        for (std::uint8_t code : CodesBut(awaited)) {
            for (std::uint8_t err : {std::uint8_t{' '}, std::uint8_t{'!'}}) {
                SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << int{code} << " error byte 0x"
                                                << int{err});
                Feed(Response(code, err));
                check();
                if (testing::Test::HasFatalFailure()) return;
            }
        }
    }
};

// ---- never busy for good; only the awaited answer ends the wait -------------------

TEST_F(UnaskedFrames, SingleCommandWaitsForItsOwnCodeWhateverElseArrives) {
    for (bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered at last" : "never answered");
        Page(2);
        const std::uint64_t t0 = host.Now();
        dlg.OnCommand(1006);  // STATUS
        Ack();
        host.Advance(5000);
        const std::size_t writes = cap.writes.size();
        FeedEveryOtherCode('P', [&] {
            ASSERT_EQ(host.TimerDue(kTimerResponse), t0 + kResponseFirstMs);
            ASSERT_EQ(dlg.m_bBusy, 1);
            ASSERT_TRUE(dlg.m_bAnswerAwaited);
            ASSERT_TRUE(cap.FramesFrom(writes).empty());
        });
        EXPECT_EQ(host.Now(), t0 + 5000);
        if (answered) {
            Feed(Response('P', ' ', 18));
            EXPECT_EQ(dlg.m_bBusy, 0);
            EXPECT_FALSE(host.IsTimerRunning(kTimerResponse));
        } else {
            host.Advance(t0 + kResponseFirstMs - 1 - host.Now());
            EXPECT_EQ(dlg.m_bBusy, 1);
            host.Advance(1);
            EXPECT_EQ(dlg.m_bBusy, 0);
            EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
            EXPECT_TRUE(host.IsControlEnabled(1006));
        }
        EXPECT_TRUE(cap.FramesFrom(writes).empty());
        host.m_boxes.clear();
    }
}

TEST_F(UnaskedFrames, StatusAnswerNeverCountsADispenseDown) {
    PressDispense("2", "1");
    Ack();
    const std::size_t writes = cap.writes.size();
    FeedEveryOtherCode('R', [&] {
        ASSERT_EQ(dlg.m_nRepeatLeft, 2);
        ASSERT_EQ(dlg.m_bBusy, 1);
        ASSERT_FALSE(host.IsTimerRunning(kTimerRepeat));
        ASSERT_EQ(host.TimerDue(kTimerResponse), kResponseFirstMs);
    });
    host.Advance(10000);
    EXPECT_TRUE(cap.FramesFrom(writes).empty()) << "a DISPENSE went out with no answer to the last";
    Feed(DispenseAnswer(5));
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nDispSum[0], 5);
    EXPECT_TRUE(host.IsTimerRunning(kTimerRepeat));
}

TEST_F(UnaskedFrames, FramesDuringABatchWaitChangeNeitherItsTimeNorItsCounts) {
    PressDispense("3", "5");
    Ack();
    Feed(DispenseAnswer(5));
    ASSERT_TRUE(host.IsTimerRunning(kTimerRepeat));
    const auto due = host.TimerDue(kTimerRepeat);
    const std::size_t writes = cap.writes.size();
    // Every code but the batch's own (which ends the batch: BatchGuard's table).
    FeedEveryOtherCode('R', [&] {
        ASSERT_EQ(host.TimerDue(kTimerRepeat), due);
        ASSERT_FALSE(host.IsTimerRunning(kTimerResponse));
        ASSERT_EQ(dlg.m_nRepeatLeft, 2);
        ASSERT_EQ(dlg.m_nRepeat, 3);
        ASSERT_EQ(dlg.m_nDispSum[0], 5);
        ASSERT_EQ(dlg.m_nTotalDispensed, 5);
        ASSERT_EQ(dlg.m_nTotalRequested, 5);
        ASSERT_TRUE(cap.FramesFrom(writes).empty());
    });
    host.Advance(*due - host.Now());
    const auto frames = cap.FramesFrom(writes);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][3], 'R');
}

TEST_F(UnaskedFrames, FramesDuringADownloadLeaveTheBlockWaitAlone) {
    HexFile hex(":0400000001020304F2\n:00000001FF\n");
    host.m_answerFile = [&](std::string_view) { return std::optional<std::string>(hex.path); };
    Page(5);
    dlg.OnCommand(ids::kWriteProg);
    ASSERT_EQ(dlg.m_bDownloading, 1);
    Ack();
    const auto due = host.TimerDue(kTimerResponse);
    ASSERT_TRUE(due.has_value());
    const std::size_t writes = cap.writes.size();
    FeedEveryOtherCode('s', [&] {
        ASSERT_EQ(host.TimerDue(kTimerResponse), due);
        ASSERT_EQ(dlg.m_bDownloading, 1);
        ASSERT_EQ(dlg.m_nBlocksDone, 1);
        ASSERT_TRUE(cap.FramesFrom(writes).empty());
    });
    Feed(Response('s', ' ', 0));
    const auto frames = cap.FramesFrom(writes);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][3], 's');
    EXPECT_EQ(dlg.m_nBlocksDone, 2);
}

TEST_F(UnaskedFrames, LateResetAnswerDoesNotEndTheNextCommand) {
    Page(5);
    dlg.OnCommand(ids::kReset);
    Ack();
    ASSERT_EQ(dlg.m_bBusy, 0);
    Page(2);
    const std::uint64_t t0 = host.Now();
    dlg.OnCommand(1006);
    Ack();
    Feed(Response('D', ' ', 0));
    EXPECT_EQ(dlg.m_bBusy, 1);
    EXPECT_EQ(host.TimerDue(kTimerResponse), t0 + kResponseFirstMs);
    Feed(Response('P', ' ', 18));
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(UnaskedFrames, UnaskedDispenseAnswerIsShownButNotCounted) {
    Page(2);
    dlg.OnCommand(1006);
    Ack();
    Feed(DispenseAnswer(7));
    EXPECT_EQ(dlg.m_nDispSum[0], 0);
    EXPECT_EQ(dlg.m_nTotalDispensed, 0);
    EXPECT_NE(dlg.m_strRecv.find("Unasked 'R' answer: dispensed 7 0 0 0, rejected 0 0 0 0"), std::string::npos)
        << dlg.m_strRecv;
    // An unasked dispense answer with an error is shown, and ends no batch.
    Feed(Response('R', '!'));
    ASSERT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(host.m_boxes.back().text, "PickUp Error");
    EXPECT_EQ(dlg.m_nRepeat, 0);
    EXPECT_EQ(dlg.m_bBusy, 1);
}

// ---- a frame too short to hold its fields answers nothing -------------------------

TEST_F(UnaskedFrames, FrameTooShortForItsCodeAnswersNothing) {
    struct Case {
        const char* name;
        Bytes frame;
        bool accepted;
    };
    const Case cases[] = {
        {"four bytes, BCC 'R' at the code position", Closed({0x01, 0x52, 0x03}), true},
        {"five bytes, ETX at the code position", Closed({0x01, 0x30, 0x52, 0x03}), true},
        {"three bytes", {0x01, 0x03, 0x02}, true},
        {"'~' as the BCC is no log frame", {0x01, 0x41, 0x03, 0x7E}, false},
        {"'~' before ETX only at position 2", {0x01, 0x30, 0x7E, 0x03, 0x00}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PressDispense("2", "1");
        Ack();
        const std::size_t writes = cap.writes.size();
        const int accepted = dlg.m_nFramesAccepted;
        Feed(c.frame);
        ASSERT_EQ(cap.writes.size(), writes + 1);
        EXPECT_EQ(cap.writes.back(), Bytes{c.accepted ? proto::ACK : proto::NAK});
        EXPECT_EQ(dlg.m_nFramesAccepted, accepted + (c.accepted ? 1 : 0));
        EXPECT_EQ(dlg.m_nRepeatLeft, 2);
        EXPECT_EQ(dlg.m_nDispSum[0], 0);
        host.Advance(5000);
        EXPECT_TRUE(cap.FramesFrom(writes).empty());
        EXPECT_EQ(dlg.m_bBusy, 1);
        Feed(DispenseAnswer(0));
        host.Advance(1000);
        Ack();
        Feed(DispenseAnswer(0));
        ASSERT_EQ(dlg.m_bBusy, 0);
    }
}

TEST_F(UnaskedFrames, VerifyAnswerWithoutErrorByteIsNoConfirmation) {
    Page(5);
    // Four bytes whose BCC reads as 't': no code at all.
    dlg.OnCommand(ids::kVerify);
    Ack();
    Feed(Closed({0x01, 0x76, 0x03}));
    EXPECT_TRUE(host.m_boxes.empty());
    EXPECT_EQ(dlg.m_bBusy, 1);
    // Six bytes: the code, but no error byte.
    Feed(Closed({0x01, '0', '0', 't', 0x03}));
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "Verify failed: the module's answer was incomplete (no error byte).");
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Stop);
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(UnaskedFrames, BlockAnswerWithoutErrorByteStopsTheDownload) {
    HexFile hex(":00000001FF\n");
    host.m_answerFile = [&](std::string_view) { return std::optional<std::string>(hex.path); };
    for (int atBlock : {3, kBlockCount}) {
        SCOPED_TRACE(atBlock);
        host.m_boxes.clear();
        Page(5);
        dlg.OnCommand(ids::kWriteProg);
        for (int k = 1; k < atBlock; ++k) {
            Ack();
            Feed(Response('s', ' ', 0));
        }
        Ack();
        const std::size_t writes = cap.writes.size();
        Feed(Closed({0x01, '0', '0', 's', 0x03}));
        host.Advance(1000);
        EXPECT_TRUE(cap.FramesFrom(writes).empty());
        EXPECT_EQ(dlg.m_bDownloading, 0);
        EXPECT_EQ(dlg.m_bBusy, 0);
        EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
        EXPECT_EQ(host.GetProgressPos(ids::kProgress), atBlock);
        ASSERT_EQ(host.m_boxes.size(), 1u);
        char expected[128];
        std::snprintf(expected, sizeof expected,
                      "The module's answer to the block at 0x%04X was incomplete (no error byte). "
                      "The download stopped.",
                      (atBlock - 1) * kBlockSize);
        EXPECT_EQ(host.m_boxes[0].text, expected);
    }
}

// ---- the stored frame is never half-built ----------------------------------------

TEST_F(UnaskedFrames, RefusedSetOrderLeavesTheStoredFrameForTheResend) {
    Page(5);
    dlg.OnCommand(ids::kGoLoader);  // idle at once; its ACK timer runs
    const Bytes goLoader(dlg.m_TxFrame, dlg.m_TxFrame + dlg.m_nTxLen);
    const Bytes stored(dlg.m_TxFrame, dlg.m_TxFrame + sizeof dlg.m_TxFrame);
    ASSERT_EQ(dlg.m_bBusy, 0);
    Page(3);
    for (int id : {1090, 1091, 1112, 1113}) host.SetControlText(id, "1");
    dlg.OnCommand(1010);
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "Error Parameter");
    EXPECT_EQ(Bytes(dlg.m_TxFrame, dlg.m_TxFrame + sizeof dlg.m_TxFrame), stored);
    EXPECT_EQ(dlg.m_nTxLen, static_cast<int>(goLoader.size()));
    EXPECT_EQ(dlg.m_nCmdCode, 'r');
    const std::size_t writes = cap.writes.size();
    host.Advance(kAckMs);  // no ACK: the stored frame goes out again
    const auto frames = cap.FramesFrom(writes);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], goLoader);
}

// ---- one firmware image at a time ----------------------------------------------------

TEST_F(UnaskedFrames, NoPressSendsWhileADownloadRuns) {
    HexFile hex(":0400000001020304F2\n:00000001FF\n");
    host.m_answerFile = [&](std::string_view) {
        ++fileDialogs;
        return std::optional<std::string>(hex.path);
    };
    Page(5);
    dlg.OnCommand(ids::kWriteProg);
    const auto image = dlg.m_Image;
    dlg.m_bLogUnlocked = 0;
    for (int k = 1; k < kBlockCount; ++k) {
        Ack();
        Bytes answer = Response('s', ' ', 0);
        dlg.ReceiveBytes(answer.data(), answer.size());
        // The answer is handled and the next block only posted: busy is clear.
        ASSERT_EQ(dlg.m_bBusy, 0);
        const std::size_t writes = cap.writes.size();
        if (k % 40 == 1) {
            for (int id = 1001; id <= 1019; ++id) dlg.OnCommand(id);
            for (int id : {ids::kGoLoader, ids::kWriteProg, ids::kVerify, ids::kReset}) dlg.OnCommand(id);
            ASSERT_TRUE(cap.FramesFrom(writes).empty()) << "block " << k;
            // The pages' buttons show it too.
            Page(1);
            EXPECT_FALSE(host.IsControlEnabled(1001));
            Page(5);
        }
        host.Pump();
        const auto frames = cap.FramesFrom(writes);
        ASSERT_EQ(frames.size(), 1u) << "block " << k;
        ASSERT_EQ(frames[0][3], 's');
    }
    Ack();
    Feed(Response('s', ' ', 0));
    EXPECT_EQ(fileDialogs, 1);
    EXPECT_EQ(prompts, 0);
    EXPECT_EQ(dlg.m_Image, image);
    ASSERT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(host.m_boxes.back().text, "Downloading Done!");
    EXPECT_EQ(dlg.m_bDownloading, 0);
}

}  // namespace
