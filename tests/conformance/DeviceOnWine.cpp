// The device the cases need, played under Wine: the power manager through
// coredll.dll's shared subscriber list and queues, the registry and windows
// through desktop Win32, keys through SendInput. The harness gives each run
// a prefix, a display and a folder of its own.
#include "Conformance.h"
#include "Device.h"

#include <msgqueue.h>
#include <pm.h>

#include "DeviceFacts.h"
#include "QueueRules.h"
#include "shared_objects.h"

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <sstream>

// coredll.dll's own control, for tests: plans added while the program runs.
extern "C" BOOL coredll_AddFaults(const char *plans);

namespace conformance {

Side ThisSide() { return Side::Wine; }

namespace device {

namespace {

int g_repaints = 0;
LRESULT g_chainResult = 0;
bool g_keySeen = false;
HHOOK g_observer = nullptr;

// Desktop Win32's own hook calls, not coredll.dll's: the observer is the
// harness's, not a device hook.
template <typename Function>
Function User32(const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

LRESULT CALLBACK Observer(int code, WPARAM wParam, LPARAM lParam) {
    static auto callNext = User32<LRESULT(WINAPI *)(HHOOK, int, WPARAM, LPARAM)>("CallNextHookEx");
    g_chainResult = callNext(g_observer, code, wParam, lParam);
    g_keySeen = true;
    return g_chainResult;
}

LRESULT CALLBACK CountingWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        ++g_repaints;
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        InvalidateRect(window, nullptr, FALSE);  // ready for the next request
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::string ReadText(const wchar_t *path) {
    std::string text;
    if (FILE *file = _wfopen(path, L"rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
        std::fclose(file);
    }
    return text;
}

}  // namespace

void Start() {}
void End() {}

int Post(DWORD message, DWORD flags, const std::string &stateName) {
    const std::wstring name(stateName.begin(), stateName.end());
    DWORD total = 0;
    return int(coredll::Broadcast(message, queue_rules::BroadcastRecord(message, flags, name.c_str(), name.size()), &total));
}

void SetDword(const WCHAR *key, const WCHAR *value, DWORD data) {
    HKEY handle;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    RegSetValueExW(handle, value, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), sizeof data);
    RegCloseKey(handle);
}

void SetBinary(const WCHAR *key, const WCHAR *value, const std::string &bytes) {
    HKEY handle;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    RegSetValueExW(handle, value, 0, REG_BINARY, reinterpret_cast<const BYTE *>(bytes.data()), DWORD(bytes.size()));
    RegCloseKey(handle);
}

void DeleteKey(const WCHAR *key) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key); }

std::string DebugText() {
    const wchar_t *path = _wgetenv(L"COREDLL_DEBUG_OUTPUT");
    return path != nullptr ? ReadText(path) : std::string();
}

// A visible window that keeps an invalid region: UpdateWindow sends it
// WM_PAINT only then.
HWND MakeWindow(const WCHAR *title) {
    static const bool registered = [] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = CountingWindow;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"ConformanceWindow";
        return RegisterClassW(&windowClass) != 0;
    }();
    if (!registered) return nullptr;
    HWND window = CreateWindowExW(0, L"ConformanceWindow", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
    return window;
}

int Repaints(HWND) { return g_repaints; }

void DestroyMadeWindow(HWND window) { DestroyWindow(window); }

// The event goes through an observer installed last, which runs first and
// sees the chain's result; the thread pumps until it has.
LRESULT PressKey(DWORD vk, bool up) {
    static auto setHook = User32<HHOOK(WINAPI *)(int, HOOKPROC, HINSTANCE, DWORD)>("SetWindowsHookExW");
    static auto unhook = User32<BOOL(WINAPI *)(HHOOK)>("UnhookWindowsHookEx");
    g_observer = setHook(device_facts::kDesktopKeyboardLowLevel, Observer, GetModuleHandleW(nullptr), 0);
    g_keySeen = false;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = WORD(vk);
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
    const DWORD deadline = GetTickCount() + 5000;
    while (!g_keySeen && GetTickCount() < deadline) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    unhook(g_observer);
    return g_chainResult;
}

std::basic_string<WCHAR> ProgramDir() {
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

bool LockAppStarted(int count) {
    const std::wstring log = ProgramDir() + L"Harrowcastle.log";
    const DWORD deadline = GetTickCount() + 10000;
    for (;;) {
        std::istringstream lines(ReadText(log.c_str()));
        int started = 0;
        for (std::string line; std::getline(lines, line);) started += line.rfind("started ", 0) == 0;
        if (started >= count) return true;
        if (GetTickCount() >= deadline) return false;
        Sleep(20);
    }
}

std::optional<int> LiveHandles() { return std::nullopt; }
std::optional<int> LiveHooks() { return std::nullopt; }
std::optional<HHOOK> LastHookPassedOn() { return std::nullopt; }
std::optional<DWORD> LastRegistryAccess() { return std::nullopt; }
std::optional<DWORD> LastModuleNameCapacity() { return std::nullopt; }

bool PlanFaults(const char *plans) { return coredll_AddFaults(plans) != FALSE; }

}  // namespace device
}  // namespace conformance
