// Numeric ids of the console dialog's controls and timers.
#pragma once

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
// The Com1..Com10 radios of the COMM page, by port number - 1.
inline constexpr int kCom[10] = {1039, 1040, 1041, 1042, 1177, 1178, 1179, 1180, 1181, 1182};
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
