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
