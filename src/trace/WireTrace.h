// The wire trace: turns what the console tells its observer into lines, one
// per host frame, ACK, NAK, response frame, run of noise and link event, and
// hands each line to its sinks (the window's store, a file).
//
//     12.345 TX 04 30 02 50 03 65 | STATUS (type 6)
//     13.388 RX 06 | ACK
//     95.112 RX 01 30 30 50 20 ... 03 4E | response 'P' STATUS
//     95.140 TX 06 | ACK
//
// An accepted response frame's line also carries its decoded fields, from the
// Answered event that follows the frame ("; P: dvtl 0,...", see
// console/AnswerText.h): the line, and the ACK written before the event,
// wait for it, and go out at the next thing the trace hears if it never comes.
// Each line also carries its wall-clock time (Line::wallMs), which the window
// and the file show in front of it ("14:03:27.123 ").
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
    // Wall-clock time in milliseconds since 1970; an empty function uses the system clock.
    using WallClock = std::function<std::int64_t()>;
    void SetWallClock(WallClock wallMs) { m_wall = std::move(wallMs); }
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

    // What a saved or logged trace file begins with, whole lines of "# ":
    //   # wire trace started 2026-12-10 17:40:03 +01:00   (started, as given)
    //   # port COM1 /dev/ttyUSB0                          (or: # port none open)
    //   # console zantu-console 1.2                       (console, as given)
    //   # image a.hex: 12 records, 1536 bytes, sum 0x1A2B, CRC-32 0x...  (when one is loaded)
    std::string Header(std::string_view started, std::string_view console) const;
    // The header started now: the trace's wall clock in local time with its
    // offset from UTC.  What every trace file of the console and the CLI begins with.
    std::string HeaderNow(std::string_view console) const;

    // ---- ev::ConsoleObserver: the bytes on the line and the link ----------------------------------------------------
    void Written(const std::uint8_t* p, std::size_t n, const TxNote& note) override;
    void ChunkBegin(const std::uint8_t* p, std::size_t n) override;
    void Received(RxKind kind) override;
    void ChunkEnd() override;
    void FrameDropped() override;
    void Link(LinkEvent e, int nPort, std::string_view detail) override;
    // The decoded fields go on the answer's line; an image loaded goes in the header.
    void Answered(const ev::Answer& answer) override;
    void Noticed(const ev::Notice& notice) override;

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
    std::int64_t Wall() const;
    // Lines held for the answer's fields go out.
    void Release();

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

    WallClock m_wall;
    std::int64_t m_lineWall = 0;
    // An accepted frame's line and the ACK after it, until the answer's fields come.
    struct Held {
        std::string text;
        std::uint64_t tUs = 0;
        std::int64_t wallMs = 0;
        std::uint8_t flags = 0;
    };
    std::array<Held, 2> m_held;
    std::size_t m_nHeld = 0;
    bool m_holding = false;

    // For the header: the port open now and its device, the image loaded last.
    int m_port = 0;
    std::string m_portPath;
    std::string m_image;
};

}  // namespace trace
