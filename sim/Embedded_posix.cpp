#include "Embedded.h"

#include <cstdlib>
#include <string_view>

namespace zsim {

std::string StartOwnLine(Simulator& sim) {
    const char* line = std::getenv("ZANTU_SIM_LINE");
    if (line && std::string_view(line) == "inproc") return sim.StartInProcess();
    return sim.StartOnPty();
}

}  // namespace zsim
