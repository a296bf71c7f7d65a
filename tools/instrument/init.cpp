#include "tools/instrument/instrument.h"

namespace tool {
// Placeholder until the simulated chip lands.
int initRoot(const InitOptions&) { return 0; }
}  // namespace tool
