/* The low-level keyboard hook, which the device SDK leaves out: the platform
 * keeps it in its private pwinuser.h, and coredll.dll exports the three
 * calls. For the stand-ins, tests, fuzzers, tools and benchmarks only;
 * device code declares what it needs itself (Lock/LowLevelKeyboardHook.h)
 * and binds the calls by name at run time. */
#ifndef SIMDEVICE_PWINUSER_H
#define SIMDEVICE_PWINUSER_H

#ifdef SIMDEVICE_DEVICE_CODE
#error "device code must not include pwinuser.h: the device SDK has no such header"
#endif

#include <winuser.h>

/* The same records as device code's own declaration: whichever comes first
 * serves both. */
#ifndef WH_KEYBOARD_LL
#define WH_KEYBOARD_LL 20 /* the device's value; desktop Win32 uses 13 */
#define HC_ACTION 0

typedef struct tagKBDLLHOOKSTRUCT {
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags;
    DWORD time;
    ULONG_PTR dwExtraInfo;
} KBDLLHOOKSTRUCT, *PKBDLLHOOKSTRUCT;

typedef LRESULT (CALLBACK *HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);
#endif

#ifdef __cplusplus
extern "C" {
#endif

HHOOK WINAPI SetWindowsHookExW(int hookType, HOOKPROC procedure, HINSTANCE module, DWORD threadId);
LRESULT WINAPI CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
BOOL WINAPI UnhookWindowsHookEx(HHOOK hook);

#ifdef __cplusplus
}
#endif

#endif
