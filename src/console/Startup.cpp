#include "console/ConsoleDlg.h"

void CConsoleDlg::Create() {}
int CConsoleDlg::OnInitDialog() { return 1; }
void CConsoleDlg::OnOpen() {}
std::string CConsoleDlg::BuildTitle() { return {}; }
void CConsoleDlg::OnTabSelChange() {}
void CConsoleDlg::OnCancel() {}
void CConsoleDlg::OnAbout() {}
