// This process's handles, of every kind, in one table, and the accounting
// that tests read back. Each kind of object is a type of its own; the table
// hands an object out only as the kind it is.
#pragma once

#include <simdevice/device.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

namespace simdevice::internal {

// A named mutex holds its file locked while the handle is open; an unnamed
// one holds nothing.
struct MutexObject {
    int fd = -1;
    std::string path;
    // The name goes with its last holder, in whichever process.
    void Release() const;
};

// A message queue is a POSIX message queue.
struct QueueObject {
    int fd = -1;
    std::string name;
    DWORD maxMessage = 0;
    DWORD flags = 0;
    bool readAccess = false;
    int subscriptions = 0;  // live power subscriptions writing to it
    void Release() const;   // closes and unlinks it
};

// A power subscription is a file in the device's power folder, held while
// it lasts.
struct NotificationObject {
    int fd = -1;
    std::string path;
    HANDLE queue = nullptr;  // the subscribed queue
};

struct RegistryKeyObject {
    std::string folder;
};

struct HookObject {};

using Object = std::variant<MutexObject, QueueObject, NotificationObject, RegistryKeyObject, HookObject>;
constexpr int kKinds = int(std::variant_size_v<Object>);

template <typename Kind, typename First, typename... Rest>
constexpr int IndexAmong() {
    if constexpr (std::is_same_v<Kind, First>) return 0;
    else return 1 + IndexAmong<Kind, Rest...>();
}
template <typename Kind, typename Variant>
struct KindOf;
template <typename Kind, typename... Kinds>
struct KindOf<Kind, std::variant<Kinds...>> {
    static constexpr int index = IndexAmong<Kind, Kinds...>();
};
// The kind's place in the table's counts.
template <typename Kind>
constexpr int kKindIndex = KindOf<Kind, Object>::index;

HANDLE AddHandle(Object object);
// Runs FN on the entry under the table's lock if HANDLE's object is of the
// kind at index KIND; false if not.
bool WithEntry(HANDLE handle, int kind, const std::function<void(Object &)> &fn);
std::optional<Object> RemoveEntry(HANDLE handle, int kind);

// Runs FN on HANDLE's object under the table's lock; false if it is no KIND.
template <typename Kind, typename Fn>
bool WithObject(HANDLE handle, Fn fn) {
    return WithEntry(handle, kKindIndex<Kind>, [&](Object &object) { fn(std::get<Kind>(object)); });
}
template <typename Kind>
std::optional<Kind> RemoveHandle(HANDLE handle) {
    std::optional<Object> object = RemoveEntry(handle, kKindIndex<Kind>);
    if (!object) return std::nullopt;
    return std::get<Kind>(std::move(*object));
}

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


}  // namespace simdevice::internal
