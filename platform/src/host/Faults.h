// Planned faults of this process (the grammar is platform/faults'), and how
// a faulted call answers.
#pragma once

#include "FaultPlan.h"

#include <windef.h>

#include <optional>
#include <string>

namespace simdevice::internal {

using fault_plan::Call;
using fault_plan::Fault;

void SetError(DWORD error);

// Counts a call of CALL (with ARGUMENT, for the one call that takes one)
// and gives the fault planned for it, if any.
std::optional<Fault> TakeFault(Call call, const std::string &argument = "");
// What a faulted call returns: FAILURE with the planned last error, or the
// planned value.
template <typename Result>
Result FaultResult(const Fault &fault, Result failure) {
    return fault_plan::Outcome(fault, failure, SetError);
}
// Reads the plans a program was given in SIMDEVICE_FAULTS, once; a malformed
// plan ends the program with one line on standard error.
void LoadEnvironmentFaults();
constexpr int kMalformedFaultPlanStatus = 125;

}  // namespace simdevice::internal
