// What one key event costs with the keypad lock active, split into its
// parts: the probe's three registry operations, the hook chain with no hook
// in it, and a whole event through the lock. The lock's own work is what is
// left of the whole once the other two are taken away.
#include <simdevice/device.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

const char16_t kPhoneKey[] = u"System\\State\\Phone";

simdevice::KeyEvent CallKeyPress() {
    simdevice::KeyEvent event;
    event.record.vkCode = VK_F3;
    event.message = WM_KEYDOWN;
    return event;
}

// The probe's calls, as it makes them for each event.
void RegistryProbe(benchmark::State &state) {
    for (auto _ : state) {
        HKEY key = nullptr;
        DWORD status = 0, type = REG_DWORD, size = sizeof status;
        LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPhoneKey, 0, KEY_READ, &key);
        LONG queried = RegQueryValueExW(key, u"Status", nullptr, &type, reinterpret_cast<LPBYTE>(&status), &size);
        RegCloseKey(key);
        if (opened != ERROR_SUCCESS || queried != ERROR_SUCCESS) state.SkipWithError("phone status unreadable");
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(RegistryProbe);

// Delivery itself: the platform's chain walk and its log record.
void DeliverWithoutHook(benchmark::State &state) {
    const simdevice::KeyEvent event = CallKeyPress();
    for (auto _ : state) benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
}
BENCHMARK(DeliverWithoutHook);

// A call key during a call in mode 1: probe, decision, and passing it on.
void DeliverThroughLock(benchmark::State &state) {
    HMODULE library = LoadLibraryW(simdevice::Utf8ToUtf16(TALLOWBECK_PATH).c_str());
    auto activate = reinterpret_cast<BOOL(WINAPI *)(DWORD)>(
        reinterpret_cast<void (*)()>(GetProcAddressW(library, u"ActivateKBHook")));
    auto deactivate = reinterpret_cast<BOOL(WINAPI *)()>(
        reinterpret_cast<void (*)()>(GetProcAddressW(library, u"DeactivateKBHook")));
    if (!activate || !deactivate || !activate(1)) {
        state.SkipWithError("library could not be activated");
        return;
    }
    const simdevice::KeyEvent event = CallKeyPress();
    if (!simdevice::DeliverKeyEvent(event).reachedWindow) state.SkipWithError("call key did not pass");
    for (auto _ : state) benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
    deactivate();
    FreeLibrary(library);
}
BENCHMARK(DeliverThroughLock);

}  // namespace

int main(int argc, char **argv) {
    char pattern[] = "/tmp/simdevice-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    simdevice::ResetDevice(dir);
    simdevice::SetRegistryDword(kPhoneKey, u"Status", 0x20000000);  // talking

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    simdevice::DestroyDevice(dir);
    return 0;
}
