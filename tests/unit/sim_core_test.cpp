// The simulated module's protocol core: every answer laid out where the
// console's decoder reads it, the link rules, the module state, the loader and
// each fault.
#include "ModuleCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using zsim::HostFrame;
using zsim::ModuleCore;

// What the module sent, cut into ACKs, NAKs, frames and stray bytes.
struct Parsed {
    std::vector<std::string> tokens;  // "ACK", "NAK", "F" for a frame, "?" for noise
    std::vector<Bytes> frames;
    int noise = 0;
};

Parsed Parse(const Bytes& out) {
    Parsed p;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint8_t b = out[i];
        if (b == zsim::kACK) {
            p.tokens.push_back("ACK");
        } else if (b == zsim::kNAK) {
            p.tokens.push_back("NAK");
        } else if (b == zsim::kSOH) {
            std::size_t j = i + 1;
            while (j < out.size() && out[j] != zsim::kETX) ++j;
            const std::size_t end = std::min(out.size(), j + 2);
            p.frames.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(i),
                                  out.begin() + static_cast<std::ptrdiff_t>(end));
            p.tokens.push_back("F");
            i = end - 1;
        } else {
            p.tokens.push_back("?");
            ++p.noise;
        }
    }
    return p;
}

bool BccGood(const Bytes& f) {
    std::uint8_t x = 0;
    for (std::uint8_t b : f) x ^= b;
    return f.size() >= 6 && x == 0 && f[f.size() - 2] == zsim::kETX;
}

// Decodings the console applies.
int CountAt(const Bytes& f, std::size_t pos) { return f.at(pos) - 32; }
int HexPairAt(const Bytes& f, std::size_t pos) { return (f.at(pos) & 0x0F) * 16 + f.at(pos + 1) - 48; }
int HexWordAt(const Bytes& f, std::size_t pos) {
    return f.at(pos) * 4096 + f.at(pos + 1) * 256 + f.at(pos + 2) * 16 + f.at(pos + 3) - 209712;
}
int PlainPairAt(const Bytes& f, std::size_t pos) { return f.at(pos) * 16 + f.at(pos + 1) - 816; }

Bytes DispenseParams(int a, int b, int c, int d) {
    return {zsim::CountByte(a), zsim::CountByte(b), zsim::CountByte(c), zsim::CountByte(d), ' ', ' ', ' '};
}

// One exchange: the frame in, the answer parsed.
Parsed Exchange(ModuleCore& core, std::uint8_t code, const Bytes& params = {}) {
    core.Feed(HostFrame(code, params));
    return Parse(core.TakeBytes());
}

Bytes Answer(ModuleCore& core, std::uint8_t code, const Bytes& params = {}) {
    Parsed p = Exchange(core, code, params);
    EXPECT_EQ(p.tokens, (std::vector<std::string>{"ACK", "F"})) << "code " << code;
    return p.frames.empty() ? Bytes{} : p.frames[0];
}

struct ConformanceCase {
    const char* name;
    std::uint8_t code;
    Bytes params;
    std::size_t minLen;                        // the frame reaches at least this far (ETX, BCC included)
    bool errorByte;                            // position 4 is an error byte
    std::function<void(const Bytes&)> fields;  // where the decoder reads
};

class SimConformance : public ::testing::TestWithParam<ConformanceCase> {};

TEST_P(SimConformance, AckThenWellFormedFrameWithFieldsInPlace) {
    const ConformanceCase& c = GetParam();
    ModuleCore core;
    const Bytes f = Answer(core, c.code, c.params);
    ASSERT_GE(f.size(), c.minLen);
    EXPECT_TRUE(BccGood(f) || c.code == '~');
    EXPECT_EQ(f[0], zsim::kSOH);
    EXPECT_EQ(f[3], c.code);
    if (c.errorByte) {
        EXPECT_EQ(f[4], ' ');
    }
    // No ETX inside the data: the console ends the frame at the first one.
    for (std::size_t i = 0; i + 2 < f.size(); ++i) EXPECT_NE(f[i], zsim::kETX) << "position " << i;
    if (c.fields) c.fields(f);
}

const ConformanceCase kConformance[] = {
    {"Dispense", 'R', DispenseParams(3, 0, 2, 0), 27, true,
     [](const Bytes& f) {
         EXPECT_EQ(CountAt(f, 6), 3);
         EXPECT_EQ(CountAt(f, 7), 0);
         EXPECT_EQ(CountAt(f, 12), 2);
         EXPECT_EQ(CountAt(f, 9), 0);
         for (int k = 0; k < 7; ++k) EXPECT_EQ(CountAt(f, 18 + static_cast<std::size_t>(k)), 0);
     }},
    {"TestDispense", 'S', DispenseParams(0, 1, 0, 0), 27, true,
     [](const Bytes& f) { EXPECT_EQ(CountAt(f, 9), 1); }},
    {"Zigzag", 'p', DispenseParams(1, 1, 1, 4), 27, true,
     [](const Bytes& f) {
         EXPECT_EQ(CountAt(f, 6), 1);
         EXPECT_EQ(CountAt(f, 15), 4);
     }},
    {"Purge", 'Q', {}, 20, true, nullptr},
    {"LastStatBeforeAnyDispense", 'U', {}, 20, true,
     [](const Bytes& f) {
         EXPECT_EQ(f[5], ' ');
         for (std::size_t n = 0; n < 4; ++n) EXPECT_EQ(CountAt(f, 7 + 3 * n), 0);
     }},
    {"Status", 'P', {}, 25, true,
     [](const Bytes& f) {
         EXPECT_EQ(f[5] & 0x3F, 0x01);  // DVTL only
         EXPECT_EQ(f[6] & 0x03, 0x01);  // RVD_L
         for (std::size_t n = 0; n < 4; ++n) EXPECT_EQ(f[7 + 4 * n] & 0x1F, 0x14);  // BOX and CB
         EXPECT_EQ(CountAt(f, 9), 0x7A);   // box 1 opacity
         EXPECT_EQ(CountAt(f, 22), 0x9E);  // box 4 length
     }},
    {"GetOpacity", '[', {}, 15, false,
     [](const Bytes& f) {
         EXPECT_EQ(HexPairAt(f, 5), 0x7A);
         EXPECT_EQ(HexPairAt(f, 11), 0x7E);
     }},
    {"SetOpacity", 'Z', Bytes(8, '0'), 7, true, nullptr},
    {"GetOrder", ']', {}, 11, false,
     [](const Bytes& f) {
         for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(f[5 + i] - 48, static_cast<int>(i) + 1);
     }},
    {"SetOrder", '\\', {'4', '3', '2', '1'}, 7, true, nullptr},
    {"SenDiag", 'X', {'2'}, 11, true,
     [](const Bytes& f) {
         EXPECT_NEAR(CountAt(f, 5), 0x7C, 2);
         EXPECT_NEAR(CountAt(f, 6), 0x9C, 2);
     }},
    {"Divert", 'q', {' '}, 8, true, [](const Bytes& f) { EXPECT_EQ(f[5], ' '); }},
    {"Clutch", 'q', {'!', '"'}, 8, true, [](const Bytes& f) { EXPECT_EQ(f[5], '!'); }},
    {"Bldc", 'q', {'"'}, 12, true,
     [](const Bytes& f) {
         EXPECT_EQ(f[5], '"');
         EXPECT_NEAR(HexWordAt(f, 6), 3000, 25);
     }},
    {"RvdtNoBox", 'q', {'#'}, 12, true,
     [](const Bytes& f) {
         EXPECT_EQ(f[5], '#');
         EXPECT_NEAR(PlainPairAt(f, 6), 0x58, 2);
         EXPECT_NEAR(PlainPairAt(f, 8), 0x5B, 2);
     }},
    {"RomVer", 'q', {'0'}, 16, true,
     [](const Bytes& f) {
         EXPECT_EQ(std::string(f.begin() + 6, f.begin() + 10), "Z120");
         EXPECT_EQ(HexWordAt(f, 10), 0x6000);  // sum of the erased flash
     }},
    {"GetLength", '_', {}, 15, false, [](const Bytes& f) { EXPECT_EQ(HexPairAt(f, 7), 0x9C); }},
    {"SetLength", '^', Bytes(8, '1'), 7, true, nullptr},
    {"Log", '~', {'0'}, 6 + 64, false,
     [](const Bytes& f) { EXPECT_EQ(f.size(), 6u + 64u); }},
    {"GoLoader", 'r', {}, 7, true, nullptr},
    {"Verify", 't', {'6', '0', '0', '0'}, 7, true, nullptr},
    {"Reset", 'D', {}, 7, true, nullptr},
};

INSTANTIATE_TEST_SUITE_P(SimCore, SimConformance, ::testing::ValuesIn(kConformance),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- link rules ------------------------------------------------------------------

TEST(SimCoreLink, BadBccGetsOneNakAndNothingRuns) {
    ModuleCore core;
    Bytes f = HostFrame('R', DispenseParams(5, 0, 0, 0));
    f.back() ^= 1;
    core.Feed(f);
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"NAK"}));
    EXPECT_EQ(core.Box(0).notes, 500);
    EXPECT_EQ(core.GetStats().badFrames, 1u);
    EXPECT_EQ(core.GetStats().goodFrames, 0u);
}

TEST(SimCoreLink, WrongHeadIsNakedToo) {
    ModuleCore core;
    Bytes f{zsim::kEOT, '1', zsim::kSTX, 'P'};
    core.Feed(zsim::CloseFrame(f));
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"NAK"}));
}

TEST(SimCoreLink, HostNakMakesTheSameResponseComeAgainAndAckIsQuiet) {
    ModuleCore core;
    const Bytes first = Answer(core, 'R', DispenseParams(2, 0, 0, 0));
    const std::uint8_t nak = zsim::kNAK, ack = zsim::kACK;
    core.Feed(&nak, 1);
    EXPECT_EQ(core.TakeBytes(), first);
    core.Feed(&ack, 1);
    EXPECT_TRUE(core.TakeBytes().empty());
    EXPECT_EQ(core.Box(0).notes, 498);  // carried out once
    EXPECT_EQ(core.GetStats().resends, 1u);
    EXPECT_EQ(core.GetStats().hostAcks, 1u);
}

TEST(SimCoreLink, FrameSplitAnywhereAndNoiseBetweenFramesAreHandled) {
    ModuleCore core;
    Bytes in{0x55, 0x20};
    const Bytes a = HostFrame('P'), b = HostFrame(']');
    in.insert(in.end(), a.begin(), a.end());
    in.push_back(0x7F);
    in.insert(in.end(), b.begin(), b.end());
    for (std::uint8_t byte : in) core.Feed(&byte, 1);
    const Parsed p = Parse(core.TakeBytes());
    EXPECT_EQ(p.tokens, (std::vector<std::string>{"ACK", "F", "ACK", "F"}));
    EXPECT_EQ(core.GetStats().framesByCode['P'], 1u);
    EXPECT_EQ(core.GetStats().framesByCode[']'], 1u);
    ASSERT_EQ(core.ReceivedFrames().size(), 2u);
    EXPECT_EQ(core.ReceivedFrames()[0], a);
}

TEST(SimCoreLink, EotInsideAFrameStartsItAgain) {
    ModuleCore core;
    Bytes in{zsim::kEOT, '0', zsim::kSTX, 'R', 0x21};  // cut short, then sent again whole
    const Bytes f = HostFrame('P');
    in.insert(in.end(), f.begin(), f.end());
    core.Feed(in);
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"ACK", "F"}));
    EXPECT_EQ(core.GetStats().framesByCode['P'], 1u);
}

TEST(SimCoreLink, EndlessFrameWithoutEtxIsDropped) {
    ModuleCore core;
    Bytes in{zsim::kEOT, '0', zsim::kSTX, 's'};
    in.resize(zsim::kMaxHostFrame + 10, '0');
    core.Feed(in);
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"NAK"}));
    core.Feed(HostFrame('P'));
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"ACK", "F"}));
}

TEST(SimCoreLink, ModuleTimeFollowsTheNotes) {
    zsim::ModuleConfig cfg;
    cfg.noteMs = 250;
    ModuleCore core(cfg);
    core.Feed(HostFrame('R', DispenseParams(4, 0, 0, 0)));
    const auto out = core.TakeOutput();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, Bytes{zsim::kACK});
    EXPECT_GE(out[1].delayMs, 4 * 250);
}

// ---- module state -----------------------------------------------------------------

TEST(SimCoreState, DispenseTakesNotesAndLastStatReportsIt) {
    ModuleCore core;
    Answer(core, 'R', DispenseParams(3, 0, 7, 0));
    EXPECT_EQ(core.Box(0).notes, 497);
    EXPECT_EQ(core.Box(2).notes, 493);
    const Bytes u = Answer(core, 'U');
    EXPECT_EQ(CountAt(u, 7), 3);
    EXPECT_EQ(CountAt(u, 13), 7);
    EXPECT_EQ(CountAt(u, 8), 0);
    EXPECT_EQ(u[5], ' ');
}

TEST(SimCoreState, RejectsCarryReasonsAndOverRejectStops) {
    zsim::ModuleConfig cfg;
    cfg.rejectRate = 1.0;
    cfg.maxRejectsPerBox = 3;
    ModuleCore core(cfg);
    const Bytes f = Answer(core, 'R', DispenseParams(2, 0, 0, 0));
    EXPECT_EQ(f[4], zsim::err::kOverReject);
    EXPECT_EQ(CountAt(f, 6), 0);
    EXPECT_EQ(CountAt(f, 7), 4);
    int reasons = 0;
    for (std::size_t k = 0; k < 7; ++k) reasons += CountAt(f, 18 + k);
    EXPECT_EQ(reasons, 4);
    EXPECT_EQ(core.RejectBoxNotes(), 4);
}

TEST(SimCoreState, SomeRejectsAtAModerateRateStillDispenseAll) {
    zsim::ModuleConfig cfg;
    cfg.rejectRate = 0.2;
    cfg.seed = 7;
    ModuleCore core(cfg);
    const Bytes f = Answer(core, 'R', DispenseParams(20, 0, 0, 0));
    EXPECT_EQ(f[4], ' ');
    EXPECT_EQ(CountAt(f, 6), 20);
    EXPECT_GT(CountAt(f, 7), 0);
    EXPECT_EQ(core.Box(0).notes, 500 - 20 - CountAt(f, 7));
}

TEST(SimCoreState, NearEndAndEmptyBoxAreReportedAndFlagged) {
    zsim::ModuleConfig cfg;
    cfg.notesPerBox = 15;
    cfg.nearEndAt = 10;
    ModuleCore core(cfg);
    EXPECT_EQ(Answer(core, 'R', DispenseParams(4, 0, 0, 0))[4], ' ');
    EXPECT_EQ(Answer(core, 'R', DispenseParams(1, 0, 0, 0))[4], zsim::err::kNearEnd);
    EXPECT_EQ(Answer(core, 'P')[7] & 0x08, 0x08);  // NEND of box 1
    const Bytes empty = Answer(core, 'R', DispenseParams(20, 0, 0, 0));
    EXPECT_EQ(empty[4], zsim::err::kPickUp);
    EXPECT_EQ(CountAt(empty, 6), 10);
    EXPECT_EQ(core.Box(0).notes, 0);
}

TEST(SimCoreState, RemovedBoxIsReportedMissingAndClearsItsFlag) {
    ModuleCore core;
    core.Box(0).present = false;
    core.Box(1).present = false;
    EXPECT_EQ(Answer(core, 'R', DispenseParams(1, 0, 0, 0))[4], zsim::err::kCassette1Missing);
    EXPECT_EQ(Answer(core, 'S', DispenseParams(0, 1, 0, 0))[4], zsim::err::kCassette2Missing);
    EXPECT_EQ(Answer(core, 'X', {'1'})[4], zsim::err::kCassette1Missing);
    const Bytes s = Answer(core, 'P');
    EXPECT_EQ(s[7] & 0x04, 0);
    EXPECT_EQ(s[15] & 0x04, 0x04);
}

TEST(SimCoreState, PurgeMovesWaitingNotesToTheRejectBox) {
    ModuleCore core;
    Answer(core, 'R', DispenseParams(2, 3, 0, 0));
    EXPECT_EQ(Answer(core, 'P')[5] & 0x08, 0x08);  // EXIT: notes wait there
    const Bytes q = Answer(core, 'Q');
    EXPECT_EQ(CountAt(q, 7), 2);
    EXPECT_EQ(CountAt(q, 10), 3);
    EXPECT_EQ(core.RejectBoxNotes(), 5);
    EXPECT_EQ(Answer(core, 'P')[5] & 0x08, 0);
}

TEST(SimCoreState, OpacityLengthAndOrderReadBackAsSet) {
    ModuleCore core;
    EXPECT_EQ(Answer(core, 'Z', {':', '5', '7', '?', '0', '0', '2', '3'})[4], ' ');
    const Bytes o = Answer(core, '[');
    EXPECT_EQ(HexPairAt(o, 5), 0xA5);
    EXPECT_EQ(HexPairAt(o, 7), 0x7F);
    EXPECT_EQ(HexPairAt(o, 9), 0);
    EXPECT_EQ(HexPairAt(o, 11), 0x23);
    EXPECT_EQ(CountAt(Answer(core, 'P'), 9), 0xA5);
    Answer(core, '^', {'?', '?', '1', '0', '1', '1', '1', '2'});
    const Bytes l = Answer(core, '_');
    EXPECT_EQ(HexPairAt(l, 5), 0xFF);
    EXPECT_EQ(CountAt(Answer(core, 'P'), 10), 0xDF);  // the largest count a byte can carry
    EXPECT_EQ(Answer(core, '\\', {'2', '1', '4', '3'})[4], ' ');
    const Bytes g = Answer(core, ']');
    EXPECT_EQ(Bytes(g.begin() + 5, g.begin() + 9), (Bytes{'2', '1', '4', '3'}));
}

TEST(SimCoreState, BadSettingsAreRefusedWithParameterError) {
    ModuleCore core;
    EXPECT_EQ(Answer(core, '\\', {'1', '1', '2', '3'})[4], zsim::err::kParameter);
    EXPECT_EQ(Answer(core, '\\', {'1', '2', '3'})[4], zsim::err::kParameter);
    EXPECT_EQ(Answer(core, 'Z', {'A', '0', '0', '0', '0', '0', '0', '0'})[4], zsim::err::kParameter);
    EXPECT_EQ(Answer(core, 'R', {0x85, ' ', ' ', ' ', ' ', ' ', ' '})[4], zsim::err::kParameter);
    EXPECT_EQ(Answer(core, 'X', {'5'})[4], zsim::err::kParameter);
    const Bytes g = Answer(core, ']');
    EXPECT_EQ(Bytes(g.begin() + 5, g.begin() + 9), (Bytes{'1', '2', '3', '4'}));
    EXPECT_EQ(HexPairAt(Answer(core, '['), 5), 0x7A);
    EXPECT_EQ(Answer(core, 'T')[4], zsim::err::kUnknown);
}

TEST(SimCoreState, LogFramesCarryEightByteRecords) {
    zsim::ModuleConfig cfg;
    cfg.logFrames = 3;
    cfg.logSize = 20;  // rounded up to 24
    ModuleCore core(cfg);
    Answer(core, 'P');
    Answer(core, 'R', DispenseParams(1, 0, 0, 0));
    const Parsed p = Exchange(core, '~', {'0'});
    EXPECT_EQ(p.tokens, (std::vector<std::string>{"ACK", "F", "F", "F"}));
    ASSERT_EQ(p.frames.size(), 3u);
    for (const Bytes& f : p.frames) {
        EXPECT_EQ(f.size(), 6u + 24u);
        EXPECT_EQ(f[3], '~');
        EXPECT_TRUE(BccGood(f));
    }
    const Bytes& last = p.frames[2];
    EXPECT_EQ(std::string(last.begin() + 20, last.begin() + 28), "0001R001");  // the newest record last
}

// ---- firmware loader --------------------------------------------------------------

Bytes BlockParams(unsigned addr, const std::uint8_t* data) {
    Bytes p;
    for (int s = 12; s >= 0; s -= 4) p.push_back(zsim::NibbleByte(addr >> s));
    for (std::size_t i = 0; i < zsim::kBlockSize; ++i) {
        p.push_back(zsim::NibbleByte(data[i] >> 4));
        p.push_back(zsim::NibbleByte(data[i]));
    }
    return p;
}

Bytes SumParams(unsigned sum) {
    Bytes p;
    for (int s = 12; s >= 0; s -= 4) p.push_back(zsim::NibbleByte(sum >> s));
    return p;
}

TEST(SimCoreLoader, FullDownloadVerifiesAndFillsTheFlash) {
    ModuleCore core;
    Bytes image(zsim::kFlashSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>((i * 37 + i / 256) & 0xFF);
    EXPECT_EQ(Answer(core, 'r')[3], 'r');
    EXPECT_TRUE(core.InLoader());
    for (unsigned addr = 0; addr < zsim::kFlashSize; addr += zsim::kBlockSize) {
        const Bytes f = Answer(core, 's', BlockParams(addr, image.data() + addr));
        ASSERT_EQ(f[4], ' ') << "block at " << addr;
    }
    EXPECT_EQ(core.GetStats().framesByCode['s'], 320u);
    EXPECT_EQ(core.Flash(), image);
    const unsigned sum = std::accumulate(image.begin(), image.end(), 0u) & 0xFFFF;
    EXPECT_EQ(Answer(core, 't', SumParams(sum))[4], ' ');
    EXPECT_EQ(Answer(core, 't', SumParams(sum ^ 1))[4], zsim::err::kVerify);
    EXPECT_EQ(HexWordAt(Answer(core, 'q', {'0'}), 10), static_cast<int>(sum));
    EXPECT_EQ(Answer(core, 'D')[3], 'D');
    EXPECT_FALSE(core.InLoader());
}

TEST(SimCoreLoader, BlocksOutsideLoaderOrImageOrMalformedAreRefused) {
    ModuleCore core;
    const Bytes data(zsim::kBlockSize, 0x12);
    EXPECT_EQ(Answer(core, 's', BlockParams(0, data.data()))[4], zsim::err::kProgramWriting);
    Answer(core, 'r');
    EXPECT_EQ(Answer(core, 's', BlockParams(0x9F81, data.data()))[4], zsim::err::kProgramWriting);
    Bytes shortBlock = BlockParams(0, data.data());
    shortBlock.pop_back();
    EXPECT_EQ(Answer(core, 's', shortBlock)[4], zsim::err::kCheckSum);
    Bytes badNibble = BlockParams(0, data.data());
    badNibble[10] = 'A';
    EXPECT_EQ(Answer(core, 's', badNibble)[4], zsim::err::kCheckSum);
    EXPECT_EQ(core.Flash(), Bytes(zsim::kFlashSize, 0xFF));  // nothing stored
    EXPECT_EQ(Answer(core, 's', BlockParams(0x9F80, data.data()))[4], ' ');
    EXPECT_EQ(core.Flash()[0x9F80], 0x12);
}

// ---- faults -----------------------------------------------------------------------

TEST(SimCoreFaults, WithholdAckIgnoresTheFrameForN) {
    ModuleCore core;
    core.GetFaults().withholdAck = 2;
    EXPECT_TRUE(Exchange(core, 'R', DispenseParams(1, 0, 0, 0)).tokens.empty());
    EXPECT_TRUE(Exchange(core, 'R', DispenseParams(1, 0, 0, 0)).tokens.empty());
    EXPECT_EQ(core.Box(0).notes, 500);
    EXPECT_EQ(Exchange(core, 'R', DispenseParams(1, 0, 0, 0)).tokens, (std::vector<std::string>{"ACK", "F"}));
    EXPECT_EQ(core.GetStats().framesByCode['R'], 3u);  // all three were heard
}

TEST(SimCoreFaults, NakInsteadOfAck) {
    ModuleCore core;
    core.GetFaults().nakInsteadOfAck = 1;
    EXPECT_EQ(Exchange(core, 'P').tokens, (std::vector<std::string>{"NAK"}));
    EXPECT_EQ(Exchange(core, 'P').tokens, (std::vector<std::string>{"ACK", "F"}));
}

TEST(SimCoreFaults, CorruptBccThenGoodResendAfterNak) {
    ModuleCore core;
    core.GetFaults().corruptBcc = 1;
    const Parsed p = Exchange(core, 'P');
    ASSERT_EQ(p.frames.size(), 1u);
    EXPECT_FALSE(BccGood(p.frames[0]));
    const std::uint8_t nak = zsim::kNAK;
    core.Feed(&nak, 1);
    const Parsed again = Parse(core.TakeBytes());
    ASSERT_EQ(again.frames.size(), 1u);
    EXPECT_TRUE(BccGood(again.frames[0]));
    EXPECT_EQ(Bytes(again.frames[0].begin(), again.frames[0].end() - 1),
              Bytes(p.frames[0].begin(), p.frames[0].end() - 1));
}

TEST(SimCoreFaults, NoResponseStillAcksAndRuns) {
    ModuleCore core;
    core.GetFaults().noResponse = 1;
    EXPECT_EQ(Exchange(core, 'R', DispenseParams(2, 0, 0, 0)).tokens, (std::vector<std::string>{"ACK"}));
    EXPECT_EQ(core.Box(0).notes, 498);
    EXPECT_EQ(Exchange(core, 'P').tokens, (std::vector<std::string>{"ACK", "F"}));
}

TEST(SimCoreFaults, ResponseBeforeAck) {
    ModuleCore core;
    core.GetFaults().responseBeforeAck = 1;
    EXPECT_EQ(Exchange(core, 'P').tokens, (std::vector<std::string>{"F", "ACK"}));
    EXPECT_EQ(Exchange(core, 'P').tokens, (std::vector<std::string>{"ACK", "F"}));
}

TEST(SimCoreFaults, InjectedErrorForNAnswersOfOneCode) {
    ModuleCore core;
    ASSERT_TRUE(core.InjectError('P', 0x4B, 1));
    EXPECT_FALSE(core.InjectError('P', zsim::kETX, 1));
    EXPECT_EQ(Answer(core, ']')[4], ' ');
    const Bytes f = Answer(core, 'P');
    EXPECT_EQ(f[4], 0x4B);
    EXPECT_TRUE(BccGood(f));
    EXPECT_EQ(Answer(core, 'P')[4], ' ');
    ASSERT_TRUE(core.InjectError('U', '!'));  // for good
    for (int i = 0; i < 3; ++i) {
        const Bytes u = Answer(core, 'U');
        EXPECT_EQ(u[4], '!');
        EXPECT_EQ(u[5], '!');
    }
    // An error for the third answer only: two pass unchanged, then one changed.
    ASSERT_TRUE(core.InjectError('[', 0x53, 1, 2));
    EXPECT_EQ(Answer(core, '[')[4], ' ');
    EXPECT_EQ(Answer(core, '[')[4], ' ');
    EXPECT_EQ(Answer(core, '[')[4], 0x53);
    EXPECT_EQ(Answer(core, '[')[4], ' ');
}

TEST(SimCoreFaults, NoiseHoldsNoSohOrAckAndLeavesFramesIntact) {
    zsim::ModuleConfig cfg;
    cfg.seed = 99;
    ModuleCore core(cfg);
    core.GetFaults().noiseBytes = 50;
    core.Feed(HostFrame('P'));
    const Bytes out = core.TakeBytes();
    // The console's receiver: drops all but ACK while awaiting it, then all but SOH.
    std::size_t i = 0;
    while (i < out.size() && out[i] != zsim::kACK) ++i;
    ASSERT_EQ(i, 50u);
    ++i;
    while (i < out.size() && out[i] != zsim::kSOH) ++i;
    ASSERT_EQ(i, 101u);
    const Bytes frame(out.begin() + static_cast<std::ptrdiff_t>(i), out.end());
    EXPECT_TRUE(BccGood(frame));
    EXPECT_EQ(frame[3], 'P');
}

TEST(SimCoreFaults, ChunkingSplitsButKeepsTheBytes) {
    ModuleCore plain, chunked;
    chunked.GetFaults().chunkMax = 3;
    plain.Feed(HostFrame('P'));
    chunked.Feed(HostFrame('P'));
    const Bytes expect = plain.TakeBytes();
    const auto bursts = chunked.TakeOutput();
    Bytes joined;
    for (const auto& b : bursts) {
        EXPECT_GE(b.bytes.size(), 1u);
        EXPECT_LE(b.bytes.size(), 3u);
        joined.insert(joined.end(), b.bytes.begin(), b.bytes.end());
    }
    EXPECT_EQ(joined, expect);
    EXPECT_GT(bursts.size(), expect.size() / 3);
}

TEST(SimCoreFaults, UnsolicitedFramesAndHangUp) {
    ModuleCore core;
    core.SendUnsolicited('w');
    const Parsed w = Parse(core.TakeBytes());
    ASSERT_EQ(w.tokens, (std::vector<std::string>{"F"}));
    EXPECT_EQ(w.frames[0].size(), 38u);  // SOH x x 'w', 32 bytes at 4..35, ETX, BCC
    EXPECT_EQ(w.frames[0][3], 'w');
    EXPECT_TRUE(BccGood(w.frames[0]));
    EXPECT_EQ(CountAt(w.frames[0], 4) * 128 + CountAt(w.frames[0], 5), 500);
    core.SendUnsolicited('P');
    EXPECT_EQ(Parse(core.TakeBytes()).tokens, (std::vector<std::string>{"F"}));

    core.GetFaults().hangUpAfter = 2;
    Answer(core, 'P');
    EXPECT_FALSE(core.HangUpDue());
    Answer(core, 'P');
    EXPECT_TRUE(core.HangUpDue());
}

}  // namespace

// ---- random faults -------------------------------------------------------------------

TEST(SimCoreFaults, UnaskedFrameFollowsTheAckAndRunsNothing) {
    ModuleCore core;
    for (int i = 0; i < 40; ++i) {
        core.GetFaults().unaskedFrame = 1;
        const Parsed p = Exchange(core, 'P');
        ASSERT_EQ(p.tokens, (std::vector<std::string>{"ACK", "F", "F"})) << i;
        EXPECT_TRUE(BccGood(p.frames[0]));
        EXPECT_EQ(p.frames[1][3], 'P');
    }
    // Whatever codes came unasked ('r', 'D', 'R', ...), the module's state did not move.
    EXPECT_FALSE(core.InLoader());
    for (int b = 0; b < zsim::kBoxes; ++b) EXPECT_EQ(core.Box(b).notes, 500);
}

TEST(SimCoreFaults, UnaskedFramesOfEveryCodeAreWellFormed) {
    ModuleCore core;
    for (int code = 0x20; code < 0x7F; ++code) {
        const Bytes f = zsim::CloseFrame(core.UnaskedFrame(static_cast<std::uint8_t>(code)));
        ASSERT_TRUE(BccGood(f)) << code;
        EXPECT_EQ(f[3], code);
        EXPECT_EQ(std::count(f.begin(), f.end() - 1, zsim::kETX), 1) << code;  // only its own ETX
    }
}

TEST(SimCoreFaults, LateAnswerComesAgainRightAfterTheNextAck) {
    ModuleCore core;
    core.GetFaults().lateAnswer = 1;
    const Parsed first = Exchange(core, 'P');
    ASSERT_EQ(first.tokens, (std::vector<std::string>{"ACK", "F"}));
    const Parsed next = Exchange(core, ']');
    ASSERT_EQ(next.tokens, (std::vector<std::string>{"ACK", "F", "F"}));
    EXPECT_EQ(next.frames[0], first.frames[0]);
    EXPECT_EQ(next.frames[1][3], ']');
    EXPECT_EQ(Exchange(core, ']').tokens, (std::vector<std::string>{"ACK", "F"}));
}

// The duplicated block write: the first copy's exchange is held until the
// host resends it, then both copies are answered; a different frame instead
// of the copy drops the held exchange.
TEST(SimCoreFaults, AnswerTwiceAnswersTheFirstCopyAndTheResend) {
    ModuleCore core;
    core.GetFaults().answerTwice = 2;
    Answer(core, 'r');
    std::array<std::uint8_t, zsim::kBlockSize> data{};
    data.fill(0x5A);
    const Bytes block0 = HostFrame('s', BlockParams(0x0000, data.data()));
    core.Feed(block0);
    EXPECT_TRUE(core.TakeBytes().empty());      // no ACK: the host will resend
    EXPECT_EQ(core.Flash()[0x0000], 0x5A);      // but the block is written
    core.Feed(block0);                          // the resend
    const Parsed both = Parse(core.TakeBytes());
    ASSERT_EQ(both.tokens, (std::vector<std::string>{"ACK", "F", "ACK", "F"}));
    EXPECT_EQ(both.frames[0], both.frames[1]);
    EXPECT_EQ(both.frames[0][3], 's');
    EXPECT_EQ(both.frames[0][4], ' ');

    core.Feed(HostFrame('s', BlockParams(0x0080, data.data())));  // held again ...
    EXPECT_TRUE(core.TakeBytes().empty());
    EXPECT_EQ(Exchange(core, 't', SumParams(core.FlashSum())).tokens,  // ... and dropped by another frame
              (std::vector<std::string>{"ACK", "F"}));
    EXPECT_EQ(Exchange(core, 's', BlockParams(0x0100, data.data())).tokens,  // the fault is used up
              (std::vector<std::string>{"ACK", "F"}));
    EXPECT_EQ(core.GetStats().framesByCode['s'], 4u);
}

// Runs a mixed command sequence through a core and returns everything it sent.
Bytes RunMix(ModuleCore& core, int exchanges) {
    static const std::uint8_t kCodes[] = {'P', 'R', ']', '[', 'U', 'Q', 'q', '~'};
    Bytes all;
    for (int i = 0; i < exchanges; ++i) {
        const std::uint8_t code = kCodes[i % 8];
        Bytes params;
        if (code == 'R') params = DispenseParams(1, 0, 0, 0);
        if (code == 'q') params = {'"'};
        if (code == '~') params = {'0'};
        core.Feed(HostFrame(code, params));
        Bytes out = core.TakeBytes();
        // The host NAKs a bad frame once and ACKs a good one, as the console does.
        const Parsed p = Parse(out);
        for (const Bytes& f : p.frames) {
            const std::uint8_t reply = BccGood(f) ? zsim::kACK : zsim::kNAK;
            core.Feed(&reply, 1);
        }
        Bytes more = core.TakeBytes();
        all.insert(all.end(), out.begin(), out.end());
        all.insert(all.end(), more.begin(), more.end());
    }
    return all;
}

TEST(SimCoreRandomFaults, EveryKindIsDrawnAndCountedByCode) {
    zsim::ModuleConfig c;
    c.faultRate = 0.3;
    c.seed = 17;
    c.notesPerBox = 100000;
    ModuleCore core(c);
    RunMix(core, 4000);
    const zsim::FaultCounts& f = core.GetFaultCounts();
    for (std::size_t k = 0; k < zsim::kFaultKinds; ++k) {
        if (static_cast<zsim::FaultKind>(k) == zsim::FaultKind::AnswerTwice) {
            EXPECT_EQ(f.byKind[k], 0u);  // meets block writes only, and the mix has none
            continue;
        }
        EXPECT_GT(f.byKind[k], 20u) << zsim::kFaultNames[k];
        // Each kind met frames of several codes, not one state only.
        EXPECT_GE(f.CodesMet(static_cast<zsim::FaultKind>(k)), 5) << zsim::kFaultNames[k];
    }
    // About 30 % of 4000 received frames plus the frames sent.
    EXPECT_GT(f.Total(), 1200u);
    EXPECT_LT(f.Total(), 4000u);
}

TEST(SimCoreRandomFaults, TheSeedDecidesTheFaultsAndRateZeroChangesNothing) {
    zsim::ModuleConfig c;
    c.faultRate = 0.2;
    c.seed = 5;
    ModuleCore a(c), b(c);
    EXPECT_EQ(RunMix(a, 300), RunMix(b, 300));
    c.seed = 6;
    ModuleCore other(c);
    EXPECT_NE(RunMix(other, 300), RunMix(a, 300));

    zsim::ModuleConfig plain;
    ModuleCore none(plain);
    plain.faultRate = 0.0;
    ModuleCore zero(plain);
    EXPECT_EQ(RunMix(none, 100), RunMix(zero, 100));
    EXPECT_EQ(zero.GetFaultCounts().Total(), 0u);
}

TEST(SimCoreRandomFaults, EveryFrameMeetsOneAtRateOne) {
    zsim::ModuleConfig c;
    c.faultRate = 1.0;
    ModuleCore core(c);
    RunMix(core, 200);
    // Each of the 200 host frames drew one fault, and so did every frame sent.
    EXPECT_GE(core.GetFaultCounts().Total(), 200u + core.GetStats().responses);
}
