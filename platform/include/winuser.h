/* Windows, key messages and virtual-key codes. The low-level keyboard hook
 * is not here: the device SDK doesn't declare it (see pwinuser.h). */
#ifndef SIMDEVICE_WINUSER_H
#define SIMDEVICE_WINUSER_H

#include <windef.h>

#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105

#define VK_RETURN 0x0D
#define VK_F1 0x70
#define VK_F2 0x71
#define VK_F3 0x72
#define VK_F4 0x73
#define VK_F5 0x74
#define VK_F6 0x75
#define VK_F7 0x76
#define VK_F8 0x77

/* An ordinal (or resource number) where a name is expected: the low word,
 * with the high word zero, as GetProcAddressW takes export ordinals. */
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEW

#ifdef __cplusplus
extern "C" {
#endif

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL WINAPI UpdateWindow(HWND window);

#ifdef __cplusplus
}
#endif

#endif
