// The hook library's internals, shared by its source files.
#ifndef HOOK_LIBRARY_H
#define HOOK_LIBRARY_H

#include <windows.h>

#include "LowLevelKeyboardHook.h"
#include "tallowbeck.h"

// The mode under which the call keys may pass, as clients know it.
const DWORD MODE_ALLOW_CALL_KEYS = TALLOWBECK_MODE_CALL_KEYS;

// The hook entry points, bound by name (the build checks their convention
// through these types).
typedef HHOOK(WINAPI *SetWindowsHookExProc)(int hookType, HOOKPROC procedure, HINSTANCE module, DWORD threadId);
typedef LRESULT(WINAPI *CallNextHookExProc)(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
typedef BOOL(WINAPI *UnhookWindowsHookExProc)(HHOOK hook);

// What the hook procedure reads of the library's state (HookLibrary.cpp),
// on the platform's input thread, without a lock.
DWORD CurrentMode();
// The hook this library installed and the CallNextHookEx bound for it, once
// the hook is recorded; false until then.
bool HookToPassOn(HHOOK *hook, CallNextHookExProc *passOn);

// Whether the phone has a call in progress, read afresh from the registry.
BOOLEAN IsPhoneCallActive();

// The low-level keyboard hook procedure.
LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam);

#endif
