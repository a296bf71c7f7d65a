#include "tools/instrument/instrument.h"

namespace tool {
// Placeholder: this section is not reported yet.
int showFlash(ShowContext&) { return 0; }
}  // namespace tool
