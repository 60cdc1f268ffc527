// The device calls desktop Win32 has: each passes the call on to Wine's own
// DLL, after the fault plan has had its say, so that a plan reaches every
// call however it was bound (by ordinal at load time, or by name). Where the
// device differs from the desktop (the process pseudo-handle, the command
// line, the launch call's name) the device's meaning is kept here.
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>

#include "faults.h"

using coredll::FaultResult;
using coredll::TakeFault;

namespace {

// The device's pseudo-handle for the calling process.
HANDLE const kDeviceCurrentProcess = reinterpret_cast<HANDLE>(0x42);

// The command line without the program's name, as the device gives it: the
// first word ends at a space outside quotes.
LPWSTR ArgumentsOnly(LPWSTR line) {
    bool quoted = false;
    for (; *line != 0 && (quoted || (*line != L' ' && *line != L'\t')); ++line)
        if (*line == L'"') quoted = !quoted;
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

}  // namespace

// A call that reports failure through its result and the last error.
#define FORWARD(Result, Call, Failure, Parameters, Arguments)                   \
    extern "C" Result WINAPI coredll_##Call Parameters {                        \
        if (auto fault = TakeFault(#Call)) return FaultResult<Result>(*fault, Failure); \
        return Call Arguments;                                                  \
    }

// A registry call, whose result is the error itself.
#define FORWARD_ERROR_RESULT(Call, Parameters, Arguments)                       \
    extern "C" LONG WINAPI coredll_##Call Parameters {                          \
        if (auto fault = TakeFault(#Call))                                      \
            return fault->verb == fault_plan::Fault::kFail ? LONG(fault->error) : LONG(fault->value); \
        return Call Arguments;                                                  \
    }

extern "C" DWORD WINAPI coredll_GetLastError(void) { return GetLastError(); }

FORWARD(BOOL, CloseHandle, FALSE, (HANDLE object), (object))
FORWARD(HANDLE, CreateMutexW, nullptr, (LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCWSTR name),
        (attributes, owned, name))
FORWARD(DWORD, WaitForMultipleObjects, WAIT_FAILED, (DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds),
        (count, handles, all, milliseconds))
FORWARD(HLOCAL, LocalAlloc, nullptr, (UINT flags, SIZE_T bytes), (flags, bytes))
FORWARD(HMODULE, GetModuleHandleW, nullptr, (LPCWSTR name), (name))
FORWARD(HMODULE, LoadLibraryW, nullptr, (LPCWSTR name), (name))
FORWARD(BOOL, FreeLibrary, FALSE, (HMODULE module), (module))
FORWARD(HWND, FindWindowW, nullptr, (LPCWSTR className, LPCWSTR title), (className, title))
FORWARD(BOOL, UpdateWindow, FALSE, (HWND window), (window))
FORWARD_ERROR_RESULT(RegOpenKeyExW, (HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result),
                     (key, subKey, options, access, result))
FORWARD_ERROR_RESULT(RegQueryValueExW,
                     (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),
                     (key, name, reserved, type, data, size))
FORWARD_ERROR_RESULT(RegCloseKey, (HKEY key), (key))

// The device's launch call is the desktop's wide one.
extern "C" BOOL WINAPI coredll_ShellExecuteEx(LPSHELLEXECUTEINFOW info) {
    if (auto fault = TakeFault("ShellExecuteEx")) return FaultResult<BOOL>(*fault, FALSE);
    return ShellExecuteExW(info);
}

// A failed release gives the block back.
extern "C" HLOCAL WINAPI coredll_LocalFree(HLOCAL memory) {
    if (auto fault = TakeFault("LocalFree")) return FaultResult<HLOCAL>(*fault, memory);
    return LocalFree(memory);
}

// path: reports another module path, cut to SIZE characters as the query cuts.
extern "C" DWORD WINAPI coredll_GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    auto fault = TakeFault("GetModuleFileNameW");
    if (!fault) return GetModuleFileNameW(module, fileName, size);
    if (fault->verb != fault_plan::Fault::kPath) return FaultResult<DWORD>(*fault, 0);
    WCHAR path[1024];
    const int length = MultiByteToWideChar(CP_UTF8, 0, fault->path.c_str(), -1, path, 1024) - 1;
    if (length < 0 || size == 0) return 0;
    const DWORD copied = DWORD(length) < size ? DWORD(length) : size;
    std::memcpy(fileName, path, copied * sizeof(WCHAR));
    if (copied < size) fileName[copied] = 0;
    SetLastError(copied < size ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER);
    return copied;
}

extern "C" LPWSTR WINAPI coredll_GetCommandLineW(void) { return ArgumentsOnly(GetCommandLineW()); }

extern "C" BOOL WINAPI coredll_TerminateProcess(HANDLE process, UINT status) {
    if (auto fault = TakeFault("TerminateProcess")) return FaultResult<BOOL>(*fault, FALSE);
    return TerminateProcess(process == kDeviceCurrentProcess ? GetCurrentProcess() : process, status);
}

// The C runtime's routines; desktop Win32's wchar_t is the device's 16 bits.
extern "C" void *coredll_memset(void *target, int value, size_t bytes) { return std::memset(target, value, bytes); }
extern "C" wchar_t *coredll_wcsstr(const wchar_t *text, const wchar_t *search) {
    return const_cast<wchar_t *>(std::wcsstr(text, search));
}
extern "C" wchar_t *coredll_wcsncpy(wchar_t *target, const wchar_t *source, size_t count) {
    return std::wcsncpy(target, source, count);
}
