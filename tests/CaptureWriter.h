// A writer in front of the console's channel that keeps every write, so that
// tests see the bytes the console puts on the line, one write at a time.
#pragma once

#include "link/Comm.h"

#include <cstdint>
#include <vector>

struct CaptureWriter : CByteWriter {
    std::vector<std::vector<std::uint8_t>> writes;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        writes.emplace_back(p, p + n);
        return 1;
    }
};
