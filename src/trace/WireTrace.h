// The wire trace: turns what the console tells its observer into lines, one
// per host frame, ACK, NAK, response frame, run of noise and link event, and
// hands each line to its sinks (the window's store, a file).
//
//     12.345 TX 04 30 02 50 03 65 | STATUS (type 6)
//     13.388 RX 06 | ACK
//     95.112 RX 01 30 30 50 20 ... 03 4E | response 'P' STATUS
//     95.140 TX 06 | ACK
//
// The time is milliseconds since the port was opened (before any OPEN: since
// the trace began), read when the line is made: a response frame spread over
// several chunks makes one line, when its BCC arrives.  Every byte the
// receiver takes shows exactly once.  The meaning comes from the receiver's
// own verdict on each byte and from the constant tables (command names from
// the catalogue, texts from the error table); nothing is parsed again.
//
// To attach it (a console, a command-line front-end):
//     trace::LineStore store;                       // sinks first: they outlive the trace
//     auto file = trace::FileSink::Open(path, &error);
//     trace::WireTrace wire(clock);                 // clock: monotonic microseconds
//     wire.AddSink(&store); wire.AddSink(file.get());
//     dlg.Subscribe(&wire);                         // unsubscribe before the trace goes
#pragma once

#include "trace/TraceSinks.h"
#include "console/ConsoleEvents.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace trace {

using ev::FrameNote;
using ev::LinkEvent;
using ev::NoteKind;
using ev::RxKind;
using ev::TxKind;
using ev::TxNote;

class WireTrace final : public ev::ConsoleObserver {
public:
    // Monotonic time in microseconds; an empty function uses the steady clock.
    using Clock = std::function<std::uint64_t()>;
    static constexpr std::size_t kMaxSinks = 4;
    // A response frame longer than this goes on several lines, the last one
    // made when its BCC arrives.
    static constexpr std::size_t kFramePartMax = 512;
    // Noise longer than this goes on several lines.
    static constexpr std::size_t kNoiseMax = 64;

    explicit WireTrace(Clock nowUs = {});
    // Bytes still waiting for their line (noise, the start of a frame whose
    // end never came) are shown before the trace ends.
    ~WireTrace() override;
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    // Sinks must outlive the trace or be removed first.  False when full.
    bool AddSink(LineSink* sink);
    void RemoveSink(LineSink* sink);
    // Shows the bytes still waiting for their line now.
    void Flush();

    // ---- ev::ConsoleObserver: the bytes on the line and the link ----------------------------------------------------
    void Written(const std::uint8_t* p, std::size_t n, const TxNote& note) override;
    void ChunkBegin(const std::uint8_t* p, std::size_t n) override;
    void Received(RxKind kind) override;
    void ChunkEnd() override;
    void FrameDropped() override;
    void Link(LinkEvent e, int nPort, std::string_view detail) override;

private:
    std::uint64_t Now() const;
    // A line: time, direction ("TX", "RX", "--"), the bytes, " | ", then the
    // meaning appended by the caller, then EndLine.
    void BeginLine(const char* dir, const std::uint8_t* p, std::size_t n);
    void EndLine(std::uint8_t flags);
    void AppendInt(long long v);
    void AppendHexValue(unsigned v, int digits);
    void AppendCode(int code);
    void AppendFrameNote(const FrameNote& f);
    void FlushNoise();
    void FlushLeftover();
    // The frame collected so far goes out as its own line (too long, or cut short).
    void FlushFramePart(bool cutShort);
    void FrameLine(RxKind verdict);
    void ForgetFrame();

    Clock m_clock;
    std::uint64_t m_origin = 0;
    std::array<LineSink*, kMaxSinks> m_sinks{};
    std::string m_line;  // the line being made, reused
    std::uint64_t m_lineTime = 0;

    // The chunk the receiver is taking, and how far its verdicts have come.
    const std::uint8_t* m_chunk = nullptr;
    std::size_t m_chunkLen = 0, m_chunkPos = 0;

    // Noise waiting for its line (the same kind in a row).
    std::array<std::uint8_t, kNoiseMax> m_noise{};
    std::size_t m_noiseLen = 0;
    RxKind m_noiseKind = RxKind::Noise;

    // The response frame being received: the bytes not yet shown, its length
    // so far, the bytes at positions 3, 4 and 5, and whether a part of it was
    // already shown.
    std::array<std::uint8_t, kFramePartMax> m_frame{};
    std::size_t m_frameLen = 0;    // bytes in m_frame
    std::size_t m_frameTotal = 0;  // bytes of the whole frame so far
    int m_framePos[3] = {-1, -1, -1};
    bool m_frameSplit = false;

    FrameNote m_lastFrame;  // the host frame last written, for the ACK time-out
};

}  // namespace trace
