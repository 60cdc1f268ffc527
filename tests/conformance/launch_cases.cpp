// Launching programs, and windows found by title and asked to repaint.
#include "Cases.h"

#include <shellapi.h>

#include <string>

namespace {

using namespace conformance;

SHELLEXECUTEINFO LaunchRecord(const WCHAR *file) {
    SHELLEXECUTEINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.lpVerb = TEXT("open");
    info.lpFile = file;
    info.lpParameters = TEXT("");
    info.lpDirectory = TEXT("");
    return info;
}

void LaunchesStartWhatExists() {
    const std::basic_string<WCHAR> lockApp = device::ProgramDir() + TEXT("Harrowcastle.exe");
    const std::basic_string<WCHAR> missing = device::ProgramDir() + TEXT("no-such-program.exe");
    struct Case {
        const char *what;
        const WCHAR *file;
        DWORD cbSize;
        bool started;
        DWORD error;
    } cases[] = {
        {"a program beside this one", lockApp.c_str(), sizeof(SHELLEXECUTEINFO), true, 0},
        {"a missing file", missing.c_str(), sizeof(SHELLEXECUTEINFO), false, ERROR_FILE_NOT_FOUND},
    };
    int started = 0;
    for (const Case &c : cases) {
        SHELLEXECUTEINFO info = LaunchRecord(c.file);
        info.cbSize = c.cbSize;
        SetLastError(0);
        const BOOL result = ShellExecuteEx(&info);
        const ULONG_PTR instance = reinterpret_cast<ULONG_PTR>(info.hInstApp);
        ok((result != FALSE) == c.started, "%s: result %d", c.what, result);
        if (c.started) {
            ok(instance > 32, "%s: hInstApp %lu says it started", c.what, (unsigned long)instance);
            ++started;
        } else {
            ok(GetLastError() == c.error, "%s: error %lu, expected %lu", c.what, (unsigned long)GetLastError(),
               (unsigned long)c.error);
            ok(instance <= 32, "%s: hInstApp %lu says it failed", c.what, (unsigned long)instance);
        }
        ok(info.hProcess == NULL, "%s: no process handle was asked for", c.what);
    }
    ok(device::LockAppStarted(started), "the started program ran");
}

void WindowsAreFoundByTitleAndAskedToRepaint() {
    HWND window = device::MakeWindow(TEXT("Conformance \u00e9\u65e5"));
    ok(window != NULL, "a window is made");
    struct Case {
        const char *what;
        const WCHAR *title;
        bool found;
    } cases[] = {
        {"its title", TEXT("Conformance \u00e9\u65e5"), true},
        {"its title in other case", TEXT("CONFORMANCE \u00e9\u65e5"), true},
        {"another title", TEXT("Conformance"), false},
    };
    for (const Case &c : cases) {
        HWND found = FindWindowW(NULL, c.title);
        ok((found == window) == c.found, "%s: %s", c.what, c.found ? "found" : "not found");
        if (!c.found) ok(found == NULL, "%s: no window at all", c.what);
    }
    ok(device::Repaints(window) == 0, "a new window has had no request");
    ok(UpdateWindow(FindWindowW(NULL, TEXT("Conformance \u00e9\u65e5"))), "a repaint request for a found window");
    ok(device::Repaints(window) == 1, "reaches its owner once");
    SetLastError(0);
    ok(!UpdateWindow(NULL), "a request for no window does nothing");
    device::DestroyMadeWindow(window);
    ok(FindWindowW(NULL, TEXT("Conformance \u00e9\u65e5")) == NULL, "a destroyed window is not found");
    // Counted by window: one made later has had none of the first one's.
    HWND later = device::MakeWindow(TEXT("Conformance later"));
    ok(device::Repaints(later) == 0, "a window made later starts from none");
    ok(UpdateWindow(later) && device::Repaints(later) == 1, "and counts its own");
    device::DestroyMadeWindow(later);
}

}  // namespace

void conformance::LaunchCases() {
    LaunchesStartWhatExists();
    WindowsAreFoundByTitleAndAskedToRepaint();
}
