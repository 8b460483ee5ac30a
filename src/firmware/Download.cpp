// The firmware download: Go Loader, Write Prog (load a HEX file, then the image
// in 320 blocks of 128 bytes, one exchange each, with a progress bar), Verify by
// the 16-bit image sum, and Reset.  The next block is requested by a posted
// message so that the handling of the current answer ends first.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "firmware/HexLoader.h"
#include "firmware/ImageIdentity.h"
#include "link/LinkFrame.h"

#include <array>
#include <cstdio>
#include <filesystem>

namespace {
constexpr const char* kHexFilter = "HEX(*.hex) |*.hex|  all(*.*)|*.*||";
constexpr std::uint8_t kProgramWritingError = 0x33;
}  // namespace

void CConsoleDlg::ClearProgress() {
    // A refused file is this attempt: the bar no longer shows the last download.
    m_nBlocksDone = 0;
    m_host.SetProgressPos(ids::kProgress, 0);
}

std::uint16_t CConsoleDlg::ImageSum() const { return image::Sum16(m_Image); }

void CConsoleDlg::OnGoLoader() {
    if (IsBusy()) {
        Refuse(ev::Refusal::Busy);
        return;
    }
    SendCommand(cmd::kGoLoader);
    m_bBusy = 0;
    EnableRule();
}

void CConsoleDlg::OnReset() {
    if (IsBusy()) {
        Refuse(ev::Refusal::Busy);
        return;
    }
    SendCommand(cmd::kReset);
    m_bLoaderStarted = false;
    m_bBusy = 0;
    EnableRule();
}

void CConsoleDlg::OnVerify() {
    if (IsBusy()) {
        Refuse(ev::Refusal::Busy);
        return;
    }
    m_bVerifyMayFollow = false;
    SendCommand(cmd::kVerify);
}

void CConsoleDlg::OnWriteProg() {
    if (IsBusy()) {
        Refuse(ev::Refusal::Busy);
        return;
    }
    m_nImageAddr = 0;
    const auto chosen = m_host.OpenFileDialog(kHexFilter);
    if (!chosen) {
        Refuse(ev::Refusal::NoFile);
        m_host.MessageBox("File Not Open!", m_host.AppTitle(), fw::MsgIcon::Stop);
        return;
    }
    // The chosen file's folder becomes the current directory; a service log
    // created later in the run lies there.
    std::error_code ec;
    const std::filesystem::path path(*chosen);
    if (path.has_parent_path()) std::filesystem::current_path(path.parent_path(), ec);
    const std::string name = path.has_parent_path() ? path.filename().string() : *chosen;

    // Loaded into a scratch image first: a refused file leaves the image of the
    // last good load untouched, so Verify still sums what the module holds.
    std::array<std::uint8_t, kImageSize> scratch;
    scratch.fill(0xFF);
    const HexLoadResult r = LoadHexFile(ec ? *chosen : name, scratch);
    if (r.OnlyChecksums()) {
        // Records whose only fault is their checksum: an old file a careless
        // tool wrote.  The operator may take it; No is the default.  The
        // scratch image holds the records as read.
        const std::string finding = HexFindingsSummary(*chosen, r);
        const int answer = m_host.AskYesNo(finding + "\n\nDownload it anyway?", m_host.AppTitle(),
                                           fw::MsgIcon::Warning);
        if (answer != fw::kIdYes) {
            Refuse(ev::Refusal::BadHexFile, finding);
            ClearProgress();
            return;
        }
        // The box's own loop ran timers and messages: the flag is looked at again.
        if (IsBusy()) {
            Refuse(ev::Refusal::Busy);
            return;
        }
        Notify(ev::Notice{.kind = ev::NoticeKind::BadRecordsTaken, .text = finding});
        AppendRecvLine("Bad records taken by choice: " + finding);
    } else if (r.status != HexLoadStatus::Ok) {
        const std::string why = HexLoadMessage(*chosen, r);
        Refuse(ev::Refusal::BadHexFile, why);
        ClearProgress();
        m_host.MessageBox(why, m_host.AppTitle(), fw::MsgIcon::Stop);
        return;
    }
    m_Image = scratch;

    // The image's identity, before anything is sent.
    const ev::ImageIdentity identity = image::Identify(*chosen, r, m_Image);
    Notify(ev::Notice{.kind = ev::NoticeKind::ImageLoaded, .text = {}, .image = &identity});
    AppendRecvLine(image::IdentityLine(identity));

    m_bDownloading = 1;
    m_nBlocksDone = 1;
    m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
    m_host.SetTimer(kTimerProgress, kProgressMs);
    BeginDownloadWatch();
    SendCommand(cmd::kWriteBlock);
}

std::intptr_t CConsoleDlg::OnNextBlock() {
    if (m_bDownloading && m_bStopBatch) {  // stopped after the block just answered
        Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                          .k = m_nBlocksDone,
                          .n = kBlockCount,
                          .address = m_nImageAddr,
                          .text = "stopped after the block under way"});
        m_bDownloading = 0;
        m_host.KillTimer(kTimerProgress);
        m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
        EnableRule();
        return 0;
    }
    if (m_bAutoVerifyDue && !m_bDownloading) {
        m_bAutoVerifyDue = false;
        if (!m_bVerifyMayFollow) return 0;  // Verify was pressed first, or another command
        AppendRecvLine("Verify runs by itself: " + m_strAnomaly + ".");
        OnVerify();
        return 0;
    }
    // A stray request after the download stopped sends nothing; a doubt that
    // arose since the request was posted holds the block for quiet.
    if (!m_bDownloading || m_bHeldForQuiet) return 0;
    if (m_bBlockDoubt) {
        BlockConfirmed();
        return 0;
    }
    if (m_nImageAddr < kImageSize)
        SendCommand(cmd::kWriteBlock);
    else
        FinishDownload();
    return 0;
}

void CConsoleDlg::OnProgressTimer() {
    m_host.KillTimer(kTimerProgress);
    m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
    UpdateData(false);
    if (m_bDownloading) m_host.SetTimer(kTimerProgress, kProgressMs);
}

void CConsoleDlg::OnLoaderAnswer() {
    m_bLoaderStarted = true;
    Notify(ev::Notice{.kind = ev::NoticeKind::LoaderOk});
    m_host.MessageBox("Go Loader O.K.!", m_host.AppTitle(), fw::MsgIcon::None);
}

void CConsoleDlg::OnBlockWritten(bool bAnswer) {
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
    const bool bComplete = proto::HasErrorByte(m_strRxFrame.size());
    const bool bError = bComplete && f[4] != ' ';
    if (!bAnswer) {
        // Answers no block: shown; during a download it is a late copy's
        // answer (the download's guard, firmware/DownloadGuard.cpp).
        AppendRecvLine("Unasked 's' answer");
        OnStrayBlockAnswer(bError, bError ? static_cast<std::uint8_t>(f[4] - 0x20) : 0);
        return;
    }
    if (bError || !bComplete) {
        const bool wasRunning = m_bDownloading != 0;
        m_bDownloading = 0;
        if (wasRunning) {
            m_host.KillTimer(kTimerProgress);
            m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
        }
        if (bError) {
            const auto nCode = static_cast<std::uint8_t>(f[4] - 0x20);
            if (wasRunning)
                Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                                  .k = m_nBlocksDone,
                                  .n = kBlockCount,
                                  .address = m_nImageAddr - kBlockSize,
                                  .error = nCode,
                                  .text = "the module reported a device error"});
            ShowDeviceError(nCode);
            // The module refuses the first block with this code while its
            // loader is not running.
            if (nCode == kProgramWritingError && m_nBlocksDone == 1 && !m_bLoaderStarted) {
                UpdateData(true);
                AppendRecvLine("Write Prog: the module's loader was not started (press Go Loader first).");
                UpdateData(false);
            }
        } else if (wasRunning) {
            // Without its error byte the answer confirms nothing.
            char msg[160];
            std::snprintf(msg, sizeof msg,
                          "The module's answer to the block at 0x%04X was incomplete (no error byte). "
                          "The download stopped.",
                          static_cast<unsigned>(m_nImageAddr - kBlockSize) & 0xFFFFu);
            Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                              .k = m_nBlocksDone,
                              .n = kBlockCount,
                              .address = m_nImageAddr - kBlockSize,
                              .text = msg});
            m_host.MessageBox(msg, m_host.AppTitle(), fw::MsgIcon::Stop);
        }
    }
    if (!m_bDownloading) return;
    Notify(ev::Notice{.kind = ev::NoticeKind::BlockWritten,
                      .k = m_nBlocksDone,
                      .n = kBlockCount,
                      .address = m_nImageAddr - kBlockSize});
    ++m_nBlocksDone;
    BlockConfirmed();
}

void CConsoleDlg::OnVerifyAnswer(bool bAnswer) {
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
    const bool bComplete = proto::HasErrorByte(m_strRxFrame.size());
    const bool bError = bComplete && f[4] != ' ';
    if (bError) {
        const auto nCode = static_cast<std::uint8_t>(f[4] - 0x20);
        if (bAnswer)
            Notify(ev::Notice{.kind = ev::NoticeKind::VerifyFailed,
                              .error = nCode,
                              .text = "the module reported a device error"});
        ShowDeviceError(nCode);
    }
    if (!bAnswer) {
        AppendRecvLine("Unasked 't' answer");
        return;
    }
    if (!bComplete) {
        static constexpr const char* kIncomplete =
            "Verify failed: the module's answer was incomplete (no error byte).";
        Notify(ev::Notice{.kind = ev::NoticeKind::VerifyFailed, .text = kIncomplete});
        m_host.MessageBox(kIncomplete, m_host.AppTitle(), fw::MsgIcon::Stop);
    } else if (!bError) {
        Notify(ev::Notice{.kind = ev::NoticeKind::VerifyOk});
        m_host.MessageBox("Verify O.K.!", m_host.AppTitle(), fw::MsgIcon::None);
    }
}

void CConsoleDlg::DownloadGaveUp() {
    // A time-out during a download stops it; the bar keeps the block it failed at.
    // The block's answer may still come, and would look like the next one's.
    if (m_bDownloading && m_nLastType == cmd::kWriteBlock) NoteBlockDoubt("a block's answer was overdue");
    if (m_bDownloading)
        Notify(ev::Notice{.kind = ev::NoticeKind::DownloadStopped,
                          .k = m_nBlocksDone,
                          .n = kBlockCount,
                          .address = m_nImageAddr - kBlockSize,
                          .text = "the link gave up on the block"});
    m_bDownloading = 0;
    m_bHeldForQuiet = false;
    m_bAutoVerifyDue = false;
    m_host.KillTimer(kTimerQuiet);
    m_host.KillTimer(kTimerProgress);
    if (m_nBlocksDone > 0 && m_nBlocksDone < kBlockCount) m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
}
