// The daemon's two actions on the lock application: start it from the
// daemon's own directory, and ask its window to repaint.
#include <windows.h>
#include <shellapi.h>

#include "vespertin.h"

namespace {

const WCHAR DAEMON_FILE_NAME[] = TEXT("vespertin.exe");
const WCHAR LOCK_APP_FILE_NAME[] = TEXT("Harrowcastle.exe");
const WCHAR LOCK_APP_WINDOW_TITLE[] = TEXT("Harrowcastle");

const DWORD PATH_BUFFER_CHARS = 256;
const DWORD PATH_QUERY_CHARS = 255;
const DWORD LOCK_APP_NAME_CHARS = sizeof(LOCK_APP_FILE_NAME) / sizeof(WCHAR);  // 17, with the terminator
const DWORD LAST_NAME_INDEX = PATH_BUFFER_CHARS - LOCK_APP_NAME_CHARS;       // 239
// A platform may cut a long path and still terminate it within the query's
// capacity, reporting 254 characters: a path that long may not be whole.
const DWORD LONGEST_WHOLE_PATH_CHARS = PATH_QUERY_CHARS - 2;  // 253

// The launch record must have the device's layout on 32-bit targets.
const size_t DEVICE_LAUNCH_RECORD_BYTES = 60;
typedef char LaunchRecordIsDeviceSized[
    (sizeof(void *) != 4 || sizeof(SHELLEXECUTEINFO) == DEVICE_LAUNCH_RECORD_BYTES) ? 1 : -1];

bool IsPathSeparator(WCHAR c) {
    return c == TEXT('\\') || c == TEXT('/');
}

// Index of the first character of the path's file name.
DWORD FileNameIndex(const WCHAR *path) {
    DWORD start = 0;
    for (DWORD i = 0; path[i] != 0; ++i) {
        if (IsPathSeparator(path[i])) {
            start = i + 1;
        }
    }
    return start;
}

// Writes the lock application's name, terminated, at INDEX if it fits the buffer.
bool PutLockAppNameAt(WCHAR *path, DWORD index) {
    if (index > LAST_NAME_INDEX) {
        return false;
    }
    wcsncpy(path + index, LOCK_APP_FILE_NAME, LOCK_APP_NAME_CHARS);
    return true;
}

// Turns the daemon's module path (LENGTH characters, as the query reported)
// into the lock application's. False when the path is unknown, may have been
// cut (rewriting a cut path could name a file in a parent directory) or
// leaves no room for the name.
bool MakeLockAppPath(WCHAR *path, DWORD length) {
    if (length == 0 || length > LONGEST_WHOLE_PATH_CHARS) {
        return false;
    }
    const WCHAR *match = wcsstr(path, DAEMON_FILE_NAME);
    if (match != NULL && PutLockAppNameAt(path, static_cast<DWORD>(match - path))) {
        return true;
    }
    // The daemon was renamed (the file system ignores case: VESPERTIN.EXE):
    // the lock application still lies in the daemon's own directory.
    return PutLockAppNameAt(path, FileNameIndex(path));
}

}  // namespace

void LaunchLockApp() {
    SHELLEXECUTEINFO info;
    WCHAR path[PATH_BUFFER_CHARS];

    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    // Zero-filled, so the path stays terminated whatever the query writes.
    memset(path, 0, sizeof(path));
    DWORD length = GetModuleFileNameW(GetModuleHandleW(NULL), path, PATH_QUERY_CHARS);
    // Without a usable path, the bare name is found in the system folder:
    // an unattended device must still get locked.
    info.lpFile = MakeLockAppPath(path, length) ? path : LOCK_APP_FILE_NAME;
    info.lpParameters = TEXT("");
    info.lpDirectory = TEXT("");
    info.lpVerb = TEXT("open");
    ShellExecuteEx(&info);
}

void RefreshLockAppWindow() {
    // A null window when the lock application is absent: the request has no effect.
    UpdateWindow(FindWindowW(NULL, LOCK_APP_WINDOW_TITLE));
}
