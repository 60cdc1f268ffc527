// Starting programs: ShellExecuteEx. The device ignores the verb; a bare
// file name is found in the device's system folder.
#include <simdevice/device.h>

#include <shellapi.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Programs.h"
#include "../host/Text.h"
#include "Words.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

std::mutex g_spawnMutex;
std::vector<pid_t> g_spawned;  // reaped as later starts come, so none lingers as a zombie

void ReapFinished() {
    std::lock_guard<std::mutex> lock(g_spawnMutex);
    g_spawned.erase(std::remove_if(g_spawned.begin(), g_spawned.end(),
                                   [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; }),
                    g_spawned.end());
}

std::string Quoted(const WCHAR *text) { return text ? "\"" + Narrow(text) + "\"" : "null"; }

// A bare file name is looked for in the device's system folder.
std::string ResolveProgram(const std::string &file) {
    return file.find('/') == std::string::npos ? WindowsDir() + "/" + file : file;
}

DWORD ErrorFor(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_BAD_EXE_FORMAT;
    }
}

// Starts PATH as a program of the device; 0 or an errno value (and for a
// refused PE file, the platform's error in IMAGEERROR).
int Spawn(const std::string &path, const std::string &parameters, const std::string &directory, pid_t *pid,
          DWORD *imageError) {
    if (access(path.c_str(), X_OK) != 0) return errno;
    // Planned faults belong to the program they were given to, not its children.
    std::vector<std::string> environment = ChildEnvironment("");
    std::vector<char *> envp = words::Pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    int rc = SpawnProgram(pid, path, words::Split(parameters), &actions, nullptr, envp.data(), imageError);
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) {
        std::lock_guard<std::mutex> lock(g_spawnMutex);
        g_spawned.push_back(*pid);
    }
    return rc;
}

}  // namespace

BOOL WINAPI served::ShellExecuteEx(LPSHELLEXECUTEINFO info) {
    if (!info) return SetError(ERROR_INVALID_PARAMETER), FALSE;
    ReapFinished();
    DWORD error = ERROR_SUCCESS;
    pid_t pid = -1;
    std::string file = Narrow(info->lpFile);
    if (info->cbSize != sizeof(SHELLEXECUTEINFO)) {
        error = ERROR_INVALID_PARAMETER;
    } else if (file.empty()) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (DWORD imageError = ERROR_SUCCESS;
               int rc = Spawn(ResolveProgram(file), Narrow(info->lpParameters), Narrow(info->lpDirectory), &pid,
                              &imageError)) {
        error = imageError != ERROR_SUCCESS ? imageError : ErrorFor(rc);
    }
    // The device ignores the verb; it is recorded all the same.
    Log(timeline::Event::ShellExecute, {{"cbSize", std::to_string(info->cbSize)},
                         {"fMask", std::to_string(info->fMask)},
                         {"hwnd", std::to_string(reinterpret_cast<uintptr_t>(info->hwnd))},
                         {"verb", Quoted(info->lpVerb)},
                         {"file", Quoted(info->lpFile)},
                         {"parameters", Quoted(info->lpParameters)},
                         {"directory", Quoted(info->lpDirectory)},
                         {"nShow", std::to_string(info->nShow)},
                         {"result", error == ERROR_SUCCESS ? "started" : "failed"},
                         {"error", std::to_string(error)},
                         {"child", std::to_string(pid)}});
    info->hProcess = nullptr;
    if (error != ERROR_SUCCESS) {
        info->hInstApp = reinterpret_cast<HINSTANCE>(uintptr_t(error));
        return SetError(error), FALSE;
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(uintptr_t(42));  // above 32 means success
    return TRUE;
}
