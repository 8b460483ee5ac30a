#include "servicelog/PasswordDlg.h"

#include "console/DialogTemplate.h"

int CPasswordDlg::DoModal() {
    // 187 x 26 dialog units, the edit at (7, 7), 173 x 12.
    const fw::Host::BaseUnits bu = m_host.DialogBaseUnits();
    const fw::Rect client = DuToPixels(fw::Rect{0, 0, 187, 26}, bu);
    const fw::Host::PromptLayout layout{client.w, client.h, DuToPixels(fw::Rect{7, 7, 173, 12}, bu),
                                        "The service password:"};
    auto text = m_host.PromptText("Enter Password", kMaxChars, true, layout);
    if (!text) return fw::kIdCancel;
    m_strPassword = text->substr(0, kMaxChars);
    return fw::kIdOk;
}
