// The firmware download: Go Loader, Write Prog (load a HEX file, then the image
// in 320 blocks of 128 bytes, one exchange each, with a progress bar), Verify by
// the 16-bit image sum, and Reset.  The next block is requested by a posted
// message so that the handling of the current answer ends first.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "firmware/HexLoader.h"
#include "link/LinkFrame.h"

#include <array>
#include <cstdio>
#include <filesystem>

namespace {
constexpr const char* kHexFilter = "HEX(*.hex) |*.hex|  all(*.*)|*.*||";
constexpr int kTypeGoLoader = 20, kTypeBlock = 21, kTypeVerify = 22, kTypeReset = 23;
}  // namespace

std::uint16_t CConsoleDlg::ImageSum() const {
    std::uint32_t sum = 0;
    for (std::uint8_t b : m_Image) sum += b;
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

void CConsoleDlg::OnGoLoader() {
    if (IsBusy()) return;
    SendCommand(kTypeGoLoader);
    m_bBusy = 0;
    EnableRule();
}

void CConsoleDlg::OnReset() {
    if (IsBusy()) return;
    SendCommand(kTypeReset);
    m_bBusy = 0;
    EnableRule();
}

void CConsoleDlg::OnVerify() {
    if (IsBusy()) return;
    SendCommand(kTypeVerify);
}

void CConsoleDlg::OnWriteProg() {
    if (IsBusy()) return;
    m_nImageAddr = 0;
    const auto chosen = m_host.OpenFileDialog(kHexFilter);
    if (!chosen) {
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
    if (r.status != HexLoadStatus::Ok) {
        m_host.MessageBox(HexLoadMessage(*chosen, r), m_host.AppTitle(), fw::MsgIcon::Stop);
        return;
    }
    m_Image = scratch;

    m_bDownloading = 1;
    m_nBlocksDone = 1;
    m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
    m_host.SetTimer(kTimerProgress, kProgressMs);
    BeginDownloadWatch();
    SendCommand(kTypeBlock);
}

std::intptr_t CConsoleDlg::OnNextBlock() {
    if (m_bAutoVerifyDue && !m_bDownloading) {
        m_bAutoVerifyDue = false;
        AppendRecv("Verify runs by itself: " + m_strAnomaly + ".\r\n");
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
        SendCommand(kTypeBlock);
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
    m_host.MessageBox("Go Loader O.K.!", m_host.AppTitle(), fw::MsgIcon::None);
}

void CConsoleDlg::OnBlockWritten(bool bAnswer) {
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
    const bool bComplete = proto::HasErrorByte(m_strRxFrame.size());
    const bool bError = bComplete && f[4] != ' ';
    if (!bAnswer) {
        // Answers no block: shown; during a download it is a late copy's
        // answer (the download's guard, firmware/DownloadGuard.cpp).
        AppendRecv("Unasked 's' answer\r\n");
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
            ShowDeviceError(static_cast<std::uint8_t>(f[4] - 0x20));
        } else if (wasRunning) {
            // Without its error byte the answer confirms nothing.
            char msg[160];
            std::snprintf(msg, sizeof msg,
                          "The module's answer to the block at 0x%04X was incomplete (no error byte). "
                          "The download stopped.",
                          static_cast<unsigned>(m_nImageAddr - kBlockSize) & 0xFFFFu);
            m_host.MessageBox(msg, m_host.AppTitle(), fw::MsgIcon::Stop);
        }
    }
    if (!m_bDownloading) return;
    ++m_nBlocksDone;
    BlockConfirmed();
}

void CConsoleDlg::OnVerifyAnswer(bool bAnswer) {
    const auto* f = reinterpret_cast<const std::uint8_t*>(m_strRxFrame.data());
    const bool bComplete = proto::HasErrorByte(m_strRxFrame.size());
    const bool bError = bComplete && f[4] != ' ';
    if (bError) ShowDeviceError(static_cast<std::uint8_t>(f[4] - 0x20));
    if (!bAnswer) {
        AppendRecv("Unasked 't' answer\r\n");
        return;
    }
    if (!bComplete)
        m_host.MessageBox("Verify failed: the module's answer was incomplete (no error byte).",
                          m_host.AppTitle(), fw::MsgIcon::Stop);
    else if (!bError)
        m_host.MessageBox("Verify O.K.!", m_host.AppTitle(), fw::MsgIcon::None);
}

void CConsoleDlg::DownloadGaveUp() {
    // A time-out during a download stops it; the bar keeps the block it failed at.
    // The block's answer may still come, and would look like the next one's.
    if (m_bDownloading && m_nLastType == cmd::kWriteBlock) NoteBlockDoubt("a block's answer was overdue");
    m_bDownloading = 0;
    m_bHeldForQuiet = false;
    m_bAutoVerifyDue = false;
    m_host.KillTimer(kTimerQuiet);
    m_host.KillTimer(kTimerProgress);
    if (m_nBlocksDone > 0 && m_nBlocksDone < kBlockCount) m_host.SetProgressPos(ids::kProgress, m_nBlocksDone);
}
