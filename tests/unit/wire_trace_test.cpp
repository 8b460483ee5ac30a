// The wire trace's lines: what each write and each received byte is called,
// the command names and values from the catalogue, the error texts, frames in
// pieces and too long for one line, the link's events; every byte once, and
// the console unchanged by the trace.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"
#include "trace/WireTrace.h"

#include "CaptureWriter.h"
#include "TraceParse.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using ev::LinkEvent;
using ev::RxKind;
using ev::TxKind;

struct Captured {
    std::uint8_t flags;
    TraceLine line;
};

struct CaptureSink : trace::LineSink {
    std::vector<Captured> lines;
    void Put(const trace::Line& l) override {
        auto t = ParseTraceLine(l.text, false);
        ASSERT_TRUE(t) << l.text;
        EXPECT_EQ(static_cast<std::uint64_t>(t->ms * 1000.0 + 0.5), l.tUs) << l.text;
        lines.push_back({l.flags, *t});
    }
    std::vector<std::string> Whats() const {
        std::vector<std::string> w;
        for (const auto& c : lines) w.push_back(c.line.what);
        return w;
    }
};

// A closed response frame: SOH '0' '0' code, the rest, ETX, BCC.
Bytes Response(std::uint8_t code, Bytes rest) {
    Bytes f{proto::SOH, '0', '0', code};
    f.insert(f.end(), rest.begin(), rest.end());
    f.push_back(proto::ETX);
    f.push_back(proto::Xor(f.data(), f.size()));
    return f;
}

struct WireTraceTest : ::testing::Test {
    std::uint64_t nowUs = 0;
    CaptureSink sink;
    trace::WireTrace wire{[this] { return nowUs; }};
    void SetUp() override { wire.AddSink(&sink); }

    // One chunk, with the receiver's verdict per byte: n noise, x not the
    // ACK, a ACK, f frame byte, A answer, U unasked, B bad BCC.
    void Chunk(const Bytes& bytes, const std::string& kinds) {
        ASSERT_EQ(bytes.size(), kinds.size());
        wire.ChunkBegin(bytes.data(), bytes.size());
        for (char k : kinds) {
            switch (k) {
            case 'n': wire.Received(RxKind::Noise); break;
            case 'x': wire.Received(RxKind::NotAck); break;
            case 'a': wire.Received(RxKind::Ack); break;
            case 'f': wire.Received(RxKind::FrameByte); break;
            case 'A': wire.Received(RxKind::FrameAnswer); break;
            case 'U': wire.Received(RxKind::FrameUnasked); break;
            case 'B': wire.Received(RxKind::FrameBadBcc); break;
            default: FAIL() << k;
            }
        }
        wire.ChunkEnd();
    }
    // A whole frame in one chunk, ending with the verdict v.
    void Frame(const Bytes& f, char v) { Chunk(f, std::string(f.size() - 1, 'f') + v); }
};

// ---- response frames, one per case --------------------------------------------

struct FrameCase {  // frame, verdict, meaning, flags
    Bytes frame;
    char verdict;
    const char* what;
    std::uint8_t flags;
};

TEST_F(WireTraceTest, ResponseFramesAreNamedFromTheCatalogueAndTheErrorTable) {
    constexpr std::uint8_t F = trace::kFrameLine, E = trace::kErrorLine;
    Bytes badBcc = Response('P', {' '});
    badBcc.back() ^= 0x5A;
    const FrameCase cases[] = {
        {Response('P', {' ', '!', ' '}), 'A', "response 'P' STATUS", F},
        {Response('P', {'!'}), 'A', "response 'P' STATUS, error 01 \"PickUp Error\"", F | E},
        {Response('R', {0x50, ' '}), 'A', "response 'R' DISPENSE, error 30 \"Unknown Error\"", F | E},
        {Response('R', {0x4C}), 'A', "response 'R' DISPENSE, error 2c \"Cash-Cassette2 Not Exist\"", F | E},
        {Response('X', {0x5A}), 'A', "response 'X' SEN DIAG, error 3a \"???\"", F | E},
        {Response('s', {0x53}), 'A', "response 's' block write, error 33 \"Program Writing Error\"", F | E},
        {Response('q', {' ', '"', '0', '4', '?', '0'}), 'A', "response 'q' BLDC", F},
        {Response('q', {' ', '0'}), 'A', "response 'q' RomVer", F},
        {Response('q', {' '}), 'A', "response 'q'", F},  // no sub-code before the ETX
        {Response('w', {'#', '!'}), 'U', "response 'w' dump, unasked (not the awaited answer)", F},
        {Response('~', {'0', '1'}), 'A', "response '~' LOG", F},
        {Response('T', {' '}), 'U', "response 'T', unasked (not the awaited answer)", F},
        {Response(0x05, {' '}), 'U', "response 0x05, unasked (not the awaited answer)", F},
        {Response('P', {}), 'A', "response 'P' STATUS", F},  // six bytes: a code, no error byte
        {Bytes{0x01, 0x03, 0x02}, 'U', "response frame too short for a code, unasked (not the awaited answer)", F},
        {badBcc, 'B', "response 'P' STATUS, bad BCC, NAK sent", F | E},
    };
    for (const FrameCase& c : cases) {
        sink.lines.clear();
        Frame(c.frame, c.verdict);
        ASSERT_EQ(sink.lines.size(), 1u) << c.what;
        EXPECT_EQ(sink.lines[0].line.dir, "RX");
        EXPECT_EQ(sink.lines[0].line.bytes, c.frame);
        EXPECT_EQ(sink.lines[0].line.what, c.what);
        EXPECT_EQ(sink.lines[0].flags, c.flags) << c.what;
    }
}

TEST_F(WireTraceTest, AckNoiseAndBytesBeforeTheAckEachHaveTheirLine) {
    const Bytes frame = Response('P', {' '});
    Bytes chunk{0x15, 0x41};  // a NAK and a letter while the ACK is awaited
    chunk.push_back(proto::ACK);
    chunk.insert(chunk.end(), {0x7F, 0x00});  // noise before the answer
    chunk.insert(chunk.end(), frame.begin(), frame.end());
    Chunk(chunk, "xxann" + std::string(frame.size() - 1, 'f') + "A");
    ASSERT_EQ(sink.lines.size(), 4u);
    EXPECT_EQ(sink.lines[0].line.what, "noise: not the awaited ACK, dropped");
    EXPECT_EQ(sink.lines[0].line.bytes, (Bytes{0x15, 0x41}));
    EXPECT_EQ(sink.lines[0].flags, trace::kErrorLine);
    EXPECT_EQ(sink.lines[1].line.what, "ACK");
    EXPECT_EQ(sink.lines[1].flags, 0);
    EXPECT_EQ(sink.lines[2].line.what, "noise: fits no exchange, dropped");
    EXPECT_EQ(sink.lines[2].line.bytes, (Bytes{0x7F, 0x00}));
    EXPECT_EQ(sink.lines[3].line.what, "response 'P' STATUS");

    // Noise longer than one line's worth goes on several; no byte is lost.
    sink.lines.clear();
    const Bytes noise(trace::WireTrace::kNoiseMax + 10, 0x55);
    Chunk(noise, std::string(noise.size(), 'n'));
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].line.bytes.size() + sink.lines[1].line.bytes.size(), noise.size());
}

TEST_F(WireTraceTest, FrameInPiecesIsOneLineMadeWhenItsBccArrives) {
    const Bytes frame = Response('R', {' ', '#', '!', ' '});
    nowUs = 5000;
    Chunk(Bytes(frame.begin(), frame.begin() + 3), "fff");
    EXPECT_TRUE(sink.lines.empty());
    nowUs = 7250;
    Chunk(Bytes(frame.begin() + 3, frame.end() - 1), std::string(frame.size() - 4, 'f'));
    nowUs = 9001;
    Chunk(Bytes{frame.back()}, "A");
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].line.bytes, frame);
    EXPECT_EQ(sink.lines[0].line.what, "response 'R' DISPENSE");
    EXPECT_DOUBLE_EQ(sink.lines[0].line.ms, 9.001);
}

TEST_F(WireTraceTest, FrameLongerThanALineIsShownInPartsEveryByteOnce) {
    Bytes rest(trace::WireTrace::kFramePartMax + 100, '5');
    rest[0] = '!';
    const Bytes frame = Response('P', rest);
    Frame(frame, 'A');
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].line.what, "part of a response frame, continued below");
    EXPECT_EQ(sink.lines[0].line.bytes.size(), trace::WireTrace::kFramePartMax);
    EXPECT_EQ(sink.lines[1].line.what, "response 'P' STATUS, error 01 \"PickUp Error\", end of a frame of " +
                                           std::to_string(frame.size()) + " bytes");
    Bytes joined = sink.lines[0].line.bytes;
    joined.insert(joined.end(), sink.lines[1].line.bytes.begin(), sink.lines[1].line.bytes.end());
    EXPECT_EQ(joined, frame);
}

TEST_F(WireTraceTest, BytesTheReceiverSaidNothingOfAndFramesCutShortAreStillShown) {
    Chunk(Bytes{}, "");
    const Bytes three{0x11, 0x22, 0x33};
    wire.ChunkBegin(three.data(), three.size());
    wire.Received(RxKind::Noise);
    wire.Received(RxKind::Noise);  // 0x22; 0x33 gets no verdict
    wire.ChunkEnd();
    wire.Received(RxKind::Noise);  // outside a chunk: nothing to show
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].line.bytes, (Bytes{0x11, 0x22}));
    EXPECT_EQ(sink.lines[1].line.bytes, (Bytes{0x33}));
    EXPECT_EQ(sink.lines[1].line.what, "not taken by the receiver");

    sink.lines.clear();
    Chunk(Bytes{0x01, 0x30, 0x30}, "fff");
    wire.Link(LinkEvent::Close, 1, {});
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].line.what, "response frame without its end so far");
    EXPECT_EQ(sink.lines[0].flags, trace::kFrameLine | trace::kErrorLine);
    EXPECT_EQ(sink.lines[1].line.what, "close COM1");
    // The rest of that frame after the port came back: shown once, as the end.
    Chunk(Bytes{0x50, 0x20, 0x03, 0x46}, "fffB");
    EXPECT_EQ(sink.lines.back().line.what, "response 'P' STATUS, bad BCC, NAK sent, end of a frame of 7 bytes");
}

// ---- writes --------------------------------------------------------------------------

struct TxCase {  // the write, the frame it carries, meaning, flags
    ev::TxNote note;
    ev::FrameNote frame;
    const char* what;
    std::uint8_t flags;
};

TEST_F(WireTraceTest, WritesSayWhatTheyAre) {
    constexpr std::uint8_t F = trace::kFrameLine, E = trace::kErrorLine;
    const ev::FrameNote status{6, ev::NoteKind::None, 0, {}};
    const ev::FrameNote dispense{1, ev::NoteKind::Counts, 4, {1, 0, 0, 0}};
    TxCase cases[] = {
        {{TxKind::FirstSend}, status, "STATUS (type 6)", F},
        {{TxKind::Resend, nullptr, 2}, status, "STATUS (type 6), resend 2 of 3", F | E},
        {{TxKind::RepeatSend, nullptr, 0, 2, 3}, dispense, "DISPENSE 1,0,0,0 (type 1), repeat send, run 2 of 3", F},
        {{TxKind::FirstSend, nullptr, 0, 0, 0, true}, status, "STATUS (type 6), port not open: not sent", F | E},
        {{TxKind::FirstSend}, {0, ev::NoteKind::None, 0, {}}, "host frame", F},
        {{TxKind::Ack}, {}, "ACK", 0},
        {{TxKind::Nak}, {}, "NAK", E},
    };
    const Bytes bytes{0x04, 0x30, 0x02, 0x50, 0x03, 0x65};
    for (TxCase& c : cases) {
        sink.lines.clear();
        if (c.note.kind != TxKind::Ack && c.note.kind != TxKind::Nak) c.note.frame = &c.frame;
        wire.Written(bytes.data(), bytes.size(), c.note);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0].line.dir, "TX");
        EXPECT_EQ(sink.lines[0].line.bytes, bytes);
        EXPECT_EQ(sink.lines[0].line.what, c.what);
        EXPECT_EQ(sink.lines[0].flags, c.flags) << c.what;
    }
}

// The names and values as the catalogue builds each command.
struct CatalogueTrace : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    CaptureSink sink;
    trace::WireTrace wire{[] { return std::uint64_t{0}; }};
    void SetUp() override {
        dlg.m_pWriter = &cap;
        dlg.Subscribe(&wire);
        wire.AddSink(&sink);
        for (int id = 1035; id <= 1146; ++id) host.SetControlText(id, "");
    }
    std::string Send(int type) {
        sink.lines.clear();
        dlg.m_bBusy = 0;
        dlg.SendCommand(type);
        return sink.lines.size() == 1 ? sink.lines[0].line.what : "(" + std::to_string(sink.lines.size()) + " lines)";
    }
};

TEST_F(CatalogueTrace, HostFramesCarryTheirCommandNameTypeAndValues) {
    EXPECT_EQ(Send(6), "STATUS (type 6)");
    host.SetControlText(1035, "1");
    EXPECT_EQ(Send(1), "DISPENSE 1,0,0,0 (type 1)");
    host.SetControlText(1036, "100");
    host.SetControlText(1037, "101");
    EXPECT_EQ(Send(5), "ZIGZAG 1,100,0,0 (type 5)");
    host.SetControlText(1086, "A5");
    host.SetControlText(1087, "7F");
    host.SetControlText(1089, "123");
    EXPECT_EQ(Send(8), "SET OPACITY A5,7F,00,23 (type 8)");
    const int order[4] = {1090, 1091, 1112, 1113};
    const char* digits[4] = {"2", "1", "4", "3"};
    for (int i = 0; i < 4; ++i) host.SetControlText(order[i], digits[i]);
    EXPECT_EQ(Send(10), "SET ORDER 2,1,4,3 (type 10)");
    host.SetCheck(1045, 1);
    EXPECT_EQ(Send(11), "SEN DIAG box 3 (type 11)");
    EXPECT_EQ(Send(13), "CLUTCH box 1 (type 13)");  // no TEST box set: box 1's byte
    EXPECT_EQ(Send(15), "RVDT no box (type 15)");
    host.SetCheck(1116, 1);
    EXPECT_EQ(Send(15), "RVDT box 2 (type 15)");
    EXPECT_EQ(Send(16), "RomVer (type 16)");
    EXPECT_EQ(Send(19), "LOG (type 19)");
    dlg.m_nImageAddr = 0x1F80;
    EXPECT_EQ(Send(21), "block write at 0x1F80 (type 21)");
    dlg.m_Image.fill(0xFF);
    EXPECT_EQ(Send(22), "Verify sum 0x6000 (type 22)");
    EXPECT_EQ(Send(23), "Reset (type 23)");
    // A refused SET ORDER sends nothing, so shows nothing.
    host.SetControlText(1090, "1");
    host.SetControlText(1091, "1");
    EXPECT_EQ(Send(10), "(0 lines)");
}

TEST_F(CatalogueTrace, ResendsAndTheAckTimeoutNameTheStoredFrame) {
    host.SetControlText(1035, "2");
    Send(1);
    for (int i = 0; i < 4; ++i) host.Advance(1000);
    const auto w = sink.Whats();
    const std::vector<std::string> want = {
        "DISPENSE 2,0,0,0 (type 1)",         "DISPENSE 2,0,0,0 (type 1), resend 1 of 3",
        "DISPENSE 2,0,0,0 (type 1), resend 2 of 3", "DISPENSE 2,0,0,0 (type 1), resend 3 of 3",
        "ACK time-out: DISPENSE 2,0,0,0 (type 1) given up after 3 resends"};
    EXPECT_EQ(w, want);
    sink.lines.clear();
    host.Advance(kResponseFirstMs);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].line.what, "response time-out: no answer in time");
    EXPECT_EQ(sink.lines[0].line.dir, "--");
}

// ---- the link's events --------------------------------------------------------

TEST_F(WireTraceTest, LinkEventsAndTheTimeCountedFromOpen) {
    struct Case {  // event, port, detail, meaning, flags
        LinkEvent e;
        int port;
        const char* detail;
        const char* what;
        std::uint8_t flags;
    };
    const Case cases[] = {
        {LinkEvent::Open, 1, "/dev/pts/3", "OPEN COM1 (/dev/pts/3)", 0},
        {LinkEvent::OpenFailed, 3, "/dev/ttyS2: No such file or directory",
         "OPEN COM3 failed (/dev/ttyS2: No such file or directory)", trace::kErrorLine},
        {LinkEvent::Close, 10, "", "close COM10", 0},
        {LinkEvent::ResponseTimeout, 0, "", "response time-out: no answer in time", trace::kErrorLine},
        {LinkEvent::PortLost, 2, "/dev/ttyUSB0", "COM2 lost (/dev/ttyUSB0)", trace::kErrorLine},
        {LinkEvent::PortBack, 2, "", "COM2 back, opened again", 0},
    };
    for (const Case& c : cases) {
        sink.lines.clear();
        wire.Link(c.e, c.port, c.detail);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0].line.dir, "--");
        EXPECT_TRUE(sink.lines[0].line.bytes.empty());
        EXPECT_EQ(sink.lines[0].line.what, c.what);
        EXPECT_EQ(sink.lines[0].flags, c.flags) << c.what;
    }
    nowUs = 1'000'000;
    wire.Link(LinkEvent::Close, 1, {});
    EXPECT_DOUBLE_EQ(sink.lines.back().line.ms, 1000.0);
    nowUs = 1'500'250;
    wire.Link(LinkEvent::Open, 1, {});
    EXPECT_DOUBLE_EQ(sink.lines.back().line.ms, 0.0);
    nowUs = 1'512'345;
    const std::uint8_t ack = proto::ACK;
    wire.Written(&ack, 1, {TxKind::Ack});
    EXPECT_DOUBLE_EQ(sink.lines.back().line.ms, 12.095);
}

// ---- the trace and the console's own receiver ---------------------------------

struct TracedConsole {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    CaptureSink sink;
    trace::WireTrace wire{[] { return std::uint64_t{0}; }};
    explicit TracedConsole(bool traced) {
        dlg.m_pWriter = &cap;
        if (traced) {
            wire.AddSink(&sink);
            dlg.Subscribe(&wire);
        }
    }
};

// Random streams of module bytes (frames good and bad, ACKs, noise), in
// random chunks: the trace shows each received and each written byte once,
// in order, and the console does exactly what it does untraced.
TEST(WireTraceReceiver, EveryByteOnceAndTheConsoleUnchanged) {
    std::mt19937 rng(14);
    int accepted = 0, naks = 0;
    for (int round = 0; round < 40; ++round) {
        Bytes stream;
        for (int k = 0; k < 30; ++k) {
            switch (rng() % 5) {
            case 0: stream.push_back(proto::ACK); break;
            case 1: stream.push_back(static_cast<std::uint8_t>(rng())); break;
            default: {
                const char codes[] = "PRw~qXsT";
                Bytes f = Response(static_cast<std::uint8_t>(codes[rng() % 8]),
                                   Bytes(rng() % 12, static_cast<std::uint8_t>(0x20 + rng() % 0x40)));
                if (rng() % 4 == 0) f.back() ^= 0x11;
                stream.insert(stream.end(), f.begin(), f.end());
            }
            }
        }
        TracedConsole on(true), off(false);
        for (TracedConsole* c : {&on, &off}) {
            c->dlg.m_nRxState = proto::kRxAwaitAck;
            std::mt19937 cut(static_cast<unsigned>(round));
            for (std::size_t pos = 0; pos < stream.size();) {
                const std::size_t n = std::min<std::size_t>(1 + cut() % CComm::kChunk, stream.size() - pos);
                c->dlg.ReceiveBytes(stream.data() + pos, n);
                pos += n;
            }
        }
        on.wire.Flush();
        std::vector<TraceLine> lines;
        for (const auto& c : on.sink.lines) lines.push_back(c.line);
        EXPECT_EQ(JoinBytes(lines, "RX"), stream) << round;
        Bytes written;
        for (const auto& w : on.cap.writes) written.insert(written.end(), w.begin(), w.end());
        EXPECT_EQ(JoinBytes(lines, "TX"), written) << round;
        EXPECT_EQ(on.cap.writes, off.cap.writes) << round;
        EXPECT_EQ(on.dlg.m_nFramesAccepted, off.dlg.m_nFramesAccepted);
        EXPECT_EQ(on.dlg.m_nRxState, off.dlg.m_nRxState);
        EXPECT_EQ(on.dlg.m_strRecv, off.dlg.m_strRecv);
        EXPECT_EQ(on.host.m_boxes.size(), off.host.m_boxes.size());
        accepted += on.dlg.m_nFramesAccepted;
        for (const auto& w : on.cap.writes) naks += w == Bytes{proto::NAK};
    }
    // The streams did hold good frames and bad ones.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(naks, 20);
}

}  // namespace
