// Internals shared by the stand-in's source files. Nothing here is visible
// to device code.
#pragma once

#include <simdevice/device.h>

#include "FaultPlan.h"

#include <spawn.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simdevice::internal {

// ---- device layout ----------------------------------------------------------
std::string DevicePath(const std::string &relative);  // DeviceDir()/relative
// A name for a POSIX message queue that belongs to this device; recorded so
// that the device's destruction can unlink it even if its owner was killed.
std::string NewQueueName(const std::string &tag);
std::string SharedQueueName(const std::string &tag);  // same name for all processes
void RecordQueueName(const std::string &name);
void UnlinkRecordedQueues(const std::string &deviceDir);
std::string Escape(const std::string &text);  // for log fields: \t \n \\ escaped
uint64_t NextDeviceId(const std::string &counter);

// ---- liveness: a holder keeps an open-file-description read lock on a file;
// the lock dies with the holder, kill -9 included.
int OpenAndHold(const std::string &path, bool create);  // fd or -1
bool IsHeld(const std::string &path);
int LockExclusively(const std::string &path);  // fd holding a write lock, or -1
// Serialises check-then-act sequences across processes of the device.
class DeviceGuard {
public:
    explicit DeviceGuard(const std::string &name);
    ~DeviceGuard();
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;
private:
    int fd_;
};
void WriteFileAtomically(const std::string &path, const std::string &contents);
std::optional<std::string> ReadWholeFile(const std::string &path);

// ---- programs -----------------------------------------------------------------
// Starts the program at PATH with ARGS (argv[1..]) as every program of the
// device is started: through the emulator SIMDEVICE_EMULATOR names, if any.
// 0 or an errno value.
int SpawnProgram(pid_t *pid, const std::string &path, const std::vector<std::string> &args,
                 const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
                 char *const environment[]);

// ---- last error ---------------------------------------------------------------
void SetError(DWORD error);

// ---- faults ---------------------------------------------------------------------
using Fault = fault_plan::Fault;
// Counts a call of FUNCTION (with ARGUMENT, for the one call that takes one)
// and gives the fault planned for it, if any.
std::optional<Fault> TakeFault(const std::string &function, const std::string &argument = "");
// What a faulted call returns: FAILURE with the planned last error, or the
// planned value.
template <typename Result>
Result FaultResult(const Fault &fault, Result failure) {
    return fault_plan::Outcome(fault, failure, SetError);
}
// A registry call's result is the error itself.
inline LONG RegistryFaultResult(const Fault &fault) {
    return fault.verb == Fault::kReturn ? LONG(fault.value) : LONG(fault.error);
}
// Reads the plans a program was given in SIMDEVICE_FAULTS, once; a malformed
// plan ends the program with one line on standard error.
void LoadEnvironmentFaults();
constexpr int kMalformedFaultPlanStatus = 125;

// ---- handles ----------------------------------------------------------------------
enum class Kind { Mutex, Queue, Notification };
struct Object {
    Kind kind = Kind::Mutex;
    int fd = -1;             // mutex: held lock file; queue: mq descriptor; notification: lock file
    std::string path;        // file of the object in the device (mutex, notification)
    std::string queueName;   // queue: its POSIX name
    DWORD maxMessage = 0;    // queue
    DWORD flags = 0;         // queue
    bool readAccess = false; // queue
    int subscriptions = 0;   // queue: live power subscriptions writing to it
    HANDLE queue = nullptr;  // notification: the subscribed queue
};
HANDLE AddHandle(Object object);
// Runs FN on the object under the table's lock; false if HANDLE is not of KIND.
bool WithObject(HANDLE handle, Kind kind, const std::function<void(Object &)> &fn);
std::optional<Object> RemoveHandle(HANDLE handle, std::optional<Kind> kind);
void ReleaseQueue(Object &queue);  // closes and unlinks a removed queue

// ---- accounting -------------------------------------------------------------------
struct Counters {
    std::atomic<int> handles{0};
    std::atomic<int> subscriptions{0};
    std::atomic<int> allocations{0};
    std::atomic<long> allocationsMade{0};
    std::atomic<int> registryKeys{0};
    std::atomic<int> moduleReferences{0};
    std::atomic<int> hooks{0};
};
Counters &Count();

// ---- text -----------------------------------------------------------------------
std::u16string FromWide(const WCHAR *text);  // null gives u""
std::string Narrow(const WCHAR *text);       // UTF-8; null gives ""
std::u16string FoldCase(std::u16string text); // ASCII letters only, as the registry and window lookups do

}  // namespace simdevice::internal
