/* Kernel services: handles, named mutexes, waits, modules, local heap,
 * interlocked words, and the message queues' options record. */
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

#define MSGQUEUE_NOPRECOMMIT 0x00000001
#define MSGQUEUE_ALLOW_BROKEN 0x00000002
#define MSGQUEUE_MSGALERT 0x00000001

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct MSGQUEUEOPTIONS_OS {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwMaxMessages;
    DWORD cbMaxMessage;
    BOOL bReadAccess;
} MSGQUEUEOPTIONS, *LPMSGQUEUEOPTIONS, *PMSGQUEUEOPTIONS;

#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
BOOL WINAPI CloseHandle(HANDLE object);

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds);

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
HINSTANCE WINAPI LoadLibraryW(LPCWSTR fileName);
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);

/* The command line's arguments, without the program's name. */
LPWSTR WINAPI GetCommandLineW(void);
/* The calling process's pseudo-handle is GetCurrentProcess() (kfuncs.h). */
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);

HLOCAL WINAPI LocalAlloc(UINT flags, UINT bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);

LONG WINAPI InterlockedExchange(LPLONG target, LONG value);
LONG WINAPI InterlockedCompareExchange(LPLONG destination, LONG exchange, LONG comparand);

/* The program's entry: the platform's start-up code calls it. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

#ifdef __cplusplus
}
#endif

/* The pointer forms are not coredll exports. On the 32-bit device they are
 * the 32-bit forms; a 64-bit host needs forms as wide as its pointers. */
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
/* Functions, not the SDK's macros: a cast's value left unused is an error
 * under the device rules, and callers store without reading. */
static inline PVOID InterlockedExchangePointer(PVOID *target, PVOID value) {
    return (PVOID)(ULONG_PTR)InterlockedExchange((PLONG)target, (LONG)(ULONG_PTR)value);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID *destination, PVOID exchange, PVOID comparand) {
    return (PVOID)(ULONG_PTR)InterlockedCompareExchange((PLONG)destination, (LONG)(ULONG_PTR)exchange,
                                                       (LONG)(ULONG_PTR)comparand);
}
#else
static inline PVOID InterlockedExchangePointer(PVOID *target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID *destination, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand; /* the value found */
}
#endif

#endif
