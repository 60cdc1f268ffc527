// The keypad lock on a real kernel: this program is the client. It loads
// the library from the object store, as the CAB installs it, and sends keys
// with keybd_event to a window of its own, with the phone's status set in
// the real registry; a key passes if the window receives it.
//
// Every row of the decision table is a check of its own, in an order that
// also changes the mode while the hook is active. Then the hook is removed,
// the library is let go while active (it must stay locked), and the C
// client runs as a program of the device.
#include "DriverSupport.h"
#include "KeypadRule.h"
#include "tallowbeck.h"

namespace {

const WCHAR LIBRARY[] = L"tallowbeck.dll";
const WCHAR C_CLIENT[] = L"keypad_client.exe";
const WCHAR WINDOW_CLASS[] = L"DeviceLockTestsKeys";
const DWORD LOAD_WAIT_MS = 20000;
const DWORD EXIT_WAIT_MS = 30000;
// A passed key reaches the window within a few ms of device time; a
// swallowed one is given far longer to turn up.
const DWORD KEY_WAIT_MS = 1000;
const DWORD KEYEVENTF_KEYUP_FLAG = 0x0002;
const DWORD WS_VISIBLE_STYLE = 0x10000000;
const DWORD REG_DWORD_TYPE = 4;

// Phone status bits.
const DWORD NO_CALL = 0;
const DWORD TALKING = 0x20000000;
const DWORD CONNECTING = 0x00020000;
const DWORD RINGING = 0x00010000;
const DWORD ON_HOLD = 0x00004000;
// Conference, 1xRTT coverage, line 2 forwarding, call barring, data call:
// none of them is a call.
const DWORD NEIGHBOURS = 0x00008000 | 0x10000000 | 0x40000000 | 0x00002000 | 0x00001000;

// Keys seen by the window, by virtual key: down and up.
DWORD g_downs[256];
DWORD g_ups[256];

LRESULT CALLBACK KeysWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if ((message == WM_KEYDOWN || message == WM_SYSKEYDOWN) && wParam < 256) {
        ++g_downs[wParam];
    } else if ((message == WM_KEYUP || message == WM_SYSKEYUP) && wParam < 256) {
        ++g_ups[wParam];
    }
    return ce5.DefWindowProcW(window, message, wParam, lParam);
}

struct Lock {
    HMODULE library;
    ActivateKBHookProc activate;
    DeactivateKBHookProc deactivate;
};

struct LoadJob {
    WCHAR path[MAX_PATH];
    HMODULE module;
    DWORD error;
};

DWORD WINAPI LoadLibraryJob(LPVOID context) {
    LoadJob *job = static_cast<LoadJob *>(context);
    job->module = LoadLibraryW(job->path);
    job->error = GetLastError();
    return 0;
}

typedef void (*AnyEntryPoint)(void);

// Loads the library under the watchdog and binds both exports by name.
bool LoadLock(LPCWSTR check, Lock *lock) {
    static LoadJob job;  // outlives a hung load's thread
    JoinPath(job.path, INSTALL_FOLDER, LIBRARY);
    job.module = NULL;
    if (!RunWithWatchdog(LoadLibraryJob, &job, LOAD_WAIT_MS)) {
        Report(check, false, L"LoadLibraryW has not returned after 20000 ms: the loader hangs");
        return false;
    }
    lock->library = job.module;
    if (lock->library != NULL) {
        lock->activate = reinterpret_cast<ActivateKBHookProc>(
            reinterpret_cast<AnyEntryPoint>(GetProcAddressW(lock->library, L"ActivateKBHook")));
        lock->deactivate = reinterpret_cast<DeactivateKBHookProc>(
            reinterpret_cast<AnyEntryPoint>(GetProcAddressW(lock->library, L"DeactivateKBHook")));
    }
    const bool bound = lock->library != NULL && lock->activate != NULL && lock->deactivate != NULL;
    WCHAR detail[100];
    ce5.wsprintfW(detail, bound ? L"loaded from the object store, both exports bound by name"
                                : L"LoadLibraryW or GetProcAddressW failed (error %u)",
                  job.error);
    Report(check, bound, detail);
    return bound;
}

bool SetPhoneStatus(DWORD status) {
    HKEY key = NULL;
    DWORD disposition = 0;
    if (ce5.RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"System\\State\\Phone", 0, NULL, 0, 0, NULL, &key,
                            &disposition) != ERROR_SUCCESS) {
        return false;
    }
    const bool set = ce5.RegSetValueExW(key, L"Status", 0, REG_DWORD_TYPE, reinterpret_cast<const BYTE *>(&status),
                                        sizeof(status)) == ERROR_SUCCESS;
    ce5.RegCloseKey(key);
    return set;
}

// Presses and releases KEY; true if the window received both.
bool KeyReachesWindow(BYTE key) {
    const DWORD downs = g_downs[key];
    const DWORD ups = g_ups[key];
    ce5.keybd_event(key, 0, 0, 0);
    ce5.keybd_event(key, 0, KEYEVENTF_KEYUP_FLAG, 0);
    const DWORD start = ce5.GetTickCount();
    while (ce5.GetTickCount() - start < KEY_WAIT_MS && (g_downs[key] == downs || g_ups[key] == ups)) {
        PumpFor(10);
    }
    return g_downs[key] != downs && g_ups[key] != ups;
}

void CheckKey(LPCWSTR check, BYTE key, bool shouldPass) {
    const bool passed = KeyReachesWindow(key);
    WCHAR detail[100];
    ce5.wsprintfW(detail, L"key 0x%02x %s (the table: %s)", key, passed ? L"reached the window" : L"was swallowed",
                  shouldPass ? L"passes" : L"swallowed");
    Report(check, passed == shouldPass, detail);
}

struct Row {
    LPCWSTR check;
    DWORD status;
    DWORD mode;
    BYTE key;
};

// Rows of the decision table, each judged by it (KeypadRule.h). Consecutive
// rows change the mode while the hook is active: each applies from the next key.
const Row DECISION_TABLE[] = {
    {L"keypad.no_call.mode1.F3", NO_CALL, 1, VK_F3},
    {L"keypad.no_call.mode1.enter", NO_CALL, 1, VK_RETURN},
    {L"keypad.neighbour_bits.mode1.F4", NEIGHBOURS, 1, VK_F4},
    {L"keypad.talking.mode1.F3", TALKING, 1, VK_F3},
    {L"keypad.talking.mode1.F4", TALKING, 1, VK_F4},
    {L"keypad.talking.mode1.F5", TALKING, 1, VK_F5},
    {L"keypad.talking.mode1.F6", TALKING, 1, VK_F6},
    {L"keypad.talking.mode1.F2", TALKING, 1, VK_F2},
    {L"keypad.talking.mode1.F7", TALKING, 1, VK_F7},
    {L"keypad.talking.mode1.enter", TALKING, 1, VK_RETURN},
    {L"keypad.connecting.mode1.F4", CONNECTING, 1, VK_F4},
    {L"keypad.ringing.mode1.F5", RINGING, 1, VK_F5},
    {L"keypad.on_hold.mode1.F6", ON_HOLD, 1, VK_F6},
    {L"keypad.talking.mode0.F3", TALKING, 0, VK_F3},
    {L"keypad.talking.mode2.F4", TALKING, 2, VK_F4},
    {L"keypad.talking.back_to_mode1.F3", TALKING, 1, VK_F3},
};

void CheckDecisionTable(const Lock &lock) {
    for (size_t i = 0; i < sizeof(DECISION_TABLE) / sizeof(DECISION_TABLE[0]); ++i) {
        const Row &row = DECISION_TABLE[i];
        if (!SetPhoneStatus(row.status) || lock.activate(row.mode) != TRUE) {
            Report(row.check, false, L"the status or the mode could not be set");
            continue;
        }
        CheckKey(row.check, row.key, KEYPAD_RULE_PASSES(row.status, row.mode, row.key));
    }
}

void CheckCClient() {
    WCHAR path[MAX_PATH];
    JoinPath(path, INSTALL_FOLDER, C_CLIENT);
    Ce5ProcessInformation info;
    memset(&info, 0, sizeof(info));
    if (!ce5.CreateProcessW(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &info)) {
        Report(L"keypad.c_client_runs", false, L"CreateProcessW failed");
        return;
    }
    DWORD status = 0xFFFFFFFF;
    const bool ended = ce5.WaitForSingleObject(info.process, EXIT_WAIT_MS) == WAIT_OBJECT_0;
    ce5.GetExitCodeProcess(info.process, &status);
    CloseHandle(info.thread);
    CloseHandle(info.process);
    WCHAR detail[80];
    ce5.wsprintfW(detail, ended ? L"exit status %u (0: every step as promised)" : L"still running after %u ms",
                  ended ? status : EXIT_WAIT_MS);
    Report(L"keypad.c_client_runs", ended && status == 0, detail);
}

HWND CreateKeysWindow(HINSTANCE instance) {
    Ce5WindowClass windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.procedure = KeysWindow;
    windowClass.instance = instance;
    windowClass.className = WINDOW_CLASS;
    ce5.RegisterClassW(&windowClass);
    HWND window = ce5.CreateWindowExW(0, WINDOW_CLASS, L"Keys", WS_VISIBLE_STYLE, 0, 0, 240, 320, NULL, NULL,
                                      instance, NULL);
    if (window != NULL) {
        ce5.SetForegroundWindow(window);
        ce5.SetFocus(window);
        PumpFor(200);
    }
    return window;
}

void RunScenario(HINSTANCE instance) {
    const bool installed = Install(INSTALL_FOLDER, LIBRARY) && Install(INSTALL_FOLDER, C_CLIENT) &&
                           SetPhoneStatus(NO_CALL);
    Report(L"keypad.installed", installed, L"copied into \\Program Files, as the CAB installs it");
    HWND window = CreateKeysWindow(instance);
    if (!installed || window == NULL) {
        return;
    }
    CheckKey(L"keypad.unlocked.keys_reach_window", VK_F7, true);
    Lock lock;
    if (!LoadLock(L"keypad.library_loads", &lock)) {
        return;
    }
    Report(L"keypad.activates", lock.activate(TALLOWBECK_MODE_CALL_KEYS) == TRUE,
           L"ActivateKBHook(1) bound the hook entry points by name and installed the hook");
    CheckDecisionTable(lock);
    Report(L"keypad.deactivates", lock.deactivate() == TRUE, L"");
    CheckKey(L"keypad.deactivated.F7_reaches_window", VK_F7, true);
    CheckKey(L"keypad.deactivated.enter_reaches_window", VK_RETURN, true);
    // Let go of the library while the hook is active: it keeps itself loaded
    // and the keypad locked until it is deactivated.
    lock.activate(TALLOWBECK_MODE_LOCK_ALL);
    FreeLibrary(lock.library);
    CheckKey(L"keypad.unloaded_while_active.F7_swallowed", VK_F7, false);
    Lock again;
    if (LoadLock(L"keypad.library_loads_again", &again)) {
        Report(L"keypad.deactivates_after_reload", again.deactivate() == TRUE, L"");
        CheckKey(L"keypad.reloaded_deactivated.F7_reaches_window", VK_F7, true);
        FreeLibrary(again.library);
    }
    CheckCClient();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPWSTR /*commandLine*/,
                   int /*showCommand*/) {
    if (BindCe5Calls()) {
        RunScenario(instance);
    }
    EndScenario();
    return 0;
}
