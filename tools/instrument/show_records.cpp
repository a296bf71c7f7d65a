#include "tools/instrument/instrument.h"

namespace tool {
// Placeholder: this section is not reported yet.
int showRecords(ShowContext&) { return 0; }
}  // namespace tool
