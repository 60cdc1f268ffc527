/* Shell execution. */
#ifndef SIMDEVICE_SHELLAPI_H
#define SIMDEVICE_SHELLAPI_H

#include <windef.h>

#define SEE_MASK_NOCLOSEPROCESS 0x00000040

typedef struct _SHELLEXECUTEINFO {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    LPVOID lpIDList;
    LPCWSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFO, *LPSHELLEXECUTEINFO;

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI ShellExecuteEx(LPSHELLEXECUTEINFO info);

#ifdef __cplusplus
}
#endif

#endif
