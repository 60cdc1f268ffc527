// Starting programs in the device.
#pragma once

#include <windef.h>

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace simdevice::internal {

// Starts the program at PATH with ARGS (argv[1..]) as every program of the
// device is started: through the emulator SIMDEVICE_EMULATOR names, if any.
// 0 or an errno value.
// A PE file starts through the device's loader (pe_runner, beside the
// core library) once its image has been checked; a refused image is one
// timeline record, ENOEXEC, and its platform error in IMAGEERROR.
int SpawnProgram(pid_t *pid, const std::string &path, const std::vector<std::string> &args,
                 const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
                 char *const environment[], DWORD *imageError = nullptr);
// The environment a started program gets: this one's, less the faults
// planned for this process, plus FAULTS for the child if any.
std::vector<std::string> ChildEnvironment(const std::string &faults);
// Waits for PID to end without polling, through a process descriptor.
void AwaitExit(pid_t pid, int milliseconds);
// The file name of this process's program.
const std::string &ProgramName();
std::string ProgramPath();
// This process runs the PE program at PATH, which the device's loader
// started: its path and name are the program's, and its command line's
// arguments follow the program's path.
void SetProgramImage(const std::string &path);
bool RunsProgramImage();

}  // namespace simdevice::internal
