// The command catalogue: SendCommand turns one of the 23 command types into the
// bytes of its host frame from the console's fields and the firmware image, then
// hands it to the link's closing-and-sending step.
//
// The frame is built aside and becomes the stored frame (m_TxFrame, m_nTxLen,
// m_nCmdCode) only when it is sent: a refused SET ORDER or a type outside the
// catalogue leaves the stored frame exactly as it was, so a resend still
// repeats the last frame that went out.
#include "commands/Catalogue.h"
#include "commands/CommandType.h"
#include "commands/FieldParse.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

using namespace proto;

namespace {

enum class Params : std::uint8_t {
    None,
    Dispense,     // four count bytes of the Request fields, three blanks
    HexPairs,     // four hex pairs from edits
    Order,        // four digit bytes, validated
    SenDiag,      // one box digit
    Sub,          // 'q' sub-command only
    SubBox,       // 'q' sub-command and a box count byte (' ' when none set)
    SubBoxOpt,    // 'q' sub-command and a box count byte, none when none set
    LogParam,     // '0'
    BlockWrite,   // address and 128 image bytes
    ImageSum,     // four nibble bytes of the image sum
};

struct Command {  // type, code, sub-command (0: none), parameters, edits or radios, name
    cmd::Type type;
    std::uint8_t code;
    std::uint8_t sub;
    Params params;
    std::array<int, 4> edits;
    std::string_view name;
};

constexpr std::array<int, 4> kNoEdits{0, 0, 0, 0};

constexpr std::array<Command, cmd::kLastType> g_Catalogue{{
    {cmd::kDispense, 'R', 0, Params::Dispense, kNoEdits, "DISPENSE"},
    {cmd::kPurge, 'Q', 0, Params::None, kNoEdits, "PURGE"},
    {cmd::kTestDisp, 'S', 0, Params::Dispense, kNoEdits, "TEST DISP"},
    {cmd::kLastStat, 'U', 0, Params::None, kNoEdits, "LAST STAT"},
    {cmd::kZigzag, 'p', 0, Params::Dispense, kNoEdits, "ZIGZAG"},
    {cmd::kStatus, 'P', 0, Params::None, kNoEdits, "STATUS"},
    {cmd::kGetOpacity, '[', 0, Params::None, kNoEdits, "GET OPACITY"},
    {cmd::kSetOpacity, 'Z', 0, Params::HexPairs, ids::kOpacity, "SET OPACITY"},
    {cmd::kGetOrder, ']', 0, Params::None, kNoEdits, "GET ORDER"},
    {cmd::kSetOrder, '\\', 0, Params::Order, ids::kOrder, "SET ORDER"},
    {cmd::kSenDiag, 'X', 0, Params::SenDiag, ids::kSenDiagBox, "SEN DIAG"},
    {cmd::kDivert, 'q', ' ', Params::Sub, kNoEdits, "DIVERT"},
    {cmd::kClutch, 'q', '!', Params::SubBox, ids::kTestBox, "CLUTCH"},
    {cmd::kBldc, 'q', '"', Params::Sub, kNoEdits, "BLDC"},
    {cmd::kRvdt, 'q', '#', Params::SubBoxOpt, ids::kTestBox, "RVDT"},
    {cmd::kRomVer, 'q', '0', Params::Sub, kNoEdits, "RomVer"},
    {cmd::kGetLength, '_', 0, Params::None, kNoEdits, "GET LENGTH"},
    {cmd::kSetLength, '^', 0, Params::HexPairs, ids::kLength, "SET LENGTH"},
    {cmd::kLog, '~', 0, Params::LogParam, kNoEdits, "LOG"},
    {cmd::kGoLoader, 'r', 0, Params::None, kNoEdits, "Go Loader"},
    {cmd::kWriteBlock, 's', 0, Params::BlockWrite, kNoEdits, "block write"},
    {cmd::kVerify, 't', 0, Params::ImageSum, kNoEdits, "Verify"},
    {cmd::kReset, 'D', 0, Params::None, kNoEdits, "Reset"},
}};

static_assert([] {
    for (std::size_t i = 0; i < g_Catalogue.size(); ++i)
        if (g_Catalogue[i].type != static_cast<int>(i) + cmd::kFirstType) return false;
    return true;
}());

}  // namespace

std::string_view CommandName(int nType) {
    if (!cmd::IsValid(nType)) return {};
    return g_Catalogue[static_cast<std::size_t>(nType - cmd::kFirstType)].name;
}

int AnsweredType(int code, int sub) {
    for (const Command& c : g_Catalogue) {
        if (c.code != code) continue;
        if (c.sub == 0) return c.type;
        if (c.sub == sub) return c.type;
    }
    return 0;
}

// ---- frames by hand ----------------------------------------------------------------

namespace {

const Command* CommandOf(int nType) {
    if (!cmd::IsValid(nType)) return nullptr;
    return &g_Catalogue[static_cast<std::size_t>(nType - cmd::kFirstType)];
}

// A value typed in the given base, wholly digits, within lo..hi.
bool ReadValue(const std::string& text, int base, int lo, int hi, int& v) {
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    if (b == e || e - b > 8) return false;
    int x = 0;
    for (std::size_t i = b; i < e; ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return false;
        x = x * base + d;
    }
    if (x < lo || x > hi) return false;
    v = x;
    return true;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

HandValues HandValuesOf(int nType) {
    const Command* c = CommandOf(nType);
    if (!c) return HandValues::NotByHand;
    switch (c->params) {
    case Params::None:
    case Params::Sub: return HandValues::None;
    case Params::Dispense: return HandValues::Counts;
    case Params::HexPairs: return HandValues::HexBytes;
    case Params::Order: return HandValues::Order;
    case Params::SenDiag:
    case Params::SubBox: return HandValues::Box;
    case Params::SubBoxOpt: return HandValues::OptionalBox;
    case Params::ImageSum: return HandValues::Sum;
    case Params::LogParam:
    case Params::BlockWrite: return HandValues::NotByHand;
    }
    return HandValues::NotByHand;
}

bool BuildHandBody(int nType, std::span<const std::string> values, std::vector<std::uint8_t>& body,
                   std::string* why) {
    auto fail = [&](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    const Command* c = CommandOf(nType);
    const HandValues kind = HandValuesOf(nType);
    if (!c || kind == HandValues::NotByHand)
        return fail(c ? std::string(c->name) + " is not sent by hand: it belongs to its page" : "no such command");
    auto value = [&](std::size_t i) { return i < values.size() ? values[i] : std::string(); };
    body.clear();
    body.push_back(c->code);
    if (c->sub != 0) body.push_back(c->sub);
    int v[4] = {};
    switch (kind) {
    case HandValues::None:
    case HandValues::NotByHand: break;
    case HandValues::Counts:
        for (std::size_t i = 0; i < 4; ++i)
            if (!ReadValue(value(i), 10, 0, 100, v[i]))
                return fail("box " + std::to_string(i + 1) + ": " + Quoted(value(i)) + " is not a count of 0 to 100");
        for (int x : v) body.push_back(CountByte(x));
        body.insert(body.end(), 3, ' ');
        break;
    case HandValues::HexBytes:
        for (std::size_t i = 0; i < 4; ++i)
            if (!ReadValue(value(i), 16, 0, 0xFF, v[i]))
                return fail("value " + std::to_string(i + 1) + ": " + Quoted(value(i)) + " is not a byte 00 to FF");
        for (int x : v) {
            body.push_back(NibbleByte(static_cast<unsigned>(x) >> 4));
            body.push_back(NibbleByte(static_cast<unsigned>(x)));
        }
        break;
    case HandValues::Order:
        for (std::size_t i = 0; i < 4; ++i) {
            if (!ReadValue(value(i), 10, 1, 4, v[i]))
                return fail("place " + std::to_string(i + 1) + ": " + Quoted(value(i)) + " is not a box 1 to 4");
            for (std::size_t j = 0; j < i; ++j)
                if (v[j] == v[i]) return fail("box " + std::to_string(v[i]) + " stands twice in the order");
        }
        for (int x : v) body.push_back(static_cast<std::uint8_t>('0' + x));
        break;
    case HandValues::Box:
    case HandValues::OptionalBox: {
        const std::string& t = value(0);
        if (kind == HandValues::OptionalBox && t.find_first_not_of(' ') == std::string::npos) break;
        if (!ReadValue(t, 10, 1, 4, v[0])) return fail("box: " + Quoted(t) + " is not a box 1 to 4");
        // SEN DIAG names its box by digit; CLUTCH and RVDT by a count byte of its index.
        body.push_back(c->params == Params::SenDiag ? static_cast<std::uint8_t>('0' + v[0]) : CountByte(v[0] - 1));
        break;
    }
    case HandValues::Sum:
        if (!ReadValue(value(0), 16, 0, 0xFFFF, v[0]))
            return fail("sum: " + Quoted(value(0)) + " is not a hex word 0000 to FFFF");
        for (int shift : {12, 8, 4, 0}) body.push_back(NibbleByte(static_cast<unsigned>(v[0]) >> shift));
        break;
    }
    return true;
}

int TypeOfBody(std::span<const std::uint8_t> body) {
    if (body.empty()) return cmd::kNone;
    const int code = body[0];
    return AnsweredType(code, code == 'q' ? (body.size() >= 2 ? body[1] : -1) : -1);
}

ev::FrameNote NoteOfBody(std::span<const std::uint8_t> body) {
    ev::FrameNote note;
    note.type = TypeOfBody(body);
    const Command* c = CommandOf(note.type);
    if (!c) return note;
    auto at = [&](std::size_t i) { return i < body.size() ? static_cast<int>(body[i]) : -1; };
    auto add = [&](ev::NoteKind kind, int v) {
        note.kind = kind;
        if (note.count < 4) note.values[note.count++] = v;
    };
    switch (c->params) {
    case Params::None:
    case Params::Sub:
    case Params::LogParam: break;
    case Params::Dispense:
        note.kind = ev::NoteKind::Counts;
        for (std::size_t i = 1; i <= 4 && at(i) >= 0; ++i) add(ev::NoteKind::Counts, at(i) - 0x20);
        break;
    case Params::HexPairs:
        note.kind = ev::NoteKind::HexBytes;
        for (std::size_t i = 1; i + 1 < body.size() && note.count < 4; i += 2)
            add(ev::NoteKind::HexBytes, ((at(i) & 0x0F) << 4) | (at(i + 1) & 0x0F));
        break;
    case Params::Order:
        note.kind = ev::NoteKind::Digits;
        for (std::size_t i = 1; i <= 4 && at(i) >= 0; ++i) add(ev::NoteKind::Digits, at(i) - '0');
        break;
    case Params::SenDiag:
        note.kind = ev::NoteKind::Box;
        if (at(1) >= 0) add(ev::NoteKind::Box, at(1) - '0');
        break;
    case Params::SubBox:
    case Params::SubBoxOpt:
        note.kind = ev::NoteKind::Box;
        if (at(2) >= 0) add(ev::NoteKind::Box, at(2) - 0x20 + 1);
        break;
    case Params::BlockWrite:
    case Params::ImageSum:
        if (body.size() >= 5) {
            unsigned w = 0;
            for (std::size_t i = 1; i <= 4; ++i) w = (w << 4) | (body[i] & 0x0F);
            add(c->params == Params::BlockWrite ? ev::NoteKind::Address : ev::NoteKind::Sum, static_cast<int>(w));
        }
        break;
    }
    return note;
}

std::string HandBodyProblem(std::span<const std::uint8_t> body) {
    if (body.empty()) return "the frame has no code";
    if (body.size() > kMaxHandBody)
        return "the frame's body has " + std::to_string(body.size()) + " bytes, more than " +
               std::to_string(kMaxHandBody);
    for (std::size_t i = 0; i < body.size(); ++i)
        if (body[i] < 0x20) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            return std::string("byte ") + std::to_string(i + 1) + " is a control byte (" + kHex[body[i] >> 4] +
                   kHex[body[i] & 0x0F] + "): it would end or break the frame at the module";
        }
    const int nType = TypeOfBody(body);
    if (nType != cmd::kNone && HandValuesOf(nType) == HandValues::NotByHand)
        return std::string(CommandName(nType)) + " is not sent by hand: it belongs to its page";
    return {};
}

std::int8_t CConsoleDlg::ReadRequest(int nBox) {
    if (nBox < 0 || nBox > 3) return 0;
    UpdateData(true);
    const int v = ParseField(Text(ids::kRequest[static_cast<std::size_t>(nBox)]), 10);
    UpdateData(false);
    return static_cast<std::int8_t>((v >= 1 && v <= 100) ? v : 0);
}

void CConsoleDlg::SendCommand(int nType) {
    UpdateData(true);
    UpdateData(false);
    BatchSetup(nType);

    if (!cmd::IsValid(nType)) return;

    const Command& c = g_Catalogue[static_cast<std::size_t>(nType - cmd::kFirstType)];
    // What the frame carries, for the wire trace; stored with the frame.
    ev::FrameNote note;
    note.type = nType;
    auto noteValue = [&note](ev::NoteKind kind, int v) {
        note.kind = kind;
        if (note.count < 4) note.values[note.count++] = v;
    };
    std::uint8_t tx[kTxFrameSize];
    int len = 0;
    auto put = [&](std::uint8_t b) { tx[len++] = b; };
    auto putPair = [&](unsigned v) {
        put(NibbleByte(v >> 4));
        put(NibbleByte(v));
    };
    auto putWord = [&](unsigned v) {
        put(NibbleByte(v >> 12));
        put(NibbleByte(v >> 8));
        put(NibbleByte(v >> 4));
        put(NibbleByte(v));
    };
    // Index 0..3 of the first set radio of a group, or -1 when none is set.
    auto firstSet = [this](const std::array<int, 4>& radios) {
        for (int i = 0; i < 4; ++i)
            if (Check(radios[static_cast<std::size_t>(i)])) return i;
        return -1;
    };

    put(EOT);
    put(HOST_ID);
    put(STX);
    put(c.code);
    switch (c.params) {
    case Params::None: break;
    case Params::Dispense:
        for (int box = 0; box < 4; ++box) m_nRequest[box] = ReadRequest(box);
        for (int box = 0; box < 4; ++box) put(CountByte(m_nRequest[box]));
        for (int box = 0; box < 4; ++box) noteValue(ev::NoteKind::Counts, m_nRequest[box]);
        put(' ');
        put(' ');
        put(' ');
        break;
    case Params::HexPairs:
        UpdateData(true);
        for (int id : c.edits) {
            const unsigned v = static_cast<unsigned>(ParseField(Text(id), 16)) & 0xFF;
            putPair(v);
            noteValue(ev::NoteKind::HexBytes, static_cast<int>(v));
        }
        UpdateData(false);
        break;
    case Params::Order: {
        UpdateData(true);
        int v[4];
        bool ok = true;
        for (int i = 0; i < 4; ++i) {
            v[i] = ParseField(Text(c.edits[static_cast<std::size_t>(i)]), 10);
            if (v[i] < 1 || v[i] > 4) ok = false;
            for (int j = 0; j < i; ++j)
                if (v[j] == v[i]) ok = false;
        }
        if (!ok) {
            Refuse(ev::Refusal::BadValues, "Error Parameter");
            MessageBox("Error Parameter", m_host.AppTitle(), fw::MsgIcon::None);
            return;
        }
        for (int x : v) {
            put(static_cast<std::uint8_t>('0' + x));
            noteValue(ev::NoteKind::Digits, x);
        }
        UpdateData(false);
        break;
    }
    case Params::SenDiag: {
        const int i = firstSet(c.edits);
        put(static_cast<std::uint8_t>('1' + (i < 0 ? 0 : i)));
        noteValue(ev::NoteKind::Box, i < 0 ? 1 : i + 1);
        break;
    }
    case Params::Sub: put(c.sub); break;
    case Params::SubBox: {
        const int i = firstSet(c.edits);
        put(c.sub);
        put(CountByte(i < 0 ? 0 : i));
        noteValue(ev::NoteKind::Box, i < 0 ? 1 : i + 1);
        break;
    }
    case Params::SubBoxOpt: {
        const int i = firstSet(c.edits);
        put(c.sub);
        note.kind = ev::NoteKind::Box;
        if (i >= 0) {
            put(CountByte(i));
            noteValue(ev::NoteKind::Box, i + 1);
        }
        break;
    }
    case Params::LogParam: put('0'); break;
    case Params::BlockWrite: {
        // A block lies wholly inside the image; any other address sends nothing.
        if (m_nImageAddr < 0 || m_nImageAddr > kImageSize - kBlockSize) return;
        putWord(static_cast<unsigned>(m_nImageAddr));
        noteValue(ev::NoteKind::Address, m_nImageAddr);
        for (int i = 0; i < kBlockSize; ++i) putPair(m_Image[static_cast<std::size_t>(m_nImageAddr++)]);
        break;
    }
    case Params::ImageSum: {
        std::uint32_t sum = 0;
        for (std::uint8_t b : m_Image) sum += b;
        putWord(sum & 0xFFFF);
        noteValue(ev::NoteKind::Sum, static_cast<int>(sum & 0xFFFF));
        break;
    }
    }
    std::copy(tx, tx + len, m_TxFrame);
    m_nTxLen = len;
    m_nCmdCode = c.code;
    m_nLastType = nType;
    m_TxNote = note;
    CloseAndSend(nType);
}
