// Making, joining and removing a device. A device directory carries a
// marker that only ResetDevice writes; nothing without it is ever deleted
// or written as a device.
#include <simdevice/device.h>

#include "Files.h"
#include "Layout.h"
#include "Names.h"
#include "Programs.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace simdevice {
using namespace internal;
namespace fs = std::filesystem;

namespace {

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The root and the home directory are never devices, whatever they hold.
std::optional<std::string> Protected(const std::string &dir) {
    const std::string real = RealPath(dir);
    if (real == "/") return dir + " is /, never a simulated device";
    const char *home = std::getenv("HOME");
    if (home && *home && real == RealPath(home)) return dir + " is the home directory, never a simulated device";
    return std::nullopt;
}

bool IsEmptyDirectory(const std::string &dir) {
    std::error_code error;
    return fs::is_empty(dir, error) && !error;
}

// Kills the device's programs (not the caller) and unlinks what it left in
// the kernel; the directory itself stays.
void EndPrograms(const std::string &dir) {
    int guard = LockExclusively(dir + kMembershipGuard);
    WriteFileAtomically(dir + kDestroyedMarker, "");
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(dir + "/procs", ignored)) {
        pid_t pid = pid_t(std::atoi(entry.path().filename().c_str()));
        if (pid <= 0 || pid == getpid() || !IsHeld(entry.path())) continue;
        Log(timeline::Event::Killed, {{"pid", std::to_string(pid)}, {"by", "destroy"}});
        kill(pid, SIGKILL);
        AwaitExit(pid, 5000);
    }
    if (guard >= 0) close(guard);
    UnlinkRecordedQueues(dir);
}

// Every process resolves the device's directory in its own working
// directory, so a relative one would split the device: refused, never resolved.
std::optional<std::string> Relative(const std::string &dir) {
    if (dir.empty() || dir[0] == '/') return std::nullopt;
    std::error_code ignored;
    return dir + " is a relative path: a simulated device needs an absolute one, e.g. " +
           fs::absolute(dir, ignored).string();
}

}  // namespace

std::optional<std::string> NotADevice(const std::string &dir) {
    struct stat info{};
    if (auto refused = Relative(dir)) return refused;
    if (dir.empty() || lstat(dir.c_str(), &info) != 0)
        return "no simulated device at " + dir + " (make one with: simdevice init)";
    if (S_ISLNK(info.st_mode)) return dir + " is a symbolic link, not a simulated device";
    if (!S_ISDIR(info.st_mode)) return dir + " is not a directory, so not a simulated device";
    if (auto refused = Protected(dir)) return refused;
    if (access((dir + kDeviceMarker).c_str(), F_OK) != 0)
        return dir + " is not a simulated device (it has no " + (kDeviceMarker + 1) + " marker)";
    if (access(dir.c_str(), W_OK) != 0) return "the simulated device at " + dir + " is not writable";
    return std::nullopt;
}

void StopPrograms() {
    for (pid_t pid : LivePrograms()) {
        if (pid == getpid()) continue;
        Log(timeline::Event::Stopped, {{"pid", std::to_string(pid)}});
        kill(pid, SIGTERM);
    }
}

void UseDevice(const std::string &dir) {
    if (auto why = NotADevice(dir)) throw std::runtime_error(*why);
    setenv(kDeviceDirVariable, dir.c_str(), 1);
    EnsureLayout(dir);
}

void DestroyDevice(const std::string &dir) {
    if (auto why = NotADevice(dir)) throw std::runtime_error(*why);
    EndPrograms(dir);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    ForgetLayout(dir);
}

// A missing directory or an empty one becomes a device; a device is made
// afresh; anything else is refused.
void ResetDevice(const std::string &dir) {
    struct stat info{};
    if (auto refused = Relative(dir)) throw std::runtime_error(*refused);
    if (!NotADevice(dir)) {
        DestroyDevice(dir);
    } else if (lstat(dir.c_str(), &info) == 0) {
        if (auto why = Protected(dir)) throw std::runtime_error(*why);
        if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) throw std::runtime_error(*NotADevice(dir));
        if (!IsEmptyDirectory(dir)) throw std::runtime_error(dir + " is a directory that is not a simulated device and not empty");
    }
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || access(dir.c_str(), W_OK) != 0)
        throw std::runtime_error("cannot make a simulated device at " + dir + ": " +
                                 (error ? error.message() : std::strerror(errno)));
    WriteFileAtomically(dir + kDeviceMarker, "a simulated device (simdevice init)\n");
    UseDevice(dir);
}

}  // namespace simdevice
