// Every call that can fail, as exported, made from the call list so that no
// call can go unrecorded or untaken by a plan: its arguments recorded and
// shown to the watcher, then the fault planned for it taken (its failure
// column says what it returns then), or else the stand-in's own
// served::NAME; its result recorded as it returns.
#include "Served.h"

#include "../host/Faults.h"
#include "../host/Record.h"

namespace {

using fault_plan::Signature;
using platform_calls::Failure;

template <Failure failure, typename Result, typename... Parameters>
struct Wrapper {
    simdevice::Call call;
    Result (*serve)(Parameters...);

    Result operator()(Parameters... arguments) const {
        using simdevice::internal::AsWord;
        if (!simdevice::internal::CallsWanted()) return Serve(arguments...);
        const auto ticket = simdevice::internal::RecordCall({call, {AsWord(arguments)...}});
        const Result result = Serve(arguments...);
        simdevice::internal::RecordResult(ticket, AsWord(result), GetLastError());
        return result;
    }

    Result Serve(Parameters... arguments) const {
        // A call marked "own" takes its fault in served::NAME, by its argument.
        if constexpr (failure != Failure::Own) {
            if (auto fault = simdevice::internal::TakeFault(call))
                return fault_plan::FailedResult<failure, Result>(*fault, fault_plan::FirstArgument(arguments...),
                                                                 simdevice::internal::SetError);
        }
        return serve(arguments...);
    }
};
template <Failure failure, typename Result, typename... Parameters>
Wrapper<failure, Result, Parameters...> Wrap(simdevice::Call call, Result (*serve)(Parameters...)) {
    return {call, serve};
}

}  // namespace

#define WRAPPED_PARAMETER(name, index) Signature<decltype(::name)>::Parameter<index>
#define WRAPPED_CALL(name, failure, parameters, arguments)                                  \
    Signature<decltype(::name)>::ResultType WINAPI name parameters {                       \
        return Wrap<Failure::failure>(simdevice::Call::name, &simdevice::served::name) arguments; \
    }
PLATFORM_FAULTABLE_CALLS(WRAPPED_CALL, WRAPPED_PARAMETER)
