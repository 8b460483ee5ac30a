#include "link/PortMap.h"

std::string PortMap::DefaultPath(int nPort) { return "/dev/ttyS" + std::to_string(nPort - 1); }
