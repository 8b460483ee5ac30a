// What zantu-cli prints: records (an answer, an acknowledgement, a port, the
// summary) made of named fields, written either as short human lines or as
// one JSON object per line.
//
// The fields of an answer are those the console tells with it (the rows of
// the decoded-fields table, commands/AnswerFields.h, with the values the
// window shows), under the window's own captions.  The JSON names are part of
// the tool's interface (documented in its manual page) and do not change.
#pragma once

#include "commands/AnswerFields.h"
#include "console/ConsoleEvents.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cli {

// Flag: JSON true/false, shown 1/0; Dec: a JSON number; Hex and Text: JSON strings.
using FieldKind = ::FieldKind;

struct Field {
    std::string key;    // JSON name
    std::string label;  // the window's caption
    FieldKind kind = FieldKind::Text;
    bool list = false;                // a JSON array
    bool perBox = false;              // a list of the four boxes, box 1 first
    std::string group;                // fields of one group form an object under this name
    std::vector<std::string> values;  // as the window shows them ("1"/"0" for flags); none: null (or [])
    bool jsonOnly = false;            // left out of the human lines
    bool unknown = false;             // not known: JSON null, shown "unknown"
};

struct Record {
    std::string type;     // "answer", "unasked", "ack", "port" or "summary"
    std::string command;  // the command's name ("status")
    std::string port;     // the port's name when several ports run; else empty
    std::string caption;  // the button's caption ("STATUS"), for human lines
    int code = -1;        // response code of an answer (or of an unasked frame)
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

// The fields the console decoded from an answer, as it told them.
std::vector<Field> DecodedFields(std::span<const ev::FieldValue> values);
// A field with a table row's names and shape, and no values yet.
Field FieldOfRow(const AnswerField& row);

// Helpers for the fields the tool adds itself.
Field ScalarField(std::string key, std::string label, FieldKind kind, std::string value);
Field NullField(std::string key, std::string label);
Field ListField(std::string key, std::string label, FieldKind kind, std::vector<std::string> values,
                bool perBox);

}  // namespace cli
