/* The device platform's umbrella header, as the host stand-in provides it. */
#ifndef SIMDEVICE_WINDOWS_H
#define SIMDEVICE_WINDOWS_H

#include <winnt.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winuser.h>
#include <winreg.h>
#include <kfuncs.h>
#include <dbgapi.h>
#include <string.h> /* memset */

#ifdef SIMDEVICE_DEVICE_CODE
/* The wide-string routines are coredll's. The device's own files (UNDER_CE)
 * import them by ordinal. On this host glibc's versions assume a 32-bit
 * wchar_t, so device code is bound to the stand-in's 16-bit ones. */
#ifdef __cplusplus
extern "C" {
#endif
#ifdef UNDER_CE
wchar_t *wcsstr(const wchar_t *string, const wchar_t *search);
wchar_t *wcsncpy(wchar_t *destination, const wchar_t *source, size_t count);
#else
wchar_t *wcsstr(const wchar_t *string, const wchar_t *search) __asm__("simdevice_wcsstr");
wchar_t *wcsncpy(wchar_t *destination, const wchar_t *source, size_t count) __asm__("simdevice_wcsncpy");
#endif
#ifdef __cplusplus
}
#endif
#endif

#endif
