// What zantu-cli prints: records (an answer, an acknowledgement, a port, the
// summary) made of named fields, written either as short human lines or as
// one JSON object per line.
//
// The fields of an answer are read from the console's bound members after the
// core has decoded it: the texts and check states the window shows, under the
// window's own captions.  The JSON names are part of the tool's interface
// (documented in its manual page) and do not change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CConsoleDlg;

namespace cli {

enum class FieldKind : std::uint8_t {
    Flag,  // a check box: JSON true/false, shown 1/0
    Dec,   // a decimal count: a JSON number
    Hex,   // hexadecimal text as the window shows it ("7A"): a JSON string
    Text,  // any text: a JSON string
};

struct Field {
    std::string key;                  // JSON name
    std::string label;                // the window's caption
    FieldKind kind = FieldKind::Text;
    bool list = false;                // a JSON array
    bool perBox = false;              // a list of the four boxes, box 1 first
    std::string group;                // fields of one group form an object under this name
    std::vector<std::string> values;  // as the window shows them ("1"/"0" for flags); none: null (or [])
    bool jsonOnly = false;            // left out of the human lines
};

struct Record {
    std::string type;     // "answer", "ack", "port" or "summary"
    std::string command;  // the command's name ("status")
    std::string port;     // the port's name when several ports run; else empty
    std::string caption;  // the button's caption ("STATUS"), for human lines
    int code = -1;        // response code of an answer
    int error = 0;        // device error code; 0 for none
    std::string errorText;
    int index = 0;  // answer k of `of` in a batch; 0 outside a batch
    int of = 0;
    std::vector<Field> top;     // further top-level members
    std::vector<Field> fields;  // the decoded fields, under "fields"
};

// One line of JSON, without the line break.
std::string FormatJson(const Record& r);
// Human lines, each ending in a line break; may be empty.
std::string FormatHuman(const Record& r);

// The fields the core decoded from an answer with response code `code` (and,
// for 'q', the sub-command `sub` of the command sent), read from the console.
std::vector<Field> DecodedFields(CConsoleDlg& dlg, int code, int sub);

// Helpers for the fields the tool adds itself.
Field ScalarField(std::string key, std::string label, FieldKind kind, std::string value);
Field NullField(std::string key, std::string label);
Field ListField(std::string key, std::string label, FieldKind kind, std::vector<std::string> values,
                bool perBox);

}  // namespace cli
