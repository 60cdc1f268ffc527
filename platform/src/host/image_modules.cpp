// PE modules: loaded through the device's loader, bound to the stand-in's
// calls through the call list, entered through DllMain, counted as module
// references like every other library.
#include "ImageModules.h"

#include "Faults.h"
#include "Handles.h"

#include <simdevice/device.h>

#include <platform_calls.h>
#include <winerror.h>

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

namespace simdevice::internal {

namespace {

struct CoreCall {
    uint16_t ordinal;
    const char *name;
    const char *symbol;
};
const CoreCall kCoreCalls[] = {
#define SERVED_CALL(ordinal, name, symbol) {ordinal, name, symbol},
    PLATFORM_CALL_SYMBOLS(SERVED_CALL)
#undef SERVED_CALL
};

void *CoreLibraryHandle() {
    static void *handle = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<void *>(&CoreExport), &info);
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    }();
    return handle;
}

using DllEntry = BOOL (*)(HANDLE instance, DWORD reason, LPVOID reserved);

struct Library {
    std::string path;
    MappedImage image;
    int references = 0;
    uint64_t loadOrder = 0;
};

// Loads and frees run one at a time (a DllMain may load or free another
// library on the same thread); the table has a lock of its own for lookups.
std::recursive_mutex g_loadMutex;
std::mutex g_tableMutex;
std::map<void *, Library> g_libraries;
uint64_t g_loads = 0;
MappedImage g_program;

DllEntry EntryOf(const MappedImage &image) {
    return image.entry ? reinterpret_cast<DllEntry>(image.base + image.entry) : nullptr;
}

BOOL CallEntry(const MappedImage &image, DWORD reason) {
    DllEntry entry = EntryOf(image);
    return entry ? entry(static_cast<HANDLE>(image.base), reason, nullptr) : TRUE;
}

// At the process's end every library still loaded gets its detach, the
// last loaded first, as on the device; nothing is unmapped.
void DetachAtExit() {
    std::vector<std::pair<uint64_t, MappedImage>> loaded;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        for (const auto &[base, library] : g_libraries) loaded.emplace_back(library.loadOrder, library.image);
    }
    std::sort(loaded.begin(), loaded.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[order, image] : loaded) CallEntry(image, DLL_PROCESS_DETACH);
}

std::optional<std::string> CanonicalPath(const std::string &path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) return std::nullopt;
    return std::string(resolved);
}

void *Refused(const std::string &path, const ImageRefusal &refusal) {
    LogImageRefusal(path, refusal);
    SetError(refusal.error);
    return nullptr;
}

}  // namespace

void *CoreExport(uint16_t ordinal, const std::string &name) {
    for (const CoreCall &call : kCoreCalls)
        if (ordinal ? call.ordinal == ordinal : name == call.name) return dlsym(CoreLibraryHandle(), call.symbol);
    return nullptr;
}

void LogImageRefusal(const std::string &path, const ImageRefusal &refusal) {
    Log(timeline::Event::ImageRefused, {{"path", path}, {"reason", refusal.reason}, {"error", std::to_string(refusal.error)}});
}

void *LoadImageLibrary(const std::string &path) {
    std::lock_guard<std::recursive_mutex> loading(g_loadMutex);
    const std::optional<std::string> canonical = CanonicalPath(path);
    if (!canonical) return SetError(ERROR_MOD_NOT_FOUND), nullptr;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        for (auto &[base, library] : g_libraries) {
            if (library.path != *canonical) continue;
            ++library.references;
            Count().moduleReferences++;
            return base;
        }
    }
    auto mapped = MapImage(*canonical, ImageKind::Library, CoreExport);
    if (auto *refusal = std::get_if<ImageRefusal>(&mapped)) return Refused(*canonical, *refusal);
    const MappedImage image = std::get<MappedImage>(mapped);
    static const bool detachAtExit = std::atexit(DetachAtExit) == 0;
    (void)detachAtExit;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        g_libraries[image.base] = Library{*canonical, image, 1, ++g_loads};
    }
    // A refused attach unloads the library again, its detach called first.
    if (CallEntry(image, DLL_PROCESS_ATTACH) == FALSE) {
        CallEntry(image, DLL_PROCESS_DETACH);
        {
            std::lock_guard<std::mutex> lock(g_tableMutex);
            g_libraries.erase(image.base);
        }
        UnmapImage(image);
        return SetError(ERROR_DLL_INIT_FAILED), nullptr;
    }
    Count().moduleReferences++;
    return image.base;
}

bool FreeImageLibrary(void *base) {
    std::lock_guard<std::recursive_mutex> loading(g_loadMutex);
    MappedImage image;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        auto it = g_libraries.find(base);
        if (it == g_libraries.end()) return false;
        Count().moduleReferences--;
        if (--it->second.references > 0) return true;
        image = it->second.image;
        g_libraries.erase(it);
    }
    CallEntry(image, DLL_PROCESS_DETACH);
    UnmapImage(image);
    return true;
}

void TellImageLibraries(DWORD reason) {
    std::vector<MappedImage> loaded;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        for (const auto &[base, library] : g_libraries) loaded.push_back(library.image);
    }
    for (const MappedImage &image : loaded) CallEntry(image, reason);
}

std::optional<std::string> ImageModulePath(const void *base) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_libraries.find(const_cast<void *>(base));
    if (it == g_libraries.end()) return std::nullopt;
    return it->second.path;
}

std::vector<std::pair<void *, std::string>> ImageModules() {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    std::vector<std::pair<void *, std::string>> modules;
    for (const auto &[base, library] : g_libraries) modules.emplace_back(base, library.path);
    return modules;
}

void *ImageProcAddress(void *base, const std::string &name) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_libraries.find(base);
    return it == g_libraries.end() ? nullptr : ImageExport(it->second.image, name);
}

void *ImageProcAddress(void *base, uint16_t ordinal) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_libraries.find(base);
    return it == g_libraries.end() ? nullptr : ImageExport(it->second.image, ordinal);
}

void *ProgramImageBase() { return g_program.base; }

std::variant<MappedImage, ImageRefusal> LoadProgramImage(const std::string &path) {
    auto mapped = MapImage(path, ImageKind::Program, CoreExport);
    if (auto *refusal = std::get_if<ImageRefusal>(&mapped)) LogImageRefusal(path, *refusal);
    else g_program = std::get<MappedImage>(mapped);
    return mapped;
}

}  // namespace simdevice::internal
