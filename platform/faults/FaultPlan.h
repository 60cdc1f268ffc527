// Planned faults: one grammar and one table, shared by both stand-ins (the
// simulated device's libcoredll.so and the Wine coredll.dll) and the device
// tool, so that a plan means the same everywhere and a malformed one is
// refused everywhere.
//
//   PLAN    = CALL [":" ARGUMENT] ["@" (N | "*")] "=" FAULT
//   FAULT   = "fail:" ERROR | "return:" VALUE | "path:" TEXT
//   PLANS   = PLAN (";" PLAN)*          (empty entries are skipped)
//
// CALL is a platform call that can fail (the call list's); ARGUMENT narrows
// GetProcAddressW to one entry-point name; N is the call number, counted
// from when the plan is made (1 = the next call), "*" every call, and no "@"
// the next call. ERROR and VALUE are numbers, decimal or 0x-hexadecimal;
// ERROR fits 32 bits. fail: makes the call fail with that last-error code,
// return: makes it return VALUE and do nothing else, path: makes
// GetModuleFileNameW report TEXT (UTF-8).
#pragma once

#include <platform_calls.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace fault_plan {

using platform_calls::Call;

struct Fault {
    enum Verb { kFail, kReturn, kPath } verb = kFail;
    uint32_t error = 0;
    uint64_t value = 0;
    std::string path;  // UTF-8
};

struct Plan {
    std::string call;
    std::string argument;  // empty: any
    uint64_t callNumber = 1;  // 0: every call
    Fault fault;
};

// What a faulted call returns: for fail:, FAILURE after SET_ERROR(the
// planned error); for return:, the planned value and nothing else.
template <typename Result, typename SetError>
Result Outcome(const Fault &fault, Result failure, SetError setError) {
    if (fault.verb != Fault::kReturn) {
        setError(fault.error);
        return failure;
    }
    if constexpr (std::is_pointer_v<Result>) {
        return reinterpret_cast<Result>(static_cast<uintptr_t>(fault.value));
    } else {
        return static_cast<Result>(fault.value);
    }
}

// What a call made to fail by FAULT returns, as its failure column in the
// call list says; FIRST is its first argument (for Failure::Argument).
template <platform_calls::Failure failure, typename Result, typename First, typename SetError>
Result FailedResult(const Fault &fault, First first, SetError setError) {
    using platform_calls::Failure;
    static_assert(failure != Failure::None && failure != Failure::Own, "the stand-in answers these itself");
    if constexpr (failure == Failure::Zero) {
        return Outcome(fault, Result{}, setError);
    } else if constexpr (failure == Failure::WaitFailed) {
        return Outcome(fault, static_cast<Result>(0xFFFFFFFFu), setError);
    } else if constexpr (failure == Failure::Error) {
        return Outcome(fault, static_cast<Result>(fault.error), setError);
    } else {
        return Outcome(fault, static_cast<Result>(first), setError);
    }
}

// A call's first argument, or nothing for a call that has none.
template <typename First, typename... Rest>
First FirstArgument(First first, Rest...) {
    return first;
}
inline int FirstArgument() { return 0; }

// A platform call's function type taken apart, for the wrappers the call
// list makes: Signature<decltype(::NAME)>::ResultType and ::Parameter<I>.
template <typename Function>
struct Signature;
template <typename Result, typename... Parameters>
struct Signature<Result(Parameters...)> {
    using ResultType = Result;
    template <size_t Index>
    using Parameter = std::tuple_element_t<Index, std::tuple<Parameters...>>;
};

// Whether CALL is a platform call a plan may name.
bool IsFaultable(const std::string &call);

// Parses PLANS; throws std::invalid_argument with one line naming the bad part.
std::vector<Plan> Parse(const std::string &plans);
// One plan for CALL[:ARGUMENT], checked as Parse checks it.
Plan MakePlan(const std::string &call, uint64_t callNumber, const Fault &fault);

// The plans of one process and the calls it has made. Not locked: each
// stand-in guards it with its own lock.
class Table {
public:
    // Adds PLANS, their call numbers counted from the calls made so far.
    void Add(const std::vector<Plan> &plans);
    void Clear() { plans_.clear(); }
    // Counts a call of CALL (with ARGUMENT, if it takes one) and gives the
    // fault planned for it, if any. A plan for the argument comes first.
    std::optional<Fault> Take(Call call, const std::string &argument = "");
    uint64_t Calls(Call call) const { return Calls(platform_calls::Name(call)); }

private:
    uint64_t Calls(const std::string &key) const;
    std::optional<Fault> TakeFor(const std::string &key, uint64_t number);
    std::vector<std::pair<std::string, Plan>> plans_;  // by counting key
    std::map<std::string, uint64_t> calls_;
};

}  // namespace fault_plan
