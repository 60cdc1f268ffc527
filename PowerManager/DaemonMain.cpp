// Daemon entry: one running copy at a time, watching power broadcasts.
#include <windows.h>

#include "vespertin.h"

namespace {

// A name that exists while the running daemon holds its handle.
const WCHAR INSTANCE_MUTEX_NAME[] = TEXT("_VESPERTIN_EXE_MUTEX_");

// The daemon's exit status on every path.
const int DAEMON_EXIT_STATUS = 1;

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPWSTR /*commandLine*/,
                   int /*showCommand*/) {
    HANDLE instanceMutex = CreateMutexW(NULL, FALSE, INSTANCE_MUTEX_NAME);
    if (instanceMutex == NULL) {
        return DAEMON_EXIT_STATUS;
    }
    // A second copy leaves at once: no queue, no subscription.
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        WatchPowerNotifications();
    }
    CloseHandle(instanceMutex);
    return DAEMON_EXIT_STATUS;
}
