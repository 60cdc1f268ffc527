// The lock application the daemon starts, as a fixture on the real kernel
// (built as Harrowcastle.exe): it owns a top-level window titled
// "Harrowcastle" and reports its start, the path it was started from and
// every repaint request to the log and to the drivers, through a registry
// key and a named event.
//
// A repaint request is UpdateWindow, which sends WM_PAINT only while the
// window has something to paint: the window is kept invalid, and the
// message loop never takes the WM_PAINT the queue would make of that, so
// each one the window sees is a request.
#include "DriverSupport.h"

namespace {

const WCHAR WINDOW_TITLE[] = L"Harrowcastle";
const WCHAR WINDOW_CLASS[] = L"DeviceLockTestsLockApp";
const UINT WM_PAINT_MESSAGE = 0x000F;
const DWORD WS_VISIBLE_STYLE = 0x10000000;

HANDLE g_reportEvent = NULL;

void CountRepaint() {
    const DWORD repaints = ReadFixtureCount(L"Repaints") + 1;
    WriteFixtureCount(L"Repaints", repaints);
    NKDbgPrintfW(L"ce5: lockapp repaint %u\n", repaints);
    ce5.EventModify(g_reportEvent, EVENT_SET);
}

LRESULT CALLBACK LockAppWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT_MESSAGE) {
        CountRepaint();
        return 0;  // left invalid: the next request is sent too
    }
    return ce5.DefWindowProcW(window, message, wParam, lParam);
}

void ReportStart(HINSTANCE instance) {
    WCHAR path[MAX_PATH];
    WCHAR escaped[3 * MAX_PATH];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH - 1] = 0;
    const DWORD starts = ReadFixtureCount(L"Starts") + 1;
    WriteFixtureCount(L"StartTick", ce5.GetTickCount());
    WriteFixtureText(L"Path", path);
    WriteFixtureCount(L"Starts", starts);
    Escape(path, escaped, sizeof(escaped) / sizeof(escaped[0]));
    NKDbgPrintfW(L"ce5: lockapp start %u from %s\n", starts, escaped);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPWSTR /*commandLine*/,
                   int /*showCommand*/) {
    if (!BindCe5Calls()) {
        return 2;
    }
    g_reportEvent = ce5.CreateEventW(NULL, FALSE, FALSE, FIXTURE_EVENT);
    Ce5WindowClass windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.procedure = LockAppWindow;
    windowClass.instance = instance;
    windowClass.className = WINDOW_CLASS;
    ce5.RegisterClassW(&windowClass);  // fails harmlessly if another copy registered it
    HWND window = ce5.CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_VISIBLE_STYLE, 0, 0, 240, 320, NULL, NULL,
                                      instance, NULL);
    ReportStart(instance);
    ce5.EventModify(g_reportEvent, EVENT_SET);
    if (window == NULL) {
        NKDbgPrintfW(L"ce5: lockapp: no window (error %u)\n", GetLastError());
        return 1;
    }
    ce5.InvalidateRect(window, NULL, FALSE);
    Ce5Message message;
    // Everything but WM_PAINT: sent messages are handled whatever the range.
    while (ce5.GetMessageW(&message, NULL, WM_PAINT_MESSAGE + 1, 0xFFFF) > 0) {
        ce5.DispatchMessageW(&message);
    }
    return 0;
}
