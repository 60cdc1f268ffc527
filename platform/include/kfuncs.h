/* Kernel debug output. */
#ifndef SIMDEVICE_KFUNCS_H
#define SIMDEVICE_KFUNCS_H

#include <windef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* printf-style over wide text: %d %u %x %X %s (wide) %c %%, with flags,
 * width and the l/h size letters. The text goes to the device's debug channel. */
void NKDbgPrintfW(LPCWSTR format, ...);

#ifdef __cplusplus
}
#endif

#endif
