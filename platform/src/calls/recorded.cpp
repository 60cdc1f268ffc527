// Every call that can fail, as exported: its arguments recorded and shown to
// the watcher before the stand-in serves it, its result recorded as it
// returns. Made from the call list, so that no call can go unrecorded.
#include "Served.h"

#include "../host/Faults.h"
#include "../host/Record.h"

#include <tuple>

namespace {

template <typename Function>
struct Signature;
template <typename Result, typename... Parameters>
struct Signature<Result(Parameters...)> {
    using ResultType = Result;
    template <size_t Index>
    using Parameter = std::tuple_element_t<Index, std::tuple<Parameters...>>;
};

template <typename Result, typename... Parameters>
struct Recorder {
    simdevice::Call call;
    Result (*serve)(Parameters...);

    Result operator()(Parameters... arguments) const {
        using simdevice::internal::AsWord;
        const auto ticket = simdevice::internal::RecordCall({call, {AsWord(arguments)...}});
        const Result result = serve(arguments...);
        simdevice::internal::RecordResult(ticket, AsWord(result), GetLastError());
        return result;
    }
};
template <typename Result, typename... Parameters>
Recorder<Result, Parameters...> Record(simdevice::Call call, Result (*serve)(Parameters...)) {
    return {call, serve};
}

}  // namespace

#define RECORDED_PARAMETER(name, index) Signature<decltype(::name)>::Parameter<index>
#define RECORDED_CALL(name, parameters, arguments)                                  \
    Signature<decltype(::name)>::ResultType WINAPI name parameters {               \
        return Record(simdevice::Call::name, &simdevice::served::name) arguments;  \
    }
PLATFORM_FAULTABLE_CALLS(RECORDED_CALL, RECORDED_PARAMETER)
