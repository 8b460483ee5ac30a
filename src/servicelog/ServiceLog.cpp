// The LOG button and the service log file: the password asked once per run,
// the file created once per run at the first accepted LOG, and every '~'
// frame appended to it.
#include "commands/CommandType.h"
#include "console/ConsoleDlg.h"
#include "files/FileIo.h"
#include "servicelog/LogFile.h"
#include "servicelog/PasswordDlg.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr const char* kServicePassword = "rinq";
constexpr int kMaxNameTries = 1000;

}  // namespace

void CConsoleDlg::OnLog() {
    if (IsBusy()) {
        Refuse(ev::Refusal::Busy);
        return;
    }
    if (!m_bLogUnlocked) {
        CPasswordDlg dlg(m_host);
        dlg.m_strPassword.clear();
        const int closed = Modal([&] { return dlg.DoModal(); });  // only the text counts, not how the prompt closed
        if (dlg.m_strPassword != kServicePassword) {
            Refuse(ev::Refusal::WrongPassword);
            if (closed == fw::kIdOk) {  // a prompt cancelled needs no telling
                UpdateData(true);
                AppendRecvLine("LOG: wrong password; the module's log was not asked for.");
                UpdateData(false);
            }
            return;
        }
        m_bLogUnlocked = 1;
    }
    if (!m_hLogFile) {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::current_path(ec);
        if (ec) {
            const std::string why = "Cannot create the log file in the current directory:\n" + ec.message();
            Refuse(ev::Refusal::LogFileFailed, why);
            MessageBox(why, m_host.AppTitle(), fw::MsgIcon::Stop);
            return;
        }
        const std::string base = servicelog::BaseName(m_host.LocalTime());
        std::string path;
        int nErr = 0;
        // Never empty an existing file: a taken name gets "_1", "_2", ...
        for (int i = 0; i < kMaxNameTries && !m_hLogFile; ++i) {
            std::string name = base + (i ? "_" + std::to_string(i) : std::string()) + ".txt";
            const std::u8string full = (dir / name).u8string();
            path.assign(full.begin(), full.end());
            errno = 0;
            // Made new or not at all (a plain "wbx" is not exclusive everywhere).
            files::File file = files::File::Open(path, files::kWrite | files::kExclusive);
            m_hLogFile = file ? file.ToStdio("wb") : nullptr;
            nErr = errno;
            if (!m_hLogFile && nErr != EEXIST) break;
        }
        if (!m_hLogFile) {
            const std::string why =
                "Cannot create the log file " + path + ":\n" + std::strerror(nErr ? nErr : EEXIST);
            Refuse(ev::Refusal::LogFileFailed, why);
            MessageBox(why, m_host.AppTitle(), fw::MsgIcon::Stop);
            return;  // nowhere to write: the module's log is not asked for
        }
        m_strLogPath = path;
        m_bLogWriteFailed = false;
        Notify(ev::Notice{.kind = ev::NoticeKind::LogFileCreated, .text = m_strLogPath});
        UpdateData(true);
        AppendRecvLine("LOG: the module's log goes to " + m_strLogPath);
        UpdateData(false);
    }
    SendCommand(cmd::kLog);
}

void CConsoleDlg::WriteLogFrame(const std::uint8_t* pFrame, std::size_t nLen) {
    if (!m_hLogFile || m_bLogWriteFailed) return;
    const std::string text = servicelog::FormatFrame(pFrame, nLen);
    errno = 0;
    const bool ok = std::fwrite(text.data(), 1, text.size(), m_hLogFile) == text.size() &&
                    std::fflush(m_hLogFile) == 0;
    if (!ok) {
        const int nErr = errno ? errno : EIO;
        m_bLogWriteFailed = true;  // told once; later frames are not saved
        const std::string why = "Writing the log file " + m_strLogPath + " failed:\n" +
                                std::strerror(nErr) + "\nFurther log data is not saved.";
        Notify(ev::Notice{.kind = ev::NoticeKind::LogFileFailed, .text = why});
        MessageBox(why, m_host.AppTitle(), fw::MsgIcon::Warning);
        return;
    }
    Notify(ev::Notice{.kind = ev::NoticeKind::LogWritten,
                      .k = static_cast<int>(text.size()),
                      .text = m_strLogPath});
}
