// Stand-in for the outside lock application under Wine: a real top-level
// window titled "Harrowcastle". It records each start and each repaint
// request in Harrowcastle.log beside itself.
//
// UpdateWindow only sends WM_PAINT to a window that has something to paint,
// so the window keeps itself invalid, and the loop never takes WM_PAINT from
// the queue: the only WM_PAINT it sees is a request sent from outside.
#include <windows.h>

#include "FixtureLog.h"

namespace {

const wchar_t kLog[] = L"Harrowcastle.log";
int g_repaints = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        if (InSendMessage()) FixtureLog(kLog, L"repaint %d", ++g_repaints);
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        InvalidateRect(window, nullptr, FALSE);  // ready for the next request
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Every message but WM_PAINT; sent messages are handled inside PeekMessage.
bool TakeMessage(MSG *message) {
    return PeekMessageW(message, nullptr, 0, WM_PAINT - 1, PM_REMOVE) ||
           PeekMessageW(message, nullptr, WM_PAINT + 1, 0xFFFFFFFFu, PM_REMOVE);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    FixtureLog(kLog, L"started %ls", self);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"HarrowcastleWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Harrowcastle", WS_OVERLAPPEDWINDOW, 0, 0, 240, 160,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        FixtureLog(kLog, L"no window: %lu", GetLastError());
        return 1;
    }
    // Shown whatever the starter asked: a lock screen is meant to be seen,
    // and only a visible window keeps an update region.
    ShowWindow(window, SW_SHOWNOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
    FixtureLog(kLog, L"window %p", static_cast<void *>(window));

    for (;;) {
        MSG message;
        while (TakeMessage(&message)) {
            if (message.message == WM_QUIT) return 0;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT & ~QS_PAINT, MWMO_INPUTAVAILABLE);
    }
}
