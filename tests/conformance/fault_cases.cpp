// Planned faults hit the calls they name, at the call number they name, and
// a return plan changes nothing but the result; every call that can fail
// takes a plan made for it.
#include "Cases.h"

#include <platform_calls.h>
#include <shellapi.h>
#ifndef _WIN32
#include <pwinuser.h>  // the hook calls, which device code binds by name
#endif

#include <cstdio>
#include <type_traits>

namespace {

using namespace conformance;
using platform_calls::Call;

// The last error after binding NAME from the core library, or 0 if it bound.
DWORD BindError(const WCHAR *name) {
    HMODULE core = GetModuleHandleW(TEXT("coredll.dll"));
    SetLastError(0xbeef);
    return GetProcAddressW(core, name) == NULL ? GetLastError() : 0;
}

void PlansHitTheCallsTheyName() {
    ok(device::PlanFaults("GetProcAddressW:ConformanceOnce@2=fail:8;GetProcAddressW:ConformanceEvery@*=fail:0x10;"
                          "GetProcAddressW:ConformanceValue=return:0"),
       "the plan is in place");
    struct Case {
        const char *what;
        const WCHAR *name;
        DWORD errors[3];  // of three binds in a row
    } cases[] = {
        {"the second call", TEXT("ConformanceOnce"), {ERROR_PROC_NOT_FOUND, 8, ERROR_PROC_NOT_FOUND}},
        {"every call", TEXT("ConformanceEvery"), {16, 16, 16}},
        {"return: leaves the last error alone", TEXT("ConformanceValue"), {0xbeef, ERROR_PROC_NOT_FOUND, ERROR_PROC_NOT_FOUND}},
        {"another name is not hit", TEXT("ConformanceOther"), {ERROR_PROC_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_PROC_NOT_FOUND}},
    };
    for (const Case &c : cases) {
        for (int i = 0; i < 3; ++i) {
            const DWORD error = BindError(c.name);
            ok(error == c.errors[i], "%s: bind %d: error %lu, expected %lu", c.what, i + 1, (unsigned long)error,
               (unsigned long)c.errors[i]);
        }
    }
    ok(BindError(TEXT("CreateMsgQueue")) == 0, "a real entry point still binds");
}

template <typename Result>
unsigned long long Word(Result result) {
    if constexpr (std::is_pointer_v<Result>) return reinterpret_cast<uintptr_t>(result);
    else return static_cast<unsigned long long>(result);
}

// ENTRY, bound as FUNCTION's type, called with zeros for arguments: a
// planned fault answers before the call looks at them.
typedef void (*AnyEntry)(void);
template <typename Result, typename... Parameters>
unsigned long long CallWithZeros(Result (*)(Parameters...), AnyEntry entry) {
    return Word(reinterpret_cast<Result (*)(Parameters...)>(entry)(Parameters{}...));
}

// Every call that can fail, made from the call list: its name, and how to
// make it once through an entry point bound by name from the core library
// (as a device library binds what its headers lack), so that the call
// reaches the core library on both stand-ins.
struct FaultRow {
    Call call;
    const WCHAR *name;
    unsigned long long (*make)(AnyEntry entry);
};
const FaultRow kFaultRows[] = {
#define FAULT_ROW(name, failure, parameters, arguments) \
    {Call::name, TEXT(#name), [](AnyEntry entry) { return CallWithZeros(&::name, entry); }},
    PLATFORM_FAULTABLE_CALLS(FAULT_ROW, unused)
#undef FAULT_ROW
};

// Each call is bound before its plan is made: binding is a call of
// GetProcAddressW, which a plan for it would hit.
void EveryCallTakesItsPlan() {
    HMODULE core = GetModuleHandleW(TEXT("coredll.dll"));
    for (const FaultRow &row : kFaultRows) {
        const AnyEntry entry = reinterpret_cast<AnyEntry>(GetProcAddressW(core, row.name));
        const unsigned long long planned = 0x5A00 + unsigned(row.call);
        char plan[96];
        std::snprintf(plan, sizeof plan, "%s=return:%llu", platform_calls::Name(row.call), planned);
        ok(entry != NULL, "%s binds by name", platform_calls::Name(row.call));
        if (entry == NULL) continue;
        ok(device::PlanFaults(plan), "%s: the plan is in place", plan);
        const unsigned long long result = row.make(entry);
        ok(result == planned, "%s: the call gave 0x%llx", plan, result);
    }
    ok(sizeof kFaultRows / sizeof kFaultRows[0] == size_t(platform_calls::kCount), "a row for every call that can fail");
}

}  // namespace

void conformance::FaultCases() {
    PlansHitTheCallsTheyName();
    EveryCallTakesItsPlan();
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHandles() == 0, "no handle is left open");
}
