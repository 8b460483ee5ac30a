// CPasswordDlg: the service password prompt.  Caption "Enter Password", one
// password-style edit of at most 20 characters, no buttons: Enter closes it
// with OK, Esc or the close box with cancel.  The typed text reaches
// m_strPassword only when the prompt closes with OK.
#pragma once

#include "framework/Host.h"

#include <string>

class CPasswordDlg {
public:
    static constexpr int kMaxChars = 20;
    explicit CPasswordDlg(fw::Host& host) : m_host(host) {}

    // Runs the prompt modally; returns kIdOk or kIdCancel.
    int DoModal();

    fw::Host& m_host;
    std::string m_strPassword;
};
