// Making, joining and removing a device.
#include "../internal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace simdevice {
using namespace internal;
namespace fs = std::filesystem;

void UseDevice(const std::string &dir) {
    setenv(kDeviceDirVariable, dir.c_str(), 1);
    EnsureLayout(dir);
}

void DestroyDevice(const std::string &dir) {
    std::error_code ignored;
    if (!fs::exists(dir + "/procs", ignored)) {
        fs::remove_all(dir, ignored);
        return;
    }
    int guard = LockExclusively(dir + kMembershipGuard);
    WriteFileAtomically(dir + kDestroyedMarker, "");
    for (const auto &entry : fs::directory_iterator(dir + "/procs", ignored)) {
        pid_t pid = pid_t(std::atoi(entry.path().filename().c_str()));
        if (pid <= 0 || pid == getpid() || !IsHeld(entry.path())) continue;
        kill(pid, SIGKILL);
        AwaitExit(pid, 5000);
    }
    if (guard >= 0) close(guard);
    UnlinkRecordedQueues(dir);
    fs::remove_all(dir, ignored);
    ForgetLayout(dir);
}

void ResetDevice(const std::string &dir) {
    DestroyDevice(dir);
    UseDevice(dir);
}

}  // namespace simdevice
