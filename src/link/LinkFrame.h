// Control bytes, encodings and the BCC rule of the link between the console
// and the module.
//
// Host frame:     EOT '0' STX code params... ETX BCC
// Response frame: SOH x x code error-byte fields... ETX BCC
// BCC: exclusive-or of every byte from the first (EOT or SOH) through the ETX,
// so a correct frame XORs to 0 including its BCC.  A response with '~' as its
// code is accepted without a BCC check.
//
// A response's data end at its first ETX, so a frame holds a code only when
// position 3 stands before the ETX (six bytes or more), and an error byte only
// when position 4 does (seven or more).  A shorter frame carries neither: its
// position 3 is the ETX or the BCC, never a code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace proto {

inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ETX = 0x03;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t HOST_ID = 0x30;   // '0', position 1 of every host frame
inline constexpr std::uint8_t LOG_CODE = 0x7E;  // '~'

// Receiver states.
inline constexpr int kRxIdle = 0;
inline constexpr int kRxAwaitAck = 1;
inline constexpr int kRxInFrame = 2;
inline constexpr int kRxAwaitBcc = 3;

inline constexpr int kMaxAckRetries = 3;

// Smallest response frames that hold a code, and a code and an error byte.
inline constexpr std::size_t kMinFrameWithCode = 6;       // SOH x x code ETX BCC
inline constexpr std::size_t kMinFrameWithErrorByte = 7;  // SOH x x code err ETX BCC
inline constexpr int kNoCode = -1;

// The code of a complete response frame of n bytes, or kNoCode when the
// frame is too short to hold one.
inline constexpr int ResponseCode(const std::uint8_t* f, std::size_t n) {
    return n >= kMinFrameWithCode ? f[3] : kNoCode;
}
inline constexpr bool HasErrorByte(std::size_t n) { return n >= kMinFrameWithErrorByte; }

inline constexpr std::uint8_t Xor(const std::uint8_t* p, std::size_t n) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i) x ^= p[i];
    return x;
}

// A host frame's head, before its code: EOT '0' STX.
inline constexpr std::uint8_t kHostHead[3] = {EOT, HOST_ID, STX};
// Closes the host frame of n bytes at f (head, code, parameters): the ETX,
// then the BCC.  f has room for both.  Returns the frame's length.
inline constexpr std::size_t CloseHostFrame(std::uint8_t* f, std::size_t n) {
    f[n++] = ETX;
    f[n] = Xor(f, n);
    return n + 1;
}

// Count byte: value + 0x20 in one byte.
inline constexpr std::uint8_t CountByte(int value) {
    return static_cast<std::uint8_t>((value + 0x20) & 0xFF);
}
// Nibble byte: low four bits | 0x30 ('0'..'9', ':'..'?').
inline constexpr std::uint8_t NibbleByte(unsigned value) {
    return static_cast<std::uint8_t>((value & 0x0F) | 0x30);
}

static_assert(CountByte(100) == 0x84);
static_assert(NibbleByte(15) == '?');

}  // namespace proto
