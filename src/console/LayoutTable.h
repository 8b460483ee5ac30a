// The layout table: which control stands on which tab page, with its caption,
// its pixel rectangle in the dialog's client area and whether it may be used.
// Showing a page walks this table (console/PageLayout.cpp); the dialog template
// (console/DialogTemplate.cpp) takes the control kinds from it.
#pragma once

#include <array>
#include <cstdint>

// Kind of control a layout row places, as the dialog template creates it.
enum class LayoutKind : std::uint8_t {
    PushButton,
    CheckBox,
    Radio,
    GroupBox,
    StaticText,
    EditDigits,  // single-line, digits-only typing, right-aligned
    EditRight,   // single-line, any text, right-aligned
    EditMulti,   // multi-line with a vertical scroll bar
    Progress,
};

struct LayoutRow {  // page, id, caption, top, left, bottom, right, operable, kind
    std::int32_t page;
    std::int32_t id;
    char caption[32];
    std::int32_t top;
    std::int32_t left;
    std::int32_t bottom;  // exclusive
    std::int32_t right;   // exclusive
    std::int32_t operable;
    LayoutKind kind;
};

inline constexpr std::int32_t kLayoutEndPage = 9;
inline constexpr std::size_t kLayoutRows = 167;

namespace layout_detail {
using K = LayoutKind;
inline constexpr std::array<LayoutRow, kLayoutRows + 1> kRows{{
    {0, 1028, "Port ", 130, 260, 150, 340, 1, K::StaticText},
    {0, 1039, "Com1", 150, 260, 168, 340, 1, K::Radio},
    {0, 1040, "Com2", 170, 260, 188, 340, 1, K::Radio},
    {0, 1041, "Com3", 190, 260, 208, 340, 1, K::Radio},
    {0, 1042, "Com4", 210, 260, 228, 340, 1, K::Radio},
    {0, 1020, "OPEN", 180, 100, 198, 230, 1, K::PushButton},
    {0, 1177, "Com5", 230, 260, 248, 340, 1, K::Radio},
    {0, 1178, "Com6", 150, 345, 168, 425, 1, K::Radio},
    {0, 1179, "Com7", 170, 345, 188, 425, 1, K::Radio},
    {0, 1180, "Com8", 190, 345, 208, 425, 1, K::Radio},
    {0, 1181, "Com9", 210, 345, 228, 425, 1, K::Radio},
    {0, 1182, "Com10", 230, 345, 248, 425, 1, K::Radio},
    {1, 1021, "Box 1", 74, 40, 90, 100, 1, K::StaticText},
    {1, 1022, "Box 2", 104, 40, 120, 100, 1, K::StaticText},
    {1, 1023, "Box 3", 134, 40, 150, 100, 1, K::StaticText},
    {1, 1024, "Box 4", 164, 40, 180, 100, 1, K::StaticText},
    {1, 1153, "Total", 194, 40, 210, 100, 1, K::StaticText},
    {1, 1025, "Request", 50, 100, 70, 200, 1, K::StaticText},
    {1, 1026, "Dispensed", 50, 180, 70, 290, 1, K::StaticText},
    {1, 1027, "Rejected", 50, 270, 70, 360, 1, K::StaticText},
    {1, 1001, "DISPENSE", 50, 380, 70, 460, 1, K::PushButton},
    {1, 1002, "PURGE", 75, 380, 95, 460, 1, K::PushButton},
    {1, 1003, "TEST DISP", 100, 380, 120, 460, 1, K::PushButton},
    {1, 1004, "LAST STAT", 125, 380, 145, 460, 1, K::PushButton},
    {1, 1005, "ZIGZAG", 150, 380, 170, 460, 1, K::PushButton},
    {1, 1154, "Repeat", 175, 380, 195, 420, 1, K::StaticText},
    {1, 1155, "Wait", 175, 430, 195, 460, 1, K::StaticText},
    {1, 1127, "1", 195, 380, 215, 420, 1, K::EditDigits},
    {1, 1128, "1", 195, 430, 215, 460, 1, K::EditDigits},
    {1, 1035, "", 70, 100, 90, 150, 1, K::EditDigits},
    {1, 1036, "", 100, 100, 120, 150, 1, K::EditDigits},
    {1, 1037, "", 130, 100, 150, 150, 1, K::EditDigits},
    {1, 1038, "", 160, 100, 180, 150, 1, K::EditDigits},
    {1, 1057, "", 70, 180, 90, 215, 0, K::EditDigits},
    {1, 1058, "", 100, 180, 120, 215, 0, K::EditDigits},
    {1, 1059, "", 130, 180, 150, 215, 0, K::EditDigits},
    {1, 1060, "", 160, 180, 180, 215, 0, K::EditDigits},
    {1, 1061, "", 70, 270, 90, 305, 0, K::EditDigits},
    {1, 1062, "", 100, 270, 120, 305, 0, K::EditDigits},
    {1, 1063, "", 130, 270, 150, 305, 0, K::EditDigits},
    {1, 1064, "", 160, 270, 180, 305, 0, K::EditDigits},
    {1, 1139, "", 70, 220, 90, 255, 0, K::EditRight},
    {1, 1140, "", 100, 220, 120, 255, 0, K::EditRight},
    {1, 1141, "", 130, 220, 150, 255, 0, K::EditRight},
    {1, 1142, "", 160, 220, 180, 255, 0, K::EditRight},
    {1, 1143, "", 70, 310, 90, 345, 0, K::EditDigits},
    {1, 1144, "", 100, 310, 120, 345, 0, K::EditDigits},
    {1, 1145, "", 130, 310, 150, 345, 0, K::EditDigits},
    {1, 1146, "", 160, 310, 180, 345, 0, K::EditDigits},
    {1, 1129, "0", 190, 100, 210, 150, 0, K::EditDigits},
    {1, 1130, "0", 190, 220, 210, 255, 0, K::EditDigits},
    {1, 1131, "0", 190, 310, 210, 345, 0, K::EditDigits},
    {1, 1156, "Reject", 220, 30, 238, 70, 1, K::StaticText},
    {1, 1157, "RVDT", 240, 30, 258, 70, 1, K::StaticText},
    {1, 1158, "LEN", 260, 30, 278, 70, 1, K::StaticText},
    {1, 1159, "SKW", 280, 30, 298, 70, 1, K::StaticText},
    {1, 1160, "DST", 300, 30, 318, 70, 1, K::StaticText},
    {1, 1161, "FLEN", 320, 30, 338, 70, 1, K::StaticText},
    {1, 1162, "FDST", 340, 30, 358, 70, 1, K::StaticText},
    {1, 1132, "", 220, 70, 238, 100, 0, K::EditDigits},
    {1, 1133, "", 240, 70, 258, 100, 0, K::EditDigits},
    {1, 1134, "", 260, 70, 278, 100, 0, K::EditDigits},
    {1, 1135, "", 280, 70, 298, 100, 0, K::EditDigits},
    {1, 1136, "", 300, 70, 318, 100, 0, K::EditDigits},
    {1, 1137, "", 320, 70, 338, 100, 0, K::EditDigits},
    {1, 1138, "", 340, 70, 358, 100, 0, K::EditDigits},
    {1, 1033, "", 220, 110, 358, 460, 1, K::EditMulti},
    {2, 1006, "STATUS", 359, 120, 377, 200, 1, K::PushButton},
    {2, 1019, "LOG", 359, 290, 377, 370, 1, K::PushButton},
    {2, 1046, "DVTL", 100, 40, 118, 100, 0, K::CheckBox},
    {2, 1047, "DVTR", 120, 40, 138, 100, 0, K::CheckBox},
    {2, 1048, "EJT", 140, 40, 158, 100, 0, K::CheckBox},
    {2, 1049, "EXIT", 160, 40, 178, 100, 0, K::CheckBox},
    {2, 1050, "RJT", 180, 40, 198, 100, 0, K::CheckBox},
    {2, 1051, "SOL", 200, 40, 218, 100, 0, K::CheckBox},
    {2, 1175, "RVD_L", 60, 40, 78, 100, 0, K::CheckBox},
    {2, 1176, "RVD_R", 80, 40, 98, 100, 0, K::CheckBox},
    {2, 1052, "CHKL", 52, 120, 70, 170, 0, K::CheckBox},
    {2, 1053, "CHKR", 72, 120, 90, 170, 0, K::CheckBox},
    {2, 1054, "BOX", 52, 180, 70, 230, 0, K::CheckBox},
    {2, 1055, "NEND", 72, 180, 90, 230, 0, K::CheckBox},
    {2, 1166, "CB1", 92, 120, 110, 170, 0, K::CheckBox},
    {2, 1029, "OPACITY", 52, 250, 70, 310, 0, K::StaticText},
    {2, 1030, "LENGTH", 72, 250, 90, 310, 0, K::StaticText},
    {2, 1078, "", 52, 320, 70, 370, 0, K::EditDigits},
    {2, 1079, "", 72, 320, 90, 370, 0, K::EditDigits},
    {2, 1031, "BOX1", 40, 110, 115, 380, 0, K::GroupBox},
    {2, 1056, "CHKL", 132, 120, 150, 170, 0, K::CheckBox},
    {2, 1066, "CHKR", 152, 120, 170, 170, 0, K::CheckBox},
    {2, 1067, "BOX", 132, 180, 150, 230, 0, K::CheckBox},
    {2, 1068, "NEND", 152, 180, 170, 230, 0, K::CheckBox},
    {2, 1167, "CB2", 172, 120, 190, 170, 0, K::CheckBox},
    {2, 1092, "OPACITY", 132, 250, 150, 310, 0, K::StaticText},
    {2, 1093, "LENGTH", 152, 250, 170, 310, 0, K::StaticText},
    {2, 1080, "", 132, 320, 150, 370, 0, K::EditDigits},
    {2, 1081, "", 152, 320, 170, 370, 0, K::EditDigits},
    {2, 1032, "BOX2", 120, 110, 195, 380, 0, K::GroupBox},
    {2, 1069, "CHKL", 212, 120, 230, 170, 0, K::CheckBox},
    {2, 1070, "CHKR", 232, 120, 250, 170, 0, K::CheckBox},
    {2, 1071, "BOX", 212, 180, 230, 230, 0, K::CheckBox},
    {2, 1072, "NEND", 232, 180, 250, 230, 0, K::CheckBox},
    {2, 1168, "CB3", 252, 120, 270, 170, 0, K::CheckBox},
    {2, 1094, "OPACITY", 212, 250, 230, 310, 0, K::StaticText},
    {2, 1095, "LENGTH", 232, 250, 250, 310, 0, K::StaticText},
    {2, 1082, "", 212, 320, 230, 370, 0, K::EditDigits},
    {2, 1083, "", 232, 320, 250, 370, 0, K::EditDigits},
    {2, 1065, "BOX3", 200, 110, 275, 380, 0, K::GroupBox},
    {2, 1073, "CHKL", 292, 120, 310, 170, 0, K::CheckBox},
    {2, 1074, "CHKR", 312, 120, 330, 170, 0, K::CheckBox},
    {2, 1075, "BOX", 292, 180, 310, 230, 0, K::CheckBox},
    {2, 1077, "NEND", 312, 180, 330, 230, 0, K::CheckBox},
    {2, 1169, "CB4", 332, 120, 350, 170, 0, K::CheckBox},
    {2, 1096, "OPACITY", 292, 250, 310, 310, 0, K::StaticText},
    {2, 1097, "LENGTH", 312, 250, 330, 310, 0, K::StaticText},
    {2, 1084, "", 292, 320, 310, 370, 0, K::EditDigits},
    {2, 1085, "", 312, 320, 330, 370, 0, K::EditDigits},
    {2, 1076, "BOX4", 280, 110, 355, 380, 0, K::GroupBox},
    {3, 1007, "GET OPACITY", 60, 40, 78, 140, 1, K::PushButton},
    {3, 1008, "SET OPACITY", 80, 40, 98, 140, 1, K::PushButton},
    {3, 1086, "", 70, 150, 88, 200, 1, K::EditRight},
    {3, 1087, "", 70, 210, 88, 260, 1, K::EditRight},
    {3, 1088, "", 70, 270, 88, 320, 1, K::EditRight},
    {3, 1089, "", 70, 330, 88, 380, 1, K::EditRight},
    {3, 1017, "GET LENGTH", 130, 40, 148, 140, 1, K::PushButton},
    {3, 1018, "SET LENGTH", 150, 40, 168, 140, 1, K::PushButton},
    {3, 1139, "", 140, 150, 158, 200, 1, K::EditRight},
    {3, 1140, "", 140, 210, 158, 260, 1, K::EditRight},
    {3, 1141, "", 140, 270, 158, 320, 1, K::EditRight},
    {3, 1142, "", 140, 330, 158, 380, 1, K::EditRight},
    {3, 1009, "GET ORDER", 200, 40, 218, 140, 1, K::PushButton},
    {3, 1010, "SET ORDER", 220, 40, 238, 140, 1, K::PushButton},
    {3, 1090, "1", 210, 150, 228, 200, 1, K::EditDigits},
    {3, 1091, "2", 210, 210, 228, 260, 1, K::EditDigits},
    {3, 1112, "3", 210, 270, 228, 320, 1, K::EditDigits},
    {3, 1113, "4", 210, 330, 228, 380, 1, K::EditDigits},
    {3, 1011, "SEN DIAG", 280, 40, 298, 140, 1, K::PushButton},
    {3, 1043, "Box1", 280, 150, 298, 200, 1, K::Radio},
    {3, 1044, "Box2", 280, 210, 298, 260, 1, K::Radio},
    {3, 1045, "Box3", 280, 270, 298, 320, 1, K::Radio},
    {3, 1114, "Box4", 280, 330, 298, 380, 1, K::Radio},
    {3, 1149, "OPAC.", 300, 150, 318, 200, 0, K::StaticText},
    {3, 1150, "LENG.", 300, 210, 318, 260, 0, K::StaticText},
    {3, 1151, "DIV.", 300, 270, 318, 320, 0, K::StaticText},
    {3, 1152, "REJ.", 300, 330, 318, 380, 0, K::StaticText},
    {3, 1119, "", 320, 150, 338, 200, 0, K::EditDigits},
    {3, 1120, "", 320, 210, 338, 260, 0, K::EditDigits},
    {3, 1121, "", 320, 270, 338, 320, 0, K::EditDigits},
    {3, 1122, "", 320, 330, 338, 380, 0, K::EditDigits},
    {4, 1012, "DIVERT", 100, 40, 118, 140, 1, K::PushButton},
    {4, 1013, "CLUTCH", 120, 40, 138, 140, 1, K::PushButton},
    {4, 1115, "Box1", 120, 150, 138, 200, 1, K::Radio},
    {4, 1116, "Box2", 120, 210, 138, 260, 1, K::Radio},
    {4, 1117, "Box3", 120, 270, 138, 320, 1, K::Radio},
    {4, 1118, "Box4", 120, 330, 138, 380, 1, K::Radio},
    {4, 1014, "BLDC", 140, 40, 158, 140, 1, K::PushButton},
    {4, 1123, "", 140, 150, 158, 200, 0, K::EditDigits},
    {4, 1015, "RVDT", 160, 40, 178, 140, 1, K::PushButton},
    {4, 1124, "", 160, 150, 178, 200, 0, K::EditDigits},
    {4, 1125, "", 160, 210, 178, 260, 0, K::EditDigits},
    {4, 1016, "RomVer", 180, 40, 198, 140, 1, K::PushButton},
    {4, 1126, "0", 180, 150, 198, 260, 0, K::EditDigits},
    {5, 1170, "Go Loader", 75, 100, 95, 230, 1, K::PushButton},
    {5, 1171, "Write Prog", 100, 100, 120, 230, 1, K::PushButton},
    {5, 1174, "DownProgress", 100, 250, 120, 395, 1, K::Progress},
    {5, 1172, "Verify", 125, 100, 145, 230, 1, K::PushButton},
    {5, 1173, "Reset", 150, 100, 170, 230, 1, K::PushButton},
    // STOP: ends a running batch after the exchange under way (enabled only then).
    {1, 1164, "STOP", 364, 380, 384, 460, 1, K::PushButton},
    {9, 1034, "Recv", 260, 450, 410, 550, 1, K::EditRight},  // end row: never applied
}};
}  // namespace layout_detail

inline constexpr const std::array<LayoutRow, kLayoutRows + 1>& g_Layout = layout_detail::kRows;

static_assert(g_Layout[kLayoutRows].page == kLayoutEndPage);
static_assert([] {
    for (std::size_t i = 0; i < kLayoutRows; ++i) {
        const LayoutRow& r = g_Layout[i];
        if (r.page < 0 || r.page > 5 || r.id < 1001 || r.id > 1182) return false;
        if (r.right <= r.left || r.bottom <= r.top) return false;
        if (r.caption[sizeof r.caption - 1] != '\0') return false;
    }
    return true;
}());
