// What the console tells its front-ends.  The core says what happened; the
// window, the wire trace, zantu-cli, the batch record, the invariants' checker
// and the fuzz targets listen.  None of them reads the dialog's members or
// matches a message box's text to learn what happened: a seam that is missing
// is added here.
//
// Rules every event keeps:
//   - Every call comes on the user-interface thread, in the order things
//     happen, to each subscriber in the order it subscribed.
//   - An event that goes with a message box is told just before the box
//     opens, so what happens inside the box's nested loop (timers, posted
//     messages) is told after it, as it happens.
//   - A subscriber returns at once: it adds no thread, takes no lock that
//     the core could wait on, and never waits.  It may not call back into
//     the console from inside an event (no press, no send, no subscribe).
//   - Pointers and views inside an event are valid only during the call.
//   - The core builds an event's payload only when someone listens: with no
//     subscriber an event costs a test of the list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct AnswerField;  // a row of the decoded-fields table (commands/AnswerFields.h)

namespace ev {

// ---- bytes on the line ------------------------------------------------------

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
    FrameAnswer,   // the BCC of a frame accepted as the answer to the frame sent: the
                   // awaited answer, or Go Loader's or Reset's first answer (ACK follows)
    FrameUnasked,  // the BCC of a frame accepted that is not the awaited answer (ACK follows)
    FrameBadBcc,   // the BCC of a frame refused for its BCC (NAK follows)
};

// The link's own events.
enum class LinkEvent : std::uint8_t {
    Open,             // OPEN succeeded (the trace's times count from here)
    OpenFailed,       // OPEN failed; detail: the reason in plain words
    Close,            // the console closed the port
    AckTimeout,       // the ACK did not come after three resends: the command was given up
    ResponseTimeout,  // the answer did not come in time
    PortLost,         // the open device went away
    PortBack,         // the lost device came back and was opened again
    WriteDropped,     // bytes the console wrote never reached the line; detail: why
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
    int type = 0;  // command type 1..23 (cmd::Type); 0: no frame built yet
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

// ---- the operator -----------------------------------------------------------

// Why a press sent nothing.
enum class Refusal : std::uint8_t {
    Busy,            // a command is outstanding or a download runs
    NotLinked,       // no port is open
    BadValues,       // the fields do not make a frame ("Error Parameter")
    NoFile,          // no file was chosen ("File Not Open!")
    BadHexFile,      // the HEX file was refused; detail: the loader's message
    WrongPassword,   // the service password was wrong or the prompt cancelled
    LogFileFailed,   // the service log file could not be created; detail: why
};

struct Press {
    int id = 0;    // the control clicked
    int type = 0;  // the command type it sends (cmd::Type), 0: none (OPEN, ...)
};

// ---- answers ----------------------------------------------------------------

// One decoded field of an answer: its row of the table and the values as the
// window shows them once the answer has been handled ("7A", "1"/"0" for a
// check box), "" where the answer writes nothing into the field (the frame
// ends before it, or a dispense-type or PURGE answer that is not awaited):
// the field then keeps what it showed.  Only the first row->count values are
// used.  For 'q' the rows are those of the frame's own sub-code.
struct FieldValue {
    const AnswerField* row = nullptr;
    std::array<std::string_view, 4> v{};
};

// The counts of one dispense-type or PURGE answer, as counted (or, for an
// answer that was not awaited, as the frame held them, counted nowhere).
struct DispenseCounts {
    int requested[4] = {};  // the send's request per box (PURGE: 0)
    int dispensed[4] = {};
    int rejected[4] = {};
    int reasons[7] = {};    // this answer's reject reasons, in the window's order
    bool has[4] = {};       // the frame held box k's counts
};

struct Answer {
    int code = 0;          // response code (position 3); -1: the frame is too short to hold one
    int sub = 0;           // 'q': the sub-command of the command sent; else 0
    int type = 0;          // command type of the command it answers (awaited only), else 0
    bool awaited = false;  // the awaited answer of the command sent
    int error = -1;        // device error code (error byte - 0x20), -1: none or not checked for this code
    bool complete = true;  // the frame held every field its code carries
    int index = 0, of = 0; // answer k of n of a batch (awaited answers of a batch); 0, 0 outside
    std::span<const FieldValue> fields;       // as decoded, in the table's order
    const DispenseCounts* counts = nullptr;  // dispense-type and PURGE answers
    std::span<const std::uint8_t> frame;     // SOH through BCC
};

// ---- notices ----------------------------------------------------------------

enum class NoticeKind : std::uint8_t {
    Acked,            // the module's ACK of the frame of command `type` came
    LoaderOk,         // "Go Loader O.K.!"
    ImageLoaded,      // a HEX file was read into the image; image: its identity
    BadRecordsTaken,  // the operator chose to download a file with bad records; text: the finding
    BlockWritten,     // block k of n was answered without error
    DownloadDone,     // "Downloading Done!"
    DownloadStopped,  // the download ended before its end, or a block's error after
                      // DownloadDone withdrew it; k: the block it stopped at (the flash
                      // holds the k - 1 before it); text: why
    VerifyOk,         // "Verify O.K.!"
    VerifyFailed,     // Verify's answer carried an error or was incomplete; text: why
    LogFileCreated,   // the service log file was created; text: its path
    LogWritten,       // a '~' frame was written to the log file; k: bytes written
    LogFileFailed,    // the log file could not be created or written; text: why
    PortLost,         // the open device went away; port: its COM number
    PortBack,         // the lost device came back and was opened again
    BatchUncertain,   // an answer came that no send waited for: the batch's counts may be off
    BatchStopped,     // STOP (or a stop request): the batch or download ends after the exchange under way
};

// Who a loaded image is: what Verify sends and what a production line checks.
struct ImageIdentity {
    std::string_view file;  // as chosen
    int records = 0;        // data records read
    int dataBytes = 0;      // data bytes placed in the image
    std::uint16_t sum = 0;  // the 16-bit image sum that Verify sends
    std::uint32_t crc32 = 0;  // CRC-32 of the whole 40960-byte image
};

struct Notice {
    NoticeKind kind{};
    int type = 0;             // Acked: the command type acknowledged
    int port = 0;             // PortLost, PortBack: the COM number
    int k = 0, n = 0;         // BlockWritten: block k of n; LogWritten: k bytes
    int address = -1;         // BlockWritten: the block's image address
    int error = -1;           // DownloadStopped, VerifyFailed: the device error code, -1: none
    std::string_view text;    // as the kind says
    const ImageIdentity* image = nullptr;  // ImageLoaded
};

// ---- waits ------------------------------------------------------------------

// What the console waits for on a timer of its own.
enum class WaitKind : std::uint8_t {
    Ack,      // the module's ACK of the frame just written (1 s, then a resend)
    Answer,   // the answer of the command sent (120 s; 130 s from a repeat send)
    NextRun,  // a batch's next send (the Wait seconds after an answer)
};

// ---- the observer -----------------------------------------------------------

class ConsoleObserver {
public:
    virtual ~ConsoleObserver() = default;

    // n bytes were written to the line (told after the write).
    virtual void Written(const std::uint8_t* p, std::size_t n, const TxNote& note) {
        (void)p, (void)n, (void)note;
    }
    // The receiver takes a chunk of n bytes: one Received per byte follows, in
    // order, then ChunkEnd.  p stays valid until ChunkEnd.
    virtual void ChunkBegin(const std::uint8_t* p, std::size_t n) { (void)p, (void)n; }
    virtual void Received(RxKind kind) { (void)kind; }
    virtual void ChunkEnd() {}
    // The response frame being received was given up without its BCC (a send
    // made the receiver wait for an ACK): its bytes so far are dropped.
    virtual void FrameDropped() {}
    // nPort: the COM number concerned (0 when none); detail may be empty.
    virtual void Link(LinkEvent e, int nPort, std::string_view detail) {
        (void)e, (void)nPort, (void)detail;
    }

    // A click on a button reached the console, before anything it does.
    virtual void Pressed(const Press& press) { (void)press; }
    // The press sent nothing; told just before a message box that says so.
    virtual void Refused(const Press& press, Refusal why, std::string_view detail) {
        (void)press, (void)why, (void)detail;
    }
    // An accepted response frame was decoded (told before any device error
    // box of the answer and before the batch logic runs on it).
    virtual void Answered(const Answer& answer) { (void)answer; }
    virtual void Noticed(const Notice& notice) { (void)notice; }
    // The console's first box opened (true), told just before it shows, or
    // its last box closed (false).  While one is open the module's answers
    // may wait unread and nothing is sent: a send, resend or give-up whose
    // time came meanwhile waits until the bytes that came have been handled.
    virtual void BoxOpen(bool open) { (void)open; }
    // The console became idle (true: no frame waits for its ACK or answer, no
    // batch and no download runs) or stopped being idle (false).
    virtual void Idle(bool idle) { (void)idle; }
    // The console started a wait of ms milliseconds (a running one starts
    // again from the full time), or ended it (ms 0: it came, was given up or
    // is no longer wanted).  Told when the timer is started or stopped.
    virtual void Waiting(WaitKind what, unsigned ms) { (void)what, (void)ms; }
};

}  // namespace ev
