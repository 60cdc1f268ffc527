// What one key event costs with the keypad lock active, split into its
// parts: the probe's three registry operations, the hook chain with no hook
// in it, and a whole event through the lock. The lock's own work is what is
// left of the whole once the other two are taken away; KeyPathSplit measures
// that difference directly, from paired samples, since it is far smaller
// than the run-to-run spread of the registry figure.
#include <simdevice/device.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "DeviceFacts.h"
#include "Samples.h"

namespace {

const char16_t kPhoneKey[] = u"" DEVICE_PHONE_KEY;

simdevice::KeyEvent CallKeyPress() {
    simdevice::KeyEvent event;
    event.record.vkCode = VK_F3;
    event.message = WM_KEYDOWN;
    return event;
}

// The probe's calls, as it makes them for each event; false when the status
// could not be read.
bool ProbeRegistry() {
    HKEY key = nullptr;
    DWORD status = 0, type = REG_DWORD, size = sizeof status;
    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPhoneKey, 0, KEY_READ, &key);
    LONG queried = RegQueryValueExW(key, u"Status", nullptr, &type, reinterpret_cast<LPBYTE>(&status), &size);
    RegCloseKey(key);
    benchmark::DoNotOptimize(status);
    return opened == ERROR_SUCCESS && queried == ERROR_SUCCESS;
}

void RegistryProbe(benchmark::State &state) {
    for (auto _ : state) {
        if (!ProbeRegistry()) state.SkipWithError("phone status unreadable");
    }
}
BENCHMARK(RegistryProbe);

// Delivery itself: the platform's chain walk and its log record.
void DeliverWithoutHook(benchmark::State &state) {
    const simdevice::KeyEvent event = CallKeyPress();
    for (auto _ : state) benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
}
BENCHMARK(DeliverWithoutHook);

// The keypad lock, loaded and active in mode 1 for as long as it lives.
class ActiveLock {
public:
    ActiveLock() : library_(LoadLibraryW(simdevice::Utf8ToUtf16(TALLOWBECK_PATH).c_str())) {
        auto activate = reinterpret_cast<BOOL(WINAPI *)(DWORD)>(
            reinterpret_cast<void (*)()>(GetProcAddressW(library_, u"ActivateKBHook")));
        deactivate_ = reinterpret_cast<BOOL(WINAPI *)()>(
            reinterpret_cast<void (*)()>(GetProcAddressW(library_, u"DeactivateKBHook")));
        active_ = activate && deactivate_ && activate(1);
    }
    ~ActiveLock() {
        if (active_) deactivate_();
        if (library_) FreeLibrary(library_);
    }
    ActiveLock(const ActiveLock &) = delete;
    ActiveLock &operator=(const ActiveLock &) = delete;
    bool active() const { return active_; }

private:
    HMODULE library_;
    BOOL(WINAPI *deactivate_)() = nullptr;
    bool active_ = false;
};

// A call key during a call in mode 1: probe, decision, and passing it on.
void DeliverThroughLock(benchmark::State &state) {
    ActiveLock lock;
    if (!lock.active()) {
        state.SkipWithError("library could not be activated");
        return;
    }
    const simdevice::KeyEvent event = CallKeyPress();
    if (!simdevice::DeliverKeyEvent(event).reachedWindow) state.SkipWithError("call key did not pass");
    for (auto _ : state) benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
}
BENCHMARK(DeliverThroughLock);

// The split of one event, from paired samples: each iteration times the
// probe's registry calls and a whole event through the lock back to back, in
// alternating order, so that load and drift weigh on both alike. What the
// whole costs beyond the registry calls is the chain walk (DeliverWithoutHook)
// and the filter's own work. Medians and quartiles, not means: a sample the
// scheduler interrupted is a hundred times the others. The iteration time is
// the whole event's.
void KeyPathSplit(benchmark::State &state) {
    using Clock = std::chrono::steady_clock;
    ActiveLock lock;
    if (!lock.active()) {
        state.SkipWithError("library could not be activated");
        return;
    }
    const simdevice::KeyEvent event = CallKeyPress();
    std::vector<double> probe, whole, rest;
    bool probeFirst = true;
    for (auto _ : state) {
        Clock::time_point marks[3];
        bool read = true;
        marks[0] = Clock::now();
        if (probeFirst) read = ProbeRegistry();
        else benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
        marks[1] = Clock::now();
        if (probeFirst) benchmark::DoNotOptimize(simdevice::DeliverKeyEvent(event));
        else read = ProbeRegistry();
        marks[2] = Clock::now();
        if (!read) {
            state.SkipWithError("phone status unreadable");
            break;
        }
        const double first = std::chrono::duration<double, std::nano>(marks[1] - marks[0]).count();
        const double second = std::chrono::duration<double, std::nano>(marks[2] - marks[1]).count();
        probe.push_back(probeFirst ? first : second);
        whole.push_back(probeFirst ? second : first);
        rest.push_back(whole.back() - probe.back());
        state.SetIterationTime(whole.back() * 1e-9);
        probeFirst = !probeFirst;
    }
    if (rest.empty()) return;
    state.counters["probe_median_ns"] = Percentile(probe, 0.5);
    state.counters["whole_median_ns"] = Percentile(whole, 0.5);
    state.counters["rest_p25_ns"] = Percentile(rest, 0.25);
    state.counters["rest_median_ns"] = Percentile(rest, 0.5);
    state.counters["rest_p75_ns"] = Percentile(rest, 0.75);
}
BENCHMARK(KeyPathSplit)->UseManualTime()->Iterations(100000);

}  // namespace

int main(int argc, char **argv) {
    char pattern[] = "/tmp/simdevice-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    simdevice::ResetDevice(dir);
    simdevice::SetRegistryDword(kPhoneKey, u"" DEVICE_PHONE_STATUS_VALUE, device_facts::kPhoneTalking);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    simdevice::DestroyDevice(dir);
    return 0;
}
