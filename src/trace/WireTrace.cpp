#include "trace/WireTrace.h"

#include "commands/Catalogue.h"
#include "commands/ErrorText.h"
#include "console/AnswerText.h"
#include "firmware/ImageIdentity.h"
#include "link/LinkFrame.h"
#include "records/RecordWriter.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace trace {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Response codes that answer no command, and what they are.
struct CodeName {  // code, name
    std::uint8_t code;
    std::string_view name;
};
constexpr std::array<CodeName, 1> kUnaskedCodes{{{'w', "dump"}}};

// Codes whose position 4 holds data instead of an error byte.
constexpr bool CarriesErrorByte(int code) { return code != 'w' && code != proto::LOG_CODE; }

// Positions of a response frame the meaning is read from.
constexpr std::size_t kPosCode = 3, kPosSub = 5;
// Smallest frame that holds a sub-code before its ETX: SOH x x 'q' err sub ETX BCC.
constexpr std::size_t kMinFrameWithSub = 8;

}  // namespace

WireTrace::WireTrace(Clock nowUs) : m_clock(std::move(nowUs)) {
    m_line.reserve(2048);
    m_origin = Now();
}

WireTrace::~WireTrace() { Flush(); }

std::uint64_t WireTrace::Now() const {
    if (m_clock) return m_clock();
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

bool WireTrace::AddSink(LineSink* sink) {
    if (!sink) return false;
    for (LineSink*& s : m_sinks)
        if (!s) {
            s = sink;
            return true;
        }
    return false;
}

void WireTrace::RemoveSink(LineSink* sink) {
    for (LineSink*& s : m_sinks)
        if (s == sink) s = nullptr;
}

std::int64_t WireTrace::Wall() const {
    if (m_wall) return m_wall();
    using namespace std::chrono;
    return static_cast<std::int64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

void WireTrace::Flush() {
    Release();
    // The chunk under way, if any, is the receiver's to finish (ChunkEnd).
    FlushNoise();
    if (m_frameLen > 0) FlushFramePart(true);
}

// ---- line making -----------------------------------------------------------------

void WireTrace::AppendInt(long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    m_line.append(buf, r.ptr);
}

void WireTrace::AppendHexValue(unsigned v, int digits) {
    for (int d = digits - 1; d >= 0; --d) m_line += kHexDigits[(v >> (4 * d)) & 0x0F];
}

void WireTrace::BeginLine(const char* dir, const std::uint8_t* p, std::size_t n) {
    const std::uint64_t now = Now();
    const std::uint64_t t = now >= m_origin ? now - m_origin : 0;
    char time[32];
    const int len = std::snprintf(time, sizeof time, "%7llu.%03u", static_cast<unsigned long long>(t / 1000),
                                  static_cast<unsigned>(t % 1000));
    m_line.clear();
    m_line.append(time, static_cast<std::size_t>(len > 0 ? len : 0));
    m_line += ' ';
    m_line += dir;
    for (std::size_t i = 0; i < n; ++i) {
        m_line += ' ';
        m_line += kHexDigits[p[i] >> 4];
        m_line += kHexDigits[p[i] & 0x0F];
    }
    m_line += " | ";
    // The times go to the sinks with the line.
    m_lineTime = t;
    m_lineWall = Wall();
}

void WireTrace::EndLine(std::uint8_t flags) {
    if (m_holding && m_nHeld < m_held.size()) {
        Held& h = m_held[m_nHeld++];
        h.text.assign(m_line);
        h.tUs = m_lineTime;
        h.wallMs = m_lineWall;
        h.flags = flags;
        return;
    }
    Release();
    const Line line{m_lineTime, flags, m_line, m_lineWall};
    for (LineSink* s : m_sinks)
        if (s) s->Put(line);
}

void WireTrace::Release() {
    m_holding = false;
    for (std::size_t i = 0; i < m_nHeld; ++i) {
        const Held& h = m_held[i];
        const Line line{h.tUs, h.flags, h.text, h.wallMs};
        for (LineSink* s : m_sinks)
            if (s) s->Put(line);
    }
    m_nHeld = 0;
}

void WireTrace::Answered(const ev::Answer& answer) {
    if (m_holding && m_nHeld > 0) {
        const std::string fields = AnswerSummary(answer);
        if (!fields.empty()) {
            m_held[0].text += "; ";
            m_held[0].text += fields;
        }
    }
    Release();
}

void WireTrace::Noticed(const ev::Notice& notice) {
    Release();
    if (notice.kind == ev::NoticeKind::ImageLoaded && notice.image) m_image = image::IdentityLine(*notice.image);
}

std::string WireTrace::Header(std::string_view started, std::string_view console) const {
    std::string h = "# wire trace started ";
    h += started;
    h += "\n# port ";
    if (m_port > 0) {
        h += "COM" + std::to_string(m_port);
        if (!m_portPath.empty()) {
            h += ' ';
            h += m_portPath;
        }
    } else {
        h += "none open";
    }
    h += "\n# console ";
    h += console;
    h += '\n';
    if (!m_image.empty()) h += "# " + m_image + '\n';
    return h;
}

std::string WireTrace::HeaderNow(std::string_view console) const {
    // The records' time less its milliseconds: "2026-12-10 17:40:03 +01:00".
    std::string started = rec::FormatTime(Wall());
    if (const std::size_t dot = started.find('.'); dot != std::string::npos) started.replace(dot, 4, " ");
    return Header(started, console);
}

void WireTrace::AppendCode(int code) {
    if (code > 0x20 && code < 0x7F) {
        m_line += '\'';
        m_line += static_cast<char>(code);
        m_line += '\'';
    } else {
        m_line += "0x";
        AppendHexValue(static_cast<unsigned>(code), 2);
    }
}

void WireTrace::AppendFrameNote(const FrameNote& f) {
    const std::string_view name = CommandName(f.type);
    if (name.empty()) {
        m_line += "host frame";
        return;
    }
    m_line += name;
    const int n = f.count < 0 ? 0 : (f.count > 4 ? 4 : f.count);
    switch (f.kind) {
    case NoteKind::None: break;
    case NoteKind::Counts:
    case NoteKind::Digits:
    case NoteKind::HexBytes:
        for (int i = 0; i < n; ++i) {
            m_line += i == 0 ? ' ' : ',';
            if (f.kind == NoteKind::HexBytes)
                AppendHexValue(static_cast<unsigned>(f.values[i]) & 0xFF, 2);
            else
                AppendInt(f.values[i]);
        }
        break;
    case NoteKind::Box:
        if (n > 0) {
            m_line += " box ";
            AppendInt(f.values[0]);
        } else {
            m_line += " no box";
        }
        break;
    case NoteKind::Address:
    case NoteKind::Sum:
        if (n > 0) {
            m_line += f.kind == NoteKind::Address ? " at 0x" : " sum 0x";
            AppendHexValue(static_cast<unsigned>(f.values[0]) & 0xFFFF, 4);
        }
        break;
    }
    m_line += " (type ";
    AppendInt(f.type);
    m_line += ')';
}

// ---- what was written --------------------------------------------------------------

void WireTrace::Written(const std::uint8_t* p, std::size_t n, const TxNote& note) {
    // The ACK of an accepted frame is held with the frame's line.
    if (note.kind != TxKind::Ack) Release();
    FlushNoise();
    std::uint8_t flags = 0;
    BeginLine("TX", p, n);
    switch (note.kind) {
    case TxKind::Ack: m_line += "ACK"; break;
    case TxKind::Nak:
        m_line += "NAK";
        flags |= kErrorLine;
        break;
    case TxKind::FirstSend:
    case TxKind::Resend:
    case TxKind::RepeatSend:
        flags |= kFrameLine;
        if (note.frame) {
            m_lastFrame = *note.frame;
            AppendFrameNote(*note.frame);
        } else {
            m_line += "host frame";
        }
        if (note.kind == TxKind::Resend) {
            m_line += ", resend ";
            AppendInt(note.resend);
            m_line += " of ";
            AppendInt(proto::kMaxAckRetries);
            flags |= kErrorLine;
        } else if (note.kind == TxKind::RepeatSend) {
            m_line += ", repeat send";
            if (note.runs > 0) {
                m_line += ", run ";
                AppendInt(note.run);
                m_line += " of ";
                AppendInt(note.runs);
            }
        }
        break;
    }
    if (note.notSent) {
        m_line += ", port not open: not sent";
        flags |= kErrorLine;
    }
    EndLine(flags);
}

// ---- what was received ---------------------------------------------------------------

void WireTrace::ChunkBegin(const std::uint8_t* p, std::size_t n) {
    Release();
    FlushLeftover();
    m_chunk = p;
    m_chunkLen = p ? n : 0;
    m_chunkPos = 0;
}

void WireTrace::ChunkEnd() {
    Release();
    FlushNoise();
    FlushLeftover();
    m_chunk = nullptr;
    m_chunkLen = m_chunkPos = 0;
}

void WireTrace::Received(RxKind kind) {
    Release();
    if (m_chunkPos >= m_chunkLen) return;  // no byte of a chunk to say it of
    const std::uint8_t b = m_chunk[m_chunkPos++];
    switch (kind) {
    case RxKind::Noise:
    case RxKind::NotAck:
        if (m_noiseLen > 0 && kind != m_noiseKind) FlushNoise();
        m_noiseKind = kind;
        m_noise[m_noiseLen++] = b;
        if (m_noiseLen == m_noise.size()) FlushNoise();
        return;
    case RxKind::Ack:
        FlushNoise();
        BeginLine("RX", &b, 1);
        m_line += "ACK";
        EndLine(0);
        return;
    case RxKind::FrameByte:
    case RxKind::FrameAnswer:
    case RxKind::FrameUnasked:
    case RxKind::FrameBadBcc:
        FlushNoise();
        if (m_frameLen == m_frame.size()) FlushFramePart(false);
        if (m_frameTotal < 6) {
            const std::size_t pos = m_frameTotal;
            if (pos >= kPosCode && pos <= kPosSub) m_framePos[pos - kPosCode] = b;
        }
        m_frame[m_frameLen++] = b;
        ++m_frameTotal;
        if (kind != RxKind::FrameByte) FrameLine(kind);
        return;
    }
}

void WireTrace::FlushNoise() {
    if (m_noiseLen == 0) return;
    BeginLine("RX", m_noise.data(), m_noiseLen);
    m_line += m_noiseKind == RxKind::NotAck ? "noise: not the awaited ACK, dropped"
                                            : "noise: fits no exchange, dropped";
    m_noiseLen = 0;
    EndLine(kErrorLine);
}

void WireTrace::FlushLeftover() {
    // Bytes of a chunk the receiver said nothing of: shown, never lost.
    if (!m_chunk || m_chunkPos >= m_chunkLen) return;
    FlushNoise();
    BeginLine("RX", m_chunk + m_chunkPos, m_chunkLen - m_chunkPos);
    m_line += "not taken by the receiver";
    m_chunkPos = m_chunkLen;
    EndLine(kErrorLine);
}

void WireTrace::FlushFramePart(bool cutShort) {
    BeginLine("RX", m_frame.data(), m_frameLen);
    std::uint8_t flags = kFrameLine;
    if (cutShort) {
        m_line += "response frame without its end so far";
        flags |= kErrorLine;
    } else {
        m_line += "part of a response frame, continued below";
    }
    m_frameLen = 0;
    m_frameSplit = true;
    EndLine(flags);
}

void WireTrace::ForgetFrame() {
    m_frameLen = 0;
    m_frameTotal = 0;
    m_framePos[0] = m_framePos[1] = m_framePos[2] = -1;
    m_frameSplit = false;
}

void WireTrace::FrameDropped() {
    Release();
    // The receiver gave the frame up: its bytes so far are a line of their
    // own, before whatever the send that dropped it writes.
    FlushNoise();
    if (m_frameTotal == 0) return;
    BeginLine("RX", m_frame.data(), m_frameLen);
    m_line += m_frameSplit ? "rest of a response frame" : "start of a response frame";
    m_line += " without its end, dropped";
    ForgetFrame();
    EndLine(kFrameLine | kErrorLine);
}

void WireTrace::FrameLine(RxKind verdict) {
    BeginLine("RX", m_frame.data(), m_frameLen);
    std::uint8_t flags = kFrameLine;
    // The code and the error byte stand before the ETX only in frames long
    // enough to hold them (see LinkFrame.h).
    const int code = m_frameTotal >= proto::kMinFrameWithCode ? m_framePos[0] : proto::kNoCode;
    if (code == proto::kNoCode) {
        m_line += "response frame too short for a code";
    } else {
        m_line += "response ";
        AppendCode(code);
        std::string_view name;
        for (const CodeName& c : kUnaskedCodes)
            if (c.code == code) name = c.name;
        if (name.empty()) {
            const int sub = m_frameTotal >= kMinFrameWithSub ? m_framePos[2] : -1;
            name = CommandName(AnsweredType(code, sub));
        }
        if (!name.empty()) {
            m_line += ' ';
            m_line += name;
        }
        if (proto::HasErrorByte(m_frameTotal) && CarriesErrorByte(code) && m_framePos[1] != ' ') {
            const auto dev = static_cast<std::uint8_t>(m_framePos[1] - 0x20);
            m_line += ", error ";
            m_line += "0123456789abcdef"[dev >> 4];
            m_line += "0123456789abcdef"[dev & 0x0F];
            m_line += " \"";
            m_line += g_ErrorText[ErrorTextIndex(dev)];
            m_line += '"';
            flags |= kErrorLine;
        }
    }
    if (verdict == RxKind::FrameUnasked) m_line += ", unasked (not the awaited answer)";
    if (verdict == RxKind::FrameBadBcc) {
        m_line += ", bad BCC, NAK sent";
        flags |= kErrorLine;
    } else {
        // Accepted: decoded next; its line waits for the fields.
        m_holding = true;
    }
    if (m_frameSplit) {
        m_line += ", end of a frame of ";
        AppendInt(static_cast<long long>(m_frameTotal));
        m_line += " bytes";
    }
    ForgetFrame();
    EndLine(flags);
}

// ---- the link's own events ---------------------------------------------------------

void WireTrace::Link(LinkEvent e, int nPort, std::string_view detail) {
    Release();
    FlushNoise();
    if (e == LinkEvent::Open || e == LinkEvent::PortBack) {
        m_port = nPort;
        m_portPath.assign(detail);
    } else if (e == LinkEvent::Close || e == LinkEvent::PortLost) {
        m_port = 0;
        m_portPath.clear();
    }
    if (e == LinkEvent::Close || e == LinkEvent::PortLost) {
        // The start of a frame whose end did not come before the line went
        // (the receiver keeps it: its end may still come).
        if (m_frameLen > 0) FlushFramePart(true);
    }
    if (e == LinkEvent::Open) m_origin = Now();
    BeginLine("--", nullptr, 0);
    std::uint8_t flags = 0;
    auto port = [&] {
        if (nPort <= 0) return;
        m_line += "COM";
        AppendInt(nPort);
    };
    auto withDetail = [&] {
        if (detail.empty()) return;
        m_line += " (";
        m_line += detail;
        m_line += ')';
    };
    switch (e) {
    case LinkEvent::Open:
        m_line += "OPEN ";
        port();
        withDetail();
        break;
    case LinkEvent::OpenFailed:
        m_line += "OPEN ";
        port();
        m_line += " failed";
        withDetail();
        flags |= kErrorLine;
        break;
    case LinkEvent::Close:
        m_line += "close ";
        port();
        withDetail();
        break;
    case LinkEvent::AckTimeout:
        m_line += "ACK time-out: ";
        AppendFrameNote(m_lastFrame);
        m_line += " given up after ";
        AppendInt(proto::kMaxAckRetries);
        m_line += " resends";
        flags |= kErrorLine;
        break;
    case LinkEvent::ResponseTimeout:
        m_line += "response time-out: no answer in time";
        flags |= kErrorLine;
        break;
    case LinkEvent::PortLost:
        port();
        m_line += " lost";
        withDetail();
        flags |= kErrorLine;
        break;
    case LinkEvent::PortBack:
        port();
        m_line += " back, opened again";
        withDetail();
        break;
    case LinkEvent::WriteDropped:
        m_line += "write dropped";
        withDetail();
        flags |= kErrorLine;
        break;
    }
    EndLine(flags);
}

}  // namespace trace
