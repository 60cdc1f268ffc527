// The device calls desktop Win32 has, where the device's meaning differs
// from the desktop's (the process pseudo-handle, the command line, the
// launch call's name, the waits, the registry's options): the rest pass
// straight on to Wine's own DLLs, through exports made from the call list
// (exports.cpp), which also take every call's fault.
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>

#include "faults.h"
#include "served.h"

// The device's pseudo-handle for the calling process, where the device's
// headers define it: GetCurrentProcess() is the device's below, and
// (GetCurrentProcess)() the desktop's function.
#include "../../include/kfuncs.h"

using coredll::FaultResult;
using coredll::TakeFault;
using fault_plan::Call;

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

// The device's launch call is the desktop's wide one. The device shows no
// message when a launch fails; the desktop would, and wait for it.
BOOL WINAPI coredll::served::ShellExecuteEx(LPSHELLEXECUTEINFOW info) {
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
DWORD WINAPI coredll::served::WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds) {
    if (all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return ::WaitForMultipleObjects(count, handles, all, milliseconds);
}

// The device reserves the options: they must be 0.
LONG WINAPI coredll::served::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (options != 0) return ERROR_INVALID_PARAMETER;
    return ::RegOpenKeyExW(key, subKey, options, access, result);
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

// path: reports another module path, cut as the module's own would be. Its
// fault is taken here, not in the export: a plan may give a path.
DWORD WINAPI coredll::served::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    WCHAR path[32768];
    int length = 0;
    if (auto fault = TakeFault(Call::GetModuleFileNameW)) {
        if (fault->verb != fault_plan::Fault::kPath) return FaultResult<DWORD>(*fault, 0);
        length = MultiByteToWideChar(CP_UTF8, 0, fault->path.c_str(), -1, path, 32768) - 1;
    } else {
        length = int(::GetModuleFileNameW(module, path, 32768));
        if (length == 0) return 0;
    }
    return length < 0 ? 0 : CopyModulePath(path, DWORD(length), fileName, size);
}

extern "C" LPWSTR WINAPI coredll_GetCommandLineW(void) { return ArgumentsOnly(GetCommandLineW()); }

BOOL WINAPI coredll::served::TerminateProcess(HANDLE process, UINT status) {
    return ::TerminateProcess(process == GetCurrentProcess() ? (GetCurrentProcess)() : process, status);
}

// The C runtime's routines; desktop Win32's wchar_t is the device's 16 bits.
extern "C" void *coredll_memset(void *target, int value, size_t bytes) { return std::memset(target, value, bytes); }
extern "C" wchar_t *coredll_wcsstr(const wchar_t *text, const wchar_t *search) {
    return const_cast<wchar_t *>(std::wcsstr(text, search));
}
extern "C" wchar_t *coredll_wcsncpy(wchar_t *target, const wchar_t *source, size_t count) {
    return std::wcsncpy(target, source, count);
}
