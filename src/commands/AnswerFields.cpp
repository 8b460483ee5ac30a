#include "commands/AnswerFields.h"

namespace {

using K = FieldKind;
using S = FieldSource;

// The dispense-type answers ('R', 'S', 'p') share the rows of 'R'.
constexpr std::array<AnswerField, 15> kStatusFields{{
    {'P', 0, "dvtl", "DVTL", K::Flag, S::Control, {1046}, 1, false, ""},
    {'P', 0, "dvtr", "DVTR", K::Flag, S::Control, {1047}, 1, false, ""},
    {'P', 0, "ejt", "EJT", K::Flag, S::Control, {1048}, 1, false, ""},
    {'P', 0, "exit", "EXIT", K::Flag, S::Control, {1049}, 1, false, ""},
    {'P', 0, "rjt", "RJT", K::Flag, S::Control, {1050}, 1, false, ""},
    {'P', 0, "sol", "SOL", K::Flag, S::Control, {1051}, 1, false, ""},
    {'P', 0, "rvd_l", "RVD_L", K::Flag, S::Control, {1175}, 1, false, ""},
    {'P', 0, "rvd_r", "RVD_R", K::Flag, S::Control, {1176}, 1, false, ""},
    {'P', 0, "chkl", "CHKL", K::Flag, S::Control, {1052, 1056, 1069, 1073}, 4, true, ""},
    {'P', 0, "chkr", "CHKR", K::Flag, S::Control, {1053, 1066, 1070, 1074}, 4, true, ""},
    {'P', 0, "box", "BOX", K::Flag, S::Control, {1054, 1067, 1071, 1075}, 4, true, ""},
    {'P', 0, "nend", "NEND", K::Flag, S::Control, {1055, 1068, 1072, 1077}, 4, true, ""},
    {'P', 0, "cb", "CB", K::Flag, S::Control, {1166, 1167, 1168, 1169}, 4, true, ""},
    {'P', 0, "opacity", "OPACITY", K::Hex, S::Control, {1078, 1080, 1082, 1084}, 4, true, ""},
    {'P', 0, "length", "LENGTH", K::Hex, S::Control, {1079, 1081, 1083, 1085}, 4, true, ""},
}};

constexpr std::array<AnswerField, 15> kDispenseFields{{
    {'R', 0, "requested", "Request", K::Dec, S::Request, {0, 1, 2, 3}, 4, true, ""},
    {'R', 0, "dispensed", "Dispensed", K::Dec, S::Control, {1057, 1058, 1059, 1060}, 4, true, ""},
    {'R', 0, "rejected", "Rejected", K::Dec, S::Control, {1061, 1062, 1063, 1064}, 4, true, ""},
    {'R', 0, "dispensed_sum", "Dispensed sum", K::Dec, S::Control, {1139, 1140, 1141, 1142}, 4, true, ""},
    {'R', 0, "rejected_sum", "Rejected sum", K::Dec, S::Control, {1143, 1144, 1145, 1146}, 4, true, ""},
    {'R', 0, "reject", "Reject", K::Dec, S::Control, {1132}, 1, false, "reasons"},
    {'R', 0, "rvdt", "RVDT", K::Dec, S::Control, {1133}, 1, false, "reasons"},
    {'R', 0, "len", "LEN", K::Dec, S::Control, {1134}, 1, false, "reasons"},
    {'R', 0, "skw", "SKW", K::Dec, S::Control, {1135}, 1, false, "reasons"},
    {'R', 0, "dst", "DST", K::Dec, S::Control, {1136}, 1, false, "reasons"},
    {'R', 0, "flen", "FLEN", K::Dec, S::Control, {1137}, 1, false, "reasons"},
    {'R', 0, "fdst", "FDST", K::Dec, S::Control, {1138}, 1, false, "reasons"},
    {'R', 0, "requested", "Request", K::Dec, S::Control, {1129}, 1, false, "total"},
    {'R', 0, "dispensed", "Dispensed", K::Dec, S::Control, {1130}, 1, false, "total"},
    {'R', 0, "rejected", "Rejected", K::Dec, S::Control, {1131}, 1, false, "total"},
}};

constexpr std::array<AnswerField, 5> kPurgeFields{{
    {'Q', 0, "dispensed", "Dispensed", K::Dec, S::Dispensed, {0, 1, 2, 3}, 4, true, ""},
    {'Q', 0, "rejected", "Rejected", K::Dec, S::Rejected, {0, 1, 2, 3}, 4, true, ""},
    {'Q', 0, "requested", "Request", K::Dec, S::Control, {1129}, 1, false, "total"},
    {'Q', 0, "dispensed", "Dispensed", K::Dec, S::Control, {1130}, 1, false, "total"},
    {'Q', 0, "rejected", "Rejected", K::Dec, S::Control, {1131}, 1, false, "total"},
}};

constexpr std::array<AnswerField, 2> kLastStatFields{{
    {'U', 0, "dispensed", "Dispensed", K::Dec, S::Control, {1057, 1058, 1059, 1060}, 4, true, ""},
    {'U', 0, "rejected", "Rejected", K::Dec, S::Control, {1061, 1062, 1063, 1064}, 4, true, ""},
}};

constexpr std::array<AnswerField, 1> kOpacityFields{{
    {'[', 0, "opacity", "OPACITY", K::Hex, S::Control, {1086, 1087, 1088, 1089}, 4, true, ""},
}};
constexpr std::array<AnswerField, 1> kLengthFields{{
    {'_', 0, "length", "LENGTH", K::Hex, S::Control, {1139, 1140, 1141, 1142}, 4, true, ""},
}};
constexpr std::array<AnswerField, 1> kOrderFields{{
    {']', 0, "order", "ORDER", K::Hex, S::Control, {1090, 1091, 1112, 1113}, 4, false, ""},
}};
constexpr std::array<AnswerField, 4> kSenDiagFields{{
    {'X', 0, "opac", "OPAC.", K::Hex, S::Control, {1119}, 1, false, ""},
    {'X', 0, "leng", "LENG.", K::Hex, S::Control, {1120}, 1, false, ""},
    {'X', 0, "div", "DIV.", K::Hex, S::Control, {1121}, 1, false, ""},
    {'X', 0, "rej", "REJ.", K::Hex, S::Control, {1122}, 1, false, ""},
}};
constexpr std::array<AnswerField, 1> kBldcFields{{
    {'q', '"', "bldc", "BLDC", K::Dec, S::Control, {1123}, 1, false, ""},
}};
constexpr std::array<AnswerField, 1> kRvdtFields{{
    {'q', '#', "rvdt", "RVDT", K::Dec, S::Control, {1124, 1125}, 2, false, ""},
}};
constexpr std::array<AnswerField, 1> kRomVerFields{{
    {'q', '0', "version", "RomVer", K::Text, S::Control, {1126}, 1, false, ""},
}};

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
