// Desktop Win32's own calls where coredll.dll serves one of the same name,
// for the Wine side of the device seam: what the harness does is not the
// device's, and must neither meet nor use up a fault planned for the device
// (GetModuleHandleA and GetProcAddress are not coredll.dll's).
#pragma once

#include <windows.h>

#include "DeviceFacts.h"

#include <string>

namespace device {

struct DesktopCalls {
    HHOOK(WINAPI *setHook)(int, HOOKPROC, HINSTANCE, DWORD);
    BOOL(WINAPI *unhook)(HHOOK);
    LRESULT(WINAPI *callNext)(HHOOK, int, WPARAM, LPARAM);
    DWORD(WINAPI *moduleFileName)(HMODULE, LPWSTR, DWORD);
    BOOL(WINAPI *closeHandle)(HANDLE);
};

template <typename Function>
Function BindDesktop(const char *module, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA(module), name)));
}

inline const DesktopCalls &Desktop() {
    static const DesktopCalls calls = {
        BindDesktop<decltype(DesktopCalls::setHook)>("user32.dll", "SetWindowsHookExW"),
        BindDesktop<decltype(DesktopCalls::unhook)>("user32.dll", "UnhookWindowsHookEx"),
        BindDesktop<decltype(DesktopCalls::callNext)>("user32.dll", "CallNextHookEx"),
        BindDesktop<decltype(DesktopCalls::moduleFileName)>("kernel32.dll", "GetModuleFileNameW"),
        BindDesktop<decltype(DesktopCalls::closeHandle)>("kernel32.dll", "CloseHandle")};
    return calls;
}

inline HINSTANCE ThisProgram() { return GetModuleHandleA(nullptr); }

// A low-level keyboard hook of the harness's, first in the chain.
inline HHOOK InstallKeyboardHook(HOOKPROC procedure) {
    return Desktop().setHook(device_facts::kDesktopKeyboardLowLevel, procedure, ThisProgram(), 0);
}

// This program's own path.
inline std::wstring ProgramPath() {
    WCHAR path[MAX_PATH];
    const DWORD length = Desktop().moduleFileName(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

}  // namespace device
