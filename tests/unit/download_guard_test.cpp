// A download never runs ahead of the module: on the virtual clock, against a
// module that ACKs each frame as it arrives and answers every copy it
// received in turn, over a line that loses frames and ACKs, delays and
// doubles ACKs and doubles answers, the console sends a block only after the
// module's answer to the block before it reached it, and says "Downloading
// Done!" only after the answer to the last, with no answer to an earlier
// block still on its way.
//
// The guard waits for a quiet line, so the module here answers each copy
// within the quiet interval of the answer before it (work up to 1.5 s, an ACK
// held up to 1.5 s): a module that answers a copy later than that, or that
// sends one answer twice with nothing asking for it, is beyond what any rule
// without sequence numbers can tell apart on a clean line; the console then
// notices the surplus answer and runs Verify by itself.
#include "CaptureWriter.h"
#include "TempTree.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr double kByteMs = 1.05;  // 9600 baud, 10 bits a byte

Bytes Answer(std::uint8_t code) {
    Bytes f{proto::SOH, '0', '0', code, ' ', proto::ETX};
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

unsigned BlockAddress(const Bytes& f) {
    unsigned a = 0;
    for (int i = 4; i < 8; ++i) a = a * 16 + (f[static_cast<std::size_t>(i)] & 0x0F);
    return a;
}

// The line and the module.  Every delivery carries the time it arrives and,
// for a block answer, the block it answers.
class World final : public CByteWriter, public ev::ConsoleObserver {
public:
    World(std::uint32_t seed, CConsoleDlg& dlg, fw::HeadlessHost& host) : m_rng(seed), m_dlg(dlg), m_host(host) {}

    // The console writes: host frames reach the module unless the line loses them.
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        if (n < 6 || p[0] != proto::EOT) return 1;  // the console's ACK and NAK
        const Bytes f(p, p + n);
        if (f[3] == 's') OnBlockWrite(f);
        if (Chance(8)) return 1;  // lost on the line: no ACK, no answer
        ++m_copiesReceived;
        const std::uint64_t at = m_host.Now() + static_cast<std::uint64_t>(n * kByteMs) + 1;
        // The ACK goes as the frame arrives, whatever the module is busy with.
        if (!Chance(8)) {
            const std::uint64_t ackAt = Chance(8) ? at + 1000 + Pick(500) : at;
            Deliver(ackAt, {proto::ACK}, -1);
            if (Chance(5)) Deliver(ackAt + 2, {proto::ACK}, -1);  // a second ACK
        }
        // The answer after the copies before it were answered, in turn.
        const std::uint64_t work = Chance(20) ? 400 + Pick(1100) : 15 + Pick(80);
        m_moduleFree = std::max(m_moduleFree, at) + work;
        const int block = f[3] == 's' ? static_cast<int>(BlockAddress(f)) : -1;
        const Bytes a = Answer(f[3]);
        Deliver(m_moduleFree, a, block);
        if (Chance(5)) Deliver(m_moduleFree, a, block);  // the answer twice, back to back
        if (block >= 0) ++m_pending[block];
        return 1;
    }

    void Noticed(const ev::Notice& n) override {
        if (n.kind != ev::NoticeKind::DownloadDone) return;
        ++m_done;
        Expect(m_answered[kImageSize - kBlockSize] > 0, "\"Downloading Done!\" before the last block's answer came");
        ExpectNothingPendingBefore(kImageSize);
    }

    // Runs the world until nothing more happens.
    void Run() {
        for (int guard = 0; guard < 200000; ++guard) {
            const auto timer = m_host.NextDue();
            const bool line = !m_line.empty();
            if (!line && !timer) return;
            const std::uint64_t next = line ? m_line.begin()->first : *timer;
            if (timer && *timer <= next) {
                m_host.Advance(*timer - m_host.Now());
                continue;
            }
            m_host.Advance(next - m_host.Now());
            auto it = m_line.begin();
            const Delivery d = it->second;
            m_line.erase(it);
            if (d.block >= 0) {
                --m_pending[d.block];
                ++m_answered[d.block];
            }
            m_dlg.ReceiveBytes(d.bytes.data(), d.bytes.size());
            m_host.Pump();
        }
        ADD_FAILURE() << "the world did not come to rest";
    }

    int m_done = 0;
    int m_blocksSent = 0;
    int m_resends = 0;
    std::uint64_t m_copiesReceived = 0;
    std::string m_failure;

private:
    struct Delivery {
        Bytes bytes;
        int block;  // the block answered, -1: not a block answer
    };

    bool Chance(int percent) { return static_cast<int>(m_rng() % 100) < percent; }
    std::uint64_t Pick(unsigned n) { return m_rng() % n; }
    void Deliver(std::uint64_t at, Bytes b, int block) {
        // The line keeps order: nothing overtakes what was sent before it.
        if (!m_line.empty()) at = std::max(at, std::prev(m_line.end())->first);
        m_line.emplace(at, Delivery{std::move(b), block});
    }
    void Expect(bool ok, const std::string& what) {
        if (!ok && m_failure.empty()) m_failure = what + " at " + std::to_string(m_host.Now()) + " ms";
    }
    void ExpectNothingPendingBefore(unsigned address) {
        for (const auto& [block, n] : m_pending)
            if (static_cast<unsigned>(block) < address && n > 0) {
                char b[96];
                std::snprintf(b, sizeof b, "an answer to the block at 0x%04X was still on its way", block);
                Expect(false, b);
            }
    }
    void OnBlockWrite(const Bytes& f) {
        const unsigned address = BlockAddress(f);
        if (address == m_lastBlock) {
            ++m_resends;
            return;
        }
        ++m_blocksSent;
        m_lastBlock = address;
        if (address == 0) return;
        Expect(m_answered[static_cast<int>(address - kBlockSize)] > 0,
               "block " + std::to_string(address / kBlockSize) + " sent before the answer to the block before it");
        ExpectNothingPendingBefore(address);
    }

    std::mt19937 m_rng;
    CConsoleDlg& m_dlg;
    fw::HeadlessHost& m_host;
    std::multimap<std::uint64_t, Delivery> m_line;
    std::uint64_t m_moduleFree = 0;
    std::map<int, int> m_pending, m_answered;
    unsigned m_lastBlock = 0xFFFFFFFFu;
};

TEST(DownloadGuard, NeverRunsAheadOfTheModuleWhateverTheLineCarries) {
    TempTree tree;
    const std::string file = tree.Path("image.hex");
    std::FILE* fh = std::fopen(file.c_str(), "wb");
    ASSERT_NE(fh, nullptr);
    std::fputs(":0400000001020304F2\n:00000001FF\n", fh);
    std::fclose(fh);
    int done = 0, resends = 0, verified = 0;
    for (int seed = 1; seed <= 24; ++seed) {
        fw::HeadlessHost host;
        CConsoleDlg dlg(host);
        dlg.Create();
        World world(static_cast<std::uint32_t>(seed), dlg, host);
        dlg.m_pWriter = &world;
        dlg.m_bLinked = 1;
        dlg.Subscribe(&world);
        host.SelectTab(ids::kTab, 5);
        host.m_answerFile = [&](std::string_view) { return std::optional<std::string>(file); };
        host.Click(ids::kWriteProg);
        world.Run();
        EXPECT_EQ(world.m_failure, "") << "seed " << seed;
        EXPECT_EQ(dlg.m_bBusy, 0) << "seed " << seed;
        done += world.m_done;
        resends += world.m_resends;
        if (world.m_done && world.m_resends) {
            EXPECT_NE(dlg.m_strRecv.find("Verify runs by itself: "), std::string::npos) << "seed " << seed;
        }
        for (const auto& b : host.m_boxes) verified += b.text == "Verify O.K.!";
        dlg.Unsubscribe(&world);
    }
    // The line was rough and still most downloads ended.
    EXPECT_GT(resends, 100);
    EXPECT_GT(done, 12);
    EXPECT_GT(verified, 0);
}

// A duplicated block answer on a clean line: the protocol cannot tell it from
// the next block's answer, and the console takes it.  What shows the shift
// later is heard: the flash is never said to hold a block whose own answer
// did not come, the error is put on the block it belongs to, an error after
// "Downloading Done!" withdraws it, and Verify runs once.
struct DupRig final : ev::ConsoleObserver {
    struct Heard {
        ev::NoticeKind kind;
        int k, address, error;
    };
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    TempTree tree;
    std::vector<Heard> heard;
    int seen = 0;  // block writes answered so far

    DupRig() {
        const std::string file = tree.Path("image.hex");
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fputs(":0400000001020304F2\n:00000001FF\n", f);
        std::fclose(f);
        dlg.Create();
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;
        dlg.Subscribe(this);
        host.SelectTab(ids::kTab, 5);
        host.m_answerFile = [file](std::string_view) { return std::optional<std::string>(file); };
        host.Click(ids::kWriteProg);
    }
    ~DupRig() override { dlg.Unsubscribe(this); }
    void Noticed(const ev::Notice& n) override {
        if (n.kind == ev::NoticeKind::DownloadDone || n.kind == ev::NoticeKind::DownloadStopped)
            heard.push_back({n.kind, n.k, n.address, n.error});
    }
    void Feed(const Bytes& b) {
        dlg.ReceiveBytes(b.data(), b.size());
        host.Pump();
    }
    static Bytes BlockAnswer(std::uint8_t err = ' ') {
        Bytes f{proto::SOH, '0', '0', 's', err, proto::ETX};
        f.push_back(proto::Xor(f.data(), f.size()));
        return f;
    }
    int Written(std::uint8_t code) const {
        int n = 0;
        for (const Bytes& w : cap.writes) n += w.size() > 3 && w[0] == proto::EOT && w[3] == code;
        return n;
    }
    // Each new block write gets what module(k) feeds, k counted from 1.
    void Run(const std::function<void(int)>& module) {
        while (Written('s') > seen) module(++seen);
    }
};

TEST(DownloadGuard, ADuplicatedBlockAnswerNeverCountsABlockItDidNotWrite) {
    constexpr std::uint8_t kWriteError = 0x53 + 0x20;  // "Program Writing Error"
    {  // block 101 takes block 100's answer again; its own, an error, comes before block 102's ACK
        DupRig r;
        r.Run([&](int k) {
            if (k == 102) r.Feed(DupRig::BlockAnswer(kWriteError));
            r.Feed({proto::ACK});
            if (k != 102) r.Feed(DupRig::BlockAnswer());
        });
        EXPECT_EQ(r.Written('s'), 102);
        ASSERT_EQ(r.heard.size(), 1u);
        EXPECT_EQ(r.heard[0].kind, ev::NoticeKind::DownloadStopped);
        EXPECT_EQ(r.heard[0].k, 101);  // block 101 failed: the flash holds the 100 before it
        EXPECT_EQ(r.heard[0].address, 100 * kBlockSize);
        EXPECT_EQ(r.heard[0].error, 0x53);
        EXPECT_EQ(r.host.GetProgressPos(ids::kProgress), 101);
        r.host.Advance(10000);
        EXPECT_EQ(r.Written('s'), 102);
        EXPECT_EQ(r.Written('t'), 0);
    }
    // One block ahead to the end: the last block's own answer comes after "Downloading Done!".
    const struct {
        const char* name;
        std::uint8_t lastAnswer;
        bool verifyPressed;  // by the operator, right after "Downloading Done!"
        bool withdrawn;
    } cases[] = {
        {"an error withdraws Downloading Done! and Verify runs", kWriteError, false, true},
        {"a good answer leaves it and Verify runs", ' ', false, false},
        {"Verify pressed before the error: withdrawn, one Verify", kWriteError, true, true},
    };
    for (const auto& c : cases) {
        DupRig r;
        r.Run([&](int) {
            r.Feed({proto::ACK});
            r.Feed(DupRig::BlockAnswer());
        });
        ASSERT_EQ(r.Written('s'), kBlockCount) << c.name;
        ASSERT_EQ(r.heard.size(), 1u) << c.name;
        ASSERT_EQ(r.heard[0].kind, ev::NoticeKind::DownloadDone) << c.name;
        if (c.verifyPressed) r.host.Click(ids::kVerify);
        r.Feed(DupRig::BlockAnswer(c.lastAnswer));
        r.Feed({proto::ACK});  // Verify's
        r.Feed(Answer('t'));
        r.host.Advance(10000);
        EXPECT_EQ(r.Written('t'), 1) << c.name;
        EXPECT_EQ(r.heard.size(), c.withdrawn ? 2u : 1u) << c.name;
        if (c.withdrawn) {
            EXPECT_EQ(r.heard[1].kind, ev::NoticeKind::DownloadStopped) << c.name;
            EXPECT_EQ(r.heard[1].k, kBlockCount) << c.name;  // the last block failed
        }
        EXPECT_EQ(r.dlg.m_strRecv.find("Verify runs by itself") != std::string::npos, !c.verifyPressed) << c.name;
        r.host.SelectTab(ids::kTab, 5);
        r.host.Click(ids::kWriteProg);  // a new download: nothing of the last one is heard any more
        EXPECT_EQ(r.Written('s'), kBlockCount + 1) << c.name;
    }
}

}  // namespace
