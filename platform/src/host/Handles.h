// This process's handles, of every kind, in one table, and the accounting
// that tests read back.
#pragma once

#include <simdevice/device.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace simdevice::internal {

enum class Kind { Mutex, Queue, Notification, RegistryKey, Hook };
constexpr int kKinds = 5;

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

// What this process holds, counted as it changes: handles by kind (the
// table counts them), heap blocks and module references; and whether a
// thread sits in WaitForMultipleObjects, where nothing of a wake-up is half
// done. Word-sized atomics only: a program of the device keeps them in its
// membership file, mapped, where other processes read them while it runs.
struct Counters {
    std::atomic<int> handles[kKinds] = {};
    std::atomic<int> allocations{0};
    std::atomic<long> allocationsMade{0};
    std::atomic<int> moduleReferences{0};
    std::atomic<int> waiting{0};     // threads inside WaitForMultipleObjects
    std::atomic<long> waitsBegun{0};  // every wait entered so far
};
Counters &Count();
// Moves the counts into the file FD has open (the program's membership of
// the device), mapped shared; they stay here if it cannot be mapped.
void ShareCounts(int fd);
// The counts of the program whose membership file is PATH, read while it
// runs; with a timeout, read while one of its threads sits in a wait (up to
// TIMEOUT for it to get there). Nothing if they cannot be read.
std::optional<Resources> SharedCounts(const std::string &path, std::optional<std::chrono::milliseconds> whenWaiting);

// What calls were given where the device ignores an argument or callers are
// expected to pass an exact one.
void ObserveInstalledHook(HHOOK hook);
void ObserveNextHook(HHOOK hook);
void ObserveRegistryAccess(DWORD access);
void ObserveModuleNameCapacity(DWORD size);

}  // namespace simdevice::internal
