/* Kernel services: handles, named mutexes, waits, modules, local heap,
 * interlocked words. */
#ifndef SIMDEVICE_WINBASE_H
#define SIMDEVICE_WINBASE_H

#include <windef.h>

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
BOOL WINAPI CloseHandle(HANDLE object);

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds);

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
HINSTANCE WINAPI LoadLibraryW(LPCWSTR fileName);
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);

HLOCAL WINAPI LocalAlloc(UINT flags, UINT bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);

LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value);
LONG WINAPI InterlockedCompareExchange(LONG volatile *destination, LONG exchange, LONG comparand);
PVOID WINAPI InterlockedExchangePointer(PVOID volatile *target, PVOID value);
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile *destination, PVOID exchange, PVOID comparand);

/* Program and library entries: the platform's start-up code calls these. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);
BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved);

#ifdef __cplusplus
}
#endif

#endif
