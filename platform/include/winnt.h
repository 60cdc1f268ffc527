/* Base types, text literals and the platform's constants for registry
 * access and library entry reasons, where the device SDK keeps them.
 *
 * WCHAR is a 16-bit UTF-16 unit in both kinds of code this header serves:
 *  - device code, C or C++, is compiled with 16-bit wchar_t, so L"..."
 *    literals have the device's layout;
 *  - host code (tests, tools, the stand-in itself) keeps 32-bit wchar_t for the
 *    C++ library and uses char16_t instead. The two types have the same ABI. */
#ifndef SIMDEVICE_WINNT_H
#define SIMDEVICE_WINNT_H

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
#include <stddef.h>
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

typedef void VOID;
typedef char CHAR;
typedef int LONG;
typedef void *PVOID;
typedef LONG *PLONG, *LPLONG;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR TCHAR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
typedef void *HANDLE;
typedef HANDLE *LPHANDLE;

#define KEY_QUERY_VALUE 0x0001
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019 /* the device ignores the access mask */

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#endif
