// Kernel objects and waits: last error, named mutexes, closing handles,
// waiting on queues, and the Interlocked calls.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Handles.h"
#include "../host/Layout.h"
#include "../host/Names.h"
#include "../host/Text.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

thread_local DWORD t_lastError = 0;

// Marks the thread as sitting in a wait, for those who sample the process's
// counts at a moment of rest.
class InAWait {
public:
    InAWait() {
        Count().waitsBegun++;
        Count().waiting++;
    }
    ~InAWait() { Count().waiting--; }
    InAWait(const InAWait &) = delete;
    InAWait &operator=(const InAWait &) = delete;
};

}  // namespace

void simdevice::internal::SetError(DWORD error) { t_lastError = error; }

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD error) { t_lastError = error; }

BOOL WINAPI served::CloseHandle(HANDLE object) {
    if (auto mutex = RemoveHandle<MutexObject>(object)) {
        mutex->Release();
        return TRUE;
    }
    if (auto queue = RemoveHandle<QueueObject>(object)) {  // a queue may be closed either way
        queue->Release();
        return TRUE;
    }
    return SetError(ERROR_INVALID_HANDLE), FALSE;
}

// Ownership is not modelled: nothing in the system waits on a mutex. A name
// exists while any process holds a handle to it.
HANDLE WINAPI served::CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL /*initialOwner*/, LPCWSTR name) {
    MutexObject object;
    bool existed = false;
    if (name && *name) {
        DeviceGuard guard("objects");
        object.path = DevicePath("objects/" + ObjectFileName("mutex", FromWide(name)));
        existed = IsHeld(object.path);
        object.fd = OpenAndHold(object.path, true);
        if (object.fd < 0) return SetError(ERROR_ACCESS_DENIED), nullptr;
    }
    HANDLE handle = AddHandle(object);
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// The device waits for any one object only; a queue is signalled while it
// holds a message, and the kernel wakes the wait.
DWORD WINAPI served::WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles || waitAll)
        return SetError(ERROR_INVALID_PARAMETER), WAIT_FAILED;
    std::vector<pollfd> fds(count);
    for (DWORD i = 0; i < count; ++i) {
        if (!WithObject<QueueObject>(handles[i], [&](const QueueObject &q) { fds[i] = {q.fd, POLLIN, 0}; }))
            return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
    }
    InAWait resting;
    for (;;) {
        int ready = poll(fds.data(), fds.size(), milliseconds == INFINITE ? -1 : int(milliseconds));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
        if (ready == 0) return WAIT_TIMEOUT;
        for (DWORD i = 0; i < count; ++i)
            if (fds[i].revents & POLLIN) return WAIT_OBJECT_0 + i;
        return SetError(ERROR_INVALID_HANDLE), WAIT_FAILED;
    }
}

LONG WINAPI InterlockedExchange(LPLONG target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LPLONG destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;  // the value found, as on the platform
}
