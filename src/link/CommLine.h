// One opened line of the channel, behind the few operations its shared part
// (the reader loop, the hand-over, the transmit queue) needs: a serial device
// of this platform (Comm_posix.cpp, Comm_win.cpp) or an in-process line
// (Comm_memline.cpp).  Internal to the channel; no platform header here.
#pragma once

#include "link/Comm.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace comm {

// What ended a Wait.
struct Wakeup {
    bool readable = false;  // input is there
    bool writable = false;  // the line takes output again
    bool hungUp = false;    // the line went away (what is left is read first)
    int error = 0;          // waiting on the line failed (system error code): it is lost
};

class Line {
public:
    virtual ~Line() = default;
    // Reader thread: waits until input is there, output can go (when
    // wantWrite), Wake is called (now, or since the last Wait), or the line
    // goes away.  May return with nothing to report.
    virtual Wakeup Wait(bool wantWrite) = 0;
    // Any thread: ends the current or the next Wait.
    virtual void Wake() = 0;
    // Reads what is there now without waiting: the count, 0 when nothing.
    virtual std::uint32_t ReadNow(std::uint8_t* p, std::uint32_t max) = 0;
    // Writes what the line takes now without waiting: the count (0: it takes
    // nothing now), or -1 with err set when it failed.  Called with the
    // channel's transmit lock held.
    virtual long WriteNow(const std::uint8_t* p, std::size_t n, int& err) = 0;
    // Close's wait for room for output, at most `wait`; false when the line failed.
    virtual bool WaitWritable(std::chrono::milliseconds wait) = 0;
    // Bytes the line took that have not left yet, as far as it counts them;
    // and dropping them.
    virtual std::size_t OutputPending() = 0;
    virtual void DropOutput() = 0;
    // At Close, once the written bytes had their time: DTR off where there
    // is one, unread input discarded.
    virtual void EndSession() = 0;
    // 0, or the system error code of settings the line refused.
    virtual int Configure(const CComm::LineSettings& s) = 0;
    // Lets go of the port now: the native handle is closed and its locks
    // released (idempotent; the object stays valid and fails harmlessly
    // after).  The error of a part that could not be undone, 0 otherwise.
    virtual int Release() = 0;
    // The native handle or descriptor while held, -1 when there is none.
    virtual std::intptr_t Native() const = 0;
};

}  // namespace comm
