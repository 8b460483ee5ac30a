#include "console/ConsoleDlg.h"

void CConsoleDlg::OnCommandButton(int) {}
void CConsoleDlg::BatchSetup(int) {}
void CConsoleDlg::SendBookkeeping() {}
std::intptr_t CConsoleDlg::OnFrameReady() { return 1; }
void CConsoleDlg::OnRepeatTimer() {}
void CConsoleDlg::OnAckReceived() {}
