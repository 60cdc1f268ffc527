/* The desktop's own shellapi.h, with the device's name for the launch call:
 * the device's core library exports ShellExecuteEx (wide text only), where
 * the desktop has ShellExecuteExW behind a macro. */
#ifndef DEVICE_ON_DESKTOP_SHELLAPI_H
#define DEVICE_ON_DESKTOP_SHELLAPI_H

#include_next <shellapi.h>

#undef ShellExecuteEx

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI ShellExecuteEx(LPSHELLEXECUTEINFOW info);

#ifdef __cplusplus
}
#endif

#endif
