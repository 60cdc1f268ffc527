// Planned faults under Wine: COREDLL_FAULTS holds plans in the stand-ins'
// one grammar (platform/faults/FaultPlan.h), read when the library is
// loaded. A malformed plan stops the program before it runs.
#pragma once

#include <windows.h>

#include <optional>

#include "FaultPlan.h"

namespace coredll {

using fault_plan::Call;

// The status a program ends with when its fault plan is malformed.
constexpr UINT kMalformedFaultPlanStatus = 125;

void LoadFaultPlan();
void UnloadFaultPlan();
// Adds PLANS (the one grammar) from now on; false if they are malformed.
// Exported as coredll_AddFaults, for tests only: the device has no such call.
bool AddFaults(const char *plans);

// Counts a call of CALL and gives the fault planned for it, if any.
std::optional<fault_plan::Fault> TakeFault(Call call, const char *argument = "");

// What a faulted call returns: FAILURE with the planned last error, or the
// planned value as the call's result.
template <typename Result>
Result FaultResult(const fault_plan::Fault &fault, Result failure) {
    return fault_plan::Outcome(fault, failure, [](DWORD error) { SetLastError(error); });
}

}  // namespace coredll
