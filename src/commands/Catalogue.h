// Names from the command catalogue, for what the console shows of the line,
// and the catalogue's rules for a host frame built by hand (the frame tool).
#pragma once

#include "console/ConsoleEvents.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The name of command type nType (its button caption; "block write" for 21),
// or "" outside 1..23.
std::string_view CommandName(int nType);

// The command type whose answer carries response code `code`: the 'q'
// answers by their sub-code (sub < 0: not known, gives 0).  0 when no
// command has that code.
int AnsweredType(int code, int sub);

// ---- frames by hand ------------------------------------------------------------
// A host frame's body is its code and parameters: what stands between STX and
// ETX.  The link adds the head (EOT '0' STX), the ETX and the BCC.

// What the values of a command are, as its page takes them.
enum class HandValues : std::uint8_t {
    None,         // no values
    Counts,       // four notes per box, 0..100 (DISPENSE, TEST DISP, ZIGZAG)
    HexBytes,     // four bytes in hex, 00..FF (SET OPACITY, SET LENGTH)
    Order,        // four box digits 1..4, each once (SET ORDER)
    Box,          // one box 1..4 (SEN DIAG, CLUTCH)
    OptionalBox,  // one box 1..4, or none (RVDT)
    Sum,          // the image sum in hex, 0000..FFFF (Verify)
    NotByHand,    // LOG and the block write: they belong to their page's run
};
HandValues HandValuesOf(int nType);

// The body of command nType from the values as typed (as many as its kind
// takes; an empty text is none for OptionalBox).  False, with the reason in
// words in *why, for a value outside the page's range or a command that is
// not sent by hand.
bool BuildHandBody(int nType, std::span<const std::string> values, std::vector<std::uint8_t>& body,
                   std::string* why);

// The command type a body is for (the 'q' commands by their sub-command),
// 0 when its code is none of the catalogue's.
int TypeOfBody(std::span<const std::uint8_t> body);
// The body as the catalogue describes a frame of its command (for the
// listeners: the trace, the batch record), from the bytes it holds.
ev::FrameNote NoteOfBody(std::span<const std::uint8_t> body);
// Why a body cannot go out as a frame ("" when it can): empty, too long for
// the frame buffer, a control byte (below 0x20: it would end or restart the
// frame at the module), or the code of a command that is not sent by hand.
std::string HandBodyProblem(std::span<const std::uint8_t> body);
// The longest body: as long as the longest the catalogue builds (a block write).
inline constexpr std::size_t kMaxHandBody = 261;
