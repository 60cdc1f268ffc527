// One table for this process's handles of every kind, and the accounting
// built on it.
#include "../internal.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>
#include <thread>

namespace simdevice {
using namespace internal;

namespace {

std::mutex g_handleMutex;
std::map<uintptr_t, Object> g_handles;
uintptr_t g_nextHandle = 0x1000;

std::atomic<HHOOK> g_installedHookObserved{nullptr};
std::atomic<HHOOK> g_nextHookObserved{nullptr};
std::atomic<DWORD> g_registryAccessObserved{0};
std::atomic<DWORD> g_moduleNameCapacityObserved{0};

Counters g_localCounts;
std::atomic<Counters *> g_counts{&g_localCounts};

int Index(Kind kind) { return static_cast<int>(kind); }

void CopyCounts(const Counters &from, Counters &to) {
    for (int i = 0; i < kKinds; ++i) to.handles[i] = from.handles[i].load();
    to.allocations = from.allocations.load();
    to.allocationsMade = from.allocationsMade.load();
    to.moduleReferences = from.moduleReferences.load();
    to.waiting = from.waiting.load();
    to.waitsBegun = from.waitsBegun.load();
}

Resources ResourcesIn(const Counters &c) {
    const auto handles = [&](Kind kind) { return c.handles[Index(kind)].load(); };
    Resources r;
    r.handles = handles(Kind::Mutex) + handles(Kind::Queue) + handles(Kind::Notification);
    r.subscriptions = handles(Kind::Notification);
    r.allocations = c.allocations;
    r.allocationsMade = c.allocationsMade;
    r.registryKeys = handles(Kind::RegistryKey);
    r.moduleReferences = c.moduleReferences;
    r.hooks = handles(Kind::Hook);
    return r;
}

// The counts read while the same wait of one thread lasted, or nothing yet.
std::optional<Resources> ReadInAWait(const Counters &c) {
    const long begun = c.waitsBegun;
    if (c.waiting == 0) return std::nullopt;
    Resources r = ResourcesIn(c);
    if (c.waiting == 0 || c.waitsBegun != begun) return std::nullopt;
    return r;
}

}  // namespace

namespace internal {

HANDLE AddHandle(Object object) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    Count().handles[Index(object.kind)]++;
    g_handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

bool WithObject(HANDLE handle, Kind kind, const std::function<void(Object &)> &fn) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || it->second.kind != kind) return false;
    fn(it->second);
    return true;
}

std::optional<Object> RemoveHandle(HANDLE handle, std::optional<Kind> kind) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || (kind && it->second.kind != *kind)) return std::nullopt;
    Object object = std::move(it->second);
    g_handles.erase(it);
    Count().handles[Index(object.kind)]--;
    return object;
}

Counters &Count() { return *g_counts.load(); }

// Called as the program joins the device, before it has other threads.
void ShareCounts(int fd) {
    if (ftruncate(fd, sizeof(Counters)) != 0) return;
    void *mapped = mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return;
    Counters *shared = new (mapped) Counters;
    CopyCounts(Count(), *shared);
    g_counts = shared;
}

std::optional<Resources> SharedCounts(const std::string &path, std::optional<std::chrono::milliseconds> whenWaiting) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info{};
    void *mapped = fstat(fd, &info) == 0 && size_t(info.st_size) >= sizeof(Counters)
                       ? mmap(nullptr, sizeof(Counters), PROT_READ, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    close(fd);
    if (mapped == MAP_FAILED) return std::nullopt;
    const Counters &counts = *static_cast<const Counters *>(mapped);
    std::optional<Resources> read;
    if (!whenWaiting) {
        read = ResourcesIn(counts);
    } else {
        // A sampler's wait for a moment of rest, not a measurement: a short sleep between looks.
        const auto deadline = std::chrono::steady_clock::now() + *whenWaiting;
        while (!(read = ReadInAWait(counts)) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    munmap(mapped, sizeof(Counters));
    return read;
}

void ObserveInstalledHook(HHOOK hook) { g_installedHookObserved = hook; }
void ObserveNextHook(HHOOK hook) { g_nextHookObserved = hook; }
void ObserveRegistryAccess(DWORD access) { g_registryAccessObserved = access; }
void ObserveModuleNameCapacity(DWORD size) { g_moduleNameCapacityObserved = size; }

}  // namespace internal

Resources LiveResources() { return ResourcesIn(Count()); }

Observed LastObserved() {
    Observed o;
    o.installedHook = g_installedHookObserved;
    o.nextHook = g_nextHookObserved;
    o.registryAccess = g_registryAccessObserved;
    o.moduleNameCapacity = g_moduleNameCapacityObserved;
    return o;
}

}  // namespace simdevice
