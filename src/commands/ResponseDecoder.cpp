#include "console/ConsoleDlg.h"

void CConsoleDlg::DecodeResponse() {}
