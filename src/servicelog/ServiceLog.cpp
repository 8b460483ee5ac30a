#include "console/ConsoleDlg.h"

void CConsoleDlg::OnLog() {}
void CConsoleDlg::WriteLogFrame(const std::uint8_t*, std::size_t) {}
