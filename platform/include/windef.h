/* Basic types of the device platform (32-bit ARM on the device).
 *
 * Host stand-in: DWORD, LONG and friends keep their device widths; handles,
 * WPARAM/LPARAM/LRESULT are pointer-sized, as on every Win32 target. WCHAR is
 * a 16-bit UTF-16 unit in both kinds of code this header serves:
 *  - device code, C or C++, is compiled with 16-bit wchar_t, so L"..."
 *    literals have the device's layout;
 *  - host code (tests, tools, the stand-in itself) keeps 32-bit wchar_t for the
 *    C++ library and uses char16_t instead. The two types have the same ABI. */
#ifndef SIMDEVICE_WINDEF_H
#define SIMDEVICE_WINDEF_H

#include <stddef.h>

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#define TEXT(quote) L##quote
#define SIMDEVICE_DEVICE_CODE 1
#elif defined(__cplusplus) && __cplusplus >= 201103L
typedef char16_t WCHAR;
#define TEXT(quote) u##quote
#else
#error "device code must be compiled with a 16-bit wchar_t (-fshort-wchar)"
#endif
#define _T(quote) TEXT(quote)

#define WINAPI
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
typedef int LONG;
typedef unsigned int ULONG;
typedef DWORD *LPDWORD, *PDWORD;
typedef BYTE *LPBYTE, *PBYTE;
typedef BOOL *LPBOOL;
typedef void VOID;
typedef void *LPVOID, *PVOID;
typedef const void *LPCVOID;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef WCHAR TCHAR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
typedef char CHAR;
typedef const CHAR *LPCSTR;

/* Pointer-sized integers: 32 bits on the device, 64 on this host. */
typedef unsigned long UINT_PTR, ULONG_PTR, DWORD_PTR;
typedef long INT_PTR, LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

typedef void *HANDLE;
typedef HANDLE *LPHANDLE;
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
