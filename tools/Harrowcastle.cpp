// Stand-in for the outside lock application, for tests and the demo: it owns
// a top-level window titled "Harrowcastle" and counts the repaint requests
// made to it. Every start makes a window of its own.
#include <simdevice/device.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    HWND window = simdevice::CreateTopLevelWindow(u"Harrowcastle");
    simdevice::Log(timeline::Event::LockAppStarted, {{"window", std::to_string(reinterpret_cast<uintptr_t>(window))}});
    for (int repaints = 1; simdevice::WaitForRepaintRequest(window, std::nullopt); ++repaints)
        simdevice::Log(timeline::Event::LockAppRepainted, {{"count", std::to_string(repaints)}});
    return 0;
}
