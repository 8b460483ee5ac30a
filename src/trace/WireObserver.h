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

#include "console/ConsoleEvents.h"

namespace trace {

// The byte-level events are the console's own (console/ConsoleEvents.h).
using ev::FrameNote;
using ev::LinkEvent;
using ev::NoteKind;
using ev::RxKind;
using ev::TxKind;
using ev::TxNote;

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
