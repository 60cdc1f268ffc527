// The areas of the suite, and what their cases share.
#pragma once

#include "Conformance.h"
#include "device/Device.h"

#include "DeviceFacts.h"

#include <platform_call_headers.h>
#ifndef _WIN32
// The simulated device's headers are the device's, which do not declare
// SetLastError; its control interface serves it to tests.
#include <simdevice/device.h>
#endif

#include <functional>

namespace conformance {

void SyncCases();      // mutexes, waits, last error, Interlocked
void QueueCases();     // message queues and their limits
void PowerCases();     // power subscriptions and broadcasts
void DebugCases();     // the debug channel
void ModuleCases();    // modules and the library entry
void LaunchCases();    // ShellExecuteEx, windows and repaint
void RegistryCases();  // the registry
void HookCases();      // low-level keyboard hooks
void FaultCases();     // planned faults and accounting

// A queue with these options, read access, no name.
HANDLE MakeQueue(DWORD flags, DWORD maxMessages, DWORD maxBytes);

// Runs BESIDE on a thread of its own while HERE runs on this one; returns
// when both have. (Desktop threads here, as the device's coredll.dll lists
// no CreateThread of ours to play with.)
void RunBeside(const std::function<void()> &beside, const std::function<void()> &here);

// The core library's hook entry points, bound by name as device code binds
// them.
typedef HHOOK(WINAPI *SetHookProc)(int, HOOKPROC, HINSTANCE, DWORD);
typedef LRESULT(WINAPI *CallNextProc)(HHOOK, int, WPARAM, LPARAM);
typedef BOOL(WINAPI *UnhookProc)(HHOOK);
struct HookCalls {
    SetHookProc set;
    CallNextProc callNext;
    UnhookProc unhook;
};
HookCalls BindHookCalls();

}  // namespace conformance
