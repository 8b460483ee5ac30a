// Service log capture: LOG asks for the service password once per run, creates
// the log file YYMMDD_HHMMSS.txt in the current directory at the first accepted
// LOG, and every '~' answer is appended to it: the payload in 8-byte groups, a
// line break after every 9th group, and "\r\n---END\r\n" after each frame.
//
// The file is never emptied: a name already taken gets "_1", "_2", ... before
// ".txt".  A file that cannot be created is reported and LOG is not sent, so no
// log is received with nowhere to go; the next press tries again.  Each frame
// is flushed before the next one is handled.
#include "console/ConsoleDlg.h"
#include "servicelog/PasswordDlg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

constexpr const char* kServicePassword = "rinq";
constexpr int kTypeLog = 19;
constexpr std::size_t kGroup = 8;
constexpr int kGroupsPerLine = 9;

}  // namespace

void CConsoleDlg::OnLog() {
    if (m_bBusy) return;
    if (!m_bLogUnlocked) {
        CPasswordDlg dlg(m_host);
        dlg.m_strPassword.clear();
        dlg.DoModal();  // only the text counts, not how the prompt was closed
        if (dlg.m_strPassword != kServicePassword) return;
        m_bLogUnlocked = 1;
    }
    if (!m_hLogFile) {
        const std::tm t = m_host.LocalTime();
        char stem[32];
        std::snprintf(stem, sizeof stem, "%02d%02d%02d_%02d%02d%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec);
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::current_path(ec);
        std::string path;
        int err = ec ? ec.value() : 0;
        for (int n = 0; !err && n < 1000; ++n) {
            const std::string name = n == 0 ? std::string(stem) + ".txt"
                                            : std::string(stem) + "_" + std::to_string(n) + ".txt";
            path = (dir / name).string();
            m_hLogFile = std::fopen(path.c_str(), "wbx");
            if (m_hLogFile) break;
            err = errno;
            if (err == EEXIST) err = 0;
        }
        if (!m_hLogFile) {
            const std::string msg = "Cannot create the service log file " + (path.empty() ? std::string(stem) : path) +
                                    ": " + std::strerror(err ? err : EEXIST);
            m_host.MessageBox(msg, m_host.AppTitle(), fw::MsgIcon::Stop);
            return;
        }
        m_strLogPath = path;
        m_bLogWriteFailed = false;
    }
    SendCommand(kTypeLog);
}

void CConsoleDlg::WriteLogFrame(const std::uint8_t* pFrame, std::size_t nLen) {
    if (!m_hLogFile || m_bLogWriteFailed) return;
    bool ok = true;
    auto put = [&](const void* p, std::size_t n) {
        if (ok && n && std::fwrite(p, 1, n, m_hLogFile) != n) ok = false;
    };
    if (nLen >= 6) {
        const std::size_t payload = nLen - 6;
        int groups = 0;
        for (std::size_t off = 0; off < payload; off += kGroup) {
            put(pFrame + 4 + off, std::min(kGroup, payload - off));  // a short tail as it is
            if (++groups == kGroupsPerLine) {
                put("\r\n", 2);
                groups = 0;
            }
        }
    }
    put("\r\n---END\r\n", 10);
    if (ok && std::fflush(m_hLogFile) != 0) ok = false;
    if (!ok) {
        m_bLogWriteFailed = true;
        const std::string msg = "Writing the service log " + m_strLogPath + " failed: " + std::strerror(errno) +
                                ". Later log data is not saved.";
        m_host.MessageBox(msg, m_host.AppTitle(), fw::MsgIcon::Stop);
    }
}
