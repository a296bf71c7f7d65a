#include <cstdio>

#include "tools/instrument/instrument.h"

namespace tool {
// Placeholder until message passing lands.
int runPeers(int, char**)
{
    std::fprintf(stderr, "instrument peers: not available yet\n");
    return 1;
}
}  // namespace tool
