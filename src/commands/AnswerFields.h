// The decoded fields of every answer, stated once: which control shows each
// field, under which caption, and under which name the command-line tool
// reports it.  The response decoder writes the controls named here and tells
// the values with each answer (ev::Answer::fields); the command-line tool's
// report and the batch record read them from there.
#pragma once

#include <array>
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

struct AnswerField {  // code, sub-command (0: any), JSON key, caption, kind, source, ids, values, per box, group
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
};

// The rows of the answer with response code `code` (for 'q', of the
// sub-command `sub` of the command sent), in the table's order; empty for a
// code with no fields.
std::span<const AnswerField> FieldsOf(int code, int sub);
