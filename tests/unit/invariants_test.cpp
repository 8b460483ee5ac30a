// The invariants' checker itself: fed by hand what a console wrote and showed,
// it finds each kind of fault it exists for, and passes an exchange that
// keeps the rules.
#include "Invariants.h"

#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Host(std::uint8_t code, const Bytes& params = {}) {
    Bytes f{proto::EOT, proto::HOST_ID, proto::STX, code};
    f.insert(f.end(), params.begin(), params.end());
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}
Bytes Answer(std::uint8_t code, const Bytes& data = {}) {
    Bytes f{proto::SOH, '0', '0', code};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}
// DISPENSE of 2 notes from box 1; its answer dispensed 2.
const Bytes kDispense = Host('R', {0x22, 0x20, 0x20, 0x20, ' ', ' ', ' '});
const Bytes kAnswer = Answer('R', {' ', ' ', 0x22, 0x20, ' '});

struct Exchange {
    inv::Checker c;
    void Press(int id, const char* repeat, std::uint64_t t, const Bytes& frame) {
        c.BeginPress(id, 1, repeat, "1", t);
        c.Written(frame.data(), frame.size(), t);
        c.EndPress();
    }
    void Module(const Bytes& b, std::uint64_t t) {
        c.Received(b.data(), b.size(), t);
        for (std::size_t i = 0; i < b.size(); ++i)
            if (b[i] == proto::ETX && i + 1 < b.size()) {
                const std::uint8_t ack = proto::ACK;  // the console accepts each frame
                c.Written(&ack, 1, t);
            }
        c.ChunkHandled(t);
    }
    void Write(const Bytes& f, std::uint64_t t) { c.Written(f.data(), f.size(), t); }
    bool Broke(int rule) const {
        for (const auto& v : c.Violations())
            if (v.rule == rule) return true;
        return false;
    }
};

TEST(Invariants, ABatchThatKeepsTheRulesPasses) {
    Exchange r;
    r.Press(1001, "2", 0, kDispense);
    r.Module(Bytes{proto::ACK}, 0);
    r.Module(kAnswer, 0);
    r.c.Shown(0, true, {2, 2, 0});
    r.Write(kDispense, 1000);  // the batch's next send, Wait 1 s after the answer
    r.Module(Bytes{proto::ACK}, 1000);
    r.Module(kAnswer, 1000);
    r.c.Shown(1000, false, {4, 4, 0});
    EXPECT_EQ(r.c.ViolationCount(), 0u) << r.c.Trace();
}

TEST(Invariants, EachFaultIsFound) {
    {  // (1) the next send before the awaited answer
        Exchange r;
        r.Press(1001, "2", 0, kDispense);
        r.Module(Bytes{proto::ACK}, 0);
        r.Module(Answer('P'), 0);  // another code answers nothing
        r.Write(kDispense, 1000);
        EXPECT_TRUE(r.Broke(1));
    }
    {  // (1) a send after the batch ended, and a frame too short to hold a code
        Exchange r;
        r.Press(1001, "1", 0, kDispense);
        r.Module(Bytes{proto::ACK}, 0);
        r.Module(Bytes{proto::SOH, 0x50, proto::ETX, 0x52}, 0);
        r.Write(kDispense, 5000);
        EXPECT_TRUE(r.Broke(1));
    }
    {  // (1) a fourth resend
        Exchange r;
        r.Press(1006, "", 0, Host('P'));
        for (int i = 1; i <= 4; ++i) r.Write(Host('P'), 1000u * static_cast<unsigned>(i));
        EXPECT_TRUE(r.Broke(1));
    }
    {  // (2) busy past the response time-out and the resends
        Exchange r;
        r.Press(1006, "", 0, Host('P'));
        r.Module(Bytes{proto::ACK}, 0);
        r.c.Shown(134000, true, {});
        EXPECT_FALSE(r.Broke(2));
        r.c.Shown(134001, true, {});
        EXPECT_TRUE(r.Broke(2));
    }
    {  // (3) an answer that was not awaited added to the totals
        Exchange r;
        r.Press(1001, "1", 0, kDispense);
        r.Module(Bytes{proto::ACK}, 0);
        r.Module(kAnswer, 0);
        r.Module(kAnswer, 0);
        r.c.Shown(0, false, {2, 4, 0});
        EXPECT_TRUE(r.Broke(3));
    }
    {  // (7) a press that sends while the batch waits for its next run
        Exchange r;
        r.Press(1001, "2", 0, kDispense);
        r.Module(Bytes{proto::ACK}, 0);
        r.Module(kAnswer, 0);
        r.Press(1006, "", 10, Host('P'));
        EXPECT_TRUE(r.Broke(7));
    }
    {  // (8) the next block while a block copy's answer is still owed; an ACK
       // beyond the copies written is no copy the module took
        const Bytes b0 = Host('s', {'0', '0', '0', '0'}), b1 = Host('s', {'0', '0', '8', '0'});
        const struct {
            bool resent, secondAnswer, broken;
        } cases[] = {{true, false, true}, {true, true, false}, {false, false, false}};
        for (const auto& k : cases) {
            Exchange r;
            r.Press(1171, "", 0, b0);
            if (k.resent) r.Write(b0, 1000);                 // no ACK came: resent
            r.Module(Bytes{proto::ACK, proto::ACK}, 1100);   // two ACKs
            r.Module(Answer('s', {' '}), 1200);
            if (k.secondAnswer) r.Module(Answer('s', {' '}), 1300);
            r.Write(b1, 3300);
            EXPECT_EQ(r.Broke(8), k.broken) << k.resent << k.secondAnswer;
        }
    }
    {  // a block error before the block's ACK ends its exchange: what comes next
       // is received in turn, and the block may not be resent
        const Bytes b0 = Host('s', {'0', '0', '0', '0'});
        Exchange r;
        r.Press(1171, "", 0, b0);
        const Bytes refused = Answer('s', {0x73});  // dropped by the receiver: no ACK
        r.c.Received(refused.data(), refused.size(), 100);
        r.c.ChunkHandled(100);
        r.Module(Answer('P', {' '}), 200);  // accepted: the console waits for no ACK now
        EXPECT_TRUE(r.c.Violations().empty()) << r.c.Violations().front().text;
        r.Write(b0, 1000);
        EXPECT_TRUE(r.Broke(1));
    }
    {  // (9) an unasked answer of the batch's code: the batch must end, and say so
        for (bool told : {false, true}) {
            Exchange r;
            r.Press(1001, "3", 0, kDispense);
            r.Module(Bytes{proto::ACK}, 0);
            r.Module(kAnswer, 0);
            r.c.Received(kAnswer.data(), kAnswer.size(), 10);  // the same answer again
            const std::uint8_t ack = proto::ACK;
            r.c.Written(&ack, 1, 10);
            if (told) r.c.BatchUncertainTold(10);
            r.c.ChunkHandled(10);
            EXPECT_EQ(r.Broke(9), !told);
            r.Write(kDispense, 1000);  // and the batch went on
            EXPECT_TRUE(r.Broke(1));
        }
    }
    {  // (5) "Downloading Done!" with a block missing
        Exchange r;
        r.c.DownloadDone(0, Bytes(8, 0xFF), Bytes(8, 0x00));
        EXPECT_TRUE(r.Broke(5));
    }
}

TEST(Invariants, LogBytesOfAFrame) {
    EXPECT_EQ(inv::LogBytesOf(Answer('~')), "\r\n---END\r\n");
    const Bytes payload(80, 'a');
    EXPECT_EQ(inv::LogBytesOf(Answer('~', payload)), std::string(72, 'a') + "\r\n" + std::string(8, 'a') + "\r\n---END\r\n");
}

}  // namespace
