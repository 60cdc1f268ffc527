// One table for this process's handles of every kind, and the accounting
// built on it.
#include "Handles.h"

#include "Files.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <mqueue.h>
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


Counters g_localCounts;
std::atomic<Counters *> g_counts{&g_localCounts};

void CopyCounts(const Counters &from, Counters &to) {
    for (int i = 0; i < kKinds; ++i) to.handles[i] = from.handles[i].load();
    to.allocations = from.allocations.load();
    to.allocationsMade = from.allocationsMade.load();
    to.moduleReferences = from.moduleReferences.load();
    to.waiting = from.waiting.load();
    to.waitsBegun = from.waitsBegun.load();
}

Resources ResourcesIn(const Counters &c) {
    const int mutexes = c.handles[kKindIndex<MutexObject>], queues = c.handles[kKindIndex<QueueObject>];
    Resources r;
    r.subscriptions = c.handles[kKindIndex<NotificationObject>];
    r.kernelObjects = mutexes + queues + r.subscriptions;
    r.allocations = c.allocations;
    r.allocationsMade = c.allocationsMade;
    r.registryKeys = c.handles[kKindIndex<RegistryKeyObject>];
    r.moduleReferences = c.moduleReferences;
    r.hooks = c.handles[kKindIndex<HookObject>];
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

void MutexObject::Release() const {
    DeviceGuard guard("objects");  // against a CreateMutexW of the name in another process
    if (fd >= 0) close(fd);
    if (!path.empty() && !IsHeld(path)) unlink(path.c_str());
}

void QueueObject::Release() const {
    mq_close(fd);
    mq_unlink(name.c_str());
}

HANDLE AddHandle(Object object) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    Count().handles[object.index()]++;
    g_handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

bool WithEntry(HANDLE handle, int kind, const std::function<void(Object &)> &fn) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || int(it->second.index()) != kind) return false;
    fn(it->second);
    return true;
}

std::optional<Object> RemoveEntry(HANDLE handle, int kind) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || int(it->second.index()) != kind) return std::nullopt;
    Object object = std::move(it->second);
    g_handles.erase(it);
    Count().handles[object.index()]--;
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


}  // namespace internal

Resources LiveResources() { return ResourcesIn(Count()); }


}  // namespace simdevice
