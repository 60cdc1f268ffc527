// The library's state, its two exports and its entry point.
#include <windows.h>

#include "HookLibrary.h"
#include "tallowbeck.h"

namespace {

// The library's only state, one per process. The hook procedure reads mode,
// hookHandle and callNextHookProc on the platform's input thread, without a
// lock:
//  - mode and hookHandle change while the hook runs, so they are aligned
//    words read and written only through the platform's interlocked calls
//    (which take a plain LONG *: the calls themselves are the barrier);
//  - the entry points are written only while no hook of ours is installed,
//    and installing the hook publishes them: HookToPassOn reads them only
//    after it has read the hook.
struct HookState {
    LONG mode;
    HINSTANCE moduleInstance;
    // cppcheck 2.10 misses its uses in Activate/DeactivateKBHook.
    // cppcheck-suppress unusedStructMember
    HMODULE coreLibrary;
    SetWindowsHookExProc setHookProc;
    CallNextHookExProc callNextHookProc;
    UnhookWindowsHookExProc unhookProc;
    PVOID hookHandle;
    HMODULE selfReference;  // keeps this library mapped while its hook is installed
};

HookState g_hookState = {static_cast<LONG>(MODE_ALLOW_CALL_KEYS), NULL, NULL, NULL, NULL, NULL, NULL, NULL};

const WCHAR CORE_LIBRARY_NAME[] = TEXT("coredll.dll");
const WCHAR SET_HOOK_NAME[] = TEXT("SetWindowsHookExW");
const WCHAR CALL_NEXT_HOOK_NAME[] = TEXT("CallNextHookEx");
const WCHAR UNHOOK_NAME[] = TEXT("UnhookWindowsHookEx");

void StoreMode(DWORD mode) {
    InterlockedExchange(&g_hookState.mode, static_cast<LONG>(mode));
}

void StoreHook(HHOOK hook) {
    InterlockedExchangePointer(&g_hookState.hookHandle, hook);
}

// Looks up an entry point of the core library by name, typed as the caller
// needs it (through the generic function type, which converts to any other).
template <typename EntryPoint>
EntryPoint Bind(LPCWSTR name) {
    typedef void (*AnyEntryPoint)(void);
    return reinterpret_cast<EntryPoint>(reinterpret_cast<AnyEntryPoint>(GetProcAddressW(g_hookState.coreLibrary, name)));
}

// Binds all three entry points before the hook goes in, so that neither the
// hook procedure nor DeactivateKBHook can meet an unbound one.
bool BindHookEntryPoints() {
    g_hookState.setHookProc = Bind<SetWindowsHookExProc>(SET_HOOK_NAME);
    if (g_hookState.setHookProc == NULL) {
        return false;
    }
    g_hookState.callNextHookProc = Bind<CallNextHookExProc>(CALL_NEXT_HOOK_NAME);
    if (g_hookState.callNextHookProc == NULL) {
        return false;
    }
    g_hookState.unhookProc = Bind<UnhookWindowsHookExProc>(UNHOOK_NAME);
    return g_hookState.unhookProc != NULL;
}

// The hook points into this library: should the client unload it without
// deactivating, the platform would call unmapped code. An extra reference
// keeps it mapped, and the keypad locked, until DeactivateKBHook.
void PinLibrary() {
    WCHAR path[MAX_PATH];
    if (g_hookState.moduleInstance == NULL || g_hookState.selfReference != NULL) {
        return;
    }
    DWORD length = GetModuleFileNameW(g_hookState.moduleInstance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        g_hookState.selfReference = LoadLibraryW(path);
    }
}

HHOOK CurrentHook() {
    return static_cast<HHOOK>(InterlockedCompareExchangePointer(&g_hookState.hookHandle, NULL, NULL));
}

}  // namespace

DWORD CurrentMode() {
    return static_cast<DWORD>(InterlockedCompareExchange(&g_hookState.mode, 0, 0));
}

bool HookToPassOn(HHOOK *hook, CallNextHookExProc *passOn) {
    *hook = CurrentHook();
    *passOn = *hook != NULL ? g_hookState.callNextHookProc : NULL;
    return *passOn != NULL;
}

extern "C" BOOL WINAPI ActivateKBHook(DWORD mode) {
    StoreMode(mode);
    if (CurrentHook() != NULL) {
        return TRUE;
    }
    g_hookState.setHookProc = NULL;
    g_hookState.callNextHookProc = NULL;
    g_hookState.unhookProc = NULL;
    // A reference kept by an earlier failed activation is reused, not leaked.
    if (g_hookState.coreLibrary == NULL) {
        g_hookState.coreLibrary = LoadLibraryW(CORE_LIBRARY_NAME);
    }
    if (g_hookState.coreLibrary == NULL || !BindHookEntryPoints()) {
        return FALSE;
    }
    HHOOK hook = g_hookState.setHookProc(WH_KEYBOARD_LL, KeyboardHookProc, g_hookState.moduleInstance, 0);
    if (hook == NULL) {
        return FALSE;
    }
    StoreHook(hook);
    PinLibrary();
    return TRUE;
}

extern "C" BOOL WINAPI DeactivateKBHook(void) {
    HHOOK hook = CurrentHook();
    if (hook != NULL) {
        // A hook the platform refused to remove still runs and still locks:
        // it stays recorded, with the references it needs, for the next call.
        if (g_hookState.unhookProc == NULL || g_hookState.unhookProc(hook) == FALSE) {
            return TRUE;
        }
        StoreHook(NULL);
    }
    // A reference the platform refused to release stays recorded, so that a
    // later call releases it rather than leaking it.
    if (g_hookState.coreLibrary != NULL && FreeLibrary(g_hookState.coreLibrary) != FALSE) {
        g_hookState.coreLibrary = NULL;
    }
    // Last: the pin protects the hook, which is gone now. It is forgotten
    // before the release, which may unmap this library.
    HMODULE self = g_hookState.selfReference;
    if (self != NULL) {
        g_hookState.selfReference = NULL;
        if (FreeLibrary(self) == FALSE) {
            g_hookState.selfReference = self;
        }
    }
    return TRUE;
}

// C linkage, as the platform's start-up code calls it; the SDK's headers
// don't declare it.
extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hookState.moduleInstance = static_cast<HINSTANCE>(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // The hook and the library reference stay: only the instance is forgotten.
        g_hookState.moduleInstance = NULL;
    }
    return TRUE;
}
