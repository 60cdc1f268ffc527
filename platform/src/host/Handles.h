// This process's handles, of every kind, in one table, and the accounting
// that tests read back.
#pragma once

#include <windef.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace simdevice::internal {

enum class Kind { Mutex, Queue, Notification, RegistryKey, Hook };

struct Object {
    Kind kind = Kind::Mutex;
    int fd = -1;              // mutex, notification: held lock file; queue: mq descriptor
    std::string path;         // mutex, notification: its file; registry key: its folder
    std::string queueName;    // queue: its POSIX name
    DWORD maxMessage = 0;     // queue
    DWORD flags = 0;          // queue
    bool readAccess = false;  // queue
    int subscriptions = 0;    // queue: live power subscriptions writing to it
    HANDLE queue = nullptr;   // notification: the subscribed queue
};

HANDLE AddHandle(Object object);
// Runs FN on the object under the table's lock; false if HANDLE is not of KIND.
bool WithObject(HANDLE handle, Kind kind, const std::function<void(Object &)> &fn);
std::optional<Object> RemoveHandle(HANDLE handle, std::optional<Kind> kind);
int CountHandles(Kind kind);

// What the table does not hold: heap blocks and module references.
struct Counters {
    std::atomic<int> allocations{0};
    std::atomic<long> allocationsMade{0};
    std::atomic<int> moduleReferences{0};
};
Counters &Count();

// What calls were given where the device ignores an argument or callers are
// expected to pass an exact one.
void ObserveInstalledHook(HHOOK hook);
void ObserveNextHook(HHOOK hook);
void ObserveRegistryAccess(DWORD access);
void ObserveModuleNameCapacity(DWORD size);

}  // namespace simdevice::internal
