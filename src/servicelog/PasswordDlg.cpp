#include "servicelog/PasswordDlg.h"

int CPasswordDlg::DoModal() {
    auto text = m_host.PromptText("Enter Password", kMaxChars, true);
    if (!text) return fw::kIdCancel;
    m_strPassword = text->substr(0, kMaxChars);
    return fw::kIdOk;
}
