// The hook library's internals, shared by its source files.
#ifndef HOOK_LIBRARY_H
#define HOOK_LIBRARY_H

#include <windows.h>

#include "LowLevelKeyboardHook.h"
#include "tallowbeck.h"

// The mode under which the call keys may pass, as clients know it.
const DWORD MODE_ALLOW_CALL_KEYS = TALLOWBECK_MODE_CALL_KEYS;

typedef HHOOK(WINAPI *SetWindowsHookExProc)(int hookType, HOOKPROC procedure, HINSTANCE module, DWORD threadId);
typedef LRESULT(WINAPI *CallNextHookExProc)(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
typedef BOOL(WINAPI *UnhookWindowsHookExProc)(HHOOK hook);

// The library's only state, one per process. KeyboardHookProc reads mode,
// hookHandle and callNextHookProc on the platform's input thread, without a
// lock:
//  - mode and hookHandle change while the hook runs, so they are aligned
//    words read and written only through the platform's interlocked calls
//    (which take a plain LONG *: the calls themselves are the barrier);
//  - the entry points are written only while no hook of ours is installed,
//    and installing the hook publishes them to the input thread.
struct HookState {
    LONG mode;
    HINSTANCE moduleInstance;
    HMODULE coreLibrary;
    SetWindowsHookExProc setHookProc;
    CallNextHookExProc callNextHookProc;
    UnhookWindowsHookExProc unhookProc;
    PVOID hookHandle;
    HMODULE selfReference;  // keeps this library mapped while its hook is installed
};

extern HookState g_hookState;

DWORD CurrentMode();
HHOOK CurrentHook();

// Whether the phone has a call in progress, read afresh from the registry.
BOOLEAN IsPhoneCallActive();

// The low-level keyboard hook procedure.
LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam);

#endif
