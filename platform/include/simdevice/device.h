// The control interface of the simulated device.
//
// Device code sees only the platform headers. Tests and tools use this
// interface to play the rest of the device: choose a device, start programs
// in it, post power broadcasts, set registry values, press keys, inject
// faults, and read back what happened (the device log, the debug channel,
// each process's resource accounting).
//
// A device is a directory (SIMDEVICE_DIR). Every process that runs with the
// same directory shares one device: named objects, power subscriptions,
// windows, the registry, the log. Programs started through this interface
// inherit the choice.
#pragma once

#include <windows.h>
#include <msgqueue.h>
#include <pm.h>
#include <pwinuser.h>

#include <platform_calls.h>

#include "TimelineEvents.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

extern "C" {
// The deliverables never set the last error; tests do, to see what a call
// sets. (Desktop Win32 has the same call.)
void WINAPI SetLastError(DWORD error);
}

namespace simdevice {

// The platform calls that can fail, by name: the list's own (platform/coredll.calls).
using platform_calls::Call;

constexpr const char *kDeviceDirVariable = "SIMDEVICE_DIR";
constexpr const char *kFaultsVariable = "SIMDEVICE_FAULTS";
// A command (words separated by blanks, e.g. "qemu-arm -L /usr/arm-linux-gnueabi")
// through which the device starts every program; empty: programs start directly.
constexpr const char *kEmulatorVariable = "SIMDEVICE_EMULATOR";

// ---- text ---------------------------------------------------------------
std::u16string Utf8ToUtf16(const std::string &text);
std::string Utf16ToUtf8(const std::u16string &text);
std::string Utf16ToUtf8(const WCHAR *text); // null gives ""

// ---- device selection and lifetime --------------------------------------
// A device is a directory that carries a marker, written only when a device
// is made; nothing else is ever deleted or written as one. Each call below
// refuses what is not a device with std::runtime_error, one line naming the
// path.
// The directory of the device this process belongs to.
std::string DeviceDir();
// Why DIR is not a device that may be used or removed (missing, a symbolic
// link, a file, /, the home directory, no marker, not writable), or nothing.
std::optional<std::string> NotADevice(const std::string &dir);
// Makes DIR a fresh device and this process's (and, through the
// environment, its children's). DIR may be missing, empty, or a device, whose
// programs are killed and contents removed first; anything else is refused.
void ResetDevice(const std::string &dir);
// Joins an existing device (sets the environment too).
void UseDevice(const std::string &dir);
// Kills every program of the device except the caller, removes the kernel
// objects it left, and deletes the directory.
void DestroyDevice(const std::string &dir);
// The device's folder for system programs; bare file names are found there.
std::string WindowsDir();

// ---- programs -----------------------------------------------------------
// Called by the start-up code of device programs: registers the process as
// a program of the device and logs its start. (Tools and tests don't.)
void ProgramStarted(int argc, char **argv);
void ProgramExiting(int status);
// Called by the start-up code of device libraries while a library loads:
// its entry, and whether it accepted the process attach. LoadLibraryW fails
// when it did not.
using LibraryEntry = BOOL(WINAPI *)(HANDLE instance, DWORD reason, LPVOID reserved);
void LibraryAttached(void *base, LibraryEntry entry, bool accepted);
// What the platform tells every loaded library when a thread of the process
// starts and when it ends: a test calls these on the threads it starts.
void ThreadStarts();
void ThreadEnds();
// What the platform tells every loaded library as the process ends, before
// it unmaps them: a test calls it to play code that runs after that.
void ProcessDetaches();
// The device's loader for PE programs (pe_runner, beside the core library;
// the device starts every PE file through it): runs the program in the PE
// file ARGV[1], with the arguments after it, as a program of the device.
// Returns only when the program could not be loaded (127) or ended without
// ending its process.
int RunProgramImage(int argc, char **argv);

struct StartOptions {
    std::vector<std::string> args;   // argv[1..]
    std::string faults;              // SIMDEVICE_FAULTS for the child
    bool captureStdin = false;       // give the child a pipe as stdin
    bool detach = false;             // no terminal: standard streams on /dev/null, own session
};
struct StartedProgram {
    pid_t pid = -1;
    int stdinFd = -1;                // write end, when captureStdin
    int error = 0;                   // why it could not start (an errno value), when pid < 0
};
StartedProgram StartProgram(const std::string &path, const StartOptions &options = {});
// Waits for a child started by StartProgram; the exit status, or 128+signal.
int WaitProgram(pid_t pid, std::chrono::milliseconds timeout, bool *timedOut = nullptr);
std::vector<pid_t> LivePrograms();
// Ends every program of the device but the caller (SIGTERM), each with a
// "stopped" record in the log.
void StopPrograms();

// ---- power manager -------------------------------------------------------
struct BroadcastResult {
    int delivered = 0;
    int dropped = 0;   // subscribed queue was full
};
// Posts a POWER_BROADCAST to every subscribed queue whose mask has MESSAGE.
BroadcastResult PostPowerBroadcast(DWORD message, DWORD flags, const std::u16string &stateName = u"");
// Posts raw bytes as a broadcast of kind KIND (to test malformed records).
BroadcastResult PostRawPowerMessage(DWORD kind, const std::string &bytes);
int LivePowerSubscriptions();
// How many broadcasts wait in the queues the power manager writes into for
// SUBSCRIBER's live subscriptions, read from outside while it runs; nothing
// if it has none.
std::optional<size_t> QueuedBroadcasts(pid_t subscriber);
// How many messages QUEUE, a queue of this process, holds; nothing if it is none.
std::optional<size_t> QueuedMessages(HANDLE queue);

// ---- registry ------------------------------------------------------------
// KEY is a path below HKEY_LOCAL_MACHINE, e.g. u"System\\State\\Phone".
void SetRegistryValue(const std::u16string &key, const std::u16string &name, DWORD type,
                      const std::string &data);
void SetRegistryDword(const std::u16string &key, const std::u16string &name, DWORD value);
void DeleteRegistryValue(const std::u16string &key, const std::u16string &name);
void DeleteRegistryKey(const std::u16string &key);

// ---- windows -------------------------------------------------------------
// Registers a top-level window owned by the caller.
HWND CreateTopLevelWindow(const std::u16string &title);
void DestroyTopLevelWindow(HWND window);
// Blocks until the window is asked to repaint (true) or the timeout passes.
bool WaitForRepaintRequest(HWND window, std::optional<std::chrono::milliseconds> timeout);

// ---- keyboard -------------------------------------------------------------
struct KeyEvent {
    KBDLLHOOKSTRUCT record{};
    WPARAM message = WM_KEYDOWN;
};
// One key event (MESSAGE: WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN or
// WM_SYSKEYUP); key-up messages carry the up flag, as the platform's do.
KeyEvent MakeKeyEvent(DWORD vk, WPARAM message);
struct KeyFate {
    LRESULT result = 0;        // what the first hook returned
    bool reachedWindow = true; // every hook passed it on and the result was 0
};
// Runs the caller's hook chain over one event, as the input system does, on
// the calling thread, with hook code CODE.
KeyFate DeliverKeyEvent(KeyEvent event, int code = HC_ACTION);
// The device's keyboard: a person presses, the input thread of a client reads.
void PressKey(const KeyEvent &event);
std::optional<KeyEvent> NextKeyPress(std::optional<std::chrono::milliseconds> timeout);
int HookCount();  // hooks installed by this process
// Has the next SetWindowsHookExW deliver EVENT through the chain, the new
// hook first, before it returns the hook's handle, as the platform may; the
// event's fate is then KeyFateDuringInstall().
void DeliverKeyDuringNextInstall(const KeyEvent &event);
std::optional<KeyFate> KeyFateDuringInstall();

// ---- faults ---------------------------------------------------------------
// A fault makes the NTH call (from now; 0 = every call) of a platform
// function fail with ERROR, return VALUE, or (GetModuleFileNameW) report
// PATH. FUNCTION may carry an argument, e.g. "GetProcAddressW:CallNextHookEx"
// (or, for an export bound by ordinal, "GetProcAddressW:#1").
// The same faults, separated by ';', can be given to a program through
// SIMDEVICE_FAULTS:  Function[@N]=fail:ERROR | return:VALUE | path:TEXT
// Each throws std::invalid_argument for a plan it could not carry out.
void FailCall(const std::string &function, DWORD error, int nth = 1);
void ForceReturn(const std::string &function, unsigned long value, int nth = 1);
void ForceModulePath(const std::u16string &path, int nth = 1);
void AddFaults(const std::string &plans);
void ClearFaults();
// How many times CALL was made, faulted or not.
unsigned long CallCount(Call call);

// ---- the call record --------------------------------------------------------
// Each call that can fail, as it was made: its arguments as words (a pointer
// as its address), in the order the calls came, faulted or not, and once it
// has returned, its result as a word and the last error it left.
struct CallRecord {
    Call call;
    std::vector<uintptr_t> arguments;
    bool returned = false;
    uintptr_t result = 0;
    DWORD lastError = 0;
};
// Forgets what was recorded and records from now on, until the next start.
void StartRecording();
std::vector<CallRecord> Recorded();
// The arguments of each recorded call of CALL, in order.
std::vector<std::vector<uintptr_t>> RecordedArguments(Call call);
// The last recorded call of CALL, if one was recorded: what it was given
// (also where the device ignores an argument) and what it returned.
std::optional<CallRecord> LastRecorded(Call call);
// Runs WATCHER on the calling thread as each call comes, before it does
// anything (so with no result yet), so that it can read what the arguments
// point to or act on the device first; the calls WATCHER makes are not
// watched. Empty: none.
void WatchCalls(std::function<void(const CallRecord &)> watcher);

// ---- accounting -------------------------------------------------------------
struct Resources {
    int kernelObjects = 0;  // mutexes, queues and power notifications, from the handle table
    int subscriptions = 0;
    int allocations = 0;    // live LocalAlloc blocks
    long allocationsMade = 0;
    int registryKeys = 0;
    int moduleReferences = 0;
    int hooks = 0;
};
Resources LiveResources();
// What a live program of the device holds, read from outside while it runs.
// With WHEN_WAITING, read while one of its threads sits in
// WaitForMultipleObjects (a daemon at rest, no wake-up half done), waiting
// up to that long for it. Nothing if PID is no live program of the device,
// or it did not wait in time.
std::optional<Resources> ProgramResources(pid_t pid,
                                          std::optional<std::chrono::milliseconds> whenWaiting = std::nullopt);
std::string Describe(const Resources &resources);

// ---- log ------------------------------------------------------------------
struct LogRecord {
    double seconds = 0;       // since the device was made
    pid_t pid = 0;
    std::string program;      // file name of the process
    std::string event;
    std::vector<std::pair<std::string, std::string>> fields;  // in the order written
    std::string Field(const std::string &name) const;
};
void Log(timeline::Event event, const std::vector<std::pair<std::string, std::string>> &fields);
std::vector<LogRecord> ReadLog();
// Blocks (on file notifications, not polling) until PREDICATE holds for the
// log, or the timeout passes; returns whether it held.
bool WaitForLog(const std::function<bool(const std::vector<LogRecord> &)> &predicate,
                std::chrono::milliseconds timeout);
// For logs too long to read whole each time: the records written since
// OFFSET (a byte offset into the log; 0 is its start), moving OFFSET past
// them. A record still being written is left for the next call.
std::vector<LogRecord> ReadLogFrom(uint64_t &offset);
// Blocks (on file notifications) until the log is longer than OFFSET, or the
// timeout passes; whether it is.
bool WaitForLogPast(uint64_t offset, std::chrono::milliseconds timeout);
int CountEvents(const std::vector<LogRecord> &log, timeline::Event event);
// Everything written to the debug channel, as UTF-8.
std::string DebugOutput();
std::string FormatTimeline(const std::vector<LogRecord> &log);

}  // namespace simdevice
