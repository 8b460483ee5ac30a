// Service log file: its name from the local time and the writing of one
// '~' frame in the text form the service tools read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace servicelog {

// "YYMMDD_HHMMSS" for the local time t.
std::string BaseName(const std::tm& t);

// The bytes that one '~' frame of nLen bytes adds to the file: the payload
// (bytes 4 .. nLen-3) in groups of 8, "\r\n" after every 9th group (a short
// last group is written as it is), then "\r\n---END\r\n".  A frame shorter
// than 6 bytes has no payload.
std::string FormatFrame(const std::uint8_t* pFrame, std::size_t nLen);

}  // namespace servicelog
