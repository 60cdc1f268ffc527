// coredll.dll for desktop Win32 (Wine): the device calls that the desktop
// lacks, with the device's semantics. What the desktop has (mutexes,
// registry, windows, ShellExecuteExW, modules) is passed on to the system
// DLLs by forwarders.cpp. Every call is exported by name and at its device
// ordinal, as the call list gives them.
#include <windows.h>
#include <msgqueue.h>
#include <pm.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "DeviceFacts.h"
#include "QueueRules.h"
#include "faults.h"
#include "served.h"
#include "shared_objects.h"

using namespace coredll;

namespace {

using device_facts::kDesktopKeyboardLowLevel;
using device_facts::kDeviceKeyboardLowLevel;

// Queues this process has open; a queue's handle is its ready event, so
// that WaitForMultipleObjects accepts it.
struct OpenQueueEntry {
    QueueEnd end;
    WCHAR name[kQueueNameChars];
    bool readAccess;
    DWORD subscription;  // power subscriber slot + 1, or 0
};
constexpr int kMaxOpenQueues = 16;
OpenQueueEntry g_queues[kMaxOpenQueues];
CRITICAL_SECTION g_queuesLock;

// Under g_queuesLock.
OpenQueueEntry *FindQueue(HANDLE queue) {
    for (OpenQueueEntry &entry : g_queues)
        if (queue != nullptr && entry.end.ready == queue) return &entry;
    return nullptr;
}

// Power subscription handles are the subscriber slot number in a range no
// kernel handle uses.
constexpr ULONG_PTR kSubscriptionHandleBase = 0x7e570000;

}  // namespace

HANDLE WINAPI served::CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
    if (!queue_rules::ValidOptions(options) || name != nullptr) {
        // Named queues are not simulated: nothing in the system shares one.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    EnterCriticalSection(&g_queuesLock);
    HANDLE result = nullptr;
    OpenQueueEntry *entry = nullptr;
    for (OpenQueueEntry &candidate : g_queues)
        if (entry == nullptr && candidate.end.ready == nullptr) entry = &candidate;
    if (entry == nullptr) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    } else if (CreateQueue(options->dwMaxMessages, options->cbMaxMessage, options->dwFlags, entry->name, &entry->end)) {
        entry->readAccess = options->bReadAccess != FALSE;
        entry->subscription = 0;
        result = entry->end.ready;
    }
    LeaveCriticalSection(&g_queuesLock);
    return result;
}

// Looks QUEUE up and reads from it under the table's lock, so that another
// thread's close never meets a read half done; waits outside it.
BOOL WINAPI served::ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead,
                                 DWORD milliseconds, DWORD *flags) {
    const DWORD started = GetTickCount();
    for (;;) {
        EnterCriticalSection(&g_queuesLock);
        OpenQueueEntry *entry = FindQueue(queue);
        const bool usable = entry != nullptr && entry->readAccess && buffer != nullptr && bytesRead != nullptr &&
                            flags != nullptr;
        const ReadResult read = usable ? ReadQueue(&entry->end, buffer, bufferSize, bytesRead) : ReadResult::Empty;
        LeaveCriticalSection(&g_queuesLock);
        if (!usable) {
            SetLastError(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        switch (read) {
        case ReadResult::Message:
            *flags = 0;
            return TRUE;
        case ReadResult::Truncated:
            *flags = 0;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return TRUE;
        case ReadResult::Broken:
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        case ReadResult::Empty:
            break;
        }
        const DWORD waited = GetTickCount() - started;
        if (milliseconds != INFINITE && waited >= milliseconds) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        WaitForSingleObject(queue, milliseconds == INFINITE ? INFINITE : milliseconds - waited);
    }
}

BOOL WINAPI served::CloseMsgQueue(HANDLE queue) {
    EnterCriticalSection(&g_queuesLock);
    OpenQueueEntry *entry = FindQueue(queue);
    if (entry != nullptr) CloseQueue(&entry->end);
    LeaveCriticalSection(&g_queuesLock);
    if (entry == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return entry != nullptr;
}

HANDLE WINAPI served::RequestPowerNotifications(HANDLE messageQueue, DWORD flags) {
    EnterCriticalSection(&g_queuesLock);
    OpenQueueEntry *entry = FindQueue(messageQueue);
    DWORD slot = 0;
    if (entry == nullptr || flags == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if ((slot = AddSubscriber(entry->name, flags)) != 0) {
        AddWriter(&entry->end, 1);  // the power manager's end, held while subscribed
        entry->subscription = slot;
    }
    LeaveCriticalSection(&g_queuesLock);
    return slot == 0 ? nullptr : reinterpret_cast<HANDLE>(kSubscriptionHandleBase + slot);
}

DWORD WINAPI served::StopPowerNotifications(HANDLE notification) {
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(notification);
    const DWORD slot = value > kSubscriptionHandleBase ? DWORD(value - kSubscriptionHandleBase) : 0;
    EnterCriticalSection(&g_queuesLock);
    for (OpenQueueEntry &entry : g_queues) {
        if (slot != 0 && entry.subscription == slot && entry.end.header != nullptr) {
            AddWriter(&entry.end, -1);
            entry.subscription = 0;
        }
    }
    LeaveCriticalSection(&g_queuesLock);
    if (!RemoveSubscriber(slot)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// The device's debug channel: the file COREDLL_DEBUG_OUTPUT names (UTF-8),
// else the desktop's debugger output.
extern "C" void coredll_NKDbgPrintfW(LPCWSTR format, ...) {
    WCHAR text[1024];
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(text, 1023, format, arguments);
    va_end(arguments);
    text[1023] = 0;
    const wchar_t *path = _wgetenv(L"COREDLL_DEBUG_OUTPUT");
    if (path == nullptr) {
        OutputDebugStringW(text);
        return;
    }
    AppendUtf8(path, text);
}

FARPROC WINAPI served::GetProcAddressW(HMODULE module, LPCWSTR procName) {
    char name[256] = "";
    // An ordinal travels in the low word, as with GetProcAddress; a plan
    // names it "#N", as on the simulated device.
    const bool byOrdinal = IS_INTRESOURCE(procName);
    const bool named = !byOrdinal && WideCharToMultiByte(CP_UTF8, 0, procName, -1, name, sizeof name, nullptr, nullptr) != 0;
    if (byOrdinal) std::snprintf(name, sizeof name, "#%u", unsigned(reinterpret_cast<ULONG_PTR>(procName)));
    // Its fault is taken here, not in the export: a plan may name one entry point.
    if (auto fault = TakeFault(Call::GetProcAddressW, name)) return FaultResult<FARPROC>(*fault, nullptr);
    if (byOrdinal) return GetProcAddress(module, reinterpret_cast<LPCSTR>(procName));
    if (!named) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name);
}

// The hook entry points a device library binds by name. Only the hook type
// differs: the device's WH_KEYBOARD_LL is 20, the desktop's 13.
HHOOK WINAPI served::SetWindowsHookExW(int hookType, HOOKPROC procedure, HINSTANCE module, DWORD threadId) {
    if (hookType != kDeviceKeyboardLowLevel || threadId != 0 || procedure == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::SetWindowsHookExW(kDesktopKeyboardLowLevel, procedure, module, threadId);
}

LRESULT WINAPI served::CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
    return ::CallNextHookEx(hook, code, wParam, lParam);
}

BOOL WINAPI served::UnhookWindowsHookEx(HHOOK hook) {
    return ::UnhookWindowsHookEx(hook);
}

// 64-bit kernel32 exports none of the Interlocked family; device code on ARM
// imports them.
extern "C" LONG WINAPI coredll_InterlockedExchange(LONG volatile *target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

extern "C" LONG WINAPI coredll_InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;  // the value found
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_queuesLock);
        LoadFaultPlan();
    }
    if (reason == DLL_PROCESS_DETACH) {
        UnloadFaultPlan();
        DeleteCriticalSection(&g_queuesLock);
    }
    return TRUE;
}


