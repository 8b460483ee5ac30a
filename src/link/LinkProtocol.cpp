// The link protocol: closing and sending host frames, the receiver state
// machine, the ACK timer (id 1: three resends, then give up) and the response
// timer (id 2).  Runs on the user-interface thread only; it touches the
// platform through the writer, the host's timers and the status line.
//
// The response timer belongs to the awaited answer: the receiver accepts and
// acknowledges every good frame, but only the frame that answers the command
// sent stops the timer (OnFrameReady decides which frame that is).  Any other
// frame, an unasked dump or a late answer to an earlier command, leaves the
// deadline where it was, so the wait always ends, by the answer or by the
// time-out.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

#include <cstring>
#include <string>

using namespace proto;

namespace {
// Said in the receive text when the console gives up on a dispense-type command.
constexpr const char* kGivenUpText =
    "The module may have received the command given up on: its counts are unknown; check LAST STAT.";

// Command types that arm no response timer: Go Loader and Reset, whose
// handlers leave the console idle right after the send.  A firmware block
// write does arm it, so a block whose answer never comes ends the download
// with "!!! Error Response Timeout" instead of leaving the console busy for good.
constexpr bool ArmsResponseTimer(int nType) { return nType != cmd::kGoLoader && nType != cmd::kReset; }

// What the channel dropped at the write just made: earlier writes that could
// not leave in time, and this one when the open port refused it.
void TraceWriteDrops(CConsoleDlg& dlg) {
    if (!dlg.m_Comm.IsOpen()) return;  // a write to a closed port is traced as not sent
    const WriteReport& w = dlg.m_Comm.LastWrite();
    const int nPort = dlg.m_Comm.OpenedPort();
    if (w.nStale)
        dlg.TraceLink(ev::LinkEvent::WriteDropped, nPort,
                      std::to_string(w.nStale) + " bytes written earlier could not leave within 1000 ms");
    if (w.outcome == WriteOutcome::Dropped)
        dlg.TraceLink(ev::LinkEvent::WriteDropped, nPort,
                      std::string(w.why) + (w.nError ? std::string(": ") + SystemErrorText(w.nError) : ""));
}
}  // namespace

void CConsoleDlg::WriteBytes(const std::uint8_t* p, std::uint32_t n, ev::TxKind kind) {
    if (m_pWriter) m_pWriter->Write(p, n);
    if (m_pWriter == &m_Comm) TraceWriteDrops(*this);
    if (!HasObservers()) return;
    // Told after the write, so listening never holds a byte back.
    ev::TxNote note;
    note.kind = kind;
    if (kind != ev::TxKind::Ack && kind != ev::TxKind::Nak) note.frame = &m_TxNote;
    note.resend = m_nAckRetries + 1;  // the resends so far and this one
    note.runs = m_nRepeat;
    note.run = m_nRepeat - m_nRepeatLeft + 1;
    note.notSent = !m_pWriter || (m_pWriter == &m_Comm && !m_Comm.IsOpen());
    Tell([&](ev::ConsoleObserver& o) { o.Written(p, n, note); });
}

void CConsoleDlg::TraceLink(ev::LinkEvent e, int nPort, std::string_view detail) {
    Tell([&](ev::ConsoleObserver& o) { o.Link(e, nPort, detail); });
}

void CConsoleDlg::AwaitAck() {
    // The module's next bytes are taken as the ACK of the frame just written
    // (a frame under way was dropped, and told, before the write).
    m_nRxState = kRxAwaitAck;
    m_bAckAwaited = true;
}

void CConsoleDlg::CloseAndSend(int nType) {
    // Head, code and parameters are in m_TxFrame[0 .. m_nTxLen); the catalogue
    // never builds more than 264 of them.
    if (m_nTxLen < 0 || static_cast<std::size_t>(m_nTxLen) + 3 > kTxFrameSize) return;
    m_nTxLen = static_cast<int>(CloseHostFrame(m_TxFrame, static_cast<std::size_t>(m_nTxLen)));
    m_TxFrame[m_nTxLen] = 0;  // kept after the BCC, neither counted nor sent

    m_bBusy = 1;
    EnableRule();
    DropFrameUnderWay();
    WriteBytes(m_TxFrame, static_cast<std::uint32_t>(m_nTxLen), ev::TxKind::FirstSend);
    if (ArmsResponseTimer(nType)) StartWait(kTimerResponse, kResponseFirstMs);
    SendBookkeeping();
    StartWait(kTimerAck, kAckMs);
    AwaitAck();
}

void CConsoleDlg::DropFrameUnderWay() {
    // Told before the send that drops it, so the bytes show in the order they came.
    if (m_nRxState == kRxInFrame || m_nRxState == kRxAwaitBcc) {
        Tell([](ev::ConsoleObserver& o) { o.FrameDropped(); });
        m_nRxState = kRxIdle;
    }
}

void CConsoleDlg::ResendStored(ev::TxKind kind) {
    // Only a length that lies inside the buffer is written; a length that no
    // closing step produced writes nothing rather than bytes beyond the frame.
    if (m_nTxLen <= 0 || static_cast<std::size_t>(m_nTxLen) > kTxFrameSize) return;
    WriteBytes(m_TxFrame, static_cast<std::uint32_t>(m_nTxLen), kind);
}

std::intptr_t CConsoleDlg::OnCommData() {
    // Copy the chunk out of the channel before working on it.
    std::uint8_t chunk[CComm::kChunk];
    std::size_t n = m_Comm.ChunkLength();
    if (n > sizeof chunk) n = sizeof chunk;
    for (std::size_t i = 0; i < n; ++i) chunk[i] = m_Comm.Chunk()[i];
    ReceiveBytes(chunk, n);
    return 1;
}

void CConsoleDlg::ReceiveBytes(const std::uint8_t* p, std::size_t n) {
    // Listeners are told what each byte was as the receiver takes it.
    const bool t = HasObservers();
    if (t) Tell([&](ev::ConsoleObserver& o) { o.ChunkBegin(p, n); });
    auto said = [&](ev::RxKind kind) {
        if (t) Tell([&](ev::ConsoleObserver& o) { o.Received(kind); });
    };
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        // A state outside 0..3 is taken as idle: the receiver only ever starts
        // a frame from a SOH.
        if (m_nRxState < kRxIdle || m_nRxState > kRxAwaitBcc) m_nRxState = kRxIdle;
        switch (m_nRxState) {
        case kRxIdle:
            m_nRxCount = 0;
            m_strRxFrame.clear();
            if (b == SOH) {
                m_strRxFrame.push_back(static_cast<char>(b));
                m_nRxCount = 1;
                m_nRxState = kRxInFrame;
            }
            said(b == SOH ? ev::RxKind::FrameByte : ev::RxKind::Noise);
            if (b != SOH) WatchStrayByte(b, false);
            break;
        case kRxAwaitAck:
            said(b == ACK ? ev::RxKind::Ack : ev::RxKind::NotAck);
            if (b == ACK) {
                StopWait(kTimerAck);
                m_nAckRetries = 0;
                m_nRxState = kRxIdle;
                m_bAckAwaited = false;
                if (t) Notify(ev::Notice{.kind = ev::NoticeKind::Acked, .type = m_nLastType});
                OnAckReceived();
            } else {
                WatchStrayByte(b, true);
            }
            break;
        case kRxInFrame:
            m_strRxFrame.push_back(static_cast<char>(b));
            ++m_nRxCount;
            if (b == ETX) m_nRxState = kRxAwaitBcc;
            said(ev::RxKind::FrameByte);
            break;
        case kRxAwaitBcc:
        default: {
            m_strRxFrame.push_back(static_cast<char>(b));
            ++m_nRxCount;
            m_nRxState = kRxIdle;
            const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
            // Only a frame whose code stands before its ETX can be a log frame.
            const bool bLog = ResponseCode(f, m_strRxFrame.size()) == LOG_CODE;
            if (!bLog && Xor(f, m_strRxFrame.size()) != 0) {
                said(ev::RxKind::FrameBadBcc);
                const std::uint8_t nak = NAK;
                WriteBytes(&nak, 1, ev::TxKind::Nak);
                break;
            }
            const bool bAnswer = IsAwaitedAnswer();
            // Go Loader's and Reset's first answer answers the frame sent,
            // though the batch logic does not wait for it.
            const bool bReply = !bAnswer && m_nReplyCode != 0 &&
                                ResponseCode(f, m_strRxFrame.size()) == m_nReplyCode;
            if (bReply) m_nReplyCode = 0;
            said(bAnswer || bReply ? ev::RxKind::FrameAnswer : ev::RxKind::FrameUnasked);
            if (bAnswer) StopWait(kTimerResponse);
            const std::uint8_t ack = ACK;
            WriteBytes(&ack, 1, ev::TxKind::Ack);
            ++m_nFramesAccepted;
            OnMessage(WM_FRAME_READY, static_cast<std::uintptr_t>(m_nRxCount), 0);
            break;
        }
        }
    }
    if (t) Tell([](ev::ConsoleObserver& o) { o.ChunkEnd(); });
    TellIdleChange();
}

void CConsoleDlg::OnAckTimer() {
    StopWait(kTimerAck);
    if (m_nAckRetries >= kMaxAckRetries) {
        // The download flag is cleared with the rest by the give-up below.
        m_nAckRetries = 0;
        m_bAckAwaited = false;
        TraceLink(ev::LinkEvent::AckTimeout, 0);
        OnLinkGaveUp("!!! Error ACK Timeout");
    } else {
        m_bBusy = 1;
        DropFrameUnderWay();
        ResendStored(ev::TxKind::Resend);
        StartWait(kTimerAck, kAckMs);
        AwaitAck();
        ++m_nAckRetries;
        OnBlockResent();
    }
    EnableRule();
}

void CConsoleDlg::OnResponseTimer() {
    StopWait(kTimerResponse);
    TraceLink(ev::LinkEvent::ResponseTimeout, 0);
    OnLinkGaveUp("!!! Error Response Timeout");
    EnableRule();
}

void CConsoleDlg::OnLinkGaveUp(const char* szStatus) {
    // Nothing of the frame given up on may reach the module later.
    if (const std::size_t n = m_Comm.DropUnsent())
        TraceLink(ev::LinkEvent::WriteDropped, m_Comm.OpenedPort(), std::to_string(n) + " bytes not sent yet");
    // A dispense-type frame that left may have reached the module, and its
    // notes may have moved: no flush can call back what the far end holds.
    const bool bDispense = m_bAnswerAwaited && cmd::IsDispenseType(m_nLastType);
    BatchGaveUp();
    m_bBusy = 0;
    m_nRepeat = 0;
    m_nRepeatLeft = 0;
    m_bAnswerAwaited = false;
    DownloadGaveUp();
    UpdateData(true);
    if (m_nLostPort != 0)
        AppendRecvLine(szStatus);  // the status line keeps saying lost
    else
        m_strStatus = szStatus;
    if (bDispense) AppendRecvLine(kGivenUpText);
    UpdateData(false);
}
