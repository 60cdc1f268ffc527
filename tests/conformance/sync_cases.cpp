// Named mutexes, waits and last-error codes.
#include "Cases.h"

namespace {

using namespace conformance;

// CreateMutexW's last error: whether the name already had an object.
DWORD CreateAndClose(const WCHAR *name) {
    SetLastError(0xdead);
    HANDLE mutex = CreateMutexW(NULL, FALSE, name);
    const DWORD error = GetLastError();
    ok(mutex != NULL, "CreateMutexW gives a handle, error %lu", (unsigned long)GetLastError());
    CloseHandle(mutex);
    return error;
}

void NamedMutexExistsWhileAHandleIsOpen() {
    HANDLE first = CreateMutexW(NULL, FALSE, TEXT("_CONFORMANCE_MUTEX_"));
    ok(first != NULL && GetLastError() == ERROR_SUCCESS, "a new name: error %lu", (unsigned long)GetLastError());
    HANDLE second = CreateMutexW(NULL, FALSE, TEXT("_CONFORMANCE_MUTEX_"));
    ok(second != NULL && GetLastError() == ERROR_ALREADY_EXISTS, "the same name: error %lu",
       (unsigned long)GetLastError());
    ok(second != first, "each call gives a handle of its own");
    CloseHandle(first);
    ok(CreateAndClose(TEXT("_CONFORMANCE_MUTEX_")) == ERROR_ALREADY_EXISTS, "one handle still open keeps the name");
    CloseHandle(second);
    ok(CreateAndClose(TEXT("_CONFORMANCE_MUTEX_")) == ERROR_SUCCESS, "the last close ends the name");

    struct Case {
        const char *what;
        const WCHAR *held, *probe;
        DWORD error;
    } cases[] = {
        {"names are compared with case", TEXT("Name"), TEXT("name"), ERROR_SUCCESS},
        {"no name is never shared", NULL, NULL, ERROR_SUCCESS},
        {"a slash is part of the name", TEXT("a/b"), TEXT("a/b"), ERROR_ALREADY_EXISTS},
        {"non-ASCII names", TEXT("Verrouill\u00e9 \u65e5\u672c"), TEXT("Verrouill\u00e9 \u65e5\u672c"), ERROR_ALREADY_EXISTS},
    };
    for (const Case &c : cases) {
        HANDLE held = CreateMutexW(NULL, FALSE, c.held);
        const DWORD error = CreateAndClose(c.probe);
        ok(error == c.error, "%s: error %lu, expected %lu", c.what, (unsigned long)error, (unsigned long)c.error);
        CloseHandle(held);
    }
    ok(device::LiveHandles().value_or(0) == 0, "every handle closed");
}

void CloseHandleRefusesWhatIsNoHandle() {
    SetLastError(0);
    ok(!CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5a5a0))), "a made-up handle is refused");
    ok(GetLastError() == ERROR_INVALID_HANDLE, "with ERROR_INVALID_HANDLE, got %lu", (unsigned long)GetLastError());
    HANDLE mutex = CreateMutexW(NULL, FALSE, NULL);
    ok(CloseHandle(mutex), "a handle closes once");
    SetLastError(0);
    ok(!CloseHandle(mutex) && GetLastError() == ERROR_INVALID_HANDLE, "and not twice: error %lu",
       (unsigned long)GetLastError());
}

void WaitsRefuseWhatTheDeviceRefuses() {
    HANDLE queue = MakeQueue(MSGQUEUE_NOPRECOMMIT, 4, 64);
    struct Case {
        const char *what;
        DWORD count;
        const HANDLE *handles;
        BOOL all;
        DWORD result, error;
    } cases[] = {
        {"no handles", 0, &queue, FALSE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"more than the limit", MAXIMUM_WAIT_OBJECTS + 1, &queue, FALSE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"wait for all: the device waits for any one", 1, &queue, TRUE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"an empty queue times out", 1, &queue, FALSE, WAIT_TIMEOUT, 0},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        const DWORD result = WaitForMultipleObjects(c.count, c.handles, c.all, 0);
        ok(result == c.result, "%s: result 0x%lx, expected 0x%lx", c.what, (unsigned long)result, (unsigned long)c.result);
        if (c.result == WAIT_FAILED)
            ok(GetLastError() == c.error, "%s: error %lu, expected %lu", c.what, (unsigned long)GetLastError(),
               (unsigned long)c.error);
    }
    CloseMsgQueue(queue);
}

void InterlockedCallsReturnWhatTheyFound() {
    LONG word = 5;  // the device's calls take a plain LONG *
    ok(InterlockedExchange(&word, 7) == 5 && word == 7, "exchange gives the old value and stores the new");
    ok(InterlockedCompareExchange(&word, 9, 1) == 7 && word == 7, "a compare that fails stores nothing");
    ok(InterlockedCompareExchange(&word, 9, 7) == 7 && word == 9, "a compare that holds stores");
}

}  // namespace

void conformance::SyncCases() {
    NamedMutexExistsWhileAHandleIsOpen();
    CloseHandleRefusesWhatIsNoHandle();
    WaitsRefuseWhatTheDeviceRefuses();
    InterlockedCallsReturnWhatTheyFound();
}
