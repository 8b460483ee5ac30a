#include "console/ConsoleDlg.h"

void CConsoleDlg::CloseAndSend(int) {}
std::intptr_t CConsoleDlg::OnCommData() { return 1; }
void CConsoleDlg::ReceiveBytes(const std::uint8_t*, std::size_t) {}
void CConsoleDlg::OnAckTimer() {}
void CConsoleDlg::OnResponseTimer() {}
void CConsoleDlg::ResendStored() {}
void CConsoleDlg::WriteBytes(const std::uint8_t*, std::uint32_t) {}
