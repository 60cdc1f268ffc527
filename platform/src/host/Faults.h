// Planned faults of this process (the grammar is platform/faults'), and how
// a faulted call answers.
#pragma once

#include "FaultPlan.h"

#include <windef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace simdevice::internal {

using fault_plan::Call;
using fault_plan::Fault;

void SetError(DWORD error);

// Counts a call of CALL (by KEY too, for the one call whose plans may name
// an argument) and gives the fault planned for it, if any.
std::optional<Fault> TakeKeyedFault(Call call, const std::string &key);
// The fault point every call that can fail starts with (its record is made
// around it, in calls/recorded.cpp).
inline std::optional<Fault> TakeFault(Call call) { return TakeKeyedFault(call, ""); }

// A call's argument or result as a word: a pointer as its address.
template <typename Value>
uintptr_t AsWord(Value value) {
    if constexpr (std::is_pointer_v<Value>) return reinterpret_cast<uintptr_t>(value);
    else return static_cast<uintptr_t>(value);
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
