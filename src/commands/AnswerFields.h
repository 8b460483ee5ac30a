// The decoded fields of every answer, stated once: which control shows each
// field, under which caption, under which name the command-line tool reports
// it, and where in the frame its value stands.  The response decoder writes
// the controls named here from DecodeAnswer and tells the same values with
// each answer (ev::Answer::fields); the command-line tool's report and the
// batch record read them from there.
//
// What a value is: the text the window shows in that field once the answer
// has been handled ("7A"; "1"/"0" for a check box), or "" where the answer
// writes nothing into the field.  A field is left alone (so its control keeps
// what it showed, and its value is "") when the frame ends before the field's
// bytes, and for every row of a dispense-type or PURGE answer that is not the
// awaited answer (it is counted nowhere).  A counted answer's per-box texts
// are written even from a short frame: a count the frame does not hold keeps
// the counter's value, and that value is what the window shows and the
// answer tells.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

enum class FieldKind : std::uint8_t {
    Flag,  // a check box: shown 1/0
    Dec,   // a decimal count
    Hex,   // hexadecimal text as the window shows it ("7A")
    Text,  // any text
};

// Where a field's values come from.
enum class FieldSource : std::uint8_t {
    Control,    // the bound text or check of the control ids[i]
    Request,    // the request per box of the send answered (ids: box 0..3)
    Dispensed,  // this answer's dispensed count per box (ids: box 0..3)
    Rejected,   // this answer's rejected count per box (ids: box 0..3)
};

// How value i of a field is made.  The frame decodings read the byte(s) at
// at[i]; the counter decodings show, with "%d", entry at[i] of a batch
// counter after the answer has been counted.
enum class FieldDecode : std::uint8_t {
    Bit,        // bit `bit` of the byte: "1" or "0"
    CountHex,   // count byte (b - 32), "%X"
    CountDec,   // count byte (b - 32), "%d"
    HexPair,    // hex pair at at[i], at[i]+1, "%X"
    Digit,      // digit (b - 48), "%X"
    HexWord,    // hex word at at[i]..at[i]+3, "%d"
    PlainPair,  // plain hex pair at at[i], at[i]+1, "%d"
    RomVer,     // the four characters at at[i].., "  ", then " %04X" of the hex word after them
    Request,    // the send's request per box
    Dispensed,  // this answer's dispensed count per box (the counter's value where the frame ends first)
    Rejected,   // likewise, rejected
    DispSum,    // dispensed per box, summed over the batch
    RejSum,     // rejected per box, summed over the batch
    ReasonSum,  // rejects by reason, summed over the batch
    TotalRequested,  // the Total row, shown by the counter refresh after the decoding
    TotalDispensed,
    TotalRejected,
};

struct AnswerField {  // code, sub-command (0: any), JSON key, caption, kind, source, ids, values, per box, group,
                      // decoding, positions or counter entries, bit
    char code;
    char sub;
    std::string_view key;
    std::string_view label;
    FieldKind kind;
    FieldSource src;
    std::array<int, 4> ids;
    int count;    // values used, 1..4
    bool perBox;  // the four boxes, box 1 first
    std::string_view group;  // rows of one group form an object under this name ("" none)
    FieldDecode decode;
    std::array<std::uint8_t, 4> at;  // byte positions (frame decodings) or counter entries
    std::uint8_t bit;                // Bit: the bit 0..7 of the byte
};

// The rows of the answer with response code `code` (for 'q', of the
// sub-command `sub`), in the table's order; empty for a code with no fields.
std::span<const AnswerField> FieldsOf(int code, int sub);

// The most rows one answer has.
inline constexpr std::size_t kMaxAnswerRows = 15;

// True when the response decoder itself writes the row's controls (rows of
// other sources have no control; the Total row is shown by the counter
// refresh that follows the decoding).
constexpr bool DecoderWrites(const AnswerField& row) {
    return row.src == FieldSource::Control && row.decode != FieldDecode::TotalRequested &&
           row.decode != FieldDecode::TotalDispensed && row.decode != FieldDecode::TotalRejected;
}

// The counters of a batch that a counted answer changes (the dialog's members
// of the same names).
struct BatchCounters {
    int request[4] = {};
    int dispensed[4] = {};
    int rejected[4] = {};
    int dispSum[4] = {};
    int rejSum[4] = {};
    int reasonSum[7] = {};
    int totalRequested = 0;
    int totalDispensed = 0;
    int totalRejected = 0;
};

// One value as shown, held without allocation (the longest is RomVer's, 15
// characters; the bytes of the frame are kept as they are, NUL included).
struct ShownValue {
    std::array<char, 16> text{};
    std::uint8_t size = 0;
    bool written = false;  // the answer puts this value into its field
    std::string_view View() const { return written ? std::string_view(text.data(), size) : std::string_view(); }
};

// What one answer shows and, when it is counted, the counters after it.
struct DecodedAnswer {
    int code = -1;                     // response code; -1: the frame holds none
    std::span<const AnswerField> rows; // for 'q': the rows of the frame's sub-code (position 5)
    std::array<std::array<ShownValue, 4>, kMaxAnswerRows> values{};  // by row, then value
    bool complete = true;  // the frame held every byte its code reads
    bool counted = false;  // an awaited dispense-type or PURGE answer: `after` holds the new counters
    BatchCounters after;   // the counters after the answer (as before when not counted)
};

// Decodes the response frame `frame` (SOH through BCC) into the values its
// fields show.  `awaited`: the frame is the awaited answer of the command
// sent (only then a dispense-type or PURGE answer is counted, from the
// counters `before`).  Reads no byte at or past the frame's ETX position
// (its length less two).
void DecodeAnswer(std::span<const std::uint8_t> frame, bool awaited, const BatchCounters& before,
                  DecodedAnswer& out);
