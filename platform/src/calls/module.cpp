// Modules: the program's, the core library's and the libraries a program
// loads, their paths, entry points and references. A module handle is the
// module's base address, as on the platform. A library in a PE file (the
// device's own format) goes to the device's loader (host/ImageModules.h),
// one built for this host to the host's.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Handles.h"
#include "../host/ImageModules.h"
#include "../host/Programs.h"
#include "../host/Text.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

// The program's own module handle: programs load at 0x10000 on the device.
HMODULE const kProgramModule = reinterpret_cast<HMODULE>(0x10000);

// A PE program's handle is its image's base.
HMODULE ProgramModule() {
    void *image = ProgramImageBase();
    return image ? static_cast<HMODULE>(image) : kProgramModule;
}


struct Module {
    std::string path;
    std::vector<void *> dlHandles;  // one per reference
    simdevice::LibraryEntry entry = nullptr;
};
std::mutex g_moduleMutex;
std::map<void *, Module> g_modules;  // by base address, which is the module handle
int g_coreReferences = 0;

const Dl_info &CoreInfo() {
    static Dl_info info = [] {
        Dl_info i{};
        dladdr(reinterpret_cast<void *>(&LoadLibraryW), &i);
        return i;
    }();
    return info;
}

HMODULE CoreModule() { return static_cast<HMODULE>(CoreInfo().dli_fbase); }

void *CoreDlHandle() {
    static void *handle = dlopen(CoreInfo().dli_fname, RTLD_NOW | RTLD_NOLOAD);
    return handle;
}

// What a library's start-up code reported while it loaded, by base address.
struct Attach {
    simdevice::LibraryEntry entry = nullptr;
    bool refused = false;
};
std::mutex g_attachMutex;
std::map<void *, Attach> g_attaches;

Attach TakeAttach(void *base) {
    std::lock_guard<std::mutex> lock(g_attachMutex);
    auto it = g_attaches.find(base);
    if (it == g_attaches.end()) return Attach{};
    const Attach attach = it->second;
    g_attaches.erase(it);
    return attach;
}

// Calls every loaded library's entry with REASON, on this thread.
void TellLibraries(DWORD reason) {
    std::vector<std::pair<void *, simdevice::LibraryEntry>> entries;
    {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        for (const auto &[base, module] : g_modules)
            if (module.entry) entries.emplace_back(base, module.entry);
    }
    for (const auto &[base, entry] : entries) entry(base, reason, nullptr);
    TellImageLibraries(reason);
}

std::u16string FileNamePart(const std::u16string &path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool IsCoreName(const std::u16string &name) {
    std::u16string file = FoldCase(FileNamePart(name));
    return file == u"coredll.dll" || file == u"coredll";
}

// A bare library name is looked for beside the program, then in the
// device's system folder.
std::string ResolveLibrary(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    std::string program = ProgramPath();
    std::string beside = program.substr(0, program.find_last_of('/') + 1) + name;
    if (access(beside.c_str(), R_OK) == 0) return beside;
    return WindowsDir() + "/" + name;
}

void *BaseOf(void *dlHandle) {
    link_map *map = nullptr;
    Dl_info info{};
    if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || !map || !dladdr(map->l_ld, &info)) return nullptr;
    return info.dli_fbase;
}

// An ordinal travels in the low word of the name pointer, the high word zero.
bool IsOrdinal(LPCWSTR procName) { return reinterpret_cast<uintptr_t>(procName) <= 0xFFFF; }

// The dynamic symbol that serves an export: its name or, for ordinal N, the
// alias "#N" that a library's build makes from its definition file.
std::string ExportSymbol(LPCWSTR procName) {
    if (IsOrdinal(procName)) return "#" + std::to_string(reinterpret_cast<uintptr_t>(procName));
    return Narrow(procName);
}

std::optional<std::string> ModulePath(HMODULE module) {
    if (!module || module == ProgramModule()) return ProgramPath();
    if (module == CoreModule()) return std::string(CoreInfo().dli_fname);
    if (auto image = ImageModulePath(module)) return image;
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    auto it = g_modules.find(module);
    if (it == g_modules.end()) return std::nullopt;
    return it->second.path;
}

}  // namespace

void simdevice::LibraryAttached(void *base, LibraryEntry entry, bool accepted) {
    std::lock_guard<std::mutex> lock(g_attachMutex);
    g_attaches[base] = Attach{entry, !accepted};
}

void simdevice::ThreadStarts() { TellLibraries(DLL_THREAD_ATTACH); }
void simdevice::ThreadEnds() { TellLibraries(DLL_THREAD_DETACH); }
void simdevice::ProcessDetaches() { TellLibraries(DLL_PROCESS_DETACH); }

HMODULE WINAPI served::GetModuleHandleW(LPCWSTR moduleName) {
    if (!moduleName) return ProgramModule();
    std::u16string name = FromWide(moduleName);
    if (IsCoreName(name)) return CoreModule();
    for (const auto &[base, path] : ImageModules())
        if (FoldCase(FileNamePart(Utf8ToUtf16(path))) == FoldCase(FileNamePart(name))) return static_cast<HMODULE>(base);
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    for (const auto &[base, module] : g_modules)
        if (FoldCase(FileNamePart(Utf8ToUtf16(module.path))) == FoldCase(FileNamePart(name)))
            return static_cast<HMODULE>(base);
    return SetError(ERROR_MOD_NOT_FOUND), nullptr;
}

// A path that does not fit is cut to SIZE characters with the terminator,
// the result is SIZE and the error ERROR_INSUFFICIENT_BUFFER, as desktop
// Win32 documents it. A path that fits clears the last error, as Wine's does.
DWORD WINAPI served::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::optional<std::u16string> path;
    // Its fault is taken here, not in the wrapper: a plan may give a path.
    if (auto f = TakeFault(Call::GetModuleFileNameW)) {
        if (f->verb != Fault::kPath) return FaultResult<DWORD>(*f, 0);
        path = Utf8ToUtf16(f->path);
    }
    if (!path) {
        auto utf8 = ModulePath(module);
        if (!utf8) return SetError(ERROR_MOD_NOT_FOUND), 0;
        path = Utf8ToUtf16(*utf8);
    }
    if (!fileName || size == 0) return SetError(ERROR_INSUFFICIENT_BUFFER), 0;
    if (path->size() < size) {
        std::copy(path->begin(), path->end(), fileName);
        fileName[path->size()] = 0;
        SetError(ERROR_SUCCESS);
        return DWORD(path->size());
    }
    std::copy(path->begin(), path->begin() + (size - 1), fileName);
    fileName[size - 1] = 0;
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

HINSTANCE WINAPI served::LoadLibraryW(LPCWSTR fileName) {
    if (!fileName || !*fileName) return SetError(ERROR_INVALID_PARAMETER), nullptr;
    std::u16string name = FromWide(fileName);
    if (IsCoreName(name)) {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        ++g_coreReferences;
        Count().moduleReferences++;
        return CoreModule();
    }
    std::string path = ResolveLibrary(Utf16ToUtf8(name));
    if (ForDeviceLoader(path)) return static_cast<HINSTANCE>(LoadImageLibrary(path));
    // Loading runs the library's start-up code, which calls back into us:
    // no lock is held here.
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) return SetError(ERROR_MOD_NOT_FOUND), nullptr;
    void *base = BaseOf(dl);
    const Attach attach = TakeAttach(base);
    if (attach.refused) {
        dlclose(dl);  // the library's detach runs, as the platform calls it after a refusal
        return SetError(ERROR_DLL_INIT_FAILED), nullptr;
    }
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    Module &module = g_modules[base];
    module.path = path;
    module.dlHandles.push_back(dl);
    if (attach.entry) module.entry = attach.entry;  // reported by the first load only
    Count().moduleReferences++;
    return static_cast<HINSTANCE>(base);
}

FARPROC WINAPI served::GetProcAddressW(HMODULE module, LPCWSTR procName) {
    std::string name = ExportSymbol(procName);
    // Its fault is taken here, not in the wrapper: a plan may name one entry point.
    if (auto f = TakeKeyedFault(Call::GetProcAddressW, name))
        return FaultResult<FARPROC>(*f, nullptr);
    // A null or empty name binds nothing, and a name never reaches an alias.
    const bool named = !IsOrdinal(procName);
    if (!procName || (named && (name.empty() || name[0] == '#'))) return SetError(ERROR_PROC_NOT_FOUND), nullptr;
    if (ImageModulePath(module)) {
        void *address = named ? ImageProcAddress(module, name) : ImageProcAddress(module, uint16_t(uintptr_t(procName)));
        return address ? reinterpret_cast<FARPROC>(address) : (SetError(ERROR_PROC_NOT_FOUND), nullptr);
    }
    void *dl = nullptr;
    if (module == CoreModule()) {
        dl = CoreDlHandle();
    } else {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        auto it = g_modules.find(module);
        if (it != g_modules.end()) dl = it->second.dlHandles.front();
    }
    if (!dl) return SetError(ERROR_INVALID_HANDLE), nullptr;
    // dlsym also searches the module's dependencies; a module exports only its own.
    void *symbol = dlsym(dl, name.c_str());
    Dl_info owner{};
    if (!symbol || !dladdr(symbol, &owner) || owner.dli_fbase != module) return SetError(ERROR_PROC_NOT_FOUND), nullptr;
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI served::FreeLibrary(HMODULE module) {
    // Its detach runs in there, and may call back into us: no lock is held.
    if (FreeImageLibrary(module)) return TRUE;
    void *dl = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        if (module == CoreModule()) {
            // coredll stays mapped; the count still shows an over-release.
            --g_coreReferences;
            Count().moduleReferences--;
            return TRUE;
        }
        auto it = g_modules.find(module);
        if (it == g_modules.end()) return SetError(ERROR_INVALID_HANDLE), FALSE;
        dl = it->second.dlHandles.back();
        it->second.dlHandles.pop_back();
        if (it->second.dlHandles.empty()) g_modules.erase(it);
        Count().moduleReferences--;
    }
    dlclose(dl);  // may run the library's detach code, which calls back into us
    return TRUE;
}
