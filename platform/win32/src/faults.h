// Planned failures for tests: COREDLL_FAULTS="Function=fail:ERROR[,...]"
// makes every call of that function fail with that error.
#pragma once

#include <windows.h>

namespace coredll {

// True when FUNCTION is planned to fail; the error is then set.
bool PlannedFailure(const char *function);

}  // namespace coredll
