#include "console/ConsoleDlg.h"

void CConsoleDlg::SendCommand(int) {}
std::int8_t CConsoleDlg::ReadRequest(int) { return 0; }
