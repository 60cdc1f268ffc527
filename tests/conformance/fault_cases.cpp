// Planned faults hit the calls they name, at the call number they name, and
// a return plan changes nothing but the result.
#include "Cases.h"
#include "FaultPlan.h"

namespace {

using namespace conformance;

// The last error after binding NAME from the core library, or 0 if it bound.
DWORD BindError(const WCHAR *name) {
    HMODULE core = GetModuleHandleW(TEXT("coredll.dll"));
    SetLastError(0xbeef);
    return GetProcAddressW(core, name) == NULL ? GetLastError() : 0;
}

void PlansHitTheCallsTheyName() {
    ok(device::PlanFaults(CONFORMANCE_FAULT_PLAN), "the plan is in place");
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

}  // namespace

void conformance::FaultCases() {
    PlansHitTheCallsTheyName();
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHandles() == 0, "no handle is left open");
}
