// Names from the command catalogue, for what the console shows of the line.
#pragma once

#include <string_view>

// The name of command type nType (its button caption; "block write" for 21),
// or "" outside 1..23.
std::string_view CommandName(int nType);

// The command type whose answer carries response code `code`: the 'q'
// answers by their sub-code (sub < 0: not known, gives 0).  0 when no
// command has that code.
int AnsweredType(int code, int sub);
