#include "cli/Report.h"

#include "cli/Json.h"
#include "console/ConsoleDlg.h"

#include <array>
#include <span>
#include <string_view>

namespace cli {

namespace {

// Where a field's values come from: the bound member of a control, or one of
// the counters the window shows only on a page switch.
enum class Source : std::uint8_t { Control, Request, Dispensed, Rejected };

struct FieldDef {  // JSON key, caption, kind, source, control ids, count, per box, group
    std::string_view key;
    std::string_view label;
    FieldKind kind;
    Source src;
    std::array<int, 4> ids;
    int count;
    bool perBox;
    std::string_view group;
};

using K = FieldKind;
using S = Source;

constexpr std::array<FieldDef, 15> kStatusFields{{
    {"dvtl", "DVTL", K::Flag, S::Control, {1046}, 1, false, ""},
    {"dvtr", "DVTR", K::Flag, S::Control, {1047}, 1, false, ""},
    {"ejt", "EJT", K::Flag, S::Control, {1048}, 1, false, ""},
    {"exit", "EXIT", K::Flag, S::Control, {1049}, 1, false, ""},
    {"rjt", "RJT", K::Flag, S::Control, {1050}, 1, false, ""},
    {"sol", "SOL", K::Flag, S::Control, {1051}, 1, false, ""},
    {"rvd_l", "RVD_L", K::Flag, S::Control, {1175}, 1, false, ""},
    {"rvd_r", "RVD_R", K::Flag, S::Control, {1176}, 1, false, ""},
    {"chkl", "CHKL", K::Flag, S::Control, {1052, 1056, 1069, 1073}, 4, true, ""},
    {"chkr", "CHKR", K::Flag, S::Control, {1053, 1066, 1070, 1074}, 4, true, ""},
    {"box", "BOX", K::Flag, S::Control, {1054, 1067, 1071, 1075}, 4, true, ""},
    {"nend", "NEND", K::Flag, S::Control, {1055, 1068, 1072, 1077}, 4, true, ""},
    {"cb", "CB", K::Flag, S::Control, {1166, 1167, 1168, 1169}, 4, true, ""},
    {"opacity", "OPACITY", K::Hex, S::Control, {1078, 1080, 1082, 1084}, 4, true, ""},
    {"length", "LENGTH", K::Hex, S::Control, {1079, 1081, 1083, 1085}, 4, true, ""},
}};

constexpr std::array<FieldDef, 15> kDispenseFields{{
    {"requested", "Request", K::Dec, S::Request, {0, 1, 2, 3}, 4, true, ""},
    {"dispensed", "Dispensed", K::Dec, S::Control, {1057, 1058, 1059, 1060}, 4, true, ""},
    {"rejected", "Rejected", K::Dec, S::Control, {1061, 1062, 1063, 1064}, 4, true, ""},
    {"dispensed_sum", "Dispensed sum", K::Dec, S::Control, {1139, 1140, 1141, 1142}, 4, true, ""},
    {"rejected_sum", "Rejected sum", K::Dec, S::Control, {1143, 1144, 1145, 1146}, 4, true, ""},
    {"reject", "Reject", K::Dec, S::Control, {1132}, 1, false, "reasons"},
    {"rvdt", "RVDT", K::Dec, S::Control, {1133}, 1, false, "reasons"},
    {"len", "LEN", K::Dec, S::Control, {1134}, 1, false, "reasons"},
    {"skw", "SKW", K::Dec, S::Control, {1135}, 1, false, "reasons"},
    {"dst", "DST", K::Dec, S::Control, {1136}, 1, false, "reasons"},
    {"flen", "FLEN", K::Dec, S::Control, {1137}, 1, false, "reasons"},
    {"fdst", "FDST", K::Dec, S::Control, {1138}, 1, false, "reasons"},
    {"requested", "Request", K::Dec, S::Control, {1129}, 1, false, "total"},
    {"dispensed", "Dispensed", K::Dec, S::Control, {1130}, 1, false, "total"},
    {"rejected", "Rejected", K::Dec, S::Control, {1131}, 1, false, "total"},
}};

constexpr std::array<FieldDef, 5> kPurgeFields{{
    {"dispensed", "Dispensed", K::Dec, S::Dispensed, {0, 1, 2, 3}, 4, true, ""},
    {"rejected", "Rejected", K::Dec, S::Rejected, {0, 1, 2, 3}, 4, true, ""},
    {"requested", "Request", K::Dec, S::Control, {1129}, 1, false, "total"},
    {"dispensed", "Dispensed", K::Dec, S::Control, {1130}, 1, false, "total"},
    {"rejected", "Rejected", K::Dec, S::Control, {1131}, 1, false, "total"},
}};

constexpr std::array<FieldDef, 2> kLastStatFields{{
    {"dispensed", "Dispensed", K::Dec, S::Control, {1057, 1058, 1059, 1060}, 4, true, ""},
    {"rejected", "Rejected", K::Dec, S::Control, {1061, 1062, 1063, 1064}, 4, true, ""},
}};

constexpr std::array<FieldDef, 1> kOpacityFields{{
    {"opacity", "OPACITY", K::Hex, S::Control, {1086, 1087, 1088, 1089}, 4, true, ""},
}};
constexpr std::array<FieldDef, 1> kLengthFields{{
    {"length", "LENGTH", K::Hex, S::Control, {1139, 1140, 1141, 1142}, 4, true, ""},
}};
constexpr std::array<FieldDef, 1> kOrderFields{{
    {"order", "ORDER", K::Hex, S::Control, {1090, 1091, 1112, 1113}, 4, false, ""},
}};
constexpr std::array<FieldDef, 4> kSenDiagFields{{
    {"opac", "OPAC.", K::Hex, S::Control, {1119}, 1, false, ""},
    {"leng", "LENG.", K::Hex, S::Control, {1120}, 1, false, ""},
    {"div", "DIV.", K::Hex, S::Control, {1121}, 1, false, ""},
    {"rej", "REJ.", K::Hex, S::Control, {1122}, 1, false, ""},
}};
constexpr std::array<FieldDef, 1> kBldcFields{{
    {"bldc", "BLDC", K::Dec, S::Control, {1123}, 1, false, ""},
}};
constexpr std::array<FieldDef, 1> kRvdtFields{{
    {"rvdt", "RVDT", K::Dec, S::Control, {1124, 1125}, 2, false, ""},
}};
constexpr std::array<FieldDef, 1> kRomVerFields{{
    {"version", "RomVer", K::Text, S::Control, {1126}, 1, false, ""},
}};

std::span<const FieldDef> DefsFor(int code, int sub) {
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
    if (f.list) {
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
                line += g.label + " " + (g.values.empty() ? "-" : Shown(g.values[0])) + "  ";
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
            for (const auto& v : f.values) row += RightAligned(Shown(v), kCellWidth);
            out += row + "\n";
        } else if (f.list) {
            flushScalars();
            std::string row = "  " + Padded(f.label, kLabelWidth);
            for (const auto& v : f.values) row += " " + Shown(v);
            out += row + "\n";
        } else {
            if (!scalars.empty()) scalars += "  ";
            scalars += f.label + " " + (f.values.empty() ? "-" : Shown(f.values[0]));
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

std::vector<Field> DecodedFields(CConsoleDlg& dlg, int code, int sub) {
    std::vector<Field> out;
    for (const FieldDef& d : DefsFor(code, sub)) {
        Field f;
        f.key = d.key;
        f.label = d.label;
        f.kind = d.kind;
        f.list = d.count > 1;
        f.perBox = d.perBox;
        f.group = d.group;
        for (int i = 0; i < d.count; ++i) {
            const int id = d.ids[static_cast<std::size_t>(i)];
            switch (d.src) {
            case S::Control:
                f.values.push_back(d.kind == K::Flag ? (dlg.Check(id) ? "1" : "0") : dlg.Text(id));
                break;
            case S::Request: f.values.push_back(std::to_string(dlg.m_nRequest[id])); break;
            case S::Dispensed: f.values.push_back(std::to_string(dlg.m_nDispensed[id])); break;
            case S::Rejected: f.values.push_back(std::to_string(dlg.m_nRejected[id])); break;
            }
        }
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
    if (r.type == "answer") {
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
    if (r.type == "answer" || !r.fields.empty()) {
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
        if (!f.jsonOnly) head += "  " + f.label + " " + (f.values.empty() ? "-" : Shown(f.values[0]));
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
