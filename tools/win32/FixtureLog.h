// The fixtures' record of what happened to them: one UTF-8 line per event in
// a file beside the program, opened and closed per line so that tests can
// read it while the program runs.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cwchar>

inline void FixturePath(const wchar_t *fileName, wchar_t (&out)[MAX_PATH]) {
    DWORD length = GetModuleFileNameW(nullptr, out, MAX_PATH);
    while (length > 0 && out[length - 1] != L'\\') --length;
    out[length] = 0;
    wcsncat(out, fileName, MAX_PATH - length - 1);
}

inline void FixtureLog(const wchar_t *fileName, const wchar_t *format, ...) {
    wchar_t line[512];
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(line, 510, format, arguments);
    va_end(arguments);
    line[510] = 0;
    wcscat(line, L"\n");
    char utf8[2048];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, nullptr, nullptr);
    wchar_t path[MAX_PATH];
    FixturePath(fileName, path);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (bytes > 1) WriteFile(file, utf8, DWORD(bytes - 1), &written, nullptr);
    CloseHandle(file);
}
