// The low-level keyboard hook's records and types. The device SDK's headers
// don't declare them: the platform keeps them in Platform Builder's private
// pwinuser.h, while coredll.dll exports SetWindowsHookExW, CallNextHookEx
// and UnhookWindowsHookEx, which the library binds by name at run time.
#ifndef LOW_LEVEL_KEYBOARD_HOOK_H
#define LOW_LEVEL_KEYBOARD_HOOK_H

#include <windows.h>

#ifndef WH_KEYBOARD_LL
#define WH_KEYBOARD_LL 20  // desktop Win32's value is 13
#define HC_ACTION 0

// Five 32-bit fields on the device; flags is documented as unused there.
typedef struct tagKBDLLHOOKSTRUCT {
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags;
    DWORD time;
    ULONG_PTR dwExtraInfo;
} KBDLLHOOKSTRUCT, *PKBDLLHOOKSTRUCT;

typedef LRESULT(CALLBACK *HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);
#endif

#endif
