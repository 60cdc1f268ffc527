#include "WineDevice.h"

#include "DeviceFacts.h"
#include "Words.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace wine_test {

namespace {

using namespace std::chrono_literals;

bool OnPath(const std::string &tool) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((fs::path(dir) / tool).c_str(), X_OK) == 0) return true;
    return false;
}

std::vector<std::string> Environment(const std::map<std::string, std::string> &extra) {
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (extra.count(text.substr(0, text.find('='))) == 0) env.push_back(text);
    }
    for (const auto &[name, value] : extra) env.push_back(name + "=" + value);
    return env;
}

// Starts ARGV with standard input from STDIN_FD (or /dev/null) and standard
// output to STDOUT_FD (or /dev/null); standard error is dropped, since Wine
// writes its own chatter there.
pid_t Spawn(std::vector<std::string> argv, const std::map<std::string, std::string> &extraEnv, int stdinFd,
            int stdoutFd, const std::vector<int> &closeInChild) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (int fd : closeInChild) posix_spawn_file_actions_addclose(&actions, fd);
    auto env = Environment(extraEnv);
    auto args = words::Pointers(argv);
    auto envp = words::Pointers(env);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

std::optional<int> WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

// The prefix and display shared by every test of this program, made on
// first use and removed when the program ends.
class Session : public testing::Environment {
public:
    static Session &Get() {
        static Session *session = [] {
            auto *s = new Session;
            testing::AddGlobalTestEnvironment(s);  // for its TearDown
            return s;
        }();
        return *session;
    }

    // Makes the prefix and starts the display; false with a reason on failure.
    bool Ready(std::string *why) {
        if (ready_) return true;
        char pattern[] = "/tmp/wine-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return *why = "mkdtemp failed", false;
        root_ = pattern;
        setenv("WINEPREFIX", (root_ / "prefix").c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        if (!StartDisplay()) return *why = "Xvfb did not start", false;
        if (RunToEnd({"wine", "wineboot", "--init"}).status != 0) return *why = "wineboot --init failed", false;
        RunToEnd({"wineserver", "-w"});
        ready_ = true;
        return true;
    }

    fs::path Root() const { return root_; }

    void TearDown() override {
        if (!root_.empty()) {
            RunToEnd({"wineserver", "-k"});
            RunToEnd({"wineserver", "-w"});
        }
        if (display_ > 0) {
            kill(display_, SIGTERM);
            WaitForExit(display_, 5s);
        }
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }

private:
    // A free display number, chosen by Xvfb itself.
    bool StartDisplay() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        display_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                         {}, -1, -1, {fds[0]});
        close(fds[1]);
        std::string number;
        char c;
        while (display_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) return false;
        setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }

    bool ready_ = false;
    fs::path root_;
    pid_t display_ = -1;
};

}  // namespace

std::optional<std::string> MissingTool(bool needKeys) {
    static const std::pair<const char *, const char *> tools[] = {
        {"wine", "wine64"}, {"wineserver", "wine64"}, {"Xvfb", "xvfb"}, {"xdotool", "xdotool"}};
    for (const auto &[tool, package] : tools) {
        if (!needKeys && std::string(tool) == "xdotool") continue;
        if (!OnPath(tool)) return std::string("missing ") + tool + ": install the Debian package " + package;
    }
    if (!fs::exists(WindowsBinDir() / "vespertin.exe"))
        return "missing the device-shaped build in " + WindowsBinDir().string() +
               ": install g++-mingw-w64-x86-64, then cmake --preset wince-x64 && cmake --build --preset wince-x64";
    return std::nullopt;
}

bool RunningUnderCi() {
    const char *ci = getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

Process::Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extraEnv,
                 bool commandPipe) {
    int fds[2] = {-1, -1};
    if (commandPipe && pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn(argv, extraEnv, fds[0], -1, {});
    if (fds[0] >= 0) close(fds[0]);
    commandFd_ = fds[1];
}

Process::Process(Process &&other) noexcept { *this = std::move(other); }

Process &Process::operator=(Process &&other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(commandFd_, other.commandFd_);
    std::swap(status_, other.status_);
    return *this;
}

Process::~Process() {
    if (commandFd_ >= 0) close(commandFd_);
    if (pid_ > 0 && !status_) Kill();
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    if (!status_ && pid_ > 0) status_ = WaitForExit(pid_, timeout);
    return status_;
}

bool Process::Running() { return pid_ > 0 && !Wait(0ms); }

void Process::Kill() {
    if (pid_ <= 0 || status_) return;
    kill(pid_, SIGKILL);
    Wait(5s);
}

void Process::WriteLine(const std::string &line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(commandFd_, text.data(), text.size()), ssize_t(text.size()));
}

Output RunToEnd(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extraEnv) {
    Output output;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return output;
    const pid_t pid = Spawn(argv, extraEnv, -1, fds[1], {});
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; pid > 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.text.append(buffer, size_t(n));
    close(fds[0]);
    if (pid > 0) output.status = WaitForExit(pid, kTimeout).value_or(-1);
    return output;
}

bool WaitUntil(const std::function<bool()> &predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ReadLines(const fs::path &path) {
    std::vector<std::string> lines;
    std::stringstream text(ReadFile(path));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> LinesStartingWith(const fs::path &path, const std::string &prefix) {
    auto lines = ReadLines(path);
    lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(prefix, 0) != 0; }),
                lines.end());
    return lines;
}

std::string WindowsPath(const fs::path &path) {
    std::string text = "Z:" + fs::absolute(path).string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

fs::path BuildDir(const std::string &preset) { return fs::path(PE_BUILD_ROOT) / preset; }

fs::path WindowsBinDir() { return BuildDir("wince-x64") / "bin"; }

void WineTest::SetUp() {
    REQUIRE_WINE_TOOLS(sendsKeys_);
    std::string why;
    ASSERT_TRUE(Session::Get().Ready(&why)) << why;
    const auto *test = testing::UnitTest::GetInstance()->current_test_info();
    // Non-ASCII on purpose: paths travel as UTF-16 through Wine and back.
    dir_ = Session::Get().Root() / (std::string(test->name()) + " Gerät ß");
    fs::create_directories(dir_);
    // The programs and libraries only: logs left by a run by hand are not the test's.
    for (const auto &entry : fs::directory_iterator(WindowsBinDir())) {
        const auto extension = entry.path().extension();
        if (extension != ".exe" && extension != ".dll") continue;
        fs::copy_file(entry.path(), dir_ / entry.path().filename(), fs::copy_options::overwrite_existing);
    }
    SetPhoneStatus(std::nullopt);
}

void WineTest::TearDown() {
    if (!dir_.empty()) RunToEnd({"wineserver", "-k"});
}

std::vector<std::string> WineTest::Wine(const std::string &program, std::vector<std::string> args) const {
    args.insert(args.begin(), {"wine", Program(program).string()});
    return args;
}

void WineTest::SetPhoneStatus(std::optional<unsigned long> status) {
    const std::string key = "HKLM\\" DEVICE_PHONE_KEY;
    if (status) {
        char value[16];
        std::snprintf(value, sizeof value, "0x%08lx", *status);
        ASSERT_EQ(RunToEnd({"wine", "reg", "add", key, "/v", DEVICE_PHONE_STATUS_VALUE, "/t", "REG_DWORD", "/d", value, "/f"}).status, 0);
    } else {
        RunToEnd({"wine", "reg", "delete", key, "/f"});
    }
}

}  // namespace wine_test
