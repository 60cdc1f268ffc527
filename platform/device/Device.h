// The parts of the device a test or a tool plays (the power manager, the
// registry's owner, a window's owner, the input system, the lock
// application) and what it reads back, beyond the platform's own calls.
// One implementation per stand-in: DeviceOnSimulator.cpp plays them through
// the simulated device's control interface, DeviceOnWine.cpp through desktop
// Win32 and the Wine coredll.dll's shared objects. The conformance suite and
// the tools (tools/) are written once over it.
#pragma once

#include <windows.h>

#include "DeviceFacts.h"
#include "TimelineEvents.h"

#include <platform_calls.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace device {

// A fresh device for the run, and its removal.
void Start();
void End();

// The power manager: one broadcast to every subscriber whose mask has
// MESSAGE, without waiting (a full queue loses it); and how many live
// subscribers there are.
struct Posted {
    int delivered = 0;
    int dropped = 0;
};
Posted Post(DWORD message, DWORD flags, const std::string &stateName);
int Subscribers();
// How many broadcasts wait in the queues of PROCESS's subscriptions (by its
// process id), read from outside; nothing when it has none, or when the
// device cannot tell right now.
std::optional<int> QueuedFor(DWORD process);

// Values below HKEY_LOCAL_MACHINE, written as the platform would (a key is
// made when missing; deleting one deletes what is below it, as the device
// does). Throws (a std::exception) for a write the registry refuses.
void SetValue(const WCHAR *key, const WCHAR *value, DWORD type, const std::string &bytes);
inline void SetDword(const WCHAR *key, const WCHAR *value, DWORD data) {
    SetValue(key, value, REG_DWORD, std::string(reinterpret_cast<const char *>(&data), sizeof data));
}
inline void SetBinary(const WCHAR *key, const WCHAR *value, const std::string &bytes) {
    SetValue(key, value, REG_BINARY, bytes);
}
void DeleteValue(const WCHAR *key, const WCHAR *value);
void DeleteKey(const WCHAR *key);

// UTF-8 to the platform's wide text, and back.
std::basic_string<WCHAR> Wide(const std::string &utf8);
std::string Utf8(const std::basic_string<WCHAR> &wide);

// The radio stack's part: the phone's status word, or none (no value).
inline void SetPhoneStatus(std::optional<DWORD> status) {
    const auto key = Wide(DEVICE_PHONE_KEY), value = Wide(DEVICE_PHONE_STATUS_VALUE);
    if (status) SetDword(key.c_str(), value.c_str(), *status);
    else DeleteValue(key.c_str(), value.c_str());
}

// Everything written to the debug channel so far, as UTF-8.
std::string DebugText();

// A top-level window owned by this process, and the repaint requests it has
// had since it was made.
HWND MakeWindow(const WCHAR *title);
int Repaints(HWND window);
void DestroyMadeWindow(HWND window);

// One key event (MESSAGE: WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN or WM_SYSKEYUP)
// through this process's low-level hooks, as the input system delivers it:
// the first hook's result, and whether the event went on past the hooks.
// Throws std::invalid_argument for an event this device's input system
// cannot make, std::runtime_error for one that never reached the hooks.
struct KeyFate {
    LRESULT result = 0;
    bool passedOn = false;
};
KeyFate PressKey(DWORD vk, UINT message);

// The key events the device's own keyboard makes from now on, each told to
// JUDGED once the hook chain has run, and to REACHED_WINDOW when a window of
// this process got it (only where the input system has windows: Wine).
struct KeyListener {
    std::function<void(DWORD vk, UINT message, const KeyFate &fate)> judged;
    std::function<void(DWORD vk)> reachedWindow;
};
void ListenForKeys(KeyListener listener);
// To be called after this process's hook chain changed: a listener stays in
// front of every hook.
void HookChainChanged();

// Runs READER until it returns its status, while this thread serves the
// input system (a low-level hook is only called while its thread does);
// READER hands each piece of work to it through OnInputThread. The program's
// start and end are recorded around it.
int ServeInput(int argc, char **argv, const std::function<int()> &reader);
void OnInputThread(const std::function<void()> &work);

// What a program records of itself: a timeline record EVENT with FIELDS
// (under Wine in PROGRAM.timeline beside it, RecordsOnWine.cpp), and under
// Wine the line SAID, unless empty, in PROGRAM.log beside it.
using Fields = std::vector<std::pair<std::string, std::string>>;
void Record(timeline::Event event, const Fields &fields, const std::string &said);

// A tool's entry, RUN(argc, argv), with its arguments in UTF-8 on both
// stand-ins (desktop Windows gives them in wide text).
#ifdef _WIN32
std::vector<std::string> Utf8Arguments(int argc, wchar_t **argv);
#define DEVICE_TOOL_MAIN(run)                                                          \
    int wmain(int argc, wchar_t **wide) {                                              \
        std::vector<std::string> words = device::Utf8Arguments(argc, wide);            \
        std::vector<char *> argv;                                                      \
        for (std::string &word : words) argv.push_back(word.data());                   \
        argv.push_back(nullptr);                                                       \
        return run(argc, argv.data());                                                 \
    }
#else
#define DEVICE_TOOL_MAIN(run) \
    int main(int argc, char **argv) { return run(argc, argv); }
#endif

// The folder the fixture programs are in, with its trailing separator, and
// whether the lock application fixture has started COUNT times.
std::basic_string<WCHAR> ProgramDir();
bool LockAppStarted(int count);

// The simulated device's accounting and the record of its calls (from the
// device's start); Wine keeps neither.
std::optional<int> LiveHandles();
std::optional<int> LiveHooks();
// Argument INDEX of the last call of CALL, also where the device ignores it.
std::optional<uintptr_t> LastArgument(platform_calls::Call call, size_t index);

// Plans faults for this process, from now on; false if the plan is refused.
bool PlanFaults(const char *plans);

}  // namespace device
