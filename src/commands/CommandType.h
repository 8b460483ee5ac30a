// The 23 command types of the catalogue.  SendCommand takes them as an int;
// the enum names each one once, so no file writes 19, 20 or 23 by hand.
#pragma once

namespace cmd {

enum Type : int {
    kNone = 0,  // no command (no frame built yet, or a click that sends nothing)
    kDispense = 1,
    kPurge = 2,
    kTestDisp = 3,
    kLastStat = 4,
    kZigzag = 5,
    kStatus = 6,
    kGetOpacity = 7,
    kSetOpacity = 8,
    kGetOrder = 9,
    kSetOrder = 10,
    kSenDiag = 11,
    kDivert = 12,
    kClutch = 13,
    kBldc = 14,
    kRvdt = 15,
    kRomVer = 16,
    kGetLength = 17,
    kSetLength = 18,
    kLog = 19,
    kGoLoader = 20,
    kWriteBlock = 21,
    kVerify = 22,
    kReset = 23,
};

inline constexpr int kFirstType = kDispense;
inline constexpr int kLastType = kReset;
// Types 1..18 are the command buttons 1001..1018.
inline constexpr int kLastButtonType = kSetLength;

constexpr bool IsValid(int nType) { return nType >= kFirstType && nType <= kLastType; }
// The three commands that ask the module for notes.
constexpr bool IsDispenseType(int nType) {
    return nType == kDispense || nType == kTestDisp || nType == kZigzag;
}

}  // namespace cmd
