/* Windows and the low-level keyboard hook records.
 *
 * The hook entry points (SetWindowsHookExW, CallNextHookEx,
 * UnhookWindowsHookEx) are exported by coredll.dll but not declared by the
 * device SDK: callers bind them by name at run time. */
#ifndef SIMDEVICE_WINUSER_H
#define SIMDEVICE_WINUSER_H

#include <windef.h>

#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105

#define HC_ACTION 0
#define WH_KEYBOARD_LL 20 /* the device's value; desktop Win32 uses 13 */

#define VK_RETURN 0x0D
#define VK_F1 0x70
#define VK_F2 0x71
#define VK_F3 0x72
#define VK_F4 0x73
#define VK_F5 0x74
#define VK_F6 0x75
#define VK_F7 0x76
#define VK_F8 0x77

#define LLKHF_EXTENDED 0x01
#define LLKHF_INJECTED 0x10
#define LLKHF_ALTDOWN 0x20
#define LLKHF_UP 0x80

typedef struct tagKBDLLHOOKSTRUCT {
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags;
    DWORD time;
    ULONG_PTR dwExtraInfo;
} KBDLLHOOKSTRUCT, *PKBDLLHOOKSTRUCT;

/* An ordinal (or resource number) where a name is expected: the low word,
 * with the high word zero, as GetProcAddressW takes export ordinals. */
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEW

typedef LRESULT (CALLBACK *HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);

#ifdef __cplusplus
extern "C" {
#endif

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL WINAPI UpdateWindow(HWND window);

#ifdef __cplusplus
}
#endif

#endif
