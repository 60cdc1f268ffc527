// Which device a process belongs to, and the device's folders.
#include "Layout.h"

#include <simdevice/device.h>

#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace simdevice {
using namespace internal;
namespace fs = std::filesystem;

namespace {

const char *const kSubdirectories[] = {"objects", "power", "windows", "registry/HKLM", "procs", "Windows", "counters"};

std::mutex g_layoutMutex;
std::string g_layoutDone;  // the device whose layout this process has ensured

std::string DefaultDeviceDir() {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/simdevice-" + std::to_string(getuid());
}

}  // namespace

namespace internal {

std::string SelectedDeviceDir() {
    const char *chosen = std::getenv(kDeviceDirVariable);
    return chosen && *chosen ? chosen : DefaultDeviceDir();
}

void EnsureLayout(const std::string &dir) {
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    if (g_layoutDone == dir || NotADevice(dir)) return;
    std::error_code ignored;
    for (const char *sub : kSubdirectories) fs::create_directories(dir + "/" + sub, ignored);
    // The first process to get here stamps the device's epoch.
    int fd = open((dir + "/epoch").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::string stamp = std::to_string(NowNanos()) + "\n";
        (void)!write(fd, stamp.data(), stamp.size());
        close(fd);
    }
    for (const char *file : {"/log", "/debug"}) AppendToFile(dir + file, "");
    g_layoutDone = dir;
}

void ForgetLayout(const std::string &dir) {
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    if (g_layoutDone == dir) g_layoutDone.clear();
}

std::string DevicePath(const std::string &relative) { return DeviceDir() + "/" + relative; }

int64_t NowNanos() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t DeviceEpoch() {
    auto text = ReadWholeFile(DevicePath("epoch"));
    return text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
}

}  // namespace internal

std::string DeviceDir() {
    std::string dir = SelectedDeviceDir();
    EnsureLayout(dir);
    return dir;
}

std::string WindowsDir() { return DevicePath("Windows"); }

}  // namespace simdevice
