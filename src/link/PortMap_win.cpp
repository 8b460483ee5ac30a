#include "link/PortMap.h"

// The device namespace form, which also names COM10 and above.
std::string PortMap::DefaultPath(int nPort) { return "\\\\.\\COM" + std::to_string(nPort); }
