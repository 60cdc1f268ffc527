// Kernel objects and services: named mutexes, waits, the local heap and
// modules.
#include "internal.h"

#include <dlfcn.h>
#include <link.h>
#include <mqueue.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

// Object names may hold any character; file names keep the readable ones.
std::string ObjectFileName(const std::u16string &name) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "mutex.";
    for (unsigned char c : Utf16ToUtf8(name)) {
        if (std::isalnum(c) || c == '_' || c == '-') out += char(c);
        else (out += '%', out += hex[c >> 4]) += hex[c & 15];
    }
    return out;
}

// ---- modules ----
// The program's own module handle: programs load at 0x10000 on the device.
HMODULE const kProgramModule = reinterpret_cast<HMODULE>(0x10000);

struct Module {
    std::string path;
    std::vector<void *> dlHandles;  // one per reference
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

std::string ProgramPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
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

// This process's arguments, as the device's command line holds them:
// without the program's name.
std::u16string ArgumentsOfThisProcess() {
    auto text = ReadWholeFile("/proc/self/cmdline");
    std::string line;
    if (text) {
        size_t start = text->find('\0');
        while (start != std::string::npos && start + 1 < text->size()) {
            size_t end = text->find('\0', start + 1);
            if (!line.empty()) line += ' ';
            line += text->substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
            start = end;
        }
    }
    return Utf8ToUtf16(line);
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
    if (!module || module == kProgramModule) return ProgramPath();
    if (module == CoreModule()) return std::string(CoreInfo().dli_fname);
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    auto it = g_modules.find(module);
    if (it == g_modules.end()) return std::nullopt;
    return it->second.path;
}

}  // namespace

extern "C" {

BOOL WINAPI CloseHandle(HANDLE object) {
    if (auto f = TakeFault("CloseHandle")) return FaultResult<BOOL>(*f, FALSE);
    {
        DeviceGuard guard("objects");  // the last close makes a name disappear
        if (auto mutex = RemoveHandle(object, Kind::Mutex)) {
            if (mutex->fd >= 0) close(mutex->fd);
            if (!mutex->path.empty() && !IsHeld(mutex->path)) unlink(mutex->path.c_str());
            return TRUE;
        }
    }
    if (auto queue = RemoveHandle(object, Kind::Queue)) {  // a queue may be closed either way
        ReleaseQueue(*queue);
        return TRUE;
    }
    return SetError(ERROR_INVALID_HANDLE), FALSE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name) {
    // Ownership is not modelled: nothing in the system waits on a mutex.
    if (auto f = TakeFault("CreateMutexW")) return FaultResult<HANDLE>(*f, nullptr);
    Object object;
    object.kind = Kind::Mutex;
    bool existed = false;
    if (name && *name) {
        DeviceGuard guard("objects");
        object.path = DevicePath("objects/" + ObjectFileName(FromWide(name)));
        existed = IsHeld(object.path);
        object.fd = OpenAndHold(object.path, true);
        if (object.fd < 0) return SetError(ERROR_ACCESS_DENIED), nullptr;
    }
    HANDLE handle = AddHandle(object);
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds) {
    if (auto f = TakeFault("WaitForMultipleObjects")) return FaultResult<DWORD>(*f, WAIT_FAILED);
    // The device waits for any one object only.
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles || waitAll)
        return SetError(ERROR_INVALID_PARAMETER), WAIT_FAILED;
    std::vector<pollfd> fds(count);
    for (DWORD i = 0; i < count; ++i) {
        if (!WithObject(handles[i], Kind::Queue, [&](Object &q) { fds[i] = {q.fd, POLLIN, 0}; }))
            return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
    }
    for (;;) {
        // A queue is signalled while it holds a message; the kernel wakes us.
        int ready = poll(fds.data(), fds.size(), milliseconds == INFINITE ? -1 : int(milliseconds));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
        if (ready == 0) return WAIT_TIMEOUT;
        for (DWORD i = 0; i < count; ++i)
            if (fds[i].revents & POLLIN) return WAIT_OBJECT_0 + i;
        return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
    }
}

LPWSTR WINAPI GetCommandLineW(void) {
    static std::u16string line = ArgumentsOfThisProcess();
    return line.data();
}

// Only the calling process can be ended: the device's pseudo-handle.
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    if (auto f = TakeFault("TerminateProcess")) return FaultResult<BOOL>(*f, FALSE);
    if (process != GetCurrentProcess()) return SetError(ERROR_INVALID_HANDLE), FALSE;
    ProgramExiting(int(exitCode));
    std::exit(int(exitCode));
}

HLOCAL WINAPI LocalAlloc(UINT flags, UINT bytes) {
    if (auto f = TakeFault("LocalAlloc")) return FaultResult<HLOCAL>(*f, nullptr);
    void *block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!block) return SetError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    Count().allocations++;
    Count().allocationsMade++;
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (auto f = TakeFault("LocalFree")) return FaultResult<HLOCAL>(*f, memory);
    if (memory) {
        std::free(memory);
        Count().allocations--;
    }
    return nullptr;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (auto f = TakeFault("GetModuleHandleW")) return FaultResult<HMODULE>(*f, nullptr);
    if (!moduleName) return kProgramModule;
    std::u16string name = FromWide(moduleName);
    if (IsCoreName(name)) return CoreModule();
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    for (const auto &[base, module] : g_modules)
        if (FoldCase(FileNamePart(Utf8ToUtf16(module.path))) == FoldCase(FileNamePart(name)))
            return static_cast<HMODULE>(base);
    return SetError(ERROR_MOD_NOT_FOUND), nullptr;
}

// A path that does not fit is cut to SIZE characters with no terminator and
// the result is SIZE (the older Win32 rule; callers must not assume a NUL).
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::optional<std::u16string> path;
    if (auto f = TakeFault("GetModuleFileNameW")) {
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
    std::copy(path->begin(), path->begin() + size, fileName);
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

HINSTANCE WINAPI LoadLibraryW(LPCWSTR fileName) {
    if (auto f = TakeFault("LoadLibraryW")) return FaultResult<HINSTANCE>(*f, nullptr);
    if (!fileName || !*fileName) return SetError(ERROR_INVALID_PARAMETER), nullptr;
    std::u16string name = FromWide(fileName);
    if (IsCoreName(name)) {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        ++g_coreReferences;
        Count().moduleReferences++;
        return CoreModule();
    }
    std::string path = ResolveLibrary(Utf16ToUtf8(name));
    // Loading runs the library's start-up code, which calls back into us:
    // no lock is held here.
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) return SetError(ERROR_MOD_NOT_FOUND), nullptr;
    void *base = BaseOf(dl);
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    Module &module = g_modules[base];
    module.path = path;
    module.dlHandles.push_back(dl);
    Count().moduleReferences++;
    return static_cast<HINSTANCE>(base);
}

FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName) {
    std::string name = ExportSymbol(procName);
    if (auto f = TakeFault("GetProcAddressW", name)) return FaultResult<FARPROC>(*f, nullptr);
    // A null or empty name binds nothing, and a name never reaches an alias.
    const bool named = !IsOrdinal(procName);
    if (!procName || (named && (name.empty() || name[0] == '#'))) return SetError(ERROR_PROC_NOT_FOUND), nullptr;
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

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (auto f = TakeFault("FreeLibrary")) return FaultResult<BOOL>(*f, FALSE);
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

}  // extern "C"
