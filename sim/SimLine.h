// The simulator's line, as its thread sees it: wait for the host's bytes (or
// a wake, or the time), read them, write the module's.  One back end per kind
// of line: a pseudo-terminal or serial device (SimLine_posix.cpp), a Windows
// COM port (SimLine_win.cpp), and the in-process line (SimLine.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace memline {
class End;
}

namespace zsim {

class SimLine {
public:
    static constexpr long kNoPeer = -1;
    virtual ~SimLine() = default;
    // Waits at most timeoutMs for the host's bytes (when watch; else only for
    // a Wake or the time) and reads up to max of them.  Returns the count
    // read, 0 when the wait ended without bytes, kNoPeer when nobody is on the
    // far end (a pseudo-terminal's slave not open, a device lost, an
    // in-process line hung up); the caller then looks again a little later.
    virtual long WaitRead(std::uint8_t* p, std::size_t max, int timeoutMs, bool watch) = 0;
    // Writes what the line takes now: the count (0: full for the moment), or
    // -1 when the bytes are lost (nobody on the line), as on a wire.
    virtual long Write(const std::uint8_t* p, std::size_t n) = 0;
    // Ends the wait under way, or the next one, at once.  Any thread.
    virtual void Wake() = 0;
    // Closes the line itself (the host sees a hang-up); waits still end on
    // Wake and the time.  Idempotent.
    virtual void Close() = 0;
};

// A new pseudo-terminal pair, raw; *path is the slave's path.  Null with
// *error saying why (always on Windows, which has none).
std::unique_ptr<SimLine> OpenPtyLine(std::string* path, std::string* error);
// A serial device (a path, or COMn / \\.\COMn on Windows) set to raw 9600 8N1.
std::unique_ptr<SimLine> OpenDeviceLine(const std::string& path, std::string* error);
// The module's end of an in-process line.
std::unique_ptr<SimLine> OpenMemoryLine(std::shared_ptr<memline::End> end);

}  // namespace zsim
