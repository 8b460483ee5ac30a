#include "Embedded.h"

namespace zsim {

// No pseudo-terminals here, and no virtual COM driver is needed: the
// module sits on the other end of an in-process line.
std::string StartOwnLine(Simulator& sim) { return sim.StartInProcess(); }

}  // namespace zsim
