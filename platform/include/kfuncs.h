/* Kernel pseudo-handles. */
#ifndef SIMDEVICE_KFUNCS_H
#define SIMDEVICE_KFUNCS_H

#include <windef.h>

/* The device's pseudo-handle for the calling process. */
#define GetCurrentProcess() ((HANDLE)(ULONG_PTR)0x42)

#endif
