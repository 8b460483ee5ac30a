// hex-info: reads and checks an Intel HEX file with no port and prints the
// identity of the image it makes, as download prints it before Go Loader.
#pragma once

#include "cli/CliArgs.h"
#include "cli/Report.h"
#include "console/ConsoleEvents.h"

#include <cstdio>

namespace cli {

// The identity of a loaded image as a record of type "image": one human line
// (as the window writes it to the receive text) or its JSON members.
Record ImageRecord(const std::string& command, const ev::ImageIdentity& id);

// Exit status 0, EX_DATAERR (65) for a refused file, EX_NOINPUT (66) for one
// that cannot be read.
int RunHexInfo(const Options& o, std::FILE* out, std::FILE* err);

}  // namespace cli
