// Broadcast-to-action latency of the real daemon, for both of its actions.
//
// BM_BroadcastToLaunch: from posting an unattended transition until the
// daemon's launch record is in the device log. Two figures per launch:
//  - observed: PostPowerBroadcast until WaitForLog sees the record, as a
//    test or a watcher of the log sees it (the iteration time);
//  - stamped: the broadcast's own log stamp to the launch record's, which
//    leaves out reading the log back.
// The lock application each launch starts is killed outside the timing, and
// every kLaunchesPerDevice launches the device is made anew so that the log
// read back stays short.
//
// BM_BroadcastToRepaint: from posting a resume until the lock application's
// window, which this process owns, receives the daemon's repaint request.
// No process is started and no log is read: this is the watcher's own
// wake-up, read and dispatch.
#include <simdevice/device.h>

#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "DeviceFacts.h"
#include "Samples.h"


namespace {

constexpr size_t kLaunchesPerDevice = 100;
constexpr std::chrono::seconds kTimeout{10};

// A fresh device with the daemon watching in it.
class DaemonDevice {
public:
    DaemonDevice() {
        char pattern[] = "/tmp/simdevice-bench-XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "";
        simdevice::ResetDevice(dir_);
        pid_t daemon = simdevice::StartProgram(std::string(SIMDEVICE_BIN_DIR) + "/vespertin.exe").pid;
        ready_ = daemon > 0 && simdevice::WaitForLog(
                                   [](const auto &log) { return simdevice::CountEvents(log, timeline::Event::PowerSubscribed) > 0; },
                                   kTimeout);
    }
    ~DaemonDevice() { simdevice::DestroyDevice(dir_); }
    bool ready() const { return ready_; }
    size_t launches = 0;

private:
    std::string dir_;
    bool ready_ = false;
};

void BM_BroadcastToLaunch(benchmark::State &state) {
    std::optional<DaemonDevice> device;
    std::vector<double> observed, stamped;
    for (auto _ : state) {
        if (!device || device->launches == kLaunchesPerDevice) {
            device.reset();
            device.emplace();
            if (!device->ready()) {
                state.SkipWithError("the daemon did not subscribe");
                break;
            }
        }
        simdevice::LogRecord broadcast, launch;
        size_t before = device->launches;
        auto start = std::chrono::steady_clock::now();
        simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
        bool seen = simdevice::WaitForLog(
            [&](const std::vector<simdevice::LogRecord> &log) {
                size_t launches = 0;
                for (const auto &r : log) {
                    if (r.event == "power-broadcast") broadcast = r;
                    if (r.event == "shellexecute" && ++launches > before) {
                        launch = r;
                        return true;
                    }
                }
                return false;
            },
            kTimeout);
        auto end = std::chrono::steady_clock::now();
        if (!seen) {
            state.SkipWithError("no launch within the timeout");
            break;
        }
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        observed.push_back(seconds * 1e6);
        stamped.push_back((launch.seconds - broadcast.seconds) * 1e6);
        ++device->launches;
        if (pid_t child = pid_t(std::atoi(launch.Field("child").c_str())); child > 0) kill(child, SIGKILL);
    }
    if (!observed.empty()) {
        state.counters["observed_median_us"] = Median(observed);
        state.counters["observed_p90_us"] = Percentile(observed, 0.9);
        state.counters["stamped_median_us"] = Median(stamped);
        state.counters["stamped_p90_us"] = Percentile(stamped, 0.9);
    }
}
BENCHMARK(BM_BroadcastToLaunch)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

void BM_BroadcastToRepaint(benchmark::State &state) {
    DaemonDevice device;
    if (!device.ready()) {
        state.SkipWithError("the daemon did not subscribe");
        return;
    }
    HWND window = simdevice::CreateTopLevelWindow(u"Harrowcastle");
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        simdevice::PostPowerBroadcast(PBT_RESUME, 0);
        bool seen = simdevice::WaitForRepaintRequest(window, kTimeout);
        auto end = std::chrono::steady_clock::now();
        if (!seen) {
            state.SkipWithError("no repaint request within the timeout");
            break;
        }
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
    }
    simdevice::DestroyTopLevelWindow(window);
    if (!samples.empty()) {
        state.counters["median_us"] = Median(samples);
        state.counters["p90_us"] = Percentile(samples, 0.9);
    }
}
BENCHMARK(BM_BroadcastToRepaint)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
