// What the cases need of the device beyond the platform's calls: the parts
// of the device a test plays (the power manager, the registry's owner, a
// window's owner, the keyboard, the lock application) and what it reads
// back. One implementation per stand-in: DeviceOnSimulator.cpp plays them
// through the simulated device's control interface, DeviceOnWine.cpp
// through desktop Win32 and the Wine coredll.dll's shared objects.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace conformance::device {

// A fresh device for the run, and its removal.
void Start();
void End();

// The power manager: one broadcast to every subscriber whose mask has
// MESSAGE; the number of queues it reached.
int Post(DWORD message, DWORD flags, const std::string &stateName);

// Values below HKEY_LOCAL_MACHINE, written as the platform would.
void SetDword(const WCHAR *key, const WCHAR *value, DWORD data);
void SetBinary(const WCHAR *key, const WCHAR *value, const std::string &bytes);
void DeleteKey(const WCHAR *key);

// Everything written to the debug channel so far, as UTF-8.
std::string DebugText();

// A top-level window owned by this process, and the repaint requests it has
// had since it was made.
HWND MakeWindow(const WCHAR *title);
int Repaints(HWND window);
void DestroyMadeWindow(HWND window);

// One key event through this process's low-level hooks, as the input system
// delivers it; the result of the first hook.
LRESULT PressKey(DWORD vk, bool up);

// The folder the fixture programs are in, with its trailing separator, and
// whether the lock application fixture has started COUNT times.
std::basic_string<WCHAR> ProgramDir();
bool LockAppStarted(int count);

// The simulated device's accounting and what its calls were given; Wine
// keeps neither.
std::optional<int> LiveHandles();
std::optional<int> LiveHooks();
std::optional<HHOOK> LastHookPassedOn();
std::optional<DWORD> LastRegistryAccess();
std::optional<DWORD> LastModuleNameCapacity();

// Plans faults for this process, from now on; false if the plan is refused.
bool PlanFaults(const char *plans);

}  // namespace conformance::device
