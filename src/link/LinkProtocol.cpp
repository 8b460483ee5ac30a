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
#include "console/ConsoleDlg.h"
#include "link/LinkFrame.h"

using namespace proto;

namespace {
// Command types that arm no response timer: Go Loader (20) and Reset (23),
// whose handlers leave the console idle right after the send.  A firmware block
// write (21) does arm it, so a block whose answer never comes ends the download
// with "!!! Error Response Timeout" instead of leaving the console busy for good.
constexpr bool ArmsResponseTimer(int nType) { return nType != 20 && nType != 23; }
}  // namespace

void CConsoleDlg::WriteBytes(const std::uint8_t* p, std::uint32_t n, trace::TxKind kind) {
    if (m_pWriter) m_pWriter->Write(p, n);
    if (!m_pTrace) return;
    // Told after the write, so tracing never holds a byte back.
    trace::TxNote note;
    note.kind = kind;
    if (kind != trace::TxKind::Ack && kind != trace::TxKind::Nak) note.frame = &m_TxNote;
    note.resend = m_nAckRetries + 1;  // the resends so far and this one
    note.runs = m_nRepeat;
    note.run = m_nRepeat - m_nRepeatLeft + 1;
    note.notSent = !m_pWriter || (m_pWriter == &m_Comm && !m_Comm.m_bOpen);
    m_pTrace->Written(p, n, note);
}

void CConsoleDlg::TraceLink(trace::LinkEvent e, int nPort, std::string_view detail) {
    if (m_pTrace) m_pTrace->Link(e, nPort, detail);
}

void CConsoleDlg::CloseAndSend(int nType) {
    // Head, code and parameters are in m_TxFrame[0 .. m_nTxLen); the catalogue
    // never builds more than 264 of them.
    if (m_nTxLen < 0 || static_cast<std::size_t>(m_nTxLen) + 3 > kTxFrameSize) return;
    m_TxFrame[m_nTxLen++] = ETX;
    m_TxFrame[m_nTxLen] = Xor(m_TxFrame, static_cast<std::size_t>(m_nTxLen));
    ++m_nTxLen;
    m_TxFrame[m_nTxLen] = 0;  // kept after the BCC, neither counted nor sent

    m_bBusy = 1;
    EnableRule();
    WriteBytes(m_TxFrame, static_cast<std::uint32_t>(m_nTxLen), trace::TxKind::FirstSend);
    if (ArmsResponseTimer(nType)) m_host.SetTimer(kTimerResponse, kResponseFirstMs);
    SendBookkeeping();
    m_host.SetTimer(kTimerAck, kAckMs);
    m_nRxState = kRxAwaitAck;
}

void CConsoleDlg::ResendStored(trace::TxKind kind) {
    // Only a length that lies inside the buffer is written; a length that no
    // closing step produced writes nothing rather than bytes beyond the frame.
    if (m_nTxLen <= 0 || static_cast<std::size_t>(m_nTxLen) > kTxFrameSize) return;
    WriteBytes(m_TxFrame, static_cast<std::uint32_t>(m_nTxLen), kind);
}

std::intptr_t CConsoleDlg::OnCommData() {
    // Copy the chunk out of the channel before working on it.
    std::uint8_t chunk[CComm::kChunk];
    std::size_t n = m_Comm.m_wRxLen;
    if (n > sizeof chunk) n = sizeof chunk;
    for (std::size_t i = 0; i < n; ++i) chunk[i] = m_Comm.m_RxBuf[i];
    ReceiveBytes(chunk, n);
    return 1;
}

void CConsoleDlg::ReceiveBytes(const std::uint8_t* p, std::size_t n) {
    // The trace is told what each byte was as the receiver takes it.
    trace::WireObserver* const t = m_pTrace;
    if (t) t->ChunkBegin(p, n);
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
            if (t) t->Received(b == SOH ? trace::RxKind::FrameByte : trace::RxKind::Noise);
            if (b != SOH) WatchStrayByte(b, false);
            break;
        case kRxAwaitAck:
            if (t) t->Received(b == ACK ? trace::RxKind::Ack : trace::RxKind::NotAck);
            if (b == ACK) {
                m_host.KillTimer(kTimerAck);
                m_nAckRetries = 0;
                m_nRxState = kRxIdle;
                OnAckReceived();
            } else {
                WatchStrayByte(b, true);
            }
            break;
        case kRxInFrame:
            m_strRxFrame.push_back(static_cast<char>(b));
            ++m_nRxCount;
            if (b == ETX) m_nRxState = kRxAwaitBcc;
            if (t) t->Received(trace::RxKind::FrameByte);
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
                if (t) t->Received(trace::RxKind::FrameBadBcc);
                const std::uint8_t nak = NAK;
                WriteBytes(&nak, 1, trace::TxKind::Nak);
                break;
            }
            const bool bAnswer = IsAwaitedAnswer();
            if (t) t->Received(bAnswer ? trace::RxKind::FrameAnswer : trace::RxKind::FrameUnasked);
            if (bAnswer) m_host.KillTimer(kTimerResponse);
            const std::uint8_t ack = ACK;
            WriteBytes(&ack, 1, trace::TxKind::Ack);
            ++m_nFramesAccepted;
            OnMessage(WM_FRAME_READY, static_cast<std::uintptr_t>(m_nRxCount), 0);
            break;
        }
        }
    }
    if (t) t->ChunkEnd();
}

void CConsoleDlg::OnAckTimer() {
    m_host.KillTimer(kTimerAck);
    if (m_nAckRetries >= kMaxAckRetries) {
        m_bDownloading = 0;
        m_nAckRetries = 0;
        TraceLink(trace::LinkEvent::AckTimeout, 0);
        OnLinkGaveUp("!!! Error ACK Timeout");
    } else {
        m_bBusy = 1;
        ResendStored(trace::TxKind::Resend);
        m_host.SetTimer(kTimerAck, kAckMs);
        m_nRxState = kRxAwaitAck;
        ++m_nAckRetries;
        OnBlockResent();
    }
    EnableRule();
}

void CConsoleDlg::OnResponseTimer() {
    m_host.KillTimer(kTimerResponse);
    TraceLink(trace::LinkEvent::ResponseTimeout, 0);
    OnLinkGaveUp("!!! Error Response Timeout");
    EnableRule();
}

void CConsoleDlg::OnLinkGaveUp(const char* szStatus) {
    BatchGaveUp();
    m_bBusy = 0;
    m_nRepeat = 0;
    m_nRepeatLeft = 0;
    m_bAnswerAwaited = false;
    DownloadGaveUp();
    UpdateData(true);
    m_strStatus = szStatus;
    UpdateData(false);
}
