// One key event through the device-shaped tallowbeck.dll under Wine, as the
// platform delivers it: a key sent with SendInput reaches an observer hook
// installed after the lock's (so it runs first); the observer times its
// CallNextHookEx, which is the lock's hook procedure with its registry
// probe through coredll.dll, and Wine's dispatch to it.
//   wine key_path_wine.exe [samples]       (needs an X display)
// Sets the phone's status value itself (a call in progress).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../Samples.h"
#include "DeviceFacts.h"

namespace {

typedef BOOL(WINAPI *ActivateProc)(DWORD);
typedef BOOL(WINAPI *DeactivateProc)(void);

HHOOK g_observer;
DWORD g_timedKey;
std::vector<double> g_times;
LARGE_INTEGER g_frequency;

LRESULT CALLBACK Observer(int code, WPARAM wParam, LPARAM lParam) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const LRESULT result = CallNextHookEx(g_observer, code, wParam, lParam);
    QueryPerformanceCounter(&end);
    const auto *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
    if (code == HC_ACTION && wParam == WM_KEYDOWN && event->vkCode == g_timedKey)
        g_times.push_back(double(end.QuadPart - start.QuadPart) * 1e6 / double(g_frequency.QuadPart));
    return result;
}

void Press(WORD vk) {
    INPUT inputs[2] = {};
    for (INPUT &input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

// Sends SAMPLES presses of VK and pumps until each key-down was timed.
std::vector<double> Time(WORD vk, int samples) {
    g_timedKey = vk;
    g_times.clear();
    while (int(g_times.size()) < samples) {
        const size_t before = g_times.size();
        Press(vk);
        const DWORD deadline = GetTickCount() + 2000;
        while (g_times.size() == before && GetTickCount() < deadline) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        if (g_times.size() == before) break;  // the key never arrived
    }
    return g_times;
}

void Report(const char *what, const std::vector<double> &times) {
    if (times.empty()) {
        std::printf("%-40s no events arrived\n", what);
        return;
    }
    std::printf("%-40s median %7.1f us  p90 %7.1f us  (%zu events)\n", what, Median(times), Percentile(times, 0.9),
                times.size());
}

}  // namespace

int main(int argc, char **argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
    QueryPerformanceFrequency(&g_frequency);
    HKEY key;
    DWORD talking = device_facts::kPhoneTalking;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"" DEVICE_PHONE_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    RegSetValueExW(key, L"" DEVICE_PHONE_STATUS_VALUE, 0, REG_DWORD, reinterpret_cast<BYTE *>(&talking), sizeof talking);
    RegCloseKey(key);

    HMODULE library = LoadLibraryW(L"tallowbeck.dll");
    auto activate = reinterpret_cast<ActivateProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "ActivateKBHook")));
    auto deactivate =
        reinterpret_cast<DeactivateProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "DeactivateKBHook")));
    if (activate == nullptr || deactivate == nullptr || !activate(1)) {
        std::fprintf(stderr, "key_path_wine: the keypad lock did not activate (error %lu)\n", GetLastError());
        return 1;
    }
    g_observer = SetWindowsHookExW(WH_KEYBOARD_LL, Observer, GetModuleHandleW(nullptr), 0);
    std::printf("the lock's hook as the platform calls it, %d key-downs each\n", samples);
    Report("F3 passed on (call, mode 1)", Time(VK_F3, samples));
    Report("Enter swallowed", Time(VK_RETURN, samples));
    UnhookWindowsHookEx(g_observer);
    deactivate();
    FreeLibrary(library);
    return 0;
}
