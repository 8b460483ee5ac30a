// The wire trace end to end against the module simulator: a STATUS whose
// first send gets no ACK, a 'w' dump between commands, a DISPENSE whose answer
// comes with a bad BCC and in small pieces, and noise around a GET ORDER.  The
// trace file holds the expected lines in order, its times never go back, and
// every byte that crossed the line shows exactly once (the fixture compares
// with what the simulator read and wrote).
#include "SimConsole.h"

#include <regex>

namespace {

using namespace std::chrono_literals;

struct Expected {  // direction, meaning (a regular expression over the whole meaning)
    const char* dir;
    const char* what;
};

class E2ETrace : public SimConsoleTest {
protected:
    bool WaitIdle() { return host.PumpUntil([&] { return !dlg.m_bBusy; }, 3s); }

    // The file's lines, runs of noise of one kind taken as one line (how the
    // reader cut the noise into chunks is not the trace's to decide).
    std::vector<TraceLine> FileLines() {
        std::vector<TraceLine> out;
        for (const std::string& s : ReadTraceFile(tracePath)) {
            auto t = ParseTraceLine(s, true);
            EXPECT_TRUE(t) << s;
            if (!t) continue;
            if (!out.empty() && t->what.rfind("noise", 0) == 0 && out.back().what == t->what) {
                out.back().bytes.insert(out.back().bytes.end(), t->bytes.begin(), t->bytes.end());
                continue;
            }
            out.push_back(*t);
        }
        return out;
    }
};

TEST_F(E2ETrace, ResendBadBccDumpAndNoiseShowInOrderEachByteOnce) {
    // STATUS: the first send is lost, the resend a second later is answered.
    zsim::Faults f;
    f.withholdAck = 1;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 2);
    const std::uint64_t tSend = host.Now();
    ASSERT_TRUE(host.Click(1006));
    ASSERT_TRUE(PollUntil([&] { return sim.GetStats().goodFrames == 1; }, 3s));
    host.Advance(1000);
    ASSERT_TRUE(WaitIdle());

    // A dump nobody asked for, between two commands.
    const int accepted = dlg.m_nFramesAccepted;
    sim.SendUnsolicited('w');
    ASSERT_TRUE(host.PumpUntil([&] { return dlg.m_nFramesAccepted == accepted + 1; }, 3s));

    // DISPENSE 1,0,0,0: its answer first with a bad BCC, then again; the
    // module's bytes come in pieces of at most 3.
    f = {};
    f.corruptBcc = 1;
    f.chunkMax = 3;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 1);
    host.Type(1035, "1");
    for (int id : {1036, 1037, 1038}) host.Type(id, "0");
    host.Type(ids::kRepeat, "1");
    ASSERT_TRUE(host.Click(1001));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(sim.GetStats().hostNaks, 1u);

    // GET ORDER with noise before the ACK and before the answer.
    f = {};
    f.noiseBytes = 3;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 3);
    ASSERT_TRUE(host.Click(1009));
    ASSERT_TRUE(WaitIdle());
    sim.SetFaults({});

    CheckTrace(true);

    const Expected expected[] = {
        {"--", R"(OPEN COM1 \(/dev/.*\))"},
        {"TX", R"(STATUS \(type 6\))"},
        {"TX", R"(STATUS \(type 6\), resend 1 of 3)"},
        {"RX", R"(ACK)"},
        {"RX", R"(response 'P' STATUS)"},
        {"TX", R"(ACK)"},
        {"RX", R"(response 'w' dump, unasked \(not the awaited answer\))"},
        {"TX", R"(ACK)"},
        {"TX", R"(DISPENSE 1,0,0,0 \(type 1\))"},
        {"RX", R"(ACK)"},
        {"RX", R"(response 'R' DISPENSE, bad BCC, NAK sent)"},
        {"TX", R"(NAK)"},
        {"RX", R"(response 'R' DISPENSE)"},
        {"TX", R"(ACK)"},
        {"TX", R"(GET ORDER \(type 9\))"},
        {"RX", R"(noise: not the awaited ACK, dropped)"},
        {"RX", R"(ACK)"},
        {"RX", R"(noise: fits no exchange, dropped)"},
        {"RX", R"(response '\]' GET ORDER)"},
        {"TX", R"(ACK)"},
    };
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), std::size(expected)) << "trace file: " << tracePath;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].dir, expected[i].dir) << i << ": " << lines[i].what;
        // An answer's line ends with its decoded fields ("; R: ...").
        EXPECT_TRUE(std::regex_match(lines[i].what, std::regex(std::string(expected[i].what) + "(; [^;]+)?")))
            << i << ": " << lines[i].what;
    }
    // Times on the console's clock: the resend a second after the first send.
    EXPECT_DOUBLE_EQ(lines[2].ms - lines[1].ms, 1000.0);
    EXPECT_DOUBLE_EQ(lines[1].ms, static_cast<double>(tSend));
    // The frames as the console built them, and the module's frames whole:
    // each on one line although they came in pieces.
    EXPECT_EQ(lines[1].bytes, (std::vector<std::uint8_t>{0x04, 0x30, 0x02, 0x50, 0x03, 0x65}));
    EXPECT_EQ(lines[8].bytes,
              (std::vector<std::uint8_t>{0x04, 0x30, 0x02, 0x52, 0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x03, 0x46}));
    for (std::size_t i : {10u, 12u}) {
        ASSERT_GE(lines[i].bytes.size(), 7u);
        EXPECT_EQ(lines[i].bytes.front(), 0x01);
        EXPECT_EQ(lines[i].bytes[lines[i].bytes.size() - 2], 0x03);
    }
    EXPECT_EQ(lines[15].bytes.size(), 3u);
    EXPECT_EQ(lines[17].bytes.size(), 3u);
}

// A command given up for want of an ACK, and an answer that comes with a
// device error: both are marked as errors, with the command and the text.
TEST_F(E2ETrace, AckTimeoutAndDeviceErrorAreNamed) {
    zsim::Faults f;
    f.withholdAck = 4;
    sim.SetFaults(f);
    host.SelectTab(ids::kTab, 2);
    ASSERT_TRUE(host.Click(1006));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(PollUntil([&] { return sim.GetStats().goodFrames == static_cast<unsigned>(i + 1); }, 3s));
        host.Advance(1000);
    }
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");

    ASSERT_TRUE(sim.InjectError('P', zsim::err::kPickUp, 1));
    ASSERT_TRUE(host.Click(1006));
    ASSERT_TRUE(WaitIdle());
    CheckTrace(true);

    const auto lines = FileLines();
    std::vector<std::string> whats;
    for (const auto& t : lines) whats.push_back(t.what.substr(0, t.what.find("; ")));  // without an answer's fields
    const std::vector<std::string> want = {
        "STATUS (type 6), resend 3 of 3",
        "ACK time-out: STATUS (type 6) given up after 3 resends",
        "response 'P' STATUS, error 01 \"PickUp Error\"",
    };
    for (const std::string& w : want)
        EXPECT_NE(std::find(whats.begin(), whats.end(), w), whats.end()) << w << "\nin " << tracePath;
    // The errors filter of the window sees them.
    std::size_t errors = 0;
    for (std::uint64_t n = traceStore.Begin(); n < traceStore.End(); ++n)
        if (traceStore.Flags(n) & trace::kErrorLine) ++errors;
    EXPECT_EQ(errors, 5u);  // three resends, the time-out, the device error
}

// The console closed and opened again: the close shows, and the times start
// again from the new OPEN.
TEST_F(E2ETrace, ReopenShowsCloseAndRestartsTheTime) {
    host.SelectTab(ids::kTab, 2);
    ASSERT_TRUE(host.Click(1006));
    ASSERT_TRUE(WaitIdle());
    // Every byte across before the close, which drops what the module has not
    // read yet (the trace shows what was written, not what a close undid).
    CheckTrace(true);
    host.Advance(5000);
    host.SelectTab(ids::kTab, 0);
    dlg.OnOpen();
    ASSERT_EQ(dlg.m_strStatus, "COM1 connect");
    const auto lines = FileLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2].what, "close COM1");
    EXPECT_EQ(lines[lines.size() - 2].ms, 5000.0);
    EXPECT_EQ(lines.back().what.rfind("OPEN COM1 (", 0), 0u);
    EXPECT_EQ(lines.back().ms, 0.0);
}

}  // namespace
