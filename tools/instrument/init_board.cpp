#include "tools/instrument/instrument.h"

namespace tool {
// Placeholder until board identification lands.
int initBoard(const InitOptions&) { return 0; }
}  // namespace tool
