// Low-level keyboard hooks, bound by name from the core library as device
// code binds them: which installations the device accepts, the order of the
// chain, passing an event on, and removal.
#include "Cases.h"

namespace {

using namespace conformance;

struct Seen {
    int calls;
    int code;
    WPARAM message;
    DWORD vk;
};
Seen g_older, g_newer;
HookCalls g_hooks;
HHOOK g_newerHandle;
LRESULT g_newerResult;  // what the newer hook returns instead of passing on; 0: pass on

void Record(Seen &seen, int code, WPARAM wParam, LPARAM lParam) {
    ++seen.calls;
    seen.code = code;
    seen.message = wParam;
    seen.vk = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam)->vkCode;
}

// The last hook: it lets the event go on without passing it further.
LRESULT CALLBACK OlderHook(int code, WPARAM wParam, LPARAM lParam) {
    Record(g_older, code, wParam, lParam);
    return 0;
}

LRESULT CALLBACK NewerHook(int code, WPARAM wParam, LPARAM lParam) {
    Record(g_newer, code, wParam, lParam);
    return g_newerResult != 0 ? g_newerResult : g_hooks.callNext(g_newerHandle, code, wParam, lParam);
}

void InstallationsTheDeviceAccepts() {
    HMODULE self = GetModuleHandleW(NULL);
    struct Case {
        const char *what;
        int type;
        HOOKPROC procedure;
        DWORD thread;
        bool accepted;
    } cases[] = {
        {"the device's WH_KEYBOARD_LL, every thread", device_facts::kDeviceKeyboardLowLevel, OlderHook, 0, true},
        {"the desktop's number for it", device_facts::kDesktopKeyboardLowLevel, OlderHook, 0, false},
        {"one thread only", device_facts::kDeviceKeyboardLowLevel, OlderHook, 1, false},
        {"no procedure", device_facts::kDeviceKeyboardLowLevel, NULL, 0, false},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        HHOOK hook = g_hooks.set(c.type, c.procedure, self, c.thread);
        ok((hook != NULL) == c.accepted, "%s: %s", c.what, c.accepted ? "installed" : "refused");
        if (hook != NULL) ok(g_hooks.unhook(hook), "%s: removed", c.what);
        else ok(GetLastError() == ERROR_INVALID_PARAMETER, "%s: error %lu", c.what, (unsigned long)GetLastError());
    }
}

void EventsGoNewestFirstAndOnDownTheChain() {
    HMODULE self = GetModuleHandleW(NULL);
    HHOOK older = g_hooks.set(device_facts::kDeviceKeyboardLowLevel, OlderHook, self, 0);
    g_newerHandle = g_hooks.set(device_facts::kDeviceKeyboardLowLevel, NewerHook, self, 0);
    ok(older != NULL && g_newerHandle != NULL && older != g_newerHandle, "two hooks, two handles");
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHooks() == 2, "both counted");

    struct Case {
        const char *what;
        DWORD vk;
        bool up;
        LRESULT newerResult;
        int olderCalls;
    } cases[] = {
        {"F3 down, passed on", 0x72, false, 0, 1},
        {"F3 up, passed on", 0x72, true, 0, 1},
        {"Enter, stopped by the newer hook", 0x0D, false, -1, 0},
    };
    for (const Case &c : cases) {
        g_older = Seen();
        g_newer = Seen();
        g_newerResult = c.newerResult;
        device::PressKey(c.vk, c.up ? WM_KEYUP : WM_KEYDOWN);
        ok(g_newer.calls == 1 && g_newer.code == HC_ACTION && g_newer.vk == c.vk, "%s: the newest hook sees it first",
           c.what);
        ok(g_newer.message == (c.up ? WPARAM(WM_KEYUP) : WPARAM(WM_KEYDOWN)), "%s: message 0x%lx", c.what,
           (unsigned long)g_newer.message);
        ok(g_older.calls == c.olderCalls, "%s: the older hook saw it %d times", c.what, g_older.calls);
    }
    differs_on(Side::Wine, "Wine records nothing for the tests")
        ok(device::LastArgument(platform_calls::Call::CallNextHookEx, 0) == reinterpret_cast<uintptr_t>(g_newerHandle),
           "the hook a procedure passes on with is recorded");

    ok(g_hooks.unhook(g_newerHandle), "the newer hook comes out");
    g_newer = Seen();
    g_older = Seen();
    device::PressKey(0x72, WM_KEYDOWN);
    ok(g_newer.calls == 0 && g_older.calls == 1, "a removed hook is never called again");
    SetLastError(0);
    ok(!g_hooks.unhook(g_newerHandle) && GetLastError() == ERROR_INVALID_HOOK_HANDLE, "nor removed twice: error %lu",
       (unsigned long)GetLastError());
    g_hooks.unhook(older);
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHooks() == 0, "none left");
}

}  // namespace

conformance::HookCalls conformance::BindHookCalls() {
    HMODULE core = LoadLibraryW(TEXT("coredll.dll"));
    HookCalls calls;
    typedef void (*AnyEntry)(void);
    calls.set = reinterpret_cast<SetHookProc>(reinterpret_cast<AnyEntry>(GetProcAddressW(core, TEXT("SetWindowsHookExW"))));
    calls.callNext = reinterpret_cast<CallNextProc>(reinterpret_cast<AnyEntry>(GetProcAddressW(core, TEXT("CallNextHookEx"))));
    calls.unhook = reinterpret_cast<UnhookProc>(reinterpret_cast<AnyEntry>(GetProcAddressW(core, TEXT("UnhookWindowsHookEx"))));
    ok(calls.set != NULL && calls.callNext != NULL && calls.unhook != NULL, "the hook calls bind by name");
    FreeLibrary(core);  // the core library stays mapped: the program imports it
    return calls;
}

void conformance::HookCases() {
    g_hooks = BindHookCalls();
    if (g_hooks.set == NULL || g_hooks.callNext == NULL || g_hooks.unhook == NULL) return;
    InstallationsTheDeviceAccepts();
    EventsGoNewestFirstAndOnDownTheChain();
}
