#include "console/ConsoleDlg.h"

void CConsoleDlg::HideAll() {}
void CConsoleDlg::ShowPage() {}
void CConsoleDlg::EnableRule() {}
void CConsoleDlg::CounterRefresh() {}
