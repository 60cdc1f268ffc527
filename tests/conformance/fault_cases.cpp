// Planned faults hit the calls they name, at the call number they name, and
// a return plan changes nothing but the result; every call that can fail
// takes a plan made for it.
#include "Cases.h"

#include <platform_calls.h>
#include <shellapi.h>

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

// CALL made once, with arguments that would do nothing harmful (or, for
// TerminateProcess, end the run with a failure) if its plan were not taken.
// A call the list adds that can fail has no row here until one is written:
// the switch is compiled with -Werror=switch.
unsigned long long MakeCall(Call call, const HookCalls &hooks) {
    WCHAR path[MAX_PATH];
    HKEY key = NULL;
    DWORD bytes = 0, flags = 0;
    switch (call) {
    case Call::CloseHandle: return Word(CloseHandle(NULL));
    case Call::CreateMutexW: return Word(CreateMutexW(NULL, FALSE, NULL));
    case Call::WaitForMultipleObjects: return Word(WaitForMultipleObjects(0, NULL, FALSE, 0));
    case Call::LocalAlloc: return Word(LocalAlloc(LMEM_FIXED, 1));
    case Call::LocalFree: return Word(LocalFree(NULL));
    case Call::GetModuleHandleW: return Word(GetModuleHandleW(NULL));
    case Call::GetModuleFileNameW: return Word(GetModuleFileNameW(NULL, path, MAX_PATH));
    case Call::LoadLibraryW: return Word(LoadLibraryW(TEXT("no-such-library.dll")));
    case Call::GetProcAddressW: return Word(GetProcAddressW(GetModuleHandleW(TEXT("coredll.dll")), TEXT("CreateMsgQueue")));
    case Call::FreeLibrary: return Word(FreeLibrary(NULL));
    case Call::TerminateProcess: return Word(TerminateProcess(GetCurrentProcess(), 99));
    case Call::CreateMsgQueue: return Word(CreateMsgQueue(NULL, NULL));
    case Call::ReadMsgQueue: return Word(ReadMsgQueue(NULL, path, sizeof path, &bytes, 0, &flags));
    case Call::CloseMsgQueue: return Word(CloseMsgQueue(NULL));
    case Call::RequestPowerNotifications: return Word(RequestPowerNotifications(NULL, 0));
    case Call::StopPowerNotifications: return Word(StopPowerNotifications(NULL));
    case Call::ShellExecuteEx: return Word(ShellExecuteEx(NULL));
    case Call::FindWindowW: return Word(FindWindowW(NULL, TEXT("No window has this title")));
    case Call::UpdateWindow: return Word(UpdateWindow(NULL));
    case Call::SetWindowsHookExW: return Word(hooks.set(0, NULL, NULL, 0));
    case Call::CallNextHookEx: return Word(hooks.callNext(NULL, HC_ACTION, 0, 0));
    case Call::UnhookWindowsHookEx: return Word(hooks.unhook(NULL));
    case Call::RegOpenKeyExW: return Word(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Conformance"), 0, 0, &key));
    case Call::RegQueryValueExW: return Word(RegQueryValueExW(NULL, TEXT("Conformance"), NULL, NULL, NULL, NULL));
    case Call::RegCloseKey: return Word(RegCloseKey(NULL));
    }
    return 0;
}

void EveryCallTakesItsPlan() {
    const HookCalls hooks = BindHookCalls();
    if (hooks.set == NULL || hooks.callNext == NULL || hooks.unhook == NULL) return;
    for (int i = 0; i < platform_calls::kCount; ++i) {
        const Call call = Call(i);
        const unsigned long long planned = 0x5A00 + i;
        char plan[96];
        std::snprintf(plan, sizeof plan, "%s=return:%llu", platform_calls::Name(call), planned);
        ok(device::PlanFaults(plan), "%s: the plan is in place", plan);
        const unsigned long long result = MakeCall(call, hooks);
        ok(result == planned, "%s: the call gave 0x%llx", plan, result);
    }
}

}  // namespace

void conformance::FaultCases() {
    PlansHitTheCallsTheyName();
    EveryCallTakesItsPlan();
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHandles() == 0, "no handle is left open");
}
