// coredll.dll's exports that the call list says are served here, made from
// it: each takes the fault planned for it (its failure column says what it
// returns then), so that a plan reaches every call however it was bound (by
// ordinal at load time, or by name), and passes the call on to desktop
// Win32's function of that name or to the stand-in's own served::NAME.
#include "faults.h"
#include "served.h"

namespace {

using fault_plan::Signature;
using platform_calls::Failure;

void SetError(DWORD error) { SetLastError(error); }

template <Failure failure, typename Result, typename... Parameters>
struct Wrapper {
    fault_plan::Call call;
    Result (*serve)(Parameters...);

    Result operator()(Parameters... arguments) const {
        // A call marked "own" takes its fault in served::NAME, by its argument.
        if constexpr (failure != Failure::Own) {
            if (auto fault = coredll::TakeFault(call))
                return fault_plan::FailedResult<failure, Result>(*fault, fault_plan::FirstArgument(arguments...),
                                                                 SetError);
        }
        return serve(arguments...);
    }
};
template <Failure failure, typename Result, typename... Parameters>
Wrapper<failure, Result, Parameters...> Wrap(fault_plan::Call call, Result (*serve)(Parameters...)) {
    return {call, serve};
}

}  // namespace

#define COREDLL_SERVER_desktop(name) ::name
#define COREDLL_SERVER_own(name) coredll::served::name
#define COREDLL_SIGNATURE(server, name) Signature<decltype(COREDLL_SERVER_##server(name))>
#define COREDLL_PARAMETER(server, name, index) COREDLL_SIGNATURE(server, name)::Parameter<index>

#define COREDLL_FAULTABLE(name, server, failure, parameters, arguments)                               \
    extern "C" COREDLL_SIGNATURE(server, name)::ResultType WINAPI coredll_##name parameters {         \
        return Wrap<Failure::failure>(fault_plan::Call::name, &COREDLL_SERVER_##server(name)) arguments; \
    }
PLATFORM_WINE_FAULTABLE_CALLS(COREDLL_FAULTABLE, COREDLL_PARAMETER)

#define COREDLL_FORWARDED(name, server, parameters, arguments)                                \
    extern "C" COREDLL_SIGNATURE(server, name)::ResultType WINAPI coredll_##name parameters { \
        return COREDLL_SERVER_##server(name) arguments;                                      \
    }
PLATFORM_WINE_FORWARDED_CALLS(COREDLL_FORWARDED, COREDLL_PARAMETER)
