// Helpers shared by the daemon's tests: log queries, the daemon as a real
// process, and copies of the built programs in directories of a test's choosing.
#pragma once

#include "DeviceTest.h"

#include "DeviceFacts.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>


namespace testing_support {

// This build has the device's word size (32 bits), not the 64-bit host's:
// the device's record layouts then hold, the launch record's 60 bytes among them.
constexpr bool kDeviceWordSize = sizeof(void *) == 4;
inline const std::string kLaunchRecordBytes = kDeviceWordSize ? "60" : "112";

// Generous: these bound a hang, they never measure anything.
constexpr std::chrono::milliseconds kLogTimeout{10000};

// Records of EVENT, only those written by PID unless PID is 0.
inline std::vector<simdevice::LogRecord> Records(const std::vector<simdevice::LogRecord> &log,
                                                 timeline::Event event, pid_t pid = 0) {
    std::vector<simdevice::LogRecord> found;
    for (const auto &r : log)
        if (r.event == timeline::Name(event) && (pid == 0 || r.pid == pid)) found.push_back(r);
    return found;
}
inline std::vector<simdevice::LogRecord> Records(timeline::Event event, pid_t pid = 0) {
    return Records(simdevice::ReadLog(), event, pid);
}

// Waits until the log holds at least COUNT records of EVENT (from PID, if not 0).
inline bool WaitForEvents(timeline::Event event, size_t count = 1, pid_t pid = 0) {
    return simdevice::WaitForLog([&](const auto &log) { return Records(log, event, pid).size() >= count; },
                                 kLogTimeout);
}

inline simdevice::StartOptions Options(std::vector<std::string> args, std::string faults = "") {
    simdevice::StartOptions options;
    options.args = std::move(args);
    options.faults = std::move(faults);
    return options;
}

// Waits until DAEMON's COUNT-th launch has ended in a lock application that
// joined the device (or in a failure). A test must not end sooner: removing a
// device kills only the programs that have already joined it.
inline bool WaitForLaunch(pid_t daemon, size_t count = 1) {
    return simdevice::WaitForLog(
        [&](const auto &log) {
            auto launches = Records(log, timeline::Event::ShellExecute, daemon);
            if (launches.size() < count) return false;
            const auto &launch = launches[count - 1];
            return launch.Field("result") != "started" ||
                   !Records(log, timeline::Event::Start, pid_t(std::stoi(launch.Field("child")))).empty();
        },
        kLogTimeout);
}

// Starts a daemon binary and waits until it watches power broadcasts.
inline pid_t StartWatchingDaemon(const std::string &path, const simdevice::StartOptions &options = {}) {
    pid_t pid = simdevice::StartProgram(path, options).pid;
    EXPECT_GT(pid, 0) << path;
    EXPECT_TRUE(WaitForEvents(timeline::Event::PowerSubscribed, 1, pid)) << simdevice::FormatTimeline(simdevice::ReadLog());
    return pid;
}

inline int KillProgram(pid_t pid) {
    kill(pid, SIGKILL);
    return simdevice::WaitProgram(pid, kLogTimeout);
}

// Sets an environment variable for one scope, and puts back what it was.
class ScopedVariable {
public:
    ScopedVariable(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

// Copies a built program to PATH (directories made as needed).
inline std::string CopyProgram(const std::string &name, const std::string &path) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(path).parent_path());
    fs::copy_file(BinaryPath(name), path, fs::copy_options::overwrite_existing);
    return path;
}

}  // namespace testing_support
