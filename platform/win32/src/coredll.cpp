// coredll.dll for desktop Win32 (Wine): the device calls that the desktop
// lacks, with the device's semantics. Everything the desktop has (mutexes,
// registry, windows, ShellExecuteExW, modules) stays with the system DLLs.
#include <windows.h>
#include <msgqueue.h>
#include <pm.h>

#include <cstdarg>
#include <cwchar>

#include "faults.h"
#include "shared_objects.h"

using namespace coredll;

namespace {

// The desktop's low-level keyboard hook type.
constexpr int kDesktopKeyboardLowLevel = 13;
constexpr int kDeviceKeyboardLowLevel = 20;

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

OpenQueueEntry *FindQueue(HANDLE queue) {
    for (OpenQueueEntry &entry : g_queues)
        if (queue != nullptr && entry.end.ready == queue) return &entry;
    return nullptr;
}

// Power subscription handles are the subscriber slot number in a range no
// kernel handle uses.
constexpr ULONG_PTR kSubscriptionHandleBase = 0x7e570000;

bool ValidQueueOptions(const MSGQUEUEOPTIONS *options) {
    return options != nullptr && options->dwSize >= sizeof(MSGQUEUEOPTIONS) && options->cbMaxMessage != 0 &&
           (options->dwFlags & ~DWORD(MSGQUEUE_NOPRECOMMIT | MSGQUEUE_ALLOW_BROKEN)) == 0;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
    if (PlannedFailure("CreateMsgQueue")) return nullptr;
    if (!ValidQueueOptions(options) || name != nullptr) {
        // Named queues are not needed by anything here.
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

BOOL WINAPI ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead, DWORD milliseconds,
                         DWORD *flags) {
    if (PlannedFailure("ReadMsgQueue")) return FALSE;
    OpenQueueEntry *entry = FindQueue(queue);
    if (entry == nullptr || !entry->readAccess || buffer == nullptr || bytesRead == nullptr || flags == nullptr) {
        SetLastError(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD started = GetTickCount();
    for (;;) {
        switch (ReadQueue(&entry->end, buffer, bufferSize, bytesRead)) {
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

BOOL WINAPI CloseMsgQueue(HANDLE queue) {
    EnterCriticalSection(&g_queuesLock);
    OpenQueueEntry *entry = FindQueue(queue);
    if (entry != nullptr) CloseQueue(&entry->end);
    LeaveCriticalSection(&g_queuesLock);
    if (entry == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return entry != nullptr;
}

HANDLE WINAPI RequestPowerNotifications(HANDLE messageQueue, DWORD flags) {
    if (PlannedFailure("RequestPowerNotifications")) return nullptr;
    OpenQueueEntry *entry = FindQueue(messageQueue);
    if (entry == nullptr || flags == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD slot = AddSubscriber(entry->name, flags);
    if (slot == 0) return nullptr;
    AddWriter(&entry->end, 1);  // the power manager's end, held while subscribed
    entry->subscription = slot;
    return reinterpret_cast<HANDLE>(kSubscriptionHandleBase + slot);
}

DWORD WINAPI StopPowerNotifications(HANDLE notification) {
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(notification);
    const DWORD slot = value > kSubscriptionHandleBase ? DWORD(value - kSubscriptionHandleBase) : 0;
    for (OpenQueueEntry &entry : g_queues) {
        if (slot != 0 && entry.subscription == slot && entry.end.header != nullptr) {
            AddWriter(&entry.end, -1);
            entry.subscription = 0;
        }
    }
    if (!RemoveSubscriber(slot)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// The device's debug channel: the file COREDLL_DEBUG_OUTPUT names (UTF-8),
// else the desktop's debugger output.
void NKDbgPrintfW(LPCWSTR format, ...) {
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

FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName) {
    if (PlannedFailure("GetProcAddressW")) return nullptr;
    char name[256];
    // An ordinal travels in the low word, as with GetProcAddress.
    if (IS_INTRESOURCE(procName)) return GetProcAddress(module, reinterpret_cast<LPCSTR>(procName));
    if (WideCharToMultiByte(CP_ACP, 0, procName, -1, name, sizeof name, nullptr, nullptr) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name);
}

// The hook entry points a device library binds by name. Only the hook type
// differs: the device's WH_KEYBOARD_LL is 20, the desktop's 13.
HHOOK WINAPI DeviceSetWindowsHookExW(int hookType, HOOKPROC procedure, HINSTANCE module, DWORD threadId) {
    if (PlannedFailure("SetWindowsHookExW")) return nullptr;
    if (hookType != kDeviceKeyboardLowLevel || threadId != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return SetWindowsHookExW(kDesktopKeyboardLowLevel, procedure, module, threadId);
}

LRESULT WINAPI DeviceCallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
    return CallNextHookEx(hook, code, wParam, lParam);
}

BOOL WINAPI DeviceUnhookWindowsHookEx(HHOOK hook) {
    return UnhookWindowsHookEx(hook);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&g_queuesLock);
    if (reason == DLL_PROCESS_DETACH) DeleteCriticalSection(&g_queuesLock);
    return TRUE;
}

}  // extern "C"
