#include "commands/AnswerFields.h"

#include "console/ControlIds.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

using K = FieldKind;
using S = FieldSource;
using D = FieldDecode;
using P = std::array<std::uint8_t, 4>;

constexpr P kBoxes{0, 1, 2, 3};  // counter entries of the four boxes

// A STATUS flag of the module, of an RVD sensor, and of the four boxes.
constexpr AnswerField ModuleFlag(std::string_view key, std::string_view label, int id, std::uint8_t pos,
                                 std::uint8_t bit) {
    return {'P', 0, key, label, K::Flag, S::Control, {id}, 1, false, "", D::Bit, {pos}, bit};
}
constexpr AnswerField BoxFlag(std::string_view key, std::string_view label, const ids::Box4& boxIds,
                              std::uint8_t bit) {
    return {'P', 0, key, label, K::Flag, S::Control, boxIds, 4, true, "", D::Bit, {7, 11, 15, 19}, bit};
}
// A dispense-type ('R') or PURGE ('Q') row shown from the batch counters.
constexpr AnswerField Counter(char code, std::string_view key, std::string_view label, S src,
                              const std::array<int, 4>& rowIds, int count, std::string_view group, D decode,
                              const P& at) {
    return {code, 0, key, label, K::Dec, src, rowIds, count, count == 4, group, decode, at, 0};
}

// The dispense-type answers ('R', 'S', 'p') share the rows of 'R'.
constexpr std::array<AnswerField, 15> kStatusFields{{
    ModuleFlag("dvtl", "DVTL", ids::kModuleFlags[0], 5, 0),
    ModuleFlag("dvtr", "DVTR", ids::kModuleFlags[1], 5, 1),
    ModuleFlag("ejt", "EJT", ids::kModuleFlags[2], 5, 2),
    ModuleFlag("exit", "EXIT", ids::kModuleFlags[3], 5, 3),
    ModuleFlag("rjt", "RJT", ids::kModuleFlags[4], 5, 4),
    ModuleFlag("sol", "SOL", ids::kModuleFlags[5], 5, 5),
    ModuleFlag("rvd_l", "RVD_L", ids::kRvdFlags[0], 6, 0),
    ModuleFlag("rvd_r", "RVD_R", ids::kRvdFlags[1], 6, 1),
    BoxFlag("chkl", "CHKL", ids::kChkL, 0),
    BoxFlag("chkr", "CHKR", ids::kChkR, 1),
    BoxFlag("box", "BOX", ids::kBoxIn, 2),
    BoxFlag("nend", "NEND", ids::kNearEnd, 3),
    BoxFlag("cb", "CB", ids::kCb, 4),
    {'P', 0, "opacity", "OPACITY", K::Hex, S::Control, ids::kStatusOpacity, 4, true, "", D::CountHex, {9, 13, 17, 21}, 0},
    {'P', 0, "length", "LENGTH", K::Hex, S::Control, ids::kStatusLength, 4, true, "", D::CountHex, {10, 14, 18, 22}, 0},
}};

constexpr std::array<AnswerField, 15> kDispenseFields{{
    Counter('R', "requested", "Request", S::Request, {0, 1, 2, 3}, 4, "", D::Request, kBoxes),
    Counter('R', "dispensed", "Dispensed", S::Control, ids::kDispensed, 4, "", D::Dispensed, kBoxes),
    Counter('R', "rejected", "Rejected", S::Control, ids::kRejected, 4, "", D::Rejected, kBoxes),
    Counter('R', "dispensed_sum", "Dispensed sum", S::Control, ids::kDispSum, 4, "", D::DispSum, kBoxes),
    Counter('R', "rejected_sum", "Rejected sum", S::Control, ids::kRejSum, 4, "", D::RejSum, kBoxes),
    Counter('R', "reject", "Reject", S::Control, {ids::kReasonSum[0]}, 1, "reasons", D::ReasonSum, {0}),
    Counter('R', "rvdt", "RVDT", S::Control, {ids::kReasonSum[1]}, 1, "reasons", D::ReasonSum, {1}),
    Counter('R', "len", "LEN", S::Control, {ids::kReasonSum[2]}, 1, "reasons", D::ReasonSum, {2}),
    Counter('R', "skw", "SKW", S::Control, {ids::kReasonSum[3]}, 1, "reasons", D::ReasonSum, {3}),
    Counter('R', "dst", "DST", S::Control, {ids::kReasonSum[4]}, 1, "reasons", D::ReasonSum, {4}),
    Counter('R', "flen", "FLEN", S::Control, {ids::kReasonSum[5]}, 1, "reasons", D::ReasonSum, {5}),
    Counter('R', "fdst", "FDST", S::Control, {ids::kReasonSum[6]}, 1, "reasons", D::ReasonSum, {6}),
    Counter('R', "requested", "Request", S::Control, {ids::kTotalRequested}, 1, "total", D::TotalRequested, {0}),
    Counter('R', "dispensed", "Dispensed", S::Control, {ids::kTotalDispensed}, 1, "total", D::TotalDispensed, {0}),
    Counter('R', "rejected", "Rejected", S::Control, {ids::kTotalRejected}, 1, "total", D::TotalRejected, {0}),
}};

constexpr std::array<AnswerField, 5> kPurgeFields{{
    Counter('Q', "dispensed", "Dispensed", S::Dispensed, {0, 1, 2, 3}, 4, "", D::Dispensed, kBoxes),
    Counter('Q', "rejected", "Rejected", S::Rejected, {0, 1, 2, 3}, 4, "", D::Rejected, kBoxes),
    Counter('Q', "requested", "Request", S::Control, {ids::kTotalRequested}, 1, "total", D::TotalRequested, {0}),
    Counter('Q', "dispensed", "Dispensed", S::Control, {ids::kTotalDispensed}, 1, "total", D::TotalDispensed, {0}),
    Counter('Q', "rejected", "Rejected", S::Control, {ids::kTotalRejected}, 1, "total", D::TotalRejected, {0}),
}};

// LAST STAT: the counts stand one position later than in a dispense answer.
constexpr std::array<AnswerField, 2> kLastStatFields{{
    {'U', 0, "dispensed", "Dispensed", K::Dec, S::Control, ids::kDispensed, 4, true, "", D::CountDec, {7, 10, 13, 16}, 0},
    {'U', 0, "rejected", "Rejected", K::Dec, S::Control, ids::kRejected, 4, true, "", D::CountDec, {8, 11, 14, 17}, 0},
}};

constexpr std::array<AnswerField, 1> kOpacityFields{{
    {'[', 0, "opacity", "OPACITY", K::Hex, S::Control, ids::kOpacity, 4, true, "", D::HexPair, {5, 7, 9, 11}, 0},
}};
constexpr std::array<AnswerField, 1> kLengthFields{{
    {'_', 0, "length", "LENGTH", K::Hex, S::Control, ids::kLength, 4, true, "", D::HexPair, {5, 7, 9, 11}, 0},
}};
constexpr std::array<AnswerField, 1> kOrderFields{{
    {']', 0, "order", "ORDER", K::Hex, S::Control, ids::kOrder, 4, false, "", D::Digit, {5, 6, 7, 8}, 0},
}};
constexpr std::array<AnswerField, 4> kSenDiagFields{{
    {'X', 0, "opac", "OPAC.", K::Hex, S::Control, {ids::kSenDiag[0]}, 1, false, "", D::CountHex, {5}, 0},
    {'X', 0, "leng", "LENG.", K::Hex, S::Control, {ids::kSenDiag[1]}, 1, false, "", D::CountHex, {6}, 0},
    {'X', 0, "div", "DIV.", K::Hex, S::Control, {ids::kSenDiag[2]}, 1, false, "", D::CountHex, {7}, 0},
    {'X', 0, "rej", "REJ.", K::Hex, S::Control, {ids::kSenDiag[3]}, 1, false, "", D::CountHex, {8}, 0},
}};
constexpr std::array<AnswerField, 1> kBldcFields{{
    {'q', '"', "bldc", "BLDC", K::Dec, S::Control, {ids::kBldc}, 1, false, "", D::HexWord, {6}, 0},
}};
constexpr std::array<AnswerField, 1> kRvdtFields{{
    {'q', '#', "rvdt", "RVDT", K::Dec, S::Control, {ids::kRvdt[0], ids::kRvdt[1]}, 2, false, "", D::PlainPair, {6, 8}, 0},
}};
constexpr std::array<AnswerField, 1> kRomVerFields{{
    {'q', '0', "version", "RomVer", K::Text, S::Control, {ids::kRomVer}, 1, false, "", D::RomVer, {6}, 0},
}};

static_assert(kStatusFields.size() <= kMaxAnswerRows && kDispenseFields.size() <= kMaxAnswerRows);

// Bytes a frame decoding reads from its position on.
constexpr std::size_t Width(D d) {
    switch (d) {
    case D::HexPair:
    case D::PlainPair: return 2;
    case D::HexWord: return 4;
    case D::RomVer: return 8;
    default: return 1;
    }
}
constexpr bool FromCounters(D d) { return d >= D::Request; }

// The data bytes (positions before the ETX) each code reads: a frame with
// fewer is incomplete.
std::size_t DataNeeded(int code, int sub) {
    switch (code) {
    case 'P': return 23;
    case 'R':
    case 'S':
    case 'p': return 25;  // the reasons at 18..24
    case 'Q': return 17;  // box 4's rejected count at 16
    case 'U': return 18;
    case 'X':
    case ']': return 9;
    case '[':
    case '_': return 13;
    case 'q': return sub == '0' ? 14 : (sub == '"' || sub == '#') ? 10 : 6;
    case 'w': return 36;
    default: return 5;  // the error byte
    }
}

// Read-only view of the data part of a frame: positions before the ETX/BCC.
class Data {
public:
    explicit Data(std::span<const std::uint8_t> f) : m_f(f) {}
    std::size_t End() const { return m_f.size() >= 2 ? m_f.size() - 2 : 0; }
    bool Has(std::size_t pos, std::size_t count = 1) const { return pos + count <= End(); }
    int At(std::size_t pos) const { return m_f[pos]; }
    int Count(std::size_t pos) const { return At(pos) - 32; }
    int Digit(std::size_t pos) const { return At(pos) - 48; }
    int HexPair(std::size_t pos) const { return (At(pos) & 0x0F) * 16 + At(pos + 1) - 48; }
    int HexWord(std::size_t pos) const {
        return At(pos) * 4096 + At(pos + 1) * 256 + At(pos + 2) * 16 + At(pos + 3) - 209712;
    }
    int PlainPair(std::size_t pos) const { return At(pos) * 16 + At(pos + 1) - 816; }

private:
    std::span<const std::uint8_t> m_f;
};

// Appends to a shown value (it has room for every format used here).
void Put(ShownValue& v, std::string_view s) {
    const std::size_t n = std::min(s.size(), v.text.size() - v.size);
    std::copy_n(s.data(), n, v.text.data() + v.size);
    v.size = static_cast<std::uint8_t>(v.size + n);
}
// "%d"
void PutDec(ShownValue& v, int x) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, x);
    Put(v, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}
// "%X" (a negative value as its 32-bit two's complement), at least `width` digits.
void PutHex(ShownValue& v, int x, int width = 1) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(x), 16);
    const auto n = static_cast<int>(r.ptr - buf);
    for (int i = n; i < width; ++i) Put(v, "0");
    std::transform(buf, r.ptr, buf, [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    Put(v, std::string_view(buf, static_cast<std::size_t>(n)));
}

// Counts a dispense-type or PURGE answer into the batch counters.
void Count(const Data& f, int code, BatchCounters& c) {
    for (std::size_t box = 0; box < 4; ++box) {
        const std::size_t pos = 6 + 3 * box;
        if (f.Has(pos)) {
            c.dispensed[box] = f.Count(pos);
            c.dispSum[box] += c.dispensed[box];
        }
        if (f.Has(pos + 1)) {
            c.rejected[box] = f.Count(pos + 1);
            c.rejSum[box] += c.rejected[box];
        }
    }
    c.totalDispensed = c.dispSum[0] + c.dispSum[1] + c.dispSum[2] + c.dispSum[3];
    c.totalRejected = c.rejSum[0] + c.rejSum[1] + c.rejSum[2] + c.rejSum[3];
    if (code == 'Q') return;  // PURGE: no reasons
    for (std::size_t k = 0; k < 7; ++k)
        if (f.Has(18 + k)) c.reasonSum[k] += f.Count(18 + k);
}

int CounterValue(const BatchCounters& c, D d, std::size_t i) {
    switch (d) {
    case D::Request: return c.request[i & 3];
    case D::Dispensed: return c.dispensed[i & 3];
    case D::Rejected: return c.rejected[i & 3];
    case D::DispSum: return c.dispSum[i & 3];
    case D::RejSum: return c.rejSum[i & 3];
    case D::ReasonSum: return c.reasonSum[std::min<std::size_t>(i, 6)];
    case D::TotalRequested: return c.totalRequested;
    case D::TotalDispensed: return c.totalDispensed;
    case D::TotalRejected: return c.totalRejected;
    default: return 0;
    }
}

// Value of a frame decoding at `pos`; the caller has checked the bytes are there.
void PutFromFrame(ShownValue& v, const Data& f, const AnswerField& row, std::size_t pos) {
    switch (row.decode) {
    case D::Bit: Put(v, ((f.At(pos) >> row.bit) & 1) ? "1" : "0"); break;
    case D::CountHex: PutHex(v, f.Count(pos)); break;
    case D::CountDec: PutDec(v, f.Count(pos)); break;
    case D::HexPair: PutHex(v, f.HexPair(pos)); break;
    case D::Digit: PutHex(v, f.Digit(pos)); break;
    case D::HexWord: PutDec(v, f.HexWord(pos)); break;
    case D::PlainPair: PutDec(v, f.PlainPair(pos)); break;
    case D::RomVer:
        for (std::size_t k = 0; k < 4; ++k) v.text[v.size++] = static_cast<char>(f.At(pos + k));
        Put(v, "   ");  // two blanks, then the blank of " %04X"
        PutHex(v, f.HexWord(pos + 4), 4);
        break;
    default: break;
    }
}

}  // namespace

std::span<const AnswerField> FieldsOf(int code, int sub) {
    switch (code) {
    case 'P': return kStatusFields;
    case 'R':
    case 'S':
    case 'p': return kDispenseFields;
    case 'Q': return kPurgeFields;
    case 'U': return kLastStatFields;
    case '[': return kOpacityFields;
    case '_': return kLengthFields;
    case ']': return kOrderFields;
    case 'X': return kSenDiagFields;
    case 'q':
        if (sub == '"') return kBldcFields;
        if (sub == '#') return kRvdtFields;
        if (sub == '0') return kRomVerFields;
        return {};
    default: return {};
    }
}

void DecodeAnswer(std::span<const std::uint8_t> frame, bool awaited, const BatchCounters& before,
                  DecodedAnswer& out) {
    const Data f(frame);
    out.after = before;
    out.counted = false;
    out.code = proto::ResponseCode(frame.data(), frame.size());
    if (out.code == proto::kNoCode) {
        out.rows = {};
        out.complete = false;
        return;
    }
    const int code = out.code;
    const bool hasSub = code == 'q' && f.Has(5);
    const int sub = hasSub ? f.At(5) : 0;
    out.rows = (code == 'q' && !hasSub) ? std::span<const AnswerField>() : FieldsOf(code, sub);
    out.complete = f.Has(0, DataNeeded(code, sub));
    const bool countType = code == 'R' || code == 'S' || code == 'p' || code == 'Q';
    out.counted = awaited && countType;
    if (out.counted) Count(f, code, out.after);

    for (std::size_t r = 0; r < out.rows.size(); ++r) {
        const AnswerField& row = out.rows[r];
        for (std::size_t i = 0; i < static_cast<std::size_t>(row.count); ++i) {
            ShownValue& v = out.values[r][i];
            v.size = 0;
            v.written = false;
            if (FromCounters(row.decode)) {
                if (!out.counted) continue;
                PutDec(v, CounterValue(out.after, row.decode, row.at[i]));
            } else {
                if (!f.Has(row.at[i], Width(row.decode))) continue;
                PutFromFrame(v, f, row, row.at[i]);
            }
            v.written = true;
        }
    }
}
