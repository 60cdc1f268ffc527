// Runs a built tool as a person does from a shell: arguments, lines on its
// standard input, and both its outputs and its exit status kept.
#pragma once

#include "DeviceTest.h"

#include "Words.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

namespace testing_support {

struct ToolResult {
    int status = -1;  // 128+N for signal N; -1 if it did not end in time (it is then killed)
    std::string out;
    std::string err;
};

// The emulator the test runs under, as the test started: a test may set
// SIMDEVICE_EMULATOR for the tool alone.
inline const std::string kTestEmulator =
    std::getenv(simdevice::kEmulatorVariable) ? std::getenv(simdevice::kEmulatorVariable) : "";

// Runs the program NAME from the build's bin directory with ARGS, writing
// INPUT to its standard input; it inherits the environment (so the device).
inline ToolResult RunTool(const std::string &name, const std::vector<std::string> &args, const std::string &input = "",
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    ToolResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Through the emulator, as the device starts its programs, when the
    // build is for another processor.
    std::vector<std::string> command = words::Split(kTestEmulator);
    command.push_back(BinaryPath(name));
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv = words::Pointers(command);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned == 0) (void)!write(in[1], input.data(), input.size());  // small: fits the pipe
    close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&result.out, &result.err};
    for (int open = 2; spawned == 0 && open > 0;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(streams, 2, int(left.count())) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, size_t(n));
            } else {
                streams[i].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (spawned != 0) return result;
    bool timedOut = false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    result.status = simdevice::WaitProgram(pid, std::max(left, std::chrono::milliseconds(1)), &timedOut);
    if (timedOut) {
        kill(pid, SIGKILL);
        simdevice::WaitProgram(pid, std::chrono::seconds(5));
        result.status = -1;
    }
    return result;
}

}  // namespace testing_support
