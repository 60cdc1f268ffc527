/* Basic types of the device platform (32-bit ARM on the device).
 *
 * Host stand-in: DWORD, LONG and friends keep their device widths; handles,
 * WPARAM/LPARAM/LRESULT are pointer-sized, as on every Win32 target. */
#ifndef SIMDEVICE_WINDEF_H
#define SIMDEVICE_WINDEF_H

#include <winnt.h>

/* One calling convention on the device's processors (ARM: the platform's
 * standard; CE x86: cdecl, which the SDK makes of __stdcall). */
#define WINAPI
#define WINAPIV
#define CALLBACK
#define APIENTRY

#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1
#define MAX_PATH 260

typedef unsigned int DWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE BOOLEAN;
typedef unsigned short WORD;
typedef int INT;
typedef unsigned int UINT;
typedef unsigned int ULONG;
typedef DWORD *LPDWORD, *PDWORD;
typedef BYTE *LPBYTE, *PBYTE;
typedef BOOL *LPBOOL;
typedef void *LPVOID;
typedef const void *LPCVOID;

/* Pointer-sized integers: 32 bits on the device, 64 on this host. */
typedef unsigned long UINT_PTR, ULONG_PTR, DWORD_PTR;
typedef long INT_PTR, LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

#define DECLARE_HANDLE(name) struct name##__ { int unused; }; typedef struct name##__ *name
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HHOOK);
typedef HINSTANCE HMODULE;
typedef HANDLE HLOCAL;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;

typedef int (WINAPI *FARPROC)(void);

#endif
