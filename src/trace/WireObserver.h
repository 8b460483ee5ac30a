// The wire trace's observer: what the console tells about every byte that
// crosses the line, at the two places where bytes cross it (the writer and
// the receiver's hand-over of a chunk), plus the link's own events.  All calls
// come on the user-interface thread, in the order things happen; an observer
// must return at once (it adds no thread, no lock and no waiting).
//
// The receiver says what each received byte was as it takes it, so an
// observer never needs to look at the bytes a second time to know what they
// are.  The host frame being sent is described by the catalogue (FrameNote),
// from the values it encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trace {

// What a write to the line is.
enum class TxKind : std::uint8_t {
    FirstSend,   // a host frame just built
    Resend,      // the stored frame again after a missing ACK
    RepeatSend,  // the stored frame again for the next run of a batch
    Ack,         // the console's ACK of a good response frame
    Nak,         // the console's NAK of a response frame with a bad BCC
};

// What the receiver made of one received byte.
enum class RxKind : std::uint8_t {
    Noise,         // no frame begun and not a SOH: dropped
    NotAck,        // awaiting the ACK and not an ACK: dropped
    Ack,           // the module's ACK of the host frame
    FrameByte,     // the SOH or a later byte of a response frame, before its BCC
    FrameAnswer,   // the BCC of a frame accepted as the awaited answer (ACK follows)
    FrameUnasked,  // the BCC of a frame accepted that is not the awaited answer (ACK follows)
    FrameBadBcc,   // the BCC of a frame refused for its BCC (NAK follows)
};

// The link's own events.
enum class LinkEvent : std::uint8_t {
    Open,             // OPEN succeeded (the trace's times count from here)
    OpenFailed,       // OPEN failed
    Close,            // the console closed the port
    AckTimeout,       // the ACK did not come after three resends: the command was given up
    ResponseTimeout,  // the answer did not come in time
    PortLost,         // the open device went away
    PortBack,         // the lost device came back and was opened again
};

// How the values of a host frame read (the catalogue picks one per command).
enum class NoteKind : std::uint8_t {
    None,      // no values shown
    Counts,    // notes per box, decimal: "1,0,0,0"
    HexBytes,  // byte values, hexadecimal: "A5,7F,00,23"
    Digits,    // box order: "2,1,4,3"
    Box,       // one box 1..4 ("box 2"); with no value: "no box"
    Address,   // image address of a block write: "at 0x1F80"
    Sum,       // image sum of Verify: "sum 0x6000"
};

// The host frame last built, as the catalogue describes it.
struct FrameNote {
    int type = 0;  // command type 1..23; 0: no frame built yet
    NoteKind kind = NoteKind::None;
    int count = 0;  // values used, 0..4
    int values[4] = {};
};

// One write to the line.
struct TxNote {
    TxKind kind = TxKind::Ack;
    const FrameNote* frame = nullptr;  // the frame written (frame kinds only)
    int resend = 0;                    // Resend: its number, 1..3
    int run = 0, runs = 0;             // RepeatSend: the run it starts, of how many
    bool notSent = false;              // the port was not open: nothing left
};

class WireObserver {
public:
    virtual ~WireObserver() = default;
    // n bytes were written to the line (after the write).
    virtual void Written(const std::uint8_t* p, std::size_t n, const TxNote& note) = 0;
    // The receiver takes a chunk of n bytes: one Received per byte follows, in
    // order, then ChunkEnd.  p stays valid until ChunkEnd.
    virtual void ChunkBegin(const std::uint8_t* p, std::size_t n) = 0;
    virtual void Received(RxKind kind) = 0;
    virtual void ChunkEnd() = 0;
    // nPort: the COM number concerned (0 when none); detail: a device path or
    // the like, may be empty.
    virtual void Link(LinkEvent e, int nPort, std::string_view detail) = 0;
};

}  // namespace trace
