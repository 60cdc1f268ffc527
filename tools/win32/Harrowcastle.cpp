// Stand-in for the outside lock application under Wine: a real top-level
// window titled "Harrowcastle". It records its start, its window and each
// repaint request as the simulated device's fixture does (device::Record:
// Harrowcastle.timeline), and says them in Harrowcastle.log beside itself.
//
// UpdateWindow only sends WM_PAINT to a window that has something to paint,
// so the window keeps itself invalid, and the loop never takes WM_PAINT from
// the queue: the only WM_PAINT it sees is a request sent from outside.
#include <windows.h>

#include "device/DesktopCalls.h"
#include "device/Device.h"

#include "shared_objects.h"

#include <cstdio>
#include <string>

namespace {

int g_repaints = 0;

void Repainted() {
    const std::string count = std::to_string(++g_repaints);
    device::Record(timeline::Event::LockAppRepainted, {{"count", count}}, "repaint " + count);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        if (InSendMessage()) Repainted();
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
    const std::string self = coredll::Utf8(device::ProgramPath().c_str());
    device::Record(timeline::Event::Start, {{"path", self}}, "started " + self);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"HarrowcastleWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Harrowcastle", WS_OVERLAPPEDWINDOW, 0, 0, 240, 160,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        const std::string error = std::to_string(GetLastError());
        device::Record(timeline::Event::Exit, {{"status", "1"}, {"error", error}}, "no window: " + error);
        return 1;
    }
    // Shown whatever the starter asked: a lock screen is meant to be seen,
    // and only a visible window keeps an update region.
    ShowWindow(window, SW_SHOWNOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
    char handle[32];
    std::snprintf(handle, sizeof handle, "%p", static_cast<void *>(window));
    device::Record(timeline::Event::LockAppStarted, {{"window", handle}}, std::string("window ") + handle);

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
