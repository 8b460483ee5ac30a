// hex-info: reads and checks an Intel HEX file with no port and prints the
// identity of the image it makes, as download prints it before Go Loader.
#pragma once

#include "cli/CliArgs.h"

#include <cstdio>

namespace cli {

// Exit status 0, EX_DATAERR (65) for a refused file, EX_NOINPUT (66) for one
// that cannot be read.
int RunHexInfo(const Options& o, std::FILE* out, std::FILE* err);

}  // namespace cli
