// ZANTU-100 module simulator: the protocol core.
//
// The core plays the module's side of the link.  It is fed the bytes the host
// sends and produces the bytes the module sends back, as bursts that carry the
// module time to wait before them.  It reads no clock, sleeps never and locks
// nothing; the I/O runner (Simulator.h) adds the line and the time.
//
// Rules it keeps:
//   host frame     EOT '0' STX code params... ETX BCC   (BCC = XOR EOT..ETX)
//   response frame SOH '0' '0' code error fields... ETX BCC (BCC = XOR SOH..ETX)
//   A good host frame is answered with ACK, then with the response of its code.
//   A host frame with a wrong BCC, or without '0' STX after the EOT, gets NAK.
//   A NAK from the host after a response makes the module send it again; an
//   ACK from the host is consumed.  Host data never holds ETX (count bytes are
//   value + 0x20, nibble bytes 0x30..0x3F), so a frame ends at ETX + one byte.
//   An EOT inside a frame starts the frame again (the host resent it).
//   No byte the module sends inside a frame is ETX except the frame's own ETX.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

inline constexpr std::uint8_t kSOH = 0x01;
inline constexpr std::uint8_t kSTX = 0x02;
inline constexpr std::uint8_t kETX = 0x03;
inline constexpr std::uint8_t kEOT = 0x04;
inline constexpr std::uint8_t kACK = 0x06;
inline constexpr std::uint8_t kNAK = 0x15;

inline constexpr int kBoxes = 4;
inline constexpr int kReasons = 7;          // Reject, RVDT, LEN, SKW, DST, FLEN, FDST
inline constexpr std::size_t kFlashSize = 40960;  // 0xA000
inline constexpr std::size_t kBlockSize = 128;
inline constexpr std::size_t kMaxHostFrame = 300;  // longest host frame is 266 bytes

// Error bytes (0x20 + device error code) the module sends.
namespace err {
inline constexpr std::uint8_t kNone = 0x20;
inline constexpr std::uint8_t kPickUp = 0x21;          // box ran empty while picking
inline constexpr std::uint8_t kOverReject = 0x2D;
inline constexpr std::uint8_t kCassette1Missing = 0x44;  // "Cash-Cassette1 Not Exist"
inline constexpr std::uint8_t kNearEnd = 0x45;           // "Box NearEnd"
inline constexpr std::uint8_t kRejectBox = 0x46;         // reject box full
inline constexpr std::uint8_t kCassette2Missing = 0x4C;  // "Cash-Cassette2 Not Exist"
inline constexpr std::uint8_t kUnknown = 0x50;
inline constexpr std::uint8_t kParameter = 0x51;
inline constexpr std::uint8_t kCheckSum = 0x52;
inline constexpr std::uint8_t kProgramWriting = 0x53;
inline constexpr std::uint8_t kVerify = 0x54;
}  // namespace err

// Fixed behaviour of the simulated module, chosen at construction.
struct ModuleConfig {
    int notesPerBox = 500;        // notes in each box at start
    int nearEndAt = 10;           // a box holding this many notes or fewer is near its end
    int rejectCapacity = 300;     // notes the reject box holds before it is full
    int maxRejectsPerBox = 10;    // more rejects than this in one request: "Over Reject"
    double rejectRate = 0.0;      // chance 0..1 that a picked note is rejected
    int logFrames = 1;            // '~' frames sent for one LOG
    int logSize = 64;             // payload bytes of each '~' frame (rounded up to 8)
    std::uint32_t seed = 1;       // random source for rejects, noise, chunking, readings
    int noteMs = 250;             // module time per picked note
    int commandMs = 30;           // module time of every other command
    int blockWriteMs = 15;        // module time to program one 128-byte block
    std::array<std::uint8_t, kBoxes> opacity{0x7A, 0x7C, 0x78, 0x7E};
    std::array<std::uint8_t, kBoxes> length{0x9A, 0x9C, 0x98, 0x9E};
    std::string romVersion = "Z120";  // four printable characters for RomVer
    double faultRate = 0.0;           // chance 0..1 that a frame meets a random fault (see FaultKind)
};

// The faults the random fault source draws from.  Every good host frame the
// module receives meets, with chance faultRate, one fault of any kind, applied
// to its exchange (its ACK and its answer).  Every response frame the module
// sends (answers, re-sends after NAK, late answers) meets, with the same
// chance, one of the kinds that act on a sent frame (kOnSentFrame).
enum class FaultKind : std::uint8_t {
    NoAck,              // the frame is lost: no ACK, no answer
    Nak,                // NAK instead of ACK, the frame ignored
    BadBcc,             // the answer goes out with a wrong BCC
    NoResponse,         // ACK and the command runs, no answer
    ResponseBeforeAck,  // the answer first, the ACK after it
    Noise,              // 1..8 noise bytes (never SOH or ACK) before the ACK and the answer
    Split,              // the output written in pieces of 1..8 bytes
    Unasked,            // a frame of a random code that nobody asked for
    LateAnswer,         // the answer sent a second time, after the next ACK
    AnswerTwice,        // block writes only: ACK and answer held until the host resends, then both answered
                        // (stays the last kind: other frames draw among the ones before it)
};
inline constexpr std::size_t kFaultKinds = 10;
inline constexpr std::array<const char*, kFaultKinds> kFaultNames{
    "no ACK", "NAK", "bad BCC", "no response", "response before ACK",
    "noise", "split writes", "unasked frame", "late second answer", "block answered twice"};
// Kinds that can act on a frame the module sends.
inline constexpr std::array<FaultKind, 5> kOnSentFrame{FaultKind::BadBcc, FaultKind::Noise, FaultKind::Split,
                                                       FaultKind::Unasked, FaultKind::LateAnswer};

// Faults drawn so far: by kind, and by kind and the code of the frame they met
// (the host frame's code, or the sent frame's code).
struct FaultCounts {
    std::array<std::uint64_t, kFaultKinds> byKind{};
    std::array<std::array<std::uint32_t, 256>, kFaultKinds> byKindAndCode{};
    std::uint64_t Total() const {
        std::uint64_t t = 0;
        for (std::uint64_t n : byKind) t += n;
        return t;
    }
    // Distinct codes a kind has met.
    int CodesMet(FaultKind k) const {
        int n = 0;
        for (std::uint32_t c : byKindAndCode[static_cast<std::size_t>(k)]) n += c != 0;
        return n;
    }
};

// Faults the module shows on request.  Counts go down by one per use; 0 is off.
struct Faults {
    int withholdAck = 0;        // next N good frames: no ACK, frame ignored (as if lost on the line)
    int nakInsteadOfAck = 0;    // next N good frames: NAK instead of ACK, frame ignored
    int corruptBcc = 0;         // next N response frames go out with a wrong BCC (re-sends count)
    int noResponse = 0;         // next N good frames: ACK and the command runs, no response frame
    int responseBeforeAck = 0;  // next N good frames: the response first, the ACK after it
    int noiseBytes = 0;         // bytes of noise before each ACK and before each response (0 off)
    int chunkMax = 0;           // split everything sent into chunks of 1..chunkMax bytes (0 off)
    int hangUpAfter = 0;        // hang up after the output of the Nth good frame from now (0 off)
    int unaskedFrame = 0;       // next N good frames: a frame of a random code nobody asked for after the ACK
    int lateAnswer = 0;         // next N good frames: the answer once more, right after the next ACK
    // Next N block writes: the block is written, but its ACK and answer are
    // held back until the host resends the frame (it saw no ACK); then the
    // first copy's ACK and answer go out, and the copy is answered too: ACK,
    // answer, ACK, answer.  A different frame instead of the copy drops the
    // held exchange, as if the line had lost it.
    int answerTwice = 0;
};

// A given error byte in the answers of a given code.
struct ErrorInjection {
    std::uint8_t code = 0;       // response code ('R', 'P', 's', ...)
    std::uint8_t errorByte = 0;  // put at position 4 (and 5 for 'U')
    int count = -1;              // answers left; -1 = for good
    int after = 0;               // answers of the code that pass unchanged first
};

// Bytes to send, after `delayMs` of module time counted from the end of the
// previous burst (or from the host frame that caused it).  `split` marks a
// piece of a chunked output that the runner writes on its own.
struct Burst {
    int delayMs = 0;
    bool split = false;
    std::vector<std::uint8_t> bytes;
};

struct BoxState {
    int notes = 0;
    bool present = true;
    std::uint8_t opacity = 0;
    std::uint8_t length = 0;
    int stacked = 0;  // notes dispensed and waiting at the exit (moved to reject by purge)
};

struct LastDispense {
    std::uint8_t code = 0;  // 'R', 'S', 'p' or 0 before the first
    std::uint8_t error = err::kNone;
    std::array<int, kBoxes> dispensed{};
    std::array<int, kBoxes> rejected{};
    std::array<int, kReasons> reasons{};
};

struct Stats {
    std::array<std::uint64_t, 256> framesByCode{};  // good host frames by code
    std::uint64_t goodFrames = 0;
    std::uint64_t badFrames = 0;    // wrong BCC or head, answered with NAK
    std::uint64_t hostAcks = 0;
    std::uint64_t hostNaks = 0;
    std::uint64_t resends = 0;      // responses sent again after a host NAK
    std::uint64_t responses = 0;    // response frames sent, re-sends included
};

class ModuleCore {
public:
    explicit ModuleCore(const ModuleConfig& config = {});

    // Host bytes in.  Output collects until TakeOutput.
    void Feed(const std::uint8_t* p, std::size_t n);
    void Feed(const std::vector<std::uint8_t>& bytes) { Feed(bytes.data(), bytes.size()); }
    std::vector<Burst> TakeOutput();
    // All pending output bytes, bursts joined (for tests that ignore time).
    std::vector<std::uint8_t> TakeBytes();

    // Sends a frame of `code` nobody asked for, built from the present state
    // as the answer to a request without parameters ('w' is the 32-byte dump,
    // '~' the log frames).  No ACK goes with it.
    void SendUnsolicited(std::uint8_t code);

    // Fault controls.
    Faults& GetFaults() { return m_faults; }
    // False (and nothing stored) for an error byte of ETX, which would cut the frame.
    // `after` answers of the code pass unchanged before the first changed one.
    bool InjectError(std::uint8_t code, std::uint8_t errorByte, int count = -1, int after = 0);
    void ClearInjectedErrors() { m_injected.clear(); }
    // True once the hang-up fault has come due; the runner closes the line.
    bool HangUpDue() const { return m_hangUpDue; }

    // State.
    const ModuleConfig& Config() const { return m_config; }
    BoxState& Box(int n) { return m_boxes[static_cast<std::size_t>(n)]; }  // n 0..3
    const BoxState& Box(int n) const { return m_boxes[static_cast<std::size_t>(n)]; }
    int RejectBoxNotes() const { return m_rejectBox; }
    void SetRejectBoxNotes(int n) { m_rejectBox = n; }
    const LastDispense& Last() const { return m_last; }
    bool InLoader() const { return m_loader; }
    const std::array<std::uint8_t, kBoxes>& Order() const { return m_order; }
    const std::vector<std::uint8_t>& Flash() const { return m_flash; }
    std::uint16_t FlashSum() const;
    void SetRejectRate(double r) { m_config.rejectRate = r; }
    void SetLog(int frames, int size) { m_config.logFrames = frames; m_config.logSize = size; }
    // Random faults (0 = off, 1 = every frame).
    void SetFaultRate(double r) { m_config.faultRate = r; }
    const FaultCounts& GetFaultCounts() const { return m_faultCounts; }
    // A frame of `code` as the module would send it unasked: its answer
    // without running the command (no module state changes), with random
    // counts where an answer carries counts.  Open: no ETX/BCC yet.
    std::vector<std::uint8_t> UnaskedFrame(std::uint8_t code);

    const Stats& GetStats() const { return m_stats; }
    // Good host frames in order of arrival, EOT through BCC (the last kMaxLog).
    static constexpr std::size_t kMaxLog = 4096;
    const std::vector<std::vector<std::uint8_t>>& ReceivedFrames() const { return m_received; }

private:
    struct Answer {
        std::vector<std::vector<std::uint8_t>> frames;  // open frames: no ETX/BCC yet
        int moduleMs = 0;
    };

    void OnHostFrame();
    Answer Execute(const std::vector<std::uint8_t>& frame);
    Answer Dispense(std::uint8_t code, const std::uint8_t* params, std::size_t n);
    Answer Purge();
    Answer LastStat();
    Answer Status();
    Answer HexPairs(std::uint8_t code, const std::array<std::uint8_t, kBoxes>& values);
    Answer SetHexPairs(std::uint8_t code, const std::uint8_t* params, std::size_t n, bool opacity);
    Answer GetOrder();
    Answer SetOrder(const std::uint8_t* params, std::size_t n);
    Answer SenDiag(const std::uint8_t* params, std::size_t n);
    Answer Actuator(const std::uint8_t* params, std::size_t n);
    Answer BlockWrite(const std::uint8_t* params, std::size_t n);
    Answer Verify(const std::uint8_t* params, std::size_t n);
    Answer Log();
    Answer Dump();
    Answer Simple(std::uint8_t code, std::uint8_t error, int ms);
    std::array<std::uint8_t, kBoxes> Settings(bool opacity) const;

    std::uint8_t InjectedErrorFor(std::uint8_t code, bool* found);
    void Emit(std::vector<std::uint8_t> bytes, int delayMs);
    void EmitNoise();
    void EmitResponse(std::vector<std::uint8_t> closed, int delayMs);
    // The random fault source.
    bool RollFault();
    void CountFault(FaultKind k, std::uint8_t code);
    void ApplyReceivedFault(FaultKind k, std::uint8_t code);
    void EmitUnasked();
    void FlushLate();
    void SendAnswer(Answer answer, bool withAck);
    void Remember(std::uint8_t code, int value);
    std::uint32_t Random();
    int Jitter(int base, int spread);

    ModuleConfig m_config;
    Faults m_faults;
    std::vector<ErrorInjection> m_injected;
    FaultCounts m_faultCounts;
    // One-shot faults of the exchange in progress (drawn by the random source).
    int m_noiseOnce = 0;        // noise bytes before this exchange's ACK and answer
    int m_splitOnce = 0;        // split this exchange's output into pieces of 1..N
    bool m_inUnasked = false;   // an unasked frame is being sent (no fault drawn for it)
    std::vector<std::uint8_t> m_late;  // closed frame held for a late second answer
    std::vector<std::uint8_t> m_heldFrame;  // answerTwice: the block write whose exchange is held
    std::vector<std::vector<std::uint8_t>> m_heldAnswer;  // ... and its answer frames (open)
    bool m_hangUpDue = false;

    // Host frame assembly.
    enum class Rx { Idle, InFrame, AwaitBcc };
    Rx m_rx = Rx::Idle;
    std::vector<std::uint8_t> m_frame;

    std::vector<Burst> m_out;
    std::vector<std::uint8_t> m_lastResponse;  // closed frame, for a re-send on NAK

    std::array<BoxState, kBoxes> m_boxes{};
    std::array<std::uint8_t, kBoxes> m_order{1, 2, 3, 4};
    int m_rejectBox = 0;
    LastDispense m_last;
    bool m_loader = false;
    std::vector<std::uint8_t> m_flash;
    std::vector<std::array<char, 8>> m_history;  // 8-byte log records
    std::uint32_t m_seq = 0;
    std::uint32_t m_rng;

    Stats m_stats;
    std::vector<std::vector<std::uint8_t>> m_received;
};

// Frame helpers, shared with the tests.
std::vector<std::uint8_t> CloseFrame(std::vector<std::uint8_t> open);  // appends ETX and BCC
std::vector<std::uint8_t> HostFrame(std::uint8_t code, const std::vector<std::uint8_t>& params = {});
inline constexpr std::uint8_t CountByte(int v) { return static_cast<std::uint8_t>((v + 0x20) & 0xFF); }
inline constexpr std::uint8_t NibbleByte(unsigned v) { return static_cast<std::uint8_t>((v & 0x0F) | 0x30); }

}  // namespace zsim
