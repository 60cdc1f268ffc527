#include "DriverSupport.h"

Ce5Calls ce5;

const WCHAR INSTALL_FOLDER[] = L"\\Program Files\\DeviceLock";
// "Verrou" with accents and a Greek letter: a name no code page of the
// debug channel carries.
const WCHAR NON_ASCII_FOLDER[] = L"\\Program Files\\Verr\x00f4u \x00c9t\x00e9 \x03a9";
const WCHAR FIXTURE_KEY[] = L"Software\\DeviceLockTests";
const WCHAR FIXTURE_EVENT[] = L"DeviceLockTests/LockApp";

namespace {

const WCHAR PROGRAMS_FOLDER[] = L"\\Program Files";
const WCHAR IMAGE_FOLDER[] = L"\\Windows";
const DWORD REG_DWORD_TYPE = 4;
const DWORD REG_SZ_TYPE = 1;
const DWORD PM_REMOVE_MESSAGE = 1;
const DWORD FILE_ATTRIBUTE_PLAIN = 0x80;  // FILE_ATTRIBUTE_NORMAL

typedef void (*AnyCall)(void);

template <typename Call>
bool BindCall(HMODULE core, Call *call, LPCWSTR name) {
    *call = reinterpret_cast<Call>(reinterpret_cast<AnyCall>(GetProcAddressW(core, name)));
    if (*call == NULL) {
        NKDbgPrintfW(L"ce5: coredll.dll has no export %s\n", name);
        return false;
    }
    return true;
}

HKEY OpenFixtureKey() {
    HKEY key = NULL;
    DWORD disposition = 0;
    // HKEY_LOCAL_MACHINE is the platform header's cast of a predefined value.
    if (ce5.RegCreateKeyExW(HKEY_LOCAL_MACHINE, FIXTURE_KEY, 0, NULL, 0, 0, NULL, &key, &disposition) !=
        ERROR_SUCCESS) {
        return NULL;
    }
    return key;
}

struct WatchedJob {
    Ce5ThreadProc job;
    LPVOID context;
};

}  // namespace

bool BindCe5Calls() {
    HMODULE core = LoadLibraryW(L"coredll.dll");
    if (core == NULL) {
        NKDbgPrintfW(L"ce5: coredll.dll did not load (error %u)\n", GetLastError());
        return false;
    }
    return BindCall(core, &ce5.CreateProcessW, L"CreateProcessW") &&
           BindCall(core, &ce5.CreateThread, L"CreateThread") &&
           BindCall(core, &ce5.WaitForSingleObject, L"WaitForSingleObject") &&
           BindCall(core, &ce5.GetExitCodeProcess, L"GetExitCodeProcess") &&
           BindCall(core, &ce5.CreateEventW, L"CreateEventW") && BindCall(core, &ce5.EventModify, L"EventModify") &&
           BindCall(core, &ce5.Sleep, L"Sleep") && BindCall(core, &ce5.GetTickCount, L"GetTickCount") &&
           BindCall(core, &ce5.CreateDirectoryW, L"CreateDirectoryW") &&
           BindCall(core, &ce5.CopyFileW, L"CopyFileW") && BindCall(core, &ce5.MoveFileW, L"MoveFileW") &&
           BindCall(core, &ce5.DeleteFileW, L"DeleteFileW") &&
           BindCall(core, &ce5.SetFileAttributesW, L"SetFileAttributesW") &&
           BindCall(core, &ce5.CreateFileW, L"CreateFileW") &&
           BindCall(core, &ce5.ReadFile, L"ReadFile") &&
           BindCall(core, &ce5.RegCreateKeyExW, L"RegCreateKeyExW") &&
           BindCall(core, &ce5.RegSetValueExW, L"RegSetValueExW") &&
           BindCall(core, &ce5.RegQueryValueExW, L"RegQueryValueExW") &&
           BindCall(core, &ce5.RegCloseKey, L"RegCloseKey") &&
           BindCall(core, &ce5.SetSystemPowerState, L"SetSystemPowerState") &&
           BindCall(core, &ce5.keybd_event, L"keybd_event") &&
           BindCall(core, &ce5.RegisterClassW, L"RegisterClassW") &&
           BindCall(core, &ce5.CreateWindowExW, L"CreateWindowExW") &&
           BindCall(core, &ce5.DefWindowProcW, L"DefWindowProcW") &&
           BindCall(core, &ce5.GetMessageW, L"GetMessageW") && BindCall(core, &ce5.PeekMessageW, L"PeekMessageW") &&
           BindCall(core, &ce5.DispatchMessageW, L"DispatchMessageW") &&
           BindCall(core, &ce5.PostMessageW, L"PostMessageW") &&
           BindCall(core, &ce5.InvalidateRect, L"InvalidateRect") &&
           BindCall(core, &ce5.BeginPaint, L"BeginPaint") && BindCall(core, &ce5.EndPaint, L"EndPaint") &&
           BindCall(core, &ce5.SetFocus, L"SetFocus") &&
           BindCall(core, &ce5.SetForegroundWindow, L"SetForegroundWindow") &&
           BindCall(core, &ce5.wsprintfW, L"wsprintfW");
}

void Report(LPCWSTR check, bool pass, LPCWSTR detail) {
    if (pass) {
        NKDbgPrintfW(detail != NULL && detail[0] != 0 ? L"ce5: check %s: pass: %s\n" : L"ce5: check %s: pass\n",
                     check, detail);
    } else {
        NKDbgPrintfW(L"ce5: check %s: FAIL: %s\n", check, detail != NULL ? detail : L"");
    }
}

void Note(LPCWSTR text) {
    NKDbgPrintfW(L"ce5: %s\n", text);
}

void EndScenario() {
    NKDbgPrintfW(L"ce5: scenario end\n");
}

static DWORD WINAPI RunWatchedJob(LPVOID context) {
    const WatchedJob *watched = static_cast<const WatchedJob *>(context);
    return watched->job(watched->context);
}

bool RunWithWatchdog(Ce5ThreadProc job, LPVOID context, DWORD milliseconds) {
    // Lives as long as a hung job may: for good.
    WatchedJob *watched = static_cast<WatchedJob *>(LocalAlloc(LPTR, sizeof(WatchedJob)));
    if (watched == NULL) {
        return false;
    }
    watched->job = job;
    watched->context = context;
    HANDLE thread = ce5.CreateThread(NULL, 0, RunWatchedJob, watched, 0, NULL);
    if (thread == NULL) {
        LocalFree(watched);
        return false;
    }
    const bool returned = ce5.WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (returned) {
        LocalFree(watched);
    }
    return returned;
}

void PumpFor(DWORD milliseconds) {
    const DWORD start = ce5.GetTickCount();
    Ce5Message message;
    do {
        while (ce5.PeekMessageW(&message, NULL, 0, 0, PM_REMOVE_MESSAGE)) {
            ce5.DispatchMessageW(&message);
        }
        ce5.Sleep(10);
    } while (ce5.GetTickCount() - start < milliseconds);
}

bool WaitPumping(HANDLE event, DWORD milliseconds) {
    const DWORD start = ce5.GetTickCount();
    Ce5Message message;
    for (;;) {
        while (ce5.PeekMessageW(&message, NULL, 0, 0, PM_REMOVE_MESSAGE)) {
            ce5.DispatchMessageW(&message);
        }
        if (ce5.WaitForSingleObject(event, 10) == WAIT_OBJECT_0) {
            return true;
        }
        if (ce5.GetTickCount() - start >= milliseconds) {
            return false;
        }
    }
}

void Escape(LPCWSTR text, LPWSTR out, DWORD capacity) {
    static const WCHAR DIGITS[] = L"0123456789abcdef";
    DWORD used = 0;
    for (DWORD i = 0; text[i] != 0 && used + 7 < capacity; ++i) {
        const WCHAR c = text[i];
        if (c >= 0x20 && c < 0x7F) {
            out[used++] = c;
            continue;
        }
        out[used++] = L'\\';
        out[used++] = L'u';
        for (int shift = 12; shift >= 0; shift -= 4) {
            out[used++] = DIGITS[(c >> shift) & 0xF];
        }
    }
    out[used] = 0;
}

bool SameText(LPCWSTR a, LPCWSTR b) {
    DWORD i = 0;
    for (; a[i] != 0 && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i];
}

void JoinPath(LPWSTR path, LPCWSTR folder, LPCWSTR name) {
    ce5.wsprintfW(path, L"%s\\%s", folder, name);
}

bool Install(LPCWSTR folder, LPCWSTR name) {
    WCHAR from[MAX_PATH];
    WCHAR to[MAX_PATH];
    ce5.CreateDirectoryW(PROGRAMS_FOLDER, NULL);
    ce5.CreateDirectoryW(folder, NULL);  // may exist already
    JoinPath(from, IMAGE_FOLDER, name);
    JoinPath(to, folder, name);
    return CopyAsInstalled(from, to);
}

bool CopyAsInstalled(LPCWSTR from, LPCWSTR to) {
    return ce5.CopyFileW(from, to, FALSE) && ce5.SetFileAttributesW(to, FILE_ATTRIBUTE_PLAIN);
}

DWORD ReadFixtureCount(LPCWSTR value) {
    DWORD count = 0;
    DWORD type = REG_DWORD_TYPE;
    DWORD size = sizeof(count);
    HKEY key = OpenFixtureKey();
    if (key != NULL) {
        if (ce5.RegQueryValueExW(key, value, NULL, &type, reinterpret_cast<LPBYTE>(&count), &size) !=
            ERROR_SUCCESS) {
            count = 0;
        }
        ce5.RegCloseKey(key);
    }
    return count;
}

bool ReadFixtureText(LPCWSTR value, LPWSTR text, DWORD capacity) {
    DWORD type = REG_SZ_TYPE;
    DWORD size = capacity * sizeof(WCHAR);
    text[0] = 0;
    HKEY key = OpenFixtureKey();
    if (key == NULL) {
        return false;
    }
    const bool read =
        ce5.RegQueryValueExW(key, value, NULL, &type, reinterpret_cast<LPBYTE>(text), &size) == ERROR_SUCCESS;
    ce5.RegCloseKey(key);
    text[capacity - 1] = 0;
    return read;
}

bool WriteFixtureCount(LPCWSTR value, DWORD count) {
    HKEY key = OpenFixtureKey();
    if (key == NULL) {
        return false;
    }
    const bool written = ce5.RegSetValueExW(key, value, 0, REG_DWORD_TYPE, reinterpret_cast<const BYTE *>(&count),
                                            sizeof(count)) == ERROR_SUCCESS;
    ce5.RegCloseKey(key);
    return written;
}

bool WriteFixtureText(LPCWSTR value, LPCWSTR text) {
    DWORD length = 0;
    while (text[length] != 0) {
        ++length;
    }
    HKEY key = OpenFixtureKey();
    if (key == NULL) {
        return false;
    }
    const bool written = ce5.RegSetValueExW(key, value, 0, REG_SZ_TYPE, reinterpret_cast<const BYTE *>(text),
                                            (length + 1) * sizeof(WCHAR)) == ERROR_SUCCESS;
    ce5.RegCloseKey(key);
    return written;
}
