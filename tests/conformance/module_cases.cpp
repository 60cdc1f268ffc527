// Modules: the core library by name, entry points by wide name, the module
// path and its buffer, and a library entry that refuses the load.
#include "Cases.h"

#include <string>

namespace {

using namespace conformance;

void CoreLibraryLoadsByName() {
    HMODULE core = LoadLibraryW(TEXT("coredll.dll"));
    ok(core != NULL, "coredll.dll loads, error %lu", (unsigned long)GetLastError());
    ok(GetModuleHandleW(TEXT("coredll.dll")) == core, "and is the module already there");
    ok(GetModuleHandleW(TEXT("COREDLL.DLL")) == core, "whatever the name's case");
    ok(GetModuleHandleW(NULL) != NULL, "the program has a module handle");
    ok(FreeLibrary(core), "a reference is released");
    SetLastError(0);
    ok(LoadLibraryW(TEXT("no-such-library.dll")) == NULL && GetLastError() == ERROR_MOD_NOT_FOUND,
       "a missing library: error %lu", (unsigned long)GetLastError());
}

void EntryPointsBindByWideName() {
    HMODULE core = LoadLibraryW(TEXT("coredll.dll"));
    struct Case {
        const WCHAR *name;
        bool found;
    } cases[] = {
        {TEXT("SetWindowsHookExW"), true}, {TEXT("CallNextHookEx"), true}, {TEXT("UnhookWindowsHookEx"), true},
        {TEXT("CreateMsgQueue"), true},    {TEXT("setwindowshookexw"), false}, {TEXT("NoSuchEntryPoint"), false},
        {TEXT(""), false},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        FARPROC entry = GetProcAddressW(core, c.name);
        ok((entry != NULL) == c.found, "entry point %d: %s", int(&c - cases), c.found ? "found" : "not found");
        if (!c.found) ok(GetLastError() == ERROR_PROC_NOT_FOUND, "entry point %d: error %lu", int(&c - cases),
                         (unsigned long)GetLastError());
    }
    FreeLibrary(core);
}

// A path that does not fit is cut to fit with its terminator, the result is
// the capacity, and the error says the buffer was short.
void ModuleFileNameFitsItsBuffer() {
    WCHAR full[1024];
    const DWORD length = GetModuleFileNameW(NULL, full, 1024);
    ok(length > 4 && length < 1024 && full[length] == 0, "the program's path, terminated: %lu characters",
       (unsigned long)length);
    struct Case {
        const char *what;
        DWORD size, result, error;
        DWORD kept;  // characters of the path the buffer holds, then a terminator
    } cases[] = {
        {"room to spare", length + 1, length, ERROR_SUCCESS, length},
        {"one short", length, length, ERROR_INSUFFICIENT_BUFFER, length - 1},
        {"room for four", 4, 4, ERROR_INSUFFICIENT_BUFFER, 3},
    };
    for (const Case &c : cases) {
        WCHAR buffer[1024];
        for (WCHAR &w : buffer) w = '#';
        SetLastError(0xdead);
        const DWORD result = GetModuleFileNameW(NULL, buffer, c.size);
        const DWORD error = GetLastError();
        ok(result == c.result, "%s: result %lu, expected %lu", c.what, (unsigned long)result, (unsigned long)c.result);
        ok(error == c.error, "%s: error %lu", c.what, (unsigned long)error);
        ok(std::basic_string<WCHAR>(buffer, c.kept) == std::basic_string<WCHAR>(full, c.kept) && buffer[c.kept] == 0,
           "%s: %lu characters and a terminator", c.what, (unsigned long)c.kept);
        ok(buffer[c.size] == '#', "%s: nothing written past the capacity", c.what);
    }
    ok(device::LastArgument(platform_calls::Call::GetModuleFileNameW, 2).value_or(4) == 4,
       "the capacity a caller gives is the one the call sees");
}

void ALibraryEntryCanRefuseTheLoad() {
    const std::basic_string<WCHAR> path = device::ProgramDir() + TEXT("refuses_attach.dll");
    SetLastError(0);
    HMODULE refused = LoadLibraryW(path.c_str());
    ok(refused == NULL, "a library whose entry returns FALSE on attach does not load");
    ok(GetLastError() == ERROR_DLL_INIT_FAILED, "error %lu, expected ERROR_DLL_INIT_FAILED", (unsigned long)GetLastError());
    ok(GetModuleHandleW(TEXT("refuses_attach.dll")) == NULL, "and is not left loaded");
}

}  // namespace

void conformance::ModuleCases() {
    CoreLibraryLoadsByName();
    EntryPointsBindByWideName();
    ModuleFileNameFitsItsBuffer();
    ALibraryEntryCanRefuseTheLoad();
}
