// Numeric ids of the console dialog's controls and timers.
#pragma once

#include <array>

namespace ids {
inline constexpr int IDOK = 1;            // always hidden
inline constexpr int IDCANCEL = 2;        // "EXIT"
inline constexpr int kTab = 1000;
inline constexpr int kFirst = 1000;
inline constexpr int kLast = 1182;
inline constexpr int kCount = kLast - kFirst + 1;

inline constexpr int kRecv = 1033;        // multi-line receive text
inline constexpr int kStatus = 1034;      // one-line status text
inline constexpr int kRequest1 = 1035;    // Request edits 1035..1038
inline constexpr int kOpen = 1020;
inline constexpr int kLog = 1019;
inline constexpr int kRepeat = 1127;
inline constexpr int kWait = 1128;
inline constexpr int kProgress = 1174;
inline constexpr int kGoLoader = 1170;
inline constexpr int kWriteProg = 1171;
inline constexpr int kVerify = 1172;
inline constexpr int kReset = 1173;
inline constexpr int kStop = 1164;        // DISPENSE page: STOP ends a running batch
// Not a control: the press of a frame built by hand in the frame tool.
inline constexpr int kHandFrame = 1900;
// The Com1..Com10 radios of the COMM page, by port number - 1.
inline constexpr int kCom[10] = {1039, 1040, 1041, 1042, 1177, 1178, 1179, 1180, 1181, 1182};

// ---- named groups: one control per box (box 1 first) or per value ----------
using Box4 = std::array<int, 4>;

// The command buttons 1001..1018 send the command types 1..18.
inline constexpr int kFirstCommandButton = 1001;
inline constexpr int kLastCommandButton = 1018;

// DISPENSE page.
inline constexpr Box4 kRequest{1035, 1036, 1037, 1038};
inline constexpr Box4 kDispensed{1057, 1058, 1059, 1060};  // the last answer's counts
inline constexpr Box4 kRejected{1061, 1062, 1063, 1064};
inline constexpr Box4 kDispSum{1139, 1140, 1141, 1142};    // also the SETTING page's LENGTH edits
inline constexpr Box4 kRejSum{1143, 1144, 1145, 1146};
// Reject reasons, summed over a batch: Reject, RVDT, LEN, SKW, DST, FLEN, FDST.
inline constexpr std::array<int, 7> kReasonSum{1132, 1133, 1134, 1135, 1136, 1137, 1138};
// The Total row: requested, dispensed, rejected.
inline constexpr std::array<int, 3> kTotals{1129, 1130, 1131};
inline constexpr int kTotalRequested = kTotals[0];
inline constexpr int kTotalDispensed = kTotals[1];
inline constexpr int kTotalRejected = kTotals[2];

// STATUS page: the module's flags (DVTL, DVTR, EJT, EXIT, RJT, SOL), the two
// RVD flags (RVD_L, RVD_R), and per box its flags, OPACITY and LENGTH.
inline constexpr std::array<int, 6> kModuleFlags{1046, 1047, 1048, 1049, 1050, 1051};
inline constexpr std::array<int, 2> kRvdFlags{1175, 1176};
inline constexpr Box4 kChkL{1052, 1056, 1069, 1073};
inline constexpr Box4 kChkR{1053, 1066, 1070, 1074};
inline constexpr Box4 kBoxIn{1054, 1067, 1071, 1075};
inline constexpr Box4 kNearEnd{1055, 1068, 1072, 1077};
inline constexpr Box4 kCb{1166, 1167, 1168, 1169};
inline constexpr Box4 kStatusOpacity{1078, 1080, 1082, 1084};
inline constexpr Box4 kStatusLength{1079, 1081, 1083, 1085};

// SETTING page: the SET/GET fields, the SEN DIAG box radios and its values
// (OPAC., LENG., DIV., REJ.).
inline constexpr Box4 kOpacity{1086, 1087, 1088, 1089};
inline constexpr Box4 kLength = kDispSum;
inline constexpr Box4 kOrder{1090, 1091, 1112, 1113};
inline constexpr Box4 kSenDiagBox{1043, 1044, 1045, 1114};
inline constexpr Box4 kSenDiag{1119, 1120, 1121, 1122};

// TEST page: the box radios of CLUTCH and RVDT, and what the tests show.
inline constexpr Box4 kTestBox{1115, 1116, 1117, 1118};
inline constexpr int kBldc = 1123;
inline constexpr std::array<int, 2> kRvdt{1124, 1125};
inline constexpr int kRomVer = 1126;
}  // namespace ids

// Timer ids.
inline constexpr int kTimerAck = 1;        // 1000 ms ACK wait
inline constexpr int kTimerResponse = 2;   // 120000 / 130000 ms response wait
inline constexpr int kTimerProgress = 4;   // 300 ms progress bar
inline constexpr int kTimerRepeat = 10;    // Wait seconds between batch sends
inline constexpr int kTimerReconnect = 11; // looks for a lost port's return
inline constexpr int kTimerQuiet = 12;     // a download waits for the line to be quiet

inline constexpr unsigned kAckMs = 1000;
inline constexpr unsigned kResponseFirstMs = 120000;
inline constexpr unsigned kResponseRepeatMs = 130000;
inline constexpr unsigned kProgressMs = 300;
inline constexpr unsigned kReconnectMs = 500;
inline constexpr unsigned kReconnectHeldMs = 2000;  // back, but another program has it
