// Starting programs in the device.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace simdevice::internal {

// Starts the program at PATH with ARGS (argv[1..]) as every program of the
// device is started: through the emulator SIMDEVICE_EMULATOR names, if any.
// 0 or an errno value.
int SpawnProgram(pid_t *pid, const std::string &path, const std::vector<std::string> &args,
                 const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
                 char *const environment[]);
// The environment a started program gets: this one's, less the faults
// planned for this process, plus FAULTS for the child if any.
std::vector<std::string> ChildEnvironment(const std::string &faults);
// Waits for PID to end without polling, through a process descriptor.
void AwaitExit(pid_t pid, int milliseconds);
// The file name of this process's program.
const std::string &ProgramName();
std::string ProgramPath();

}  // namespace simdevice::internal
