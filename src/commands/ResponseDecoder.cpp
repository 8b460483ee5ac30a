// The response decoder: turns an accepted response frame into the console's
// texts, check boxes and counters, reports device errors, and hands the
// loader's and the log's answers to their own handlers.
//
// Fields are read only where the frame holds them: the data end before the
// ETX and BCC, and a field whose bytes are missing leaves its value as it was,
// so a short frame is never read past its end.  A frame too short to hold a
// code before its ETX is dispatched nowhere.
//
// A frame that is not the awaited answer to the command sent is decoded and
// shown, but changes no counter, no batch and no download: an unasked
// dispense, block or verify answer is noted in the receive text instead.
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <cstdio>

namespace {

inline constexpr std::uint8_t kNoError = ' ';

// Sensor check boxes of the STATUS answer, per box 1..4 and bit 0..4.
constexpr int kBoxFlagIds[4][5] = {
    {1052, 1053, 1054, 1055, 1166},
    {1056, 1066, 1067, 1068, 1167},
    {1069, 1070, 1071, 1072, 1168},
    {1073, 1074, 1075, 1077, 1169},
};
constexpr int kModuleFlagIds[6] = {1046, 1047, 1048, 1049, 1050, 1051};
constexpr int kOpacityIds[4] = {1078, 1080, 1082, 1084};
constexpr int kLengthIds[4] = {1079, 1081, 1083, 1085};

std::string Dec(int v) { return std::to_string(v); }

std::string Hex(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(v));
    return buf;
}

// Read-only view of the data part of a frame: positions before the ETX/BCC.
class Frame {
public:
    Frame(const std::string& s) : m_p(reinterpret_cast<const std::uint8_t*>(s.data())), m_n(s.size()) {}
    std::size_t DataEnd() const { return m_n >= 2 ? m_n - 2 : 0; }
    bool Has(std::size_t pos, std::size_t count = 1) const { return pos + count <= DataEnd(); }
    int At(std::size_t pos) const { return m_p[pos]; }
    int Count(std::size_t pos) const { return At(pos) - 32; }
    int Digit(std::size_t pos) const { return At(pos) - 48; }
    int HexPair(std::size_t pos) const { return (At(pos) & 0x0F) * 16 + At(pos + 1) - 48; }
    int HexWord(std::size_t pos) const {
        return At(pos) * 4096 + At(pos + 1) * 256 + At(pos + 2) * 16 + At(pos + 3) - 209712;
    }
    int PlainHexPair(std::size_t pos) const { return At(pos) * 16 + At(pos + 1) - 816; }
    const std::uint8_t* Data() const { return m_p; }
    std::size_t Size() const { return m_n; }

private:
    const std::uint8_t* m_p;
    std::size_t m_n;
};

// "Unasked 'R' answer: dispensed 3 0 0 0, rejected 1 0 0 0" (a count the
// frame does not hold shows as '-').
std::string UnaskedDispenseLine(const Frame& f, int code) {
    std::string line = "Unasked '" + std::string(1, static_cast<char>(code)) + "' answer: dispensed";
    for (int k = 0; k < 2; ++k) {
        if (k == 1) line += ", rejected";
        for (int box = 0; box < 4; ++box) {
            const std::size_t pos = 6 + 3 * static_cast<std::size_t>(box) + static_cast<std::size_t>(k);
            line += ' ';
            line += f.Has(pos) ? Dec(f.Count(pos)) : "-";
        }
    }
    return line + "\r\n";
}

}  // namespace

void CConsoleDlg::DecodeResponse(bool bAnswer) {
    UpdateData(true);
    const Frame f(m_strRxFrame);
    const int code = proto::ResponseCode(f.Data(), f.Size());
    if (code == proto::kNoCode) {
        UpdateData(false);
        return;
    }
    // The error check of the rows that ask for one; false when there is no
    // error byte or it is ' '.
    auto errorCheck = [&]() {
        if (!f.Has(4) || f.At(4) == kNoError) return false;
        ShowDeviceError(static_cast<std::uint8_t>(f.At(4) - 0x20));
        return true;
    };
    auto setText = [&](int id, std::size_t pos, std::size_t count, auto&& value, auto&& format) {
        if (f.Has(pos, count)) Text(id) = format(value(pos));
    };
    auto countOf = [&](std::size_t p) { return f.Count(p); };
    auto pairOf = [&](std::size_t p) { return f.HexPair(p); };

    switch (code) {
    case 'D':
    case 'Z':
    case '\\':
    case '^':
        break;
    case 'P': {
        errorCheck();
        if (f.Has(5))
            for (int bit = 0; bit < 6; ++bit) Check(kModuleFlagIds[bit]) = (f.At(5) >> bit) & 1;
        if (f.Has(6)) {
            Check(1175) = f.At(6) & 1;
            Check(1176) = (f.At(6) >> 1) & 1;
        }
        for (int box = 0; box < 4; ++box) {
            const std::size_t base = 7 + 4 * static_cast<std::size_t>(box);
            if (f.Has(base))
                for (int bit = 0; bit < 5; ++bit) Check(kBoxFlagIds[box][bit]) = (f.At(base) >> bit) & 1;
            setText(kOpacityIds[box], base + 2, 1, countOf, Hex);
            setText(kLengthIds[box], base + 3, 1, countOf, Hex);
        }
        break;
    }
    case 'Q':
    case 'R':
    case 'S':
    case 'p': {
        const bool bError = errorCheck();
        if (!bAnswer) {
            AppendRecv(UnaskedDispenseLine(f, code));
            break;
        }
        if (bError) {
            m_nRepeatLeft = 1;
            m_nRepeat = 1;
        }
        for (int box = 0; box < 4; ++box) {
            const std::size_t pos = 6 + 3 * static_cast<std::size_t>(box);
            if (f.Has(pos)) {
                m_nDispensed[box] = f.Count(pos);
                m_nDispSum[box] += m_nDispensed[box];
            }
            if (f.Has(pos + 1)) {
                m_nRejected[box] = f.Count(pos + 1);
                m_nRejSum[box] += m_nRejected[box];
            }
        }
        m_nTotalDispensed = m_nDispSum[0] + m_nDispSum[1] + m_nDispSum[2] + m_nDispSum[3];
        m_nTotalRejected = m_nRejSum[0] + m_nRejSum[1] + m_nRejSum[2] + m_nRejSum[3];
        if (code == 'Q') break;  // PURGE: counters only, no reasons, no per-box texts
        for (int k = 0; k < 7; ++k)
            if (f.Has(18 + static_cast<std::size_t>(k))) m_nReasonSum[k] += f.Count(18 + static_cast<std::size_t>(k));
        for (int box = 0; box < 4; ++box) {
            Text(1057 + box) = Dec(m_nDispensed[box]);
            Text(1061 + box) = Dec(m_nRejected[box]);
            Text(1139 + box) = Dec(m_nDispSum[box]);
            Text(1143 + box) = Dec(m_nRejSum[box]);
        }
        for (int k = 0; k < 7; ++k) Text(1132 + k) = Dec(m_nReasonSum[k]);
        break;
    }
    case 'U':
        // The error byte stands at position 4 as in every other answer.
        errorCheck();
        for (int box = 0; box < 4; ++box) {
            const std::size_t pos = 7 + 3 * static_cast<std::size_t>(box);
            setText(1057 + box, pos, 1, countOf, Dec);
            setText(1061 + box, pos + 1, 1, countOf, Dec);
        }
        break;
    case 'X':
        errorCheck();
        for (int i = 0; i < 4; ++i) setText(1119 + i, 5 + static_cast<std::size_t>(i), 1, countOf, Hex);
        break;
    case '[':
        for (int i = 0; i < 4; ++i) setText(1086 + i, 5 + 2 * static_cast<std::size_t>(i), 2, pairOf, Hex);
        break;
    case '_':
        for (int i = 0; i < 4; ++i) setText(1139 + i, 5 + 2 * static_cast<std::size_t>(i), 2, pairOf, Hex);
        break;
    case ']': {
        constexpr int kOrderIds[4] = {1090, 1091, 1112, 1113};
        for (int i = 0; i < 4; ++i)
            setText(kOrderIds[i], 5 + static_cast<std::size_t>(i), 1, [&](std::size_t p) { return f.Digit(p); }, Hex);
        break;
    }
    case 'q': {
        errorCheck();
        if (!f.Has(5)) break;
        const int sub = f.At(5);
        if (sub == '"') {
            setText(1123, 6, 4, [&](std::size_t p) { return f.HexWord(p); }, Dec);
        } else if (sub == '#') {
            setText(1124, 6, 2, [&](std::size_t p) { return f.PlainHexPair(p); }, Dec);
            setText(1125, 8, 2, [&](std::size_t p) { return f.PlainHexPair(p); }, Dec);
        } else if (sub == '0' && f.Has(6, 8)) {
            char word[16];
            std::snprintf(word, sizeof word, " %04X", static_cast<unsigned>(f.HexWord(10)));
            std::string t(reinterpret_cast<const char*>(f.Data()) + 6, 4);
            Text(1126) = t + "  " + word;
        }
        break;
    }
    case 'r': OnLoaderAnswer(); break;
    case 's': OnBlockWritten(bAnswer); break;  // the whole 's' row, error check included
    case 't': OnVerifyAnswer(bAnswer); break;  // the whole 't' row, error check included
    case 'w': {
        std::string line;
        char buf[16];
        for (std::size_t pos = 4; pos <= 35 && f.Has(pos); ++pos) {
            std::snprintf(buf, sizeof buf, "%X ", static_cast<unsigned>(f.At(pos) - 32));
            line += buf;
        }
        line += "\r\n";
        AppendRecv(line);
        break;
    }
    case '~': WriteLogFrame(f.Data(), f.Size()); break;
    default: AppendRecv(" Undefined Command "); break;
    }
    UpdateData(false);
    // Keep the newest receive text in view, once the control holds it.
    m_host.ScrollToEnd(ids::kRecv);
}
