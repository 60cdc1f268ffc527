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

// The device's pseudo-handle for the calling process, where the device's
// headers define it: GetCurrentProcess() is the device's below, and
// (GetCurrentProcess)() the desktop's function.
#include "../../include/kfuncs.h"

using coredll::FaultResult;
using coredll::TakeFault;
using fault_plan::Call;
using fault_plan::ErrorResult;

namespace {

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
#define FORWARD(Result, Name, Failure, Parameters, Arguments)                   \
    extern "C" Result WINAPI coredll_##Name Parameters {                        \
        if (auto fault = TakeFault(Call::Name)) return FaultResult<Result>(*fault, Failure); \
        return Name Arguments;                                                  \
    }

// A registry call, whose result is the error itself.
#define FORWARD_ERROR_RESULT(Name, Parameters, Arguments)                       \
    extern "C" LONG WINAPI coredll_##Name Parameters {                          \
        if (auto fault = TakeFault(Call::Name)) return ErrorResult(*fault);     \
        return Name Arguments;                                                  \
    }

extern "C" DWORD WINAPI coredll_GetLastError(void) { return GetLastError(); }

FORWARD(BOOL, CloseHandle, FALSE, (HANDLE object), (object))
FORWARD(HANDLE, CreateMutexW, nullptr, (LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCWSTR name),
        (attributes, owned, name))
FORWARD(HLOCAL, LocalAlloc, nullptr, (UINT flags, SIZE_T bytes), (flags, bytes))
FORWARD(HMODULE, GetModuleHandleW, nullptr, (LPCWSTR name), (name))
FORWARD(HMODULE, LoadLibraryW, nullptr, (LPCWSTR name), (name))
FORWARD(BOOL, FreeLibrary, FALSE, (HMODULE module), (module))
FORWARD(HWND, FindWindowW, nullptr, (LPCWSTR className, LPCWSTR title), (className, title))
FORWARD(BOOL, UpdateWindow, FALSE, (HWND window), (window))
FORWARD_ERROR_RESULT(RegQueryValueExW,
                     (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),
                     (key, name, reserved, type, data, size))
FORWARD_ERROR_RESULT(RegCloseKey, (HKEY key), (key))

// The device's launch call is the desktop's wide one. The device shows no
// message when a launch fails; the desktop would, and wait for it.
extern "C" BOOL WINAPI coredll_ShellExecuteEx(LPSHELLEXECUTEINFOW info) {
    if (auto fault = TakeFault(Call::ShellExecuteEx)) return FaultResult<BOOL>(*fault, FALSE);
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONG mask = info->fMask;
    info->fMask |= SEE_MASK_FLAG_NO_UI;
    const BOOL started = ShellExecuteExW(info);
    info->fMask = mask;
    return started;
}

// The device waits for any one object only.
extern "C" DWORD WINAPI coredll_WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds) {
    if (auto fault = TakeFault(Call::WaitForMultipleObjects)) return FaultResult<DWORD>(*fault, WAIT_FAILED);
    if (all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitForMultipleObjects(count, handles, all, milliseconds);
}

// The device reserves the options: they must be 0.
extern "C" LONG WINAPI coredll_RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (auto fault = TakeFault(Call::RegOpenKeyExW)) return ErrorResult(*fault);
    if (options != 0) return ERROR_INVALID_PARAMETER;
    return RegOpenKeyExW(key, subKey, options, access, result);
}

// A failed release gives the block back.
extern "C" HLOCAL WINAPI coredll_LocalFree(HLOCAL memory) {
    if (auto fault = TakeFault(Call::LocalFree)) return FaultResult<HLOCAL>(*fault, memory);
    return LocalFree(memory);
}

namespace {

// A path that does not fit is cut to SIZE characters with its terminator,
// the result SIZE and the error ERROR_INSUFFICIENT_BUFFER, as desktop Win32
// documents it (Wine, like Windows XP, leaves the terminator out).
DWORD CopyModulePath(const WCHAR *path, DWORD length, LPWSTR fileName, DWORD size) {
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length < size) {
        std::memcpy(fileName, path, (length + 1) * sizeof(WCHAR));
        SetLastError(ERROR_SUCCESS);
        return length;
    }
    std::memcpy(fileName, path, (size - 1) * sizeof(WCHAR));
    fileName[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace

// path: reports another module path, cut as the module's own would be.
extern "C" DWORD WINAPI coredll_GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    WCHAR path[32768];
    int length = 0;
    if (auto fault = TakeFault(Call::GetModuleFileNameW)) {
        if (fault->verb != fault_plan::Fault::kPath) return FaultResult<DWORD>(*fault, 0);
        length = MultiByteToWideChar(CP_UTF8, 0, fault->path.c_str(), -1, path, 32768) - 1;
    } else {
        length = int(GetModuleFileNameW(module, path, 32768));
        if (length == 0) return 0;
    }
    return length < 0 ? 0 : CopyModulePath(path, DWORD(length), fileName, size);
}

extern "C" LPWSTR WINAPI coredll_GetCommandLineW(void) { return ArgumentsOnly(GetCommandLineW()); }

extern "C" BOOL WINAPI coredll_TerminateProcess(HANDLE process, UINT status) {
    if (auto fault = TakeFault(Call::TerminateProcess)) return FaultResult<BOOL>(*fault, FALSE);
    return TerminateProcess(process == GetCurrentProcess() ? (GetCurrentProcess)() : process, status);
}

// The C runtime's routines; desktop Win32's wchar_t is the device's 16 bits.
extern "C" void *coredll_memset(void *target, int value, size_t bytes) { return std::memset(target, value, bytes); }
extern "C" wchar_t *coredll_wcsstr(const wchar_t *text, const wchar_t *search) {
    return const_cast<wchar_t *>(std::wcsstr(text, search));
}
extern "C" wchar_t *coredll_wcsncpy(wchar_t *target, const wchar_t *source, size_t count) {
    return std::wcsncpy(target, source, count);
}
