// Reporting of a device error code: the caption line goes into the receive
// text and the error's text is shown in a modal box.
#include "commands/ErrorText.h"
#include "console/ConsoleDlg.h"

void CConsoleDlg::ShowDeviceError(std::uint8_t nCode) {
    const std::string_view text = g_ErrorText[ErrorTextIndex(nCode)];
    char caption[24];
    std::snprintf(caption, sizeof caption, "Error = %02x ", static_cast<unsigned>(nCode));
    AppendRecv(caption);
    MessageBox(text, caption, fw::MsgIcon::None);
}
