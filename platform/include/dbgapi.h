/* Kernel debug output. */
#ifndef SIMDEVICE_DBGAPI_H
#define SIMDEVICE_DBGAPI_H

#include <windef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* printf-style over wide text: %d %u %x %X %s (wide) %c %%, with flags,
 * width and the l/h size letters. The text goes to the device's debug channel. */
void WINAPIV NKDbgPrintfW(LPCWSTR format, ...);

#ifdef __cplusplus
}
#endif

#endif
