// Harness for running the Windows build under Wine: one private Wine prefix
// and one private X display per test program, a fresh directory of program
// copies per test, and real processes started, fed and reaped by pid.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace wine_test {

namespace fs = std::filesystem;

// Bounds a hang; never measures anything.
constexpr std::chrono::seconds kTimeout{20};

// A test that needs a missing tool fails under CI (naming the Debian
// package) and is skipped, saying so, elsewhere.
#define REQUIRE_WINE_TOOLS(needKeys)                                                \
    do {                                                                            \
        if (auto missing = ::wine_test::MissingTool(needKeys)) {                    \
            if (::wine_test::RunningUnderCi()) FAIL() << *missing;                  \
            GTEST_SKIP() << *missing;                                               \
        }                                                                           \
    } while (0)

// NEED_KEYS: the test sends X keys, which takes xdotool.
std::optional<std::string> MissingTool(bool needKeys);
bool RunningUnderCi();

// A process of the prefix (or any helper), started with the prefix's
// environment plus EXTRA_ENV. With a command pipe, lines can be written to
// its standard input.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extraEnv = {},
            bool commandPipe = false);
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process();

    pid_t Pid() const { return pid_; }
    // The exit status, or nothing if it has not ended within TIMEOUT.
    std::optional<int> Wait(std::chrono::milliseconds timeout = kTimeout);
    bool Running();
    void Kill();
    void WriteLine(const std::string &line);

private:
    pid_t pid_ = -1;
    int commandFd_ = -1;
    std::optional<int> status_;
};

struct Output {
    int status = -1;  // -1: did not end in time
    std::string text;
};
// Runs ARGV to its end and returns its exit status and standard output.
Output RunToEnd(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extraEnv = {});

// Polls PREDICATE until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()> &predicate, std::chrono::milliseconds timeout = kTimeout);

std::string ReadFile(const fs::path &path);
std::vector<std::string> ReadLines(const fs::path &path);
// Lines of PATH that start with PREFIX.
std::vector<std::string> LinesStartingWith(const fs::path &path, const std::string &prefix);

// The Windows path Wine gives a Unix path (drive Z: is the Unix root).
std::string WindowsPath(const fs::path &path);

// Where a PE preset (wince-x86, wince-x64) builds.
fs::path BuildDir(const std::string &preset);
// Where the wince-x64 preset put the deliverables, coredll.dll and the
// fixtures that the Wine tests run.
fs::path WindowsBinDir();

// The fixture: a fresh copy of the Windows programs in a directory whose
// name has non-ASCII characters; every process of the prefix is ended after
// each test.
class WineTest : public testing::Test {
protected:
    explicit WineTest(bool sendsKeys = false) : sendsKeys_(sendsKeys) {}
    void SetUp() override;
    void TearDown() override;

    fs::path Dir() const { return dir_; }
    fs::path Program(const std::string &name) const { return dir_ / name; }
    // "wine PROGRAM ARGS..."
    std::vector<std::string> Wine(const std::string &program, std::vector<std::string> args = {}) const;
    // Sets or deletes (nothing) the phone's status value in the registry.
    void SetPhoneStatus(std::optional<unsigned long> status);

private:
    bool sendsKeys_;
    fs::path dir_;
};

}  // namespace wine_test
