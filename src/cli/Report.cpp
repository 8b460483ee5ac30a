#include "cli/Report.h"

#include "cli/Json.h"

#include <algorithm>
#include <string_view>

namespace cli {

namespace {

using K = FieldKind;

std::string GroupLabel(std::string_view group) {
    if (group == "reasons") return "Reasons";
    if (group == "total") return "Total";
    return std::string(group);
}

void WriteValue(JsonWriter& w, const Field& f, const std::string& v) {
    switch (f.kind) {
    case K::Flag: w.Bool(v != "0" && !v.empty()); break;
    case K::Dec: w.Number(v); break;
    case K::Hex:
    case K::Text: w.String(v); break;
    }
}

void WriteFieldValue(JsonWriter& w, const Field& f) {
    if (f.unknown) {
        w.Null();
    } else if (f.list) {
        w.BeginArray();
        for (const auto& v : f.values) WriteValue(w, f, v);
        w.EndArray();
    } else if (f.values.empty()) {
        w.Null();
    } else {
        WriteValue(w, f, f.values[0]);
    }
}

// Writes fields as members of the open object; a run of fields of one group
// becomes one object member.
void WriteFields(JsonWriter& w, const std::vector<Field>& fields) {
    for (std::size_t i = 0; i < fields.size();) {
        const Field& f = fields[i];
        if (f.group.empty()) {
            w.Key(f.key);
            WriteFieldValue(w, f);
            ++i;
            continue;
        }
        w.Key(f.group);
        w.BeginObject();
        for (; i < fields.size() && fields[i].group == f.group; ++i) {
            w.Key(fields[i].key);
            WriteFieldValue(w, fields[i]);
        }
        w.EndObject();
    }
}

std::string Shown(const std::string& v) { return v.empty() ? std::string("\"\"") : v; }

// A single value as a person reads it.
std::string ShownValue(const Field& f) {
    if (f.unknown) return "unknown";
    return f.values.empty() ? "-" : Shown(f.values[0]);
}

std::string Padded(std::string s, std::size_t width) {
    if (s.size() < width) s.resize(width, ' ');
    return s;
}

std::string RightAligned(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

constexpr std::size_t kLabelWidth = 14;
constexpr std::size_t kCellWidth = 7;

void HumanFields(std::string& out, const std::vector<Field>& all) {
    std::vector<Field> fields;
    for (const Field& f : all)
        if (!f.jsonOnly) fields.push_back(f);
    std::string scalars;
    bool boxHeader = false;
    auto flushScalars = [&] {
        if (!scalars.empty()) out += "  " + scalars + "\n";
        scalars.clear();
    };
    for (std::size_t i = 0; i < fields.size();) {
        const Field& f = fields[i];
        if (!f.group.empty()) {
            flushScalars();
            std::string line = "  " + Padded(GroupLabel(f.group), kLabelWidth);
            for (; i < fields.size() && fields[i].group == f.group; ++i) {
                const Field& g = fields[i];
                line += g.label + " " + ShownValue(g) + "  ";
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += line + "\n";
            continue;
        }
        if (f.perBox) {
            flushScalars();
            if (!boxHeader) {
                std::string h = "  " + std::string(kLabelWidth, ' ');
                for (int b = 1; b <= 4; ++b) h += RightAligned("Box " + std::to_string(b), kCellWidth);
                out += h + "\n";
                boxHeader = true;
            }
            std::string row = "  " + Padded(f.label, kLabelWidth);
            if (f.unknown)
                row += " unknown";
            else
                for (const auto& v : f.values) row += RightAligned(Shown(v), kCellWidth);
            out += row + "\n";
        } else if (f.list) {
            flushScalars();
            std::string row = "  " + Padded(f.label, kLabelWidth);
            if (f.unknown) row += " unknown";
            for (const auto& v : f.values) row += " " + Shown(v);
            out += row + "\n";
        } else {
            if (!scalars.empty()) scalars += "  ";
            scalars += f.label + " " + ShownValue(f);
        }
        ++i;
    }
    flushScalars();
}

}  // namespace

Field ScalarField(std::string key, std::string label, FieldKind kind, std::string value) {
    Field f;
    f.key = std::move(key);
    f.label = std::move(label);
    f.kind = kind;
    f.values.push_back(std::move(value));
    return f;
}

Field NullField(std::string key, std::string label) {
    Field f;
    f.key = std::move(key);
    f.label = std::move(label);
    return f;
}

Field ListField(std::string key, std::string label, FieldKind kind, std::vector<std::string> values,
                bool perBox) {
    Field f;
    f.key = std::move(key);
    f.label = std::move(label);
    f.kind = kind;
    f.list = true;
    f.perBox = perBox;
    f.values = std::move(values);
    return f;
}

Field FieldOfRow(const AnswerField& row) {
    Field f;
    f.key = row.key;
    f.label = row.label;
    f.kind = row.kind;
    f.list = row.count > 1;
    f.perBox = row.perBox;
    f.group = row.group;
    return f;
}

std::vector<Field> DecodedFields(std::span<const ev::FieldValue> values) {
    std::vector<Field> out;
    out.reserve(values.size());
    for (const ev::FieldValue& v : values) {
        if (!v.row) continue;
        const AnswerField& row = *v.row;
        Field f = FieldOfRow(row);
        const int n = std::clamp(row.count, 0, static_cast<int>(v.v.size()));
        for (int i = 0; i < n; ++i) f.values.emplace_back(v.v[static_cast<std::size_t>(i)]);
        out.push_back(std::move(f));
    }
    return out;
}

std::string FormatJson(const Record& r) {
    JsonWriter w;
    w.BeginObject();
    w.Key("type");
    w.String(r.type);
    w.Key("command");
    w.String(r.command);
    if (!r.port.empty()) {
        w.Key("port");
        w.String(r.port);
    }
    const bool answer = r.type == "answer" || r.type == "unasked";
    if (answer) {
        w.Key("code");
        if (r.code >= 0)
            w.String(std::string(1, static_cast<char>(r.code)));
        else
            w.Null();
        w.Key("error");
        w.Int(r.error);
        w.Key("error_text");
        w.String(r.errorText);
        if (r.of > 0) {
            w.Key("answer");
            w.Int(r.index);
            w.Key("of");
            w.Int(r.of);
        }
    }
    WriteFields(w, r.top);
    if (answer || !r.fields.empty()) {
        w.Key("fields");
        w.BeginObject();
        WriteFields(w, r.fields);
        w.EndObject();
    }
    w.EndObject();
    return w.Text();
}

std::string FormatHuman(const Record& r) {
    std::string out;
    if (r.type == "port") {
        std::string line;
        for (const Field& f : r.top) {
            if (!line.empty()) line += "  ";
            line += f.values.empty() ? "-" : f.values[0];
        }
        return line + "\n";
    }
    std::string head = r.caption;
    if (r.of > 1) head += " " + std::to_string(r.index) + "/" + std::to_string(r.of);
    for (const Field& f : r.top)
        if (!f.jsonOnly) head += "  " + f.label + " " + ShownValue(f);
    if (r.error != 0) {
        char code[8];
        std::snprintf(code, sizeof code, "%02x", static_cast<unsigned>(r.error) & 0xFFu);
        head += std::string("  Error = ") + code + " " + r.errorText;
    }
    out += head + "\n";
    HumanFields(out, r.fields);
    return out;
}

}  // namespace cli
