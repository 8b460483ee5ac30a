// Numbers typed into fields, read by the rules of the C library's strtol:
// leading white space and a sign accepted, parsing stops at the first
// character that is not a digit, a text without digits gives 0.  The result is
// kept within int so that a very long text cannot overflow the caller.
#pragma once

#include <climits>
#include <cstdlib>
#include <string>

inline int ParseField(const std::string& text, int base) {
    const long v = std::strtol(text.c_str(), nullptr, base);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}
