#include "console/ConsoleDlg.h"

void CConsoleDlg::OnGoLoader() {}
void CConsoleDlg::OnWriteProg() {}
void CConsoleDlg::OnVerify() {}
void CConsoleDlg::OnReset() {}
std::intptr_t CConsoleDlg::OnNextBlock() { return 0; }
void CConsoleDlg::OnProgressTimer() {}
void CConsoleDlg::OnLoaderAnswer() {}
void CConsoleDlg::OnBlockWritten() {}
void CConsoleDlg::OnVerifyAnswer() {}
std::uint16_t CConsoleDlg::ImageSum() const { return 0; }
void CConsoleDlg::DownloadGaveUp() {}
