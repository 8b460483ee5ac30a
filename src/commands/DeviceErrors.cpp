#include "console/ConsoleDlg.h"

void CConsoleDlg::ShowDeviceError(std::uint8_t) {}
