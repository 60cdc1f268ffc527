// The device as a directory: layout, liveness of holders, the device log,
// and the programs that run in it.
#include "internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>

extern char **environ;

namespace simdevice {
using namespace internal;
namespace fs = std::filesystem;

namespace {

const char *const kSubdirectories[] = {"objects", "power", "windows", "registry/HKLM",
                                       "procs", "Windows", "counters"};

std::mutex g_layoutMutex;
std::string g_layoutDone;  // the device whose layout this process has ensured

std::string DefaultDeviceDir() {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/simdevice-" + std::to_string(getuid());
}

void EnsureLayout(const std::string &dir) {
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    if (g_layoutDone == dir) return;
    std::error_code ignored;
    for (const char *sub : kSubdirectories) fs::create_directories(dir + "/" + sub, ignored);
    // The first process to get here stamps the device's epoch.
    int fd = open((dir + "/epoch").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::string stamp = std::to_string(int64_t(now.tv_sec) * 1000000000 + now.tv_nsec) + "\n";
        (void)!write(fd, stamp.data(), stamp.size());
        close(fd);
    }
    for (const char *file : {"/log", "/debug"}) {
        int f = open((dir + file).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (f >= 0) close(f);
    }
    g_layoutDone = dir;
}

int64_t NowNanos() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t DeviceEpoch() {
    auto text = ReadWholeFile(DevicePath("epoch"));
    return text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
}

// Joining and destroying a device exclude each other, so that no program can
// slip into a device while it is being removed.
const char kMembershipGuard[] = "/.programs.guard";
const char kDestroyedMarker[] = "/destroyed";

std::string SelectedDeviceDir() {
    const char *chosen = std::getenv(kDeviceDirVariable);
    return chosen && *chosen ? chosen : DefaultDeviceDir();
}

const std::string &ProgramName() {
    static const std::string name = [] {
        char path[4096];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        std::string full = n > 0 ? std::string(path, size_t(n)) : "?";
        return full.substr(full.find_last_of('/') + 1);
    }();
    return name;
}

std::string Unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string &line, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

// Waits for PID to end without polling, through a process descriptor.
void AwaitExit(pid_t pid, int milliseconds) {
    int fd = int(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return;
    pollfd p{fd, POLLIN, 0};
    (void)poll(&p, 1, milliseconds);
    close(fd);
    (void)waitpid(pid, nullptr, WNOHANG);  // reap it if it was our child
}

// The words of the emulator command; none when programs start directly.
std::vector<std::string> EmulatorCommand() {
    std::vector<std::string> words;
    const char *command = std::getenv(kEmulatorVariable);
    std::istringstream in(command ? command : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

namespace internal {

std::string DevicePath(const std::string &relative) { return DeviceDir() + "/" + relative; }

std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

int OpenAndHold(const std::string &path, bool create) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0) return -1;
    struct flock lock{};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool IsHeld(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return held;
}

int LockExclusively(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fd >= 0 && fcntl(fd, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {
    }
    return fd;
}

DeviceGuard::DeviceGuard(const std::string &name) : fd_(LockExclusively(DevicePath("." + name + ".guard"))) {}

DeviceGuard::~DeviceGuard() {
    if (fd_ >= 0) close(fd_);  // closing the description releases its lock
}

void WriteFileAtomically(const std::string &path, const std::string &contents) {
    std::string temporary = path + ".tmp" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, contents.data(), contents.size());
    close(fd);
    rename(temporary.c_str(), path.c_str());
}

std::optional<std::string> ReadWholeFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
    close(fd);
    return text;
}

uint64_t NextDeviceId(const std::string &counter) {
    DeviceGuard guard("counters");
    std::string path = DevicePath("counters/" + counter);
    auto text = ReadWholeFile(path);
    uint64_t next = (text ? std::strtoull(text->c_str(), nullptr, 10) : 0) + 1;
    WriteFileAtomically(path, std::to_string(next));
    return next;
}

std::string SharedQueueName(const std::string &tag) {
    // POSIX queue names are flat; the device directory's hash keeps devices apart.
    return "/simdevice." + std::to_string(std::hash<std::string>{}(DeviceDir()) & 0xFFFFFFFFu) + "." + tag;
}

std::string NewQueueName(const std::string &tag) {
    return SharedQueueName(tag + "." + std::to_string(getpid()) + "." +
                           std::to_string(NextDeviceId("queues")));
}

void RecordQueueName(const std::string &name) {
    int fd = open(DevicePath("mqueues").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string line = name + "\n";
    (void)!write(fd, line.data(), line.size());
    close(fd);
}

int SpawnProgram(pid_t *pid, const std::string &path, const std::vector<std::string> &args,
                 const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
                 char *const environment[]) {
    std::vector<std::string> command = EmulatorCommand();
    const bool emulated = !command.empty();
    // The emulator would start and then fail; a missing program fails here, as unemulated.
    if (emulated && access(path.c_str(), X_OK) != 0) return errno;
    command.push_back(path);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    // The emulator is a command found on PATH; a program is always a file.
    return emulated ? posix_spawnp(pid, argv[0], actions, attributes, argv.data(), environment)
                    : posix_spawn(pid, path.c_str(), actions, attributes, argv.data(), environment);
}

void UnlinkRecordedQueues(const std::string &deviceDir) {
    auto names = ReadWholeFile(deviceDir + "/mqueues");
    if (!names) return;
    for (const auto &name : Split(*names, '\n'))
        if (!name.empty()) mq_unlink(name.c_str());
}

}  // namespace internal

// ---- device selection ------------------------------------------------------------

std::string DeviceDir() {
    const char *chosen = std::getenv(kDeviceDirVariable);
    std::string dir = chosen && *chosen ? chosen : DefaultDeviceDir();
    EnsureLayout(dir);
    return dir;
}

std::string WindowsDir() { return DevicePath("Windows"); }

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
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    if (g_layoutDone == dir) g_layoutDone.clear();
}

void ResetDevice(const std::string &dir) {
    DestroyDevice(dir);
    UseDevice(dir);
}

// ---- programs ----------------------------------------------------------------------

void ProgramStarted(int argc, char **argv) {
    // A program joins a device that exists; one made by nobody, or being
    // destroyed, has nothing for it.
    LoadEnvironmentFaults();
    std::string dir = SelectedDeviceDir();
    int guard = LockExclusively(dir + kMembershipGuard);
    if (guard < 0 || access((dir + "/epoch").c_str(), F_OK) != 0 || access((dir + kDestroyedMarker).c_str(), F_OK) == 0) {
        std::fprintf(stderr, "%s: no simulated device at %s (make one with: simdevice init)\n", ProgramName().c_str(), dir.c_str());
        _exit(1);
    }
    // The descriptor stays open for the life of the process: it is the
    // process's membership of the device.
    int membership = OpenAndHold(dir + "/procs/" + std::to_string(getpid()), true);
    close(guard);
    if (membership < 0) _exit(1);
    std::string args;
    for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    Log("start", {{"path", n > 0 ? std::string(path, size_t(n)) : "?"}, {"args", args}});
}

void ProgramExiting(int status) {
    Resources r = LiveResources();
    Log("exit", {{"status", std::to_string(status)}, {"resources", Describe(r)}});
}

StartedProgram StartProgram(const std::string &path, const StartOptions &options) {
    DeviceDir();  // the child inherits the device through the environment
    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "SIMDEVICE_FAULTS=", 17) != 0) environment.emplace_back(*e);
    if (!options.faults.empty()) environment.push_back(std::string(kFaultsVariable) + "=" + options.faults);
    std::vector<char *> envp;
    for (auto &e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (options.captureStdin && pipe2(pipeFds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    }
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

std::vector<pid_t> LivePrograms() {
    std::vector<pid_t> pids;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("procs"), ignored))
        if (IsHeld(entry.path())) pids.push_back(pid_t(std::atoi(entry.path().filename().c_str())));
    return pids;
}

// ---- log ------------------------------------------------------------------------

void Log(const std::string &event, const std::vector<std::pair<std::string, std::string>> &fields) {
    std::string line = std::to_string(NowNanos()) + "\t" + std::to_string(getpid()) + "\t" +
                       Escape(ProgramName()) + "\t" + event;
    for (const auto &[name, value] : fields) line += "\t" + name + "=" + Escape(value);
    line += "\n";
    // One append is one record, whichever processes write at the same time.
    int fd = open(DevicePath("log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, line.data(), line.size());
    close(fd);
}

std::string LogRecord::Field(const std::string &name) const {
    for (const auto &[key, value] : fields)
        if (key == name) return value;
    return std::string();
}

std::vector<LogRecord> ReadLog() {
    std::vector<LogRecord> records;
    auto text = ReadWholeFile(DevicePath("log"));
    if (!text) return records;
    int64_t epoch = DeviceEpoch();
    for (const auto &line : Split(*text, '\n')) {
        auto parts = Split(line, '\t');
        if (parts.size() < 4) continue;
        LogRecord r;
        r.seconds = double(std::strtoll(parts[0].c_str(), nullptr, 10) - epoch) / 1e9;
        r.pid = pid_t(std::atoi(parts[1].c_str()));
        r.program = Unescape(parts[2]);
        r.event = parts[3];
        for (size_t i = 4; i < parts.size(); ++i) {
            size_t eq = parts[i].find('=');
            if (eq == std::string::npos) continue;
            r.fields.emplace_back(parts[i].substr(0, eq), Unescape(parts[i].substr(eq + 1)));
        }
        records.push_back(std::move(r));
    }
    return records;
}

bool WaitForLog(const std::function<bool(const std::vector<LogRecord> &)> &predicate,
                std::chrono::milliseconds timeout) {
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) inotify_add_watch(watch, DevicePath("log").c_str(), IN_MODIFY);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool held = false;
    for (;;) {
        if (predicate(ReadLog())) {
            held = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || watch < 0) break;
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) > 0) {
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) close(watch);
    return held;
}

int CountEvents(const std::vector<LogRecord> &log, const std::string &event) {
    int n = 0;
    for (const auto &r : log) n += r.event == event;
    return n;
}

std::string DebugOutput() { return ReadWholeFile(DevicePath("debug")).value_or(""); }

std::string FormatTimeline(const std::vector<LogRecord> &log) {
    std::string out;
    for (const auto &r : log) {
        char head[96];
        std::snprintf(head, sizeof head, "%9.3fs  %-18s %6d  ", r.seconds, r.program.c_str(), int(r.pid));
        std::string line = head + r.event;
        for (const auto &[name, value] : r.fields) {
            std::string shown = value;
            if (name == "text") shown = Escape(value);
            line += "  " + name + "=" + (shown.empty() || shown.find(' ') != std::string::npos ? "\"" + shown + "\"" : shown);
        }
        out += line + "\n";
    }
    return out;
}

std::string Describe(const Resources &r) {
    std::ostringstream s;
    s << "handles:" << r.handles << " subscriptions:" << r.subscriptions << " allocations:" << r.allocations
      << " registry-keys:" << r.registryKeys << " module-references:" << r.moduleReferences << " hooks:" << r.hooks;
    return s.str();
}

}  // namespace simdevice
