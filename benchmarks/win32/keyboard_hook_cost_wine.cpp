// Cost of one key event through KeyboardHookProc under Wine, with the real
// registry, as a share of the desktop's low-level hook timeout (300 ms by
// default). Runs the hook procedure directly, many times, and prints medians:
//   wine keyboard_hook_cost_wine.exe [samples]
// Sets the phone's status value itself (a call in progress).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../Samples.h"
#include "DeviceFacts.h"
#include "HookLibrary.h"
#include "tallowbeck.h"

namespace {

const double kDesktopHookTimeoutMs = 300.0;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return double(count.QuadPart) * 1e6 / double(frequency.QuadPart);
}

template <typename Call>
double MedianMicroseconds(int samples, Call call) {
    std::vector<double> times;
    times.reserve(samples);
    for (int i = 0; i < samples; ++i) {
        const double start = Now();
        call();
        times.push_back(Now() - start);
    }
    return Median(times);
}

void Report(const char *what, double microseconds) {
    std::printf("%-44s %9.1f us  %7.4f%% of %.0f ms\n", what, microseconds,
                100.0 * microseconds / (kDesktopHookTimeoutMs * 1000.0), kDesktopHookTimeoutMs);
}

}  // namespace

int main(int argc, char **argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 5000;
    HKEY key;
    DWORD talking = device_facts::kPhoneTalking;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"" DEVICE_PHONE_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS ||
        RegSetValueExW(key, L"" DEVICE_PHONE_STATUS_VALUE, 0, REG_DWORD, reinterpret_cast<BYTE *>(&talking), sizeof talking) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot set the phone status\n");
        return 1;
    }
    RegCloseKey(key);
    if (!ActivateKBHook(1)) {
        std::fprintf(stderr, "ActivateKBHook failed: %lu\n", GetLastError());
        return 1;
    }
    KBDLLHOOKSTRUCT event = {};
    std::printf("median of %d calls each\n", samples);
    Report("probe (RegOpenKeyExW+RegQueryValueExW+Close)", MedianMicroseconds(samples, [] { IsPhoneCallActive(); }));
    event.vkCode = VK_F3;
    Report("key event, F3 passed on (call, mode 1)", MedianMicroseconds(samples, [&] {
               KeyboardHookProc(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event));
           }));
    event.vkCode = VK_RETURN;
    Report("key event, Enter swallowed", MedianMicroseconds(samples, [&] {
               KeyboardHookProc(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event));
           }));
    DeactivateKBHook();
    return 0;
}
