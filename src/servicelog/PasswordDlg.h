// CPasswordDlg: the service password prompt.  One password-style edit of at
// most 20 characters, no buttons: Enter closes it with OK, Esc or the close box
// with cancel.  The text reaches m_strPassword only on OK.
#pragma once

#include "framework/Host.h"

#include <string>

class CPasswordDlg {
public:
    static constexpr int kMaxChars = 20;
    explicit CPasswordDlg(fw::Host& host) : m_host(host) {}
    // Runs the prompt modally; returns kIdOk or kIdCancel.
    int DoModal() {
        auto text = m_host.PromptText("Enter Password", kMaxChars, true);
        if (!text) return fw::kIdCancel;
        m_strPassword = text->substr(0, kMaxChars);
        return fw::kIdOk;
    }
    std::string m_strPassword;

private:
    fw::Host& m_host;
};
