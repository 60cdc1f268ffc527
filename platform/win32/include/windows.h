/* The desktop's own windows.h, seen the way device code sees the device's:
 * the device's value of WH_KEYBOARD_LL, and the core library's calls that
 * desktop Win32 lacks. coredll.dll (this folder) implements those calls and
 * translates the device's hook type into the desktop's. */
#ifndef DEVICE_ON_DESKTOP_WINDOWS_H
#define DEVICE_ON_DESKTOP_WINDOWS_H

/* The desktop declares WinMain with narrow text; the device's takes wide
 * text. Both compilers give WinMain C linkage, so the desktop's declaration
 * is kept out of the way and the device's takes its place below. */
#define WinMain DesktopWinMain
#include_next <windows.h>
#undef WinMain
#include <string.h>
#include <wchar.h>

#include "dbgapi.h"

/* The device's low-level keyboard hook type (the desktop's is 13). */
#undef WH_KEYBOARD_LL
#define WH_KEYBOARD_LL 20

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

/* The device binds entry points by wide name. */
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);

#ifdef __cplusplus
}
#endif

#endif
