// The simulated module: frame assembly, the answer of every command code, the
// module state behind them and the faults on request.
#include "ModuleCore.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zsim {
namespace {

constexpr std::uint8_t kRespId1 = '0';  // positions 1 and 2 of every response frame
constexpr std::uint8_t kRespId2 = '0';
// A count field carries 0..0xDF in one byte 0x20..0xFF; larger values are
// reported as 0xDF, so that no count byte can turn into an ETX.
constexpr int kCountMax = 0xDF;

constexpr std::uint8_t Count(int v) { return CountByte(std::clamp(v, 0, kCountMax)); }
constexpr bool IsNibble(std::uint8_t b) { return b >= 0x30 && b <= 0x3F; }
static_assert(Count(0xFF) == 0xFF && Count(-5) == 0x20);

// Module time of the commands that take longer than an ordinary one.
struct Timing {
    std::uint8_t code;  // command code
    int ms;             // module time before the answer
};
constexpr std::array<Timing, 5> kTimings{{
    {'Q', 600}, {'X', 400}, {'q', 300}, {'t', 200}, {'D', 500},
}};

std::vector<std::uint8_t> Head(std::uint8_t code, std::uint8_t error) {
    return {kSOH, kRespId1, kRespId2, code, error};
}

std::uint8_t MissingBoxError(int box) { return box == 1 ? err::kCassette2Missing : err::kCassette1Missing; }

}  // namespace

std::vector<std::uint8_t> CloseFrame(std::vector<std::uint8_t> open) {
    open.push_back(kETX);
    std::uint8_t x = 0;
    for (std::uint8_t b : open) x ^= b;
    open.push_back(x);
    return open;
}

std::vector<std::uint8_t> HostFrame(std::uint8_t code, const std::vector<std::uint8_t>& params) {
    std::vector<std::uint8_t> f{kEOT, '0', kSTX, code};
    f.insert(f.end(), params.begin(), params.end());
    return CloseFrame(std::move(f));
}

ModuleCore::ModuleCore(const ModuleConfig& config)
    : m_config(config), m_flash(kFlashSize, 0xFF), m_rng(config.seed ? config.seed : 0x9E3779B9u) {
    for (int n = 0; n < kBoxes; ++n) {
        BoxState& b = Box(n);
        b.notes = config.notesPerBox;
        b.opacity = config.opacity[static_cast<std::size_t>(n)];
        b.length = config.length[static_cast<std::size_t>(n)];
    }
    m_frame.reserve(kMaxHostFrame);
}

std::uint32_t ModuleCore::Random() {
    // xorshift32: the same sequence for a seed on every platform.
    m_rng ^= m_rng << 13;
    m_rng ^= m_rng >> 17;
    m_rng ^= m_rng << 5;
    return m_rng;
}

int ModuleCore::Jitter(int base, int spread) {
    return base - spread + static_cast<int>(Random() % static_cast<std::uint32_t>(2 * spread + 1));
}

std::uint16_t ModuleCore::FlashSum() const {
    std::uint32_t sum = 0;
    for (std::uint8_t b : m_flash) sum += b;
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

bool ModuleCore::InjectError(std::uint8_t code, std::uint8_t errorByte, int count, int after) {
    if (errorByte == kETX || count == 0) return false;
    m_injected.push_back({code, errorByte, count, std::max(after, 0)});
    return true;
}

std::uint8_t ModuleCore::InjectedErrorFor(std::uint8_t code, bool* found) {
    *found = false;
    for (auto it = m_injected.begin(); it != m_injected.end(); ++it) {
        if (it->code != code) continue;
        if (it->after > 0) {
            --it->after;
            return err::kNone;
        }
        *found = true;
        const std::uint8_t e = it->errorByte;
        if (it->count > 0 && --it->count == 0) m_injected.erase(it);
        return e;
    }
    return err::kNone;
}

// ---- input ------------------------------------------------------------------

void ModuleCore::Feed(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        switch (m_rx) {
        case Rx::Idle:
            if (b == kEOT) {
                m_frame.assign(1, b);
                m_rx = Rx::InFrame;
            } else if (b == kACK) {
                ++m_stats.hostAcks;
            } else if (b == kNAK) {
                ++m_stats.hostNaks;
                if (!m_lastResponse.empty()) {
                    ++m_stats.resends;
                    EmitResponse(m_lastResponse, 0);
                }
            }
            break;  // anything else between frames is line noise
        case Rx::InFrame:
            if (b == kEOT) {  // the host started over
                m_frame.assign(1, b);
                break;
            }
            m_frame.push_back(b);
            if (b == kETX) {
                m_rx = Rx::AwaitBcc;
            } else if (m_frame.size() >= kMaxHostFrame) {  // no ETX in sight: not a frame
                ++m_stats.badFrames;
                Emit({kNAK}, 0);
                m_rx = Rx::Idle;
            }
            break;
        case Rx::AwaitBcc:
            m_frame.push_back(b);
            m_rx = Rx::Idle;
            OnHostFrame();
            break;
        }
    }
}

void ModuleCore::OnHostFrame() {
    std::uint8_t x = 0;
    for (std::uint8_t b : m_frame) x ^= b;
    if (x != 0 || m_frame.size() < 6 || m_frame[1] != '0' || m_frame[2] != kSTX) {
        ++m_stats.badFrames;
        Emit({kNAK}, 1);
        return;
    }
    const std::uint8_t code = m_frame[3];
    ++m_stats.goodFrames;
    ++m_stats.framesByCode[code];
    if (m_received.size() >= kMaxLog) m_received.erase(m_received.begin());
    m_received.push_back(m_frame);

    // A held block write: its copy (the host's resend) releases the first
    // exchange, late, before the copy is handled; anything else drops it.
    bool released = false;
    if (!m_heldFrame.empty()) {
        released = m_heldFrame == m_frame;
        Answer held;
        held.frames = std::move(m_heldAnswer);
        held.moduleMs = m_config.blockWriteMs;
        m_heldFrame.clear();
        m_heldAnswer.clear();
        if (released) SendAnswer(std::move(held), true);
    }

    if (RollFault()) {
        auto k = static_cast<FaultKind>(Random() % kFaultKinds);
        // A block answered twice meets block writes only (it is the last kind).
        if (k == FaultKind::AnswerTwice && code != 's') k = static_cast<FaultKind>(Random() % (kFaultKinds - 1));
        ApplyReceivedFault(k, code);
    }
    if (code == 's' && !released && m_faults.answerTwice > 0 && m_faults.nakInsteadOfAck == 0 &&
        m_faults.withholdAck == 0) {
        --m_faults.answerTwice;
        m_heldFrame = m_frame;
        m_heldAnswer = Execute(m_frame).frames;  // the block is written now
    } else if (m_faults.nakInsteadOfAck > 0) {
        --m_faults.nakInsteadOfAck;
        EmitNoise();
        Emit({kNAK}, 1);
        FlushLate();
    } else if (m_faults.withholdAck > 0) {
        --m_faults.withholdAck;
        FlushLate();
    } else {
        SendAnswer(Execute(m_frame), true);
    }
    m_noiseOnce = 0;
    m_splitOnce = 0;
    if (m_faults.hangUpAfter > 0 && --m_faults.hangUpAfter == 0) m_hangUpDue = true;
}

// ---- the random fault source ----------------------------------------------------

bool ModuleCore::RollFault() {
    if (m_config.faultRate <= 0.0 || m_inUnasked) return false;
    return static_cast<double>(Random() % 1000000u) < m_config.faultRate * 1000000.0;
}

void ModuleCore::CountFault(FaultKind k, std::uint8_t code) {
    const auto i = static_cast<std::size_t>(k);
    ++m_faultCounts.byKind[i];
    ++m_faultCounts.byKindAndCode[i][code];
}

void ModuleCore::ApplyReceivedFault(FaultKind k, std::uint8_t code) {
    CountFault(k, code);
    switch (k) {
    case FaultKind::NoAck: ++m_faults.withholdAck; break;
    case FaultKind::Nak: ++m_faults.nakInsteadOfAck; break;
    case FaultKind::BadBcc: ++m_faults.corruptBcc; break;
    case FaultKind::NoResponse: ++m_faults.noResponse; break;
    case FaultKind::ResponseBeforeAck: ++m_faults.responseBeforeAck; break;
    case FaultKind::Noise: m_noiseOnce = 1 + static_cast<int>(Random() % 8); break;
    case FaultKind::Split: m_splitOnce = 1 + static_cast<int>(Random() % 8); break;
    case FaultKind::Unasked: ++m_faults.unaskedFrame; break;
    case FaultKind::LateAnswer: ++m_faults.lateAnswer; break;
    case FaultKind::AnswerTwice: ++m_faults.answerTwice; break;
    }
}

void ModuleCore::EmitUnasked() {
    // Mostly the codes the module answers with, sometimes any printable byte.
    static constexpr std::array<std::uint8_t, 20> kCodes{'P', 'Q', 'R', 'S', 'U', 'X', 'Z', '[', '\\', ']',
                                                         '^', '_', 'p', 'q', 'r', 's', 't', 'D', '~', 'w'};
    const std::uint8_t code = Random() % 5 == 0 ? static_cast<std::uint8_t>(0x20 + Random() % 0x5F)
                                                : kCodes[Random() % kCodes.size()];
    m_inUnasked = true;
    Emit(CloseFrame(UnaskedFrame(code)), 0);
    m_inUnasked = false;
}

void ModuleCore::FlushLate() {
    if (m_late.empty()) return;
    std::vector<std::uint8_t> f = std::move(m_late);
    m_late.clear();
    EmitResponse(std::move(f), 0);
}

std::vector<std::uint8_t> ModuleCore::UnaskedFrame(std::uint8_t code) {
    static constexpr std::array<std::uint8_t, 5> kErrors{err::kPickUp, err::kNearEnd, err::kUnknown,
                                                         err::kVerify, err::kProgramWriting};
    const std::uint8_t error = Random() % 5 == 0 ? kErrors[Random() % kErrors.size()] : err::kNone;
    auto small = [this](unsigned n) { return Count(static_cast<int>(Random() % n)); };
    switch (code) {
    case 'P': return Status().frames[0];
    case 'U': return LastStat().frames[0];
    case '[': return HexPairs('[', Settings(true)).frames[0];
    case '_': return HexPairs('_', Settings(false)).frames[0];
    case ']': return GetOrder().frames[0];
    case 'w': return Dump().frames[0];
    case '~': return Log().frames[0];
    case 'R': case 'S': case 'p': case 'Q': {
        std::vector<std::uint8_t> f = Head(code, error);
        f.push_back(' ');
        for (int i = 0; i < kBoxes; ++i) {
            f.push_back(small(4));
            f.push_back(small(3));
            f.push_back(' ');
        }
        for (int r = 0; r < kReasons; ++r) f.push_back(small(2));
        return f;
    }
    case 'X': {
        std::vector<std::uint8_t> f = Head('X', error);
        for (int i = 0; i < 4; ++i) f.push_back(small(0x60));
        return f;
    }
    case 'q': {
        std::vector<std::uint8_t> f = Head('q', error);
        f.push_back(' ');
        return f;
    }
    default: return Head(code, error);
    }
}

// ---- output -----------------------------------------------------------------

void ModuleCore::Emit(std::vector<std::uint8_t> bytes, int delayMs) {
    if (bytes.empty()) return;
    const int chunkMax = m_faults.chunkMax > 0 ? m_faults.chunkMax : m_splitOnce;
    if (chunkMax <= 0) {
        m_out.push_back({delayMs, false, std::move(bytes)});
        return;
    }
    const auto max = static_cast<std::uint32_t>(chunkMax);
    std::size_t pos = 0;
    bool first = true;
    while (pos < bytes.size()) {
        const std::size_t len = std::min<std::size_t>(1 + Random() % max, bytes.size() - pos);
        Burst b{first ? delayMs : 0, !first, {}};
        b.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                       bytes.begin() + static_cast<std::ptrdiff_t>(pos + len));
        m_out.push_back(std::move(b));
        pos += len;
        first = false;
    }
}

void ModuleCore::EmitNoise() {
    const int count = m_faults.noiseBytes > 0 ? m_faults.noiseBytes : m_noiseOnce;
    if (count <= 0) return;
    std::vector<std::uint8_t> noise;
    for (int i = 0; i < count; ++i) {
        // Noise never holds SOH or ACK: those would be taken for the module's own.
        std::uint8_t b;
        do b = static_cast<std::uint8_t>(Random() & 0xFF);
        while (b == kSOH || b == kACK);
        noise.push_back(b);
    }
    Emit(std::move(noise), 0);
}

void ModuleCore::EmitResponse(std::vector<std::uint8_t> closed, int delayMs) {
    ++m_stats.responses;
    bool corrupt = false, unasked = false;
    const int noiseBefore = m_noiseOnce, splitBefore = m_splitOnce;
    if (RollFault()) {
        const FaultKind k = kOnSentFrame[Random() % kOnSentFrame.size()];
        CountFault(k, closed.size() > 3 ? closed[3] : 0);
        switch (k) {
        case FaultKind::BadBcc: corrupt = true; break;
        case FaultKind::Noise: m_noiseOnce = 1 + static_cast<int>(Random() % 8); break;
        case FaultKind::Split: m_splitOnce = 1 + static_cast<int>(Random() % 8); break;
        case FaultKind::Unasked: unasked = true; break;
        case FaultKind::LateAnswer: m_late = closed; break;
        default: break;
        }
    }
    if (m_faults.corruptBcc > 0) {
        --m_faults.corruptBcc;
        corrupt = true;
    }
    if (corrupt) closed.back() ^= 0x5A;
    if (m_noiseOnce != noiseBefore) EmitNoise();
    Emit(std::move(closed), delayMs);
    m_noiseOnce = noiseBefore;
    m_splitOnce = splitBefore;
    if (unasked) EmitUnasked();
}

void ModuleCore::SendAnswer(Answer answer, bool withAck) {
    // The injected error byte replaces the module's own in the first frame.
    if (!answer.frames.empty() && answer.frames[0].size() > 4) {
        std::vector<std::uint8_t>& f = answer.frames[0];
        bool found = false;
        const std::uint8_t e = InjectedErrorFor(f[3], &found);
        if (found && f[3] != '~' && f[3] != 'w') {
            f[4] = e;
            if (f[3] == 'U' && f.size() > 5) f[5] = e;  // LAST STAT repeats it at 5
        }
    }
    bool respond = true;
    bool ackLast = false;
    if (withAck && m_faults.noResponse > 0) {
        --m_faults.noResponse;
        respond = false;
    } else if (withAck && m_faults.responseBeforeAck > 0) {
        --m_faults.responseBeforeAck;
        ackLast = true;
    }
    if (withAck && !ackLast) {
        EmitNoise();
        Emit({kACK}, 1);
    }
    if (withAck) {
        FlushLate();  // a late answer of an earlier exchange comes right after this ACK
        if (m_faults.unaskedFrame > 0) {
            --m_faults.unaskedFrame;
            EmitUnasked();
        }
    }
    if (respond) {
        int delay = answer.moduleMs;
        for (auto& f : answer.frames) {
            EmitNoise();
            std::vector<std::uint8_t> closed = CloseFrame(std::move(f));
            m_lastResponse = closed;
            EmitResponse(std::move(closed), delay);
            delay = 5;  // further '~' frames follow closely
        }
        if (withAck && m_faults.lateAnswer > 0) {
            --m_faults.lateAnswer;
            m_late = m_lastResponse;
        }
    }
    if (withAck && ackLast) Emit({kACK}, 1);
}

std::vector<Burst> ModuleCore::TakeOutput() { return std::exchange(m_out, {}); }

std::vector<std::uint8_t> ModuleCore::TakeBytes() {
    std::vector<std::uint8_t> all;
    for (const Burst& b : m_out) all.insert(all.end(), b.bytes.begin(), b.bytes.end());
    m_out.clear();
    return all;
}

void ModuleCore::SendUnsolicited(std::uint8_t code) {
    const std::vector<std::uint8_t> frame = HostFrame(code, code == '~' ? std::vector<std::uint8_t>{'0'}
                                                                         : std::vector<std::uint8_t>{});
    SendAnswer(code == 'w' ? Dump() : Execute(frame), false);
}

void ModuleCore::Remember(std::uint8_t code, int value) {
    std::array<char, 9> rec{};
    const char c = (code >= 0x21 && code <= 0x7E) ? static_cast<char>(code) : '?';
    std::snprintf(rec.data(), rec.size(), "%04u%c%03d", static_cast<unsigned>(m_seq % 10000), c,
                  std::clamp(value, 0, 999));
    ++m_seq;
    std::array<char, 8> r{};
    std::copy_n(rec.begin(), 8, r.begin());
    if (m_history.size() >= 1024) m_history.erase(m_history.begin());
    m_history.push_back(r);
}

// ---- commands ---------------------------------------------------------------

ModuleCore::Answer ModuleCore::Execute(const std::vector<std::uint8_t>& frame) {
    const std::uint8_t code = frame[3];
    const std::uint8_t* params = frame.data() + 4;
    const std::size_t n = frame.size() - 6;  // between the code and the ETX
    Answer a;
    switch (code) {
    case 'R': case 'S': case 'p': a = Dispense(code, params, n); break;
    case 'Q': a = Purge(); break;
    case 'U': a = LastStat(); break;
    case 'P': a = Status(); break;
    case '[': a = HexPairs('[', Settings(true)); break;
    case '_': a = HexPairs('_', Settings(false)); break;
    case 'Z': a = SetHexPairs('Z', params, n, true); break;
    case '^': a = SetHexPairs('^', params, n, false); break;
    case ']': a = GetOrder(); break;
    case '\\': a = SetOrder(params, n); break;
    case 'X': a = SenDiag(params, n); break;
    case 'q': a = Actuator(params, n); break;
    case 'r':
        m_loader = true;
        a = Simple('r', err::kNone, m_config.commandMs);
        break;
    case 's': a = BlockWrite(params, n); break;
    case 't': a = Verify(params, n); break;
    case 'D':
        m_loader = false;
        a = Simple('D', err::kNone, m_config.commandMs);
        break;
    case '~': a = Log(); break;
    case 'w': a = Dump(); break;
    default: a = Simple(code, err::kUnknown, m_config.commandMs); break;
    }
    for (const Timing& t : kTimings)
        if (t.code == code) a.moduleMs = std::max(a.moduleMs, t.ms);
    if (code != 's') Remember(code, n > 0 ? params[0] - 0x20 : 0);
    return a;
}

std::array<std::uint8_t, kBoxes> ModuleCore::Settings(bool opacity) const {
    std::array<std::uint8_t, kBoxes> v{};
    for (int i = 0; i < kBoxes; ++i) v[static_cast<std::size_t>(i)] = opacity ? Box(i).opacity : Box(i).length;
    return v;
}

ModuleCore::Answer ModuleCore::Simple(std::uint8_t code, std::uint8_t error, int ms) {
    Answer a;
    a.frames.push_back(Head(code, error));
    a.moduleMs = ms;
    return a;
}

ModuleCore::Answer ModuleCore::Dispense(std::uint8_t code, const std::uint8_t* params, std::size_t n) {
    std::array<int, kBoxes> request{};
    std::uint8_t error = err::kNone;
    if (n < kBoxes) {
        error = err::kParameter;
    } else {
        for (int i = 0; i < kBoxes; ++i) {
            const int v = params[i] - 0x20;
            if (v < 0 || v > 100) error = err::kParameter;
            request[static_cast<std::size_t>(i)] = v;
        }
    }
    LastDispense d;
    d.code = code;
    int picks = 0;
    if (error == err::kNone) {
        std::array<bool, kBoxes> done{};
        // Boxes in the set order; ZIGZAG takes one note from each box in turn.
        bool any = true;
        while (any && error == err::kNone) {
            any = false;
            for (std::uint8_t ord : m_order) {
                const int i = ord - 1;
                const auto ui = static_cast<std::size_t>(i);
                if (done[ui]) continue;
                BoxState& box = Box(i);
                const int want = request[ui];
                const int step = code == 'p' ? 1 : want;  // notes to take now
                int taken = 0;
                while (d.dispensed[ui] < want && taken < step) {
                    if (!box.present) { error = MissingBoxError(i); break; }
                    if (box.notes <= 0) { error = err::kPickUp; break; }
                    if (m_rejectBox >= m_config.rejectCapacity) { error = err::kRejectBox; break; }
                    --box.notes;
                    ++picks;
                    const double roll = static_cast<double>(Random() % 1000000u) / 1000000.0;
                    if (roll < m_config.rejectRate) {
                        ++d.rejected[ui];
                        ++d.reasons[Random() % kReasons];
                        ++m_rejectBox;
                        if (d.rejected[ui] > m_config.maxRejectsPerBox) { error = err::kOverReject; break; }
                    } else {
                        ++d.dispensed[ui];
                        ++taken;
                        if (code == 'S') ++m_rejectBox;  // a test dispense ends in the reject box
                        else ++box.stacked;
                    }
                }
                if (error != err::kNone) break;
                if (d.dispensed[ui] >= want) done[ui] = true;
                else any = true;
            }
        }
        if (error == err::kNone) {
            for (int i = 0; i < kBoxes; ++i)
                if (request[static_cast<std::size_t>(i)] > 0 && Box(i).notes <= m_config.nearEndAt) {
                    error = err::kNearEnd;
                    break;
                }
        }
    }
    d.error = error;
    m_last = d;

    Answer a;
    std::vector<std::uint8_t> f = Head(code, error);
    f.push_back(' ');  // position 5
    for (int i = 0; i < kBoxes; ++i) {  // 6 + 3(n-1): dispensed, rejected, spare
        f.push_back(Count(d.dispensed[static_cast<std::size_t>(i)]));
        f.push_back(Count(d.rejected[static_cast<std::size_t>(i)]));
        f.push_back(' ');
    }
    for (int r : d.reasons) f.push_back(Count(r));  // 18..24
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs + picks * m_config.noteMs;
    return a;
}

ModuleCore::Answer ModuleCore::Purge() {
    std::vector<std::uint8_t> f = Head('Q', err::kNone);
    f.push_back(' ');
    for (int i = 0; i < kBoxes; ++i) {
        BoxState& box = Box(i);
        const int moved = box.stacked;
        box.stacked = 0;
        m_rejectBox += moved;
        f.push_back(Count(0));
        f.push_back(Count(moved));
        f.push_back(' ');
    }
    Answer a;
    a.frames.push_back(std::move(f));
    return a;
}

ModuleCore::Answer ModuleCore::LastStat() {
    // Position 5 repeats the error byte; the counts stand one place later than
    // in a dispense answer: 7 + 3(n-1) dispensed, 8 + 3(n-1) rejected.
    std::vector<std::uint8_t> f = Head('U', err::kNone);
    f.push_back(err::kNone);  // 5
    for (int i = 0; i < kBoxes; ++i) {
        f.push_back(' ');  // 6 + 3(n-1)
        f.push_back(Count(m_last.dispensed[static_cast<std::size_t>(i)]));
        f.push_back(Count(m_last.rejected[static_cast<std::size_t>(i)]));
    }
    f.push_back(m_last.code ? m_last.code : ' ');  // 18: which command it was
    for (int r : m_last.reasons) f.push_back(Count(r));
    Answer a;
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs;
    return a;
}

ModuleCore::Answer ModuleCore::Status() {
    bool anyStacked = false;
    for (const BoxState& b : m_boxes) anyStacked = anyStacked || b.stacked > 0;
    // Bit 6 is set in every flag byte (it is not read), which keeps them away from ETX.
    std::uint8_t module = 0x40 | 0x01;  // DVTL: diverter at rest on the dispense side
    if (anyStacked) module |= 0x08;     // EXIT: notes wait at the exit
    if (m_rejectBox >= m_config.rejectCapacity) module |= 0x10;  // RJT
    std::vector<std::uint8_t> f = Head('P', err::kNone);
    f.push_back(module);        // 5
    f.push_back(0x40 | 0x01);   // 6: RVD_L, the thickness sensor at rest
    for (int i = 0; i < kBoxes; ++i) {
        const BoxState& b = Box(i);
        std::uint8_t flags = 0x40;
        if (b.present) flags |= 0x04 | 0x10;  // BOX, CB
        if (b.present && b.notes <= m_config.nearEndAt) flags |= 0x08;  // NEND
        f.push_back(flags);
        f.push_back(Count(b.notes / 4));  // not read
        f.push_back(Count(b.opacity));
        f.push_back(Count(b.length));
    }
    Answer a;
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs;
    return a;
}

ModuleCore::Answer ModuleCore::HexPairs(std::uint8_t code, const std::array<std::uint8_t, kBoxes>& values) {
    std::vector<std::uint8_t> f = Head(code, err::kNone);
    for (std::uint8_t v : values) {
        f.push_back(NibbleByte(v >> 4));
        f.push_back(NibbleByte(v));
    }
    Answer a;
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs;
    return a;
}

ModuleCore::Answer ModuleCore::SetHexPairs(std::uint8_t code, const std::uint8_t* params, std::size_t n,
                                           bool opacity) {
    bool ok = n == 2 * kBoxes;
    for (std::size_t i = 0; ok && i < n; ++i) ok = IsNibble(params[i]);
    if (ok) {
        for (int i = 0; i < kBoxes; ++i) {
            const auto v = static_cast<std::uint8_t>(((params[2 * i] & 0x0F) << 4) | (params[2 * i + 1] & 0x0F));
            (opacity ? Box(i).opacity : Box(i).length) = v;
        }
    }
    return Simple(code, ok ? err::kNone : err::kParameter, m_config.commandMs);
}

ModuleCore::Answer ModuleCore::GetOrder() {
    std::vector<std::uint8_t> f = Head(']', err::kNone);
    for (std::uint8_t o : m_order) f.push_back(static_cast<std::uint8_t>('0' + o));
    Answer a;
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs;
    return a;
}

ModuleCore::Answer ModuleCore::SetOrder(const std::uint8_t* params, std::size_t n) {
    bool ok = n == kBoxes;
    std::array<bool, kBoxes + 1> seen{};
    std::array<std::uint8_t, kBoxes> order{};
    for (std::size_t i = 0; ok && i < n; ++i) {
        const int v = params[i] - '0';
        ok = v >= 1 && v <= kBoxes && !seen[static_cast<std::size_t>(v)];
        if (ok) {
            seen[static_cast<std::size_t>(v)] = true;
            order[i] = static_cast<std::uint8_t>(v);
        }
    }
    if (ok) m_order = order;
    return Simple('\\', ok ? err::kNone : err::kParameter, m_config.commandMs);
}

ModuleCore::Answer ModuleCore::SenDiag(const std::uint8_t* params, std::size_t n) {
    const int box = n >= 1 ? params[0] - '1' : -1;
    std::uint8_t error = err::kNone;
    std::array<int, 4> v{};  // opacity, length, divert and reject sensor readings
    if (box < 0 || box >= kBoxes) {
        error = err::kParameter;
    } else if (!Box(box).present) {
        error = MissingBoxError(box);
    } else {
        v = {Jitter(Box(box).opacity, 2), Jitter(Box(box).length, 2), Jitter(0x50, 3), Jitter(0x48, 3)};
    }
    std::vector<std::uint8_t> f = Head('X', error);
    for (int x : v) f.push_back(Count(x));  // 5..8
    Answer a;
    a.frames.push_back(std::move(f));
    return a;
}

ModuleCore::Answer ModuleCore::Actuator(const std::uint8_t* params, std::size_t n) {
    const std::uint8_t sub = n >= 1 ? params[0] : ' ';
    std::uint8_t error = err::kNone;
    std::vector<std::uint8_t> fields;
    auto boxArg = [&](bool required) {
        if (n < 2) return required ? -2 : -1;
        const int b = params[1] - 0x20;
        return (b >= 0 && b < kBoxes) ? b : -2;
    };
    switch (sub) {
    case ' ':  // DIVERT
        break;
    case '!': {  // CLUTCH of one box
        const int b = boxArg(true);
        if (b < 0) error = err::kParameter;
        else if (!Box(b).present) error = MissingBoxError(b);
        break;
    }
    case '"': {  // BLDC: motor speed as a hex word at 6..9
        const auto rpm = static_cast<unsigned>(Jitter(3000, 25));
        for (int s = 12; s >= 0; s -= 4) fields.push_back(NibbleByte(rpm >> s));
        break;
    }
    case '#': {  // RVDT: left and right readings as plain hex pairs at 6..9
        const int b = boxArg(false);
        if (b == -2) { error = err::kParameter; break; }
        const int base = b < 0 ? 0x58 : 0x58 + 2 * b;
        for (int v : {Jitter(base, 2), Jitter(base + 3, 2)}) {
            fields.push_back(NibbleByte(static_cast<unsigned>(v) >> 4));
            fields.push_back(NibbleByte(static_cast<unsigned>(v)));
        }
        break;
    }
    case '0': {  // RomVer: four characters at 6..9, the firmware sum as a hex word at 10..13
        std::string ver = m_config.romVersion;
        ver.resize(4, ' ');
        for (char c : ver) {
            const auto u = static_cast<std::uint8_t>(c);
            fields.push_back(u >= 0x20 && u < 0x7F ? u : '?');
        }
        const unsigned sum = FlashSum();
        for (int s = 12; s >= 0; s -= 4) fields.push_back(NibbleByte(sum >> s));
        break;
    }
    default:
        error = err::kParameter;
        break;
    }
    std::vector<std::uint8_t> f = Head('q', error);
    f.push_back(sub == kETX ? ' ' : sub);  // 5: the sub-code
    f.insert(f.end(), fields.begin(), fields.end());
    Answer a;
    a.frames.push_back(std::move(f));
    return a;
}

ModuleCore::Answer ModuleCore::BlockWrite(const std::uint8_t* params, std::size_t n) {
    // Four nibble bytes of address, then 128 bytes as 256 nibble bytes.
    std::uint8_t error = err::kNone;
    bool wellFormed = n == 4 + 2 * kBlockSize;
    for (std::size_t i = 0; wellFormed && i < n; ++i) wellFormed = IsNibble(params[i]);
    unsigned addr = 0;
    if (!wellFormed) {
        error = err::kCheckSum;
    } else {
        for (int i = 0; i < 4; ++i) addr = (addr << 4) | (params[i] & 0x0F);
        if (!m_loader || addr + kBlockSize > kFlashSize) error = err::kProgramWriting;
    }
    if (error == err::kNone) {
        for (std::size_t i = 0; i < kBlockSize; ++i)
            m_flash[addr + i] =
                static_cast<std::uint8_t>(((params[4 + 2 * i] & 0x0F) << 4) | (params[5 + 2 * i] & 0x0F));
        Remember('s', static_cast<int>(addr / kBlockSize));
    }
    return Simple('s', error, m_config.blockWriteMs);
}

ModuleCore::Answer ModuleCore::Verify(const std::uint8_t* params, std::size_t n) {
    bool ok = n == 4;
    for (std::size_t i = 0; ok && i < n; ++i) ok = IsNibble(params[i]);
    std::uint8_t error = err::kParameter;
    if (ok) {
        unsigned sum = 0;
        for (int i = 0; i < 4; ++i) sum = (sum << 4) | (params[i] & 0x0F);
        error = sum == FlashSum() ? err::kNone : err::kVerify;
    }
    return Simple('t', error, 0);
}

ModuleCore::Answer ModuleCore::Log() {
    // Each '~' frame carries log text from position 4 on, in 8-byte records,
    // the newest last; records the history does not fill are dots.
    const int perFrame = (std::max(m_config.logSize, 0) + 7) / 8;
    const int frames = std::max(m_config.logFrames, 1);
    const std::size_t need = static_cast<std::size_t>(perFrame) * static_cast<std::size_t>(frames);
    std::vector<std::array<char, 8>> recs;
    const std::array<char, 8> empty{'.', '.', '.', '.', '.', '.', '.', '.'};
    const std::size_t have = std::min(need, m_history.size());
    recs.assign(need - have, empty);
    recs.insert(recs.end(), m_history.end() - static_cast<std::ptrdiff_t>(have), m_history.end());
    Answer a;
    std::size_t r = 0;
    for (int fr = 0; fr < frames; ++fr) {
        std::vector<std::uint8_t> f{kSOH, kRespId1, kRespId2, '~'};
        for (int i = 0; i < perFrame; ++i, ++r) f.insert(f.end(), recs[r].begin(), recs[r].end());
        a.frames.push_back(std::move(f));
    }
    a.moduleMs = 50;
    return a;
}

ModuleCore::Answer ModuleCore::Dump() {
    // 32 bytes at positions 4..35, each 0x20 + a state value the dump shows.
    std::vector<std::uint8_t> f{kSOH, kRespId1, kRespId2, 'w'};
    for (int i = 0; i < kBoxes; ++i) {
        const BoxState& b = Box(i);
        f.push_back(Count(b.notes >> 7));  // notes in two 7-bit halves
        f.push_back(Count(b.notes & 0x7F));
        f.push_back(Count(b.present ? 1 : 0));
        f.push_back(Count(b.opacity));
        f.push_back(Count(b.length));
        f.push_back(Count(m_order[static_cast<std::size_t>(i)]));
    }
    f.push_back(Count(m_rejectBox >> 7));
    f.push_back(Count(m_rejectBox & 0x7F));
    f.push_back(Count(m_loader ? 1 : 0));
    const unsigned sum = FlashSum();  // one hexadecimal digit a byte
    for (int sh = 12; sh >= 0; sh -= 4) f.push_back(Count(static_cast<int>((sum >> sh) & 0x0F)));
    f.push_back(Count(static_cast<int>(m_stats.goodFrames & 0x7F)));
    Answer a;
    a.frames.push_back(std::move(f));
    a.moduleMs = m_config.commandMs;
    return a;
}

}  // namespace zsim
