// One table for this process's handles of every kind, and the accounting
// built on it.
#include "../internal.h"

#include <map>
#include <mutex>

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

}  // namespace

namespace internal {

HANDLE AddHandle(Object object) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
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
    return object;
}

int CountHandles(Kind kind) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    int count = 0;
    for (const auto &[value, object] : g_handles) count += object.kind == kind;
    return count;
}

Counters &Count() {
    static Counters counters;
    return counters;
}

void ObserveInstalledHook(HHOOK hook) { g_installedHookObserved = hook; }
void ObserveNextHook(HHOOK hook) { g_nextHookObserved = hook; }
void ObserveRegistryAccess(DWORD access) { g_registryAccessObserved = access; }
void ObserveModuleNameCapacity(DWORD size) { g_moduleNameCapacityObserved = size; }

}  // namespace internal

Resources LiveResources() {
    Counters &c = Count();
    Resources r;
    r.handles = CountHandles(Kind::Mutex) + CountHandles(Kind::Queue) + CountHandles(Kind::Notification);
    r.subscriptions = CountHandles(Kind::Notification);
    r.allocations = c.allocations;
    r.allocationsMade = c.allocationsMade;
    r.registryKeys = CountHandles(Kind::RegistryKey);
    r.moduleReferences = c.moduleReferences;
    r.hooks = CountHandles(Kind::Hook);
    return r;
}

Observed LastObserved() {
    Observed o;
    o.installedHook = g_installedHookObserved;
    o.nextHook = g_nextHookObserved;
    o.registryAccess = g_registryAccessObserved;
    o.moduleNameCapacity = g_moduleNameCapacityObserved;
    return o;
}

}  // namespace simdevice
