// Starts the simulator on a pseudo-terminal and opens the console on it as
// COM1, for the benchmarks that drive the whole console.
#pragma once

#include "console/ConsoleDlg.h"
#include "Simulator.h"

#include <string>

// "" once the console is linked; otherwise why it is not.
inline std::string OpenOnSimulator(CConsoleDlg& dlg, zsim::Simulator& sim) {
    const std::string path = sim.StartOnPty();
    if (path.empty()) return "no pseudo-terminal: " + sim.LastError();
    dlg.Create();
    PortMap map;
    map.Set(1, path);
    dlg.m_Comm.SetPortMap(map);
    dlg.OnOpen();
    return dlg.m_bLinked ? std::string() : "OPEN failed: " + dlg.m_strStatus;
}
