// The fixtures' record of what happened to them: one UTF-8 line per event in
// a file beside the program, opened and closed per line so that tests can
// read it while the program runs.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cwchar>

#include "shared_objects.h"

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
    wchar_t path[MAX_PATH];
    FixturePath(fileName, path);
    coredll::AppendUtf8(path, line);
}
