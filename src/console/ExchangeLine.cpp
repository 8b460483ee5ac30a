#include "console/ExchangeLine.h"

#include "commands/Catalogue.h"
#include "commands/CommandType.h"

#include <cstdio>

namespace {

constexpr int kMaxResends = 3;
// Bytes per second at 9600 baud with a start and a stop bit.
constexpr double kLineBytesPerSec = 960.0;
// What a block's exchange adds to its frame on the line: the module's ACK,
// its 's' answer (head, code, error byte, ETX, BCC) and our ACK.
constexpr std::size_t kBlockExtraBytes = 1 + 6 + 1;

// "0.4 s" under ten seconds, whole seconds (rounded up) above.
std::string Seconds(std::uint64_t ms) {
    char buf[32];
    if (ms < 10000)
        std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
    else
        std::snprintf(buf, sizeof buf, "%llu s", static_cast<unsigned long long>((ms + 999) / 1000));
    return buf;
}

// "1:05" minutes and seconds, rounded up.
std::string MinSec(std::uint64_t ms) {
    const unsigned long long s = (ms + 999) / 1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
    return buf;
}

}  // namespace

std::uint64_t ExchangeLine::Left(std::uint64_t due) const {
    const std::uint64_t now = m_now();
    return due > now ? due - now : 0;
}

void ExchangeLine::Clear() {
    m_ackDue = m_answerDue = m_nextDue = 0;
    m_resend = 0;
    m_run = m_runs = 0;
    m_block = m_blocks = 0;
}

std::string ExchangeLine::Line() const {
    std::string out;
    if (m_blocks > 0) {
        out = "block " + std::to_string(m_block) + " of " + std::to_string(m_blocks);
        const int left = m_blocks - m_block;
        if (left > 0) {
            double msPerBlock = static_cast<double>(m_blockBytes + kBlockExtraBytes) * 1000.0 / kLineBytesPerSec;
            if (m_block > m_firstBlock)
                msPerBlock = static_cast<double>(m_now() - m_firstBlockAt) / (m_block - m_firstBlock);
            out += ", " + MinSec(static_cast<std::uint64_t>(msPerBlock * left)) + " left";
        }
    }
    std::string waits;
    auto add = [&](const std::string& s) { waits += (waits.empty() ? "" : ", ") + s; };
    if (m_ackDue) {
        std::string s = "awaiting ACK " + Seconds(Left(m_ackDue));
        if (m_resend > 0) s += " (resend " + std::to_string(m_resend) + " of " + std::to_string(kMaxResends) + ")";
        add(s);
    }
    if (m_answerDue) add((m_ackDue ? "answer within " : "awaiting answer ") + Seconds(Left(m_answerDue)));
    if (m_nextDue) add("next send in " + Seconds(Left(m_nextDue)));
    if (waits.empty()) return out;
    std::string head(CommandName(m_type));
    if (m_runs > 1) head += " run " + std::to_string(m_run) + " of " + std::to_string(m_runs);
    if (!out.empty()) out += "; ";
    return out + head + ": " + waits;
}

void ExchangeLine::Written(const std::uint8_t*, std::size_t n, const ev::TxNote& note) {
    switch (note.kind) {
    case ev::TxKind::FirstSend:
        m_type = note.frame ? note.frame->type : 0;
        m_resend = 0;
        m_run = 1;  // of how many, the batch's first answer tells
        m_runs = 0;
        if (m_type == cmd::kWriteBlock) m_blockBytes = n;
        break;
    case ev::TxKind::Resend: m_resend = note.resend; break;
    case ev::TxKind::RepeatSend:
        m_resend = 0;
        m_run = note.run;
        m_runs = note.runs;
        break;
    case ev::TxKind::Ack:
    case ev::TxKind::Nak: return;
    }
    Changed();
}

void ExchangeLine::Received(ev::RxKind kind) {
    if (kind == ev::RxKind::Ack) m_resend = 0;
}

void ExchangeLine::Link(ev::LinkEvent e, int nPort, std::string_view detail) {
    switch (e) {
    case ev::LinkEvent::Open: m_reason.clear(); break;
    case ev::LinkEvent::OpenFailed:
        m_reason = "COM" + std::to_string(nPort) + ": " + std::string(detail);
        break;
    case ev::LinkEvent::AckTimeout:
        m_reason = std::string(CommandName(m_type)) + ": no ACK after " + std::to_string(kMaxResends) + " resends";
        Clear();
        break;
    case ev::LinkEvent::ResponseTimeout:
        m_reason = std::string(CommandName(m_type)) + ": no answer in time";
        Clear();
        break;
    case ev::LinkEvent::PortLost:
        m_reason = "COM" + std::to_string(nPort) + " went away" + (detail.empty() ? "" : ": " + std::string(detail));
        Clear();
        break;
    case ev::LinkEvent::PortBack: m_reason.clear(); break;
    case ev::LinkEvent::WriteDropped:
        m_reason = "bytes not sent" + (detail.empty() ? "" : ": " + std::string(detail));
        break;
    case ev::LinkEvent::Close: Clear(); break;
    }
    Changed();
}

void ExchangeLine::Answered(const ev::Answer& answer) {
    if (!answer.awaited) return;
    if (answer.of > 1) {
        m_run = answer.index;
        m_runs = answer.of;
    }
    Changed();
}

void ExchangeLine::Noticed(const ev::Notice& notice) {
    switch (notice.kind) {
    case ev::NoticeKind::BlockWritten:
        if (m_blocks == 0 || notice.k <= m_firstBlock) {
            m_firstBlock = notice.k;
            m_firstBlockAt = m_now();
        }
        m_block = notice.k;
        m_blocks = notice.n;
        break;
    case ev::NoticeKind::DownloadDone:
    case ev::NoticeKind::DownloadStopped: m_block = m_blocks = 0; break;
    default: return;
    }
    Changed();
}

void ExchangeLine::Idle(bool idle) {
    if (!idle) return;
    Clear();
    Changed();
}

void ExchangeLine::Waiting(ev::WaitKind what, unsigned ms) {
    const std::uint64_t due = ms ? m_now() + ms : 0;
    switch (what) {
    case ev::WaitKind::Ack: m_ackDue = due; break;
    case ev::WaitKind::Answer: m_answerDue = due; break;
    case ev::WaitKind::NextRun: m_nextDue = due; break;
    }
    Changed();
}
