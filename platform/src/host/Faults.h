// Planned faults of this process (the grammar is platform/faults'), and how
// a faulted call answers.
#pragma once

#include "FaultPlan.h"

#include <windef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace simdevice::internal {

using fault_plan::Call;
using fault_plan::Fault;

void SetError(DWORD error);

// Records a call of CALL with ARGUMENTS, counts it (by KEY too, for the one
// call whose plans may name an argument) and gives the fault planned for
// it, if any.
std::optional<Fault> TakeKeyedFault(Call call, const std::string &key, std::vector<uintptr_t> arguments);

template <typename Argument>
uintptr_t AsWord(Argument argument) {
    if constexpr (std::is_pointer_v<Argument>) return reinterpret_cast<uintptr_t>(argument);
    else return static_cast<uintptr_t>(argument);
}
// The fault point every call that can fail starts with, given all of its
// arguments.
template <typename... Arguments>
std::optional<Fault> TakeFault(Call call, Arguments... arguments) {
    return TakeKeyedFault(call, "", {AsWord(arguments)...});
}
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
