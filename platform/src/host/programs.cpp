// Programs of the device: joining it, starting and waiting for them.
#include "Programs.h"

#include <simdevice/device.h>

#include "Faults.h"
#include "Files.h"
#include "Handles.h"
#include "ImageModules.h"
#include "Layout.h"
#include "Words.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char **environ;

namespace simdevice {
using namespace internal;
namespace fs = std::filesystem;

namespace {

// The words of the emulator command; none when programs start directly.
std::vector<std::string> EmulatorCommand() {
    const char *command = std::getenv(kEmulatorVariable);
    return words::Split(command ? command : "");
}

}  // namespace

namespace internal {

namespace {

struct Identity {
    std::string path, name;
    bool image = false;
};

std::string FileName(const std::string &path) {
    return path.empty() ? std::string("?") : path.substr(path.find_last_of('/') + 1);
}

Identity &ThisProgram() {
    static Identity identity = [] {
        char path[4096];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        Identity made;
        made.path = n > 0 ? std::string(path, size_t(n)) : std::string();
        made.name = FileName(made.path);
        return made;
    }();
    return identity;
}

// The device's loader for PE programs, beside the core library.
std::string ImageRunner() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&ImageRunner), &info);
    std::string library = info.dli_fname ? info.dli_fname : "";
    return library.substr(0, library.find_last_of('/') + 1) + "pe_runner";
}

}  // namespace

std::string ProgramPath() { return ThisProgram().path; }

const std::string &ProgramName() { return ThisProgram().name; }

void SetProgramImage(const std::string &path) {
    Identity &identity = ThisProgram();
    identity.path = path;
    identity.name = FileName(path);
    identity.image = true;
}

bool RunsProgramImage() { return ThisProgram().image; }

int SpawnProgram(pid_t *pid, const std::string &path, const std::vector<std::string> &args,
                 const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
                 char *const environment[], DWORD *imageError) {
    std::vector<std::string> command = EmulatorCommand();
    const bool emulated = !command.empty();
    // The emulator would start and then fail; a missing program fails here, as unemulated.
    if (emulated && access(path.c_str(), X_OK) != 0) return errno;
    const bool image = ForDeviceLoader(path);
    if (image) {
        if (auto refused = CheckImage(path, ImageKind::Program, CoreExport)) {
            LogImageRefusal(path, *refused);
            if (imageError) *imageError = refused->error;
            return ENOEXEC;
        }
        command.push_back(ImageRunner());
    }
    command.push_back(path);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv = words::Pointers(command);
    // The emulator is a command found on PATH; a program is always a file.
    return emulated ? posix_spawnp(pid, argv[0], actions, attributes, argv.data(), environment)
                    : posix_spawn(pid, argv[0], actions, attributes, argv.data(), environment);
}

std::vector<std::string> ChildEnvironment(const std::string &faults) {
    std::vector<std::string> environment;
    const std::string planned = std::string(kFaultsVariable) + "=";
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, planned.c_str(), planned.size()) != 0) environment.emplace_back(*e);
    if (!faults.empty()) environment.push_back(planned + faults);
    return environment;
}

void AwaitExit(pid_t pid, int milliseconds) {
    int fd = int(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return;
    pollfd p{fd, POLLIN, 0};
    (void)poll(&p, 1, milliseconds);
    close(fd);
    (void)waitpid(pid, nullptr, WNOHANG);  // reap it if it was our child
}

}  // namespace internal

void ProgramStarted(int argc, char **argv) {
    // A program joins a device that exists; one made by nobody, or being
    // destroyed, has nothing for it.
    LoadEnvironmentFaults();
    std::string dir = SelectedDeviceDir();
    // A relative directory would be another device in each working directory.
    if (dir[0] != '/') {
        std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), NotADevice(dir)->c_str());
        _exit(1);
    }
    int guard = LockExclusively(dir + kMembershipGuard);
    if (guard < 0 || access((dir + kDeviceMarker).c_str(), F_OK) != 0 ||
        access((dir + kDestroyedMarker).c_str(), F_OK) == 0) {
        std::fprintf(stderr, "%s: no simulated device at %s (make one with: simdevice init)\n", ProgramName().c_str(),
                     dir.c_str());
        _exit(1);
    }
    // The descriptor stays open for the life of the process: it is the
    // process's membership of the device.
    int membership = OpenAndHold(dir + "/procs/" + std::to_string(getpid()), true);
    close(guard);
    if (membership < 0) _exit(1);
    ShareCounts(membership);
    std::string args;
    for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);
    const std::string path = ProgramPath();
    Log(timeline::Event::Start, {{"path", path.empty() ? "?" : path}, {"args", args}});
}

void ProgramExiting(int status) {
    Resources r = LiveResources();
    Log(timeline::Event::Exit, {{"status", std::to_string(status)}, {"resources", Describe(r)}});
}

StartedProgram StartProgram(const std::string &path, const StartOptions &options) {
    DeviceDir();  // the child inherits the device through the environment
    std::vector<std::string> environment = ChildEnvironment(options.faults);
    std::vector<char *> envp = words::Pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (options.captureStdin && pipe2(pipeFds, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (options.detach) {
        for (int fd = options.captureStdin ? 1 : 0; fd <= 2; ++fd)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    }
    StartedProgram started;
    pid_t pid = -1;
    int rc = SpawnProgram(&pid, path, options.args, &actions, &attributes, envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[0] >= 0) close(pipeFds[0]);
    if (rc != 0) {
        if (pipeFds[1] >= 0) close(pipeFds[1]);
        started.error = rc;
        return started;
    }
    started.pid = pid;
    started.stdinFd = pipeFds[1];
    return started;
}

int WaitProgram(pid_t pid, std::chrono::milliseconds timeout, bool *timedOut) {
    if (timedOut) *timedOut = false;
    int fd = int(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, int(timeout.count()));
        close(fd);
        if (ready == 0) {
            if (timedOut) *timedOut = true;
            return -1;
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<Resources> ProgramResources(pid_t pid, std::optional<std::chrono::milliseconds> whenWaiting) {
    const std::string membership = DevicePath("procs/" + std::to_string(pid));
    if (!IsHeld(membership)) return std::nullopt;
    return SharedCounts(membership, whenWaiting);
}

std::vector<pid_t> LivePrograms() {
    std::vector<pid_t> pids;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("procs"), ignored))
        if (IsHeld(entry.path())) pids.push_back(pid_t(std::atoi(entry.path().filename().c_str())));
    return pids;
}

}  // namespace simdevice
