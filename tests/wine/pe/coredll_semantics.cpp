// The desktop coredll.dll's message queues against the device's documented
// behaviour, run under Wine by daemon_wine_test. Prints each failed check
// and exits with the number of failures.
#include <windows.h>
#include <msgqueue.h>
#include <pm.h>

#include <cstdio>

#include "shared_objects.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char *what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++g_failures;
    }
}

MSGQUEUEOPTIONS Options(DWORD flags, DWORD maxMessages, DWORD maxBytes) {
    MSGQUEUEOPTIONS options = {sizeof(MSGQUEUEOPTIONS), flags, maxMessages, maxBytes, TRUE};
    return options;
}

void RejectsBadOptions() {
    struct Case {
        const char *what;
        MSGQUEUEOPTIONS options;
    } cases[] = {
        {"cbMaxMessage 0", Options(0, 4, 0)},
        {"dwSize short", {sizeof(MSGQUEUEOPTIONS) - 1, 0, 4, 16, TRUE}},
        {"unknown flag", Options(4, 4, 16)},
    };
    for (Case &c : cases) {
        SetLastError(0);
        Check(CreateMsgQueue(nullptr, &c.options) == nullptr && GetLastError() == ERROR_INVALID_PARAMETER, c.what);
    }
}

// Reads once with a zero timeout: the result, the error and the bytes.
struct Read {
    BOOL ok;
    DWORD error, bytes;
};
Read ReadOnce(HANDLE queue, void *buffer, DWORD size) {
    DWORD bytes = 0, flags = 0;
    SetLastError(0);
    BOOL ok = ReadMsgQueue(queue, buffer, size, &bytes, 0, &flags);
    return {ok, GetLastError(), bytes};
}

// Writes through the power manager's end, as a broadcast would arrive.
bool Write(const WCHAR *name, const void *data, DWORD bytes) {
    coredll::QueueEnd end;
    if (!coredll::OpenQueue(name, &end)) return false;
    const bool written = coredll::WriteQueue(&end, data, bytes);
    coredll::CloseQueue(&end);
    return written;
}

void QueueBehavesLikeTheDevices() {
    MSGQUEUEOPTIONS options = Options(MSGQUEUE_NOPRECOMMIT, 2, 8);
    HANDLE queue = CreateMsgQueue(nullptr, &options);
    Check(queue != nullptr, "create");
    char buffer[16];
    Read r = ReadOnce(queue, buffer, sizeof buffer);
    Check(!r.ok && r.error == ERROR_PIPE_NOT_CONNECTED, "empty queue with no writer is broken");

    HANDLE subscription = RequestPowerNotifications(queue, PBT_RESUME);
    Check(subscription != nullptr, "subscribe");
    r = ReadOnce(queue, buffer, sizeof buffer);
    Check(!r.ok && r.error == ERROR_TIMEOUT, "empty queue times out at once");
    Check(WaitForSingleObject(queue, 0) == WAIT_TIMEOUT, "empty queue is not signalled");

    coredll::Subscriber subscribers[coredll::kMaxSubscribers];
    const DWORD count = coredll::ListSubscribers(subscribers);
    Check(count == 1 && subscribers[0].mask == PBT_RESUME, "subscriber listed with its mask");
    const WCHAR *name = subscribers[0].queueName;
    Check(Write(name, "12345678", 8) && Write(name, "abc", 3), "two writes fit");
    Check(!Write(name, "x", 1), "a full queue refuses a write");
    Check(!Write(name, "123456789", 9), "a message over the limit is refused");
    Check(WaitForSingleObject(queue, 0) == WAIT_OBJECT_0, "queue with messages is signalled");

    r = ReadOnce(queue, buffer, 4);
    Check(r.ok && r.error == ERROR_INSUFFICIENT_BUFFER && r.bytes == 4, "long message comes truncated");
    r = ReadOnce(queue, buffer, sizeof buffer);
    Check(r.ok && r.bytes == 3 && buffer[0] == 'a', "messages come in order");
    Check(WaitForSingleObject(queue, 0) == WAIT_TIMEOUT, "drained queue is reset");

    DWORD bytes = 0;
    SetLastError(0);
    Check(!ReadMsgQueue(queue, buffer, sizeof buffer, &bytes, 0, nullptr) && GetLastError() == ERROR_INVALID_PARAMETER,
          "null flags pointer");

    Check(StopPowerNotifications(subscription) == ERROR_SUCCESS, "unsubscribe");
    Check(coredll::ListSubscribers(subscribers) == 0, "no subscriber after stop");
    Check(CloseMsgQueue(queue) != FALSE, "close");
    Check(!CloseMsgQueue(queue), "closed handle is no queue");
}

void HookTypeIsTranslated() {
    HMODULE core = LoadLibraryW(L"coredll.dll");
    typedef HHOOK(WINAPI * SetHook)(int, HOOKPROC, HINSTANCE, DWORD);
    typedef BOOL(WINAPI * Unhook)(HHOOK);
    SetHook set = reinterpret_cast<SetHook>(reinterpret_cast<void (*)()>(GetProcAddressW(core, L"SetWindowsHookExW")));
    Unhook unhook =
        reinterpret_cast<Unhook>(reinterpret_cast<void (*)()>(GetProcAddressW(core, L"UnhookWindowsHookEx")));
    Check(set != nullptr && unhook != nullptr, "hook entry points bound by wide name");
    if (set == nullptr || unhook == nullptr) return;
    HOOKPROC proc = [](int code, WPARAM w, LPARAM l) -> LRESULT { return CallNextHookEx(nullptr, code, w, l); };
    HHOOK hook = set(20, proc, GetModuleHandleW(nullptr), 0);
    Check(hook != nullptr, "the device's WH_KEYBOARD_LL (20) installs");
    if (hook != nullptr) Check(unhook(hook) != FALSE, "and comes out");
    SetLastError(0);
    Check(set(13, proc, GetModuleHandleW(nullptr), 0) == nullptr && GetLastError() == ERROR_INVALID_PARAMETER,
          "the desktop's number is not the device's");
    FreeLibrary(core);
}

}  // namespace

int main() {
    RejectsBadOptions();
    QueueBehavesLikeTheDevices();
    HookTypeIsTranslated();
    std::printf("%d failed\n", g_failures);
    return g_failures;
}
