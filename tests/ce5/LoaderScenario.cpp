// The kernel's loader on the library, installed into the object store as
// the CAB installs it: the load returns (under a watchdog: a hung load holds
// every later load in the system), the library is moved off its preferred
// base with its relocations applied, and both exports bind by name and by
// ordinal to the same code.
//
// LoadLibraryW's handle is the kernel's record of the module, not its
// address: the base is an export's address less its RVA, read from the file.
#include "DriverSupport.h"

namespace {

const WCHAR LIBRARY[] = L"tallowbeck.dll";
const DWORD LOAD_WAIT_MS = 20000;
const DWORD MOST_HEADER_BYTES = 0x4000;
const DWORD GENERIC_READ_ACCESS = 0x80000000;
const DWORD FILE_SHARE_READ_MODE = 1;
const DWORD OPEN_EXISTING_FILE = 3;
const HANDLE NO_FILE = reinterpret_cast<HANDLE>(-1);

struct LibraryFile {
    DWORD preferredBase;
    DWORD activateRva;
    DWORD deactivateRva;
};

struct LoadJob {
    WCHAR path[MAX_PATH];
    HMODULE module;
    DWORD error;
};

DWORD Word(const BYTE *bytes, DWORD at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<DWORD>(bytes[at + 3]) << 24;
}

DWORD Half(const BYTE *bytes, DWORD at) {
    return bytes[at] | bytes[at + 1] << 8;
}

// The file offset of RVA, through the section table; 0 if no section has it.
DWORD FileOffset(const BYTE *bytes, DWORD size, DWORD rva) {
    const DWORD coff = Word(bytes, 0x3C) + 4;
    const DWORD table = coff + 20 + Half(bytes, coff + 16);
    for (DWORD i = 0; i < Half(bytes, coff + 2) && table + 40 * i + 40 <= size; ++i) {
        const DWORD section = table + 40 * i;
        const DWORD start = Word(bytes, section + 12);
        if (rva >= start && rva < start + Word(bytes, section + 16)) {
            return Word(bytes, section + 20) + (rva - start);
        }
    }
    return 0;
}

// The preferred base and the RVAs of ordinals 1 and 2, from the file's
// headers and export table (the library's first bytes hold them all).
bool ReadLibraryFile(LPCWSTR path, LibraryFile *file) {
    BYTE *bytes = static_cast<BYTE *>(LocalAlloc(LPTR, MOST_HEADER_BYTES));
    HANDLE handle = ce5.CreateFileW(path, GENERIC_READ_ACCESS, FILE_SHARE_READ_MODE, NULL, OPEN_EXISTING_FILE, 0,
                                    NULL);
    DWORD size = 0;
    bool read = false;
    if (bytes != NULL && handle != NO_FILE && ce5.ReadFile(handle, bytes, MOST_HEADER_BYTES, &size, NULL) &&
        size > 0x40 && Word(bytes, 0x3C) + 0x80 < size) {
        const DWORD optional = Word(bytes, 0x3C) + 24;
        file->preferredBase = Word(bytes, optional + 28);
        const DWORD exports = FileOffset(bytes, size, Word(bytes, optional + 96));
        if (exports != 0 && exports + 40 <= size) {
            const DWORD ordinalBase = Word(bytes, exports + 16);
            const DWORD table = FileOffset(bytes, size, Word(bytes, exports + 28));
            if (table != 0 && ordinalBase <= 1 && table + 4 * (3 - ordinalBase) <= size) {
                file->activateRva = Word(bytes, table + 4 * (1 - ordinalBase));
                file->deactivateRva = Word(bytes, table + 4 * (2 - ordinalBase));
                read = true;
            }
        }
    }
    if (handle != NO_FILE) {
        CloseHandle(handle);
    }
    if (bytes != NULL) {
        LocalFree(bytes);
    }
    return read;
}

DWORD WINAPI LoadLibraryJob(LPVOID context) {
    LoadJob *job = static_cast<LoadJob *>(context);
    job->module = LoadLibraryW(job->path);
    job->error = GetLastError();
    return 0;
}

DWORD Address(FARPROC entry) {
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(entry));
}

void CheckRelocated(HMODULE module, const LibraryFile &file) {
    const DWORD activate = Address(GetProcAddressW(module, L"ActivateKBHook"));
    const DWORD deactivate = Address(GetProcAddressW(module, L"DeactivateKBHook"));
    const bool sameByOrdinal = activate == Address(GetProcAddressW(module, MAKEINTRESOURCEW(1))) &&
                               deactivate == Address(GetProcAddressW(module, MAKEINTRESOURCEW(2)));
    const DWORD base = activate - file.activateRva;
    WCHAR detail[200];
    ce5.wsprintfW(detail, L"preferred base 0x%08x, loaded at 0x%08x; exports by name and ordinal agree: %u",
                  file.preferredBase, base, sameByOrdinal ? 1 : 0);
    Report(L"loader.library_relocated",
           activate != 0 && deactivate - file.deactivateRva == base && base != file.preferredBase && sameByOrdinal,
           detail);
}

void RunScenario() {
    static LoadJob job;  // outlives a hung load's thread
    JoinPath(job.path, INSTALL_FOLDER, LIBRARY);
    LibraryFile file;
    const bool installed = Install(INSTALL_FOLDER, LIBRARY) && ReadLibraryFile(job.path, &file);
    Report(L"loader.installed", installed, L"copied into the object store, as the CAB installs it");
    if (!installed) {
        return;
    }
    if (!RunWithWatchdog(LoadLibraryJob, &job, LOAD_WAIT_MS)) {
        Report(L"loader.library_loads", false, L"LoadLibraryW has not returned after 20000 ms: the loader hangs");
        return;
    }
    WCHAR detail[80];
    ce5.wsprintfW(detail, L"LoadLibraryW returned, error %u", job.error);
    Report(L"loader.library_loads", job.module != NULL, detail);
    if (job.module == NULL) {
        return;
    }
    CheckRelocated(job.module, file);
    Report(L"loader.library_unloads", FreeLibrary(job.module) != FALSE, L"");
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPWSTR /*commandLine*/,
                   int /*showCommand*/) {
    if (BindCe5Calls()) {
        RunScenario();
    }
    EndScenario();
    return 0;
}
