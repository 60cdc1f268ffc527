// The device played under Wine: the power manager through coredll.dll's
// shared subscriber list and queues, the registry and windows through
// desktop Win32, keys through SendInput and X. The harness gives each run a
// prefix, a display and a folder of its own.
#include "device/Device.h"

#include <msgqueue.h>
#include <pm.h>

#include "DeviceFacts.h"
#include "QueueRules.h"
#include "shared_objects.h"

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <sstream>
#include <stdexcept>

// coredll.dll's own control, for tests: plans added while the program runs.
extern "C" BOOL coredll_AddFaults(const char *plans);

namespace device {

namespace {

// Marks the events PressKey makes, which a listener leaves to PressKey.
constexpr ULONG_PTR kPressedHere = 0x6b657973;

int g_repaints = 0;
LRESULT g_chainResult = 0;
bool g_keySeen = false;
HHOOK g_observer = nullptr;
KeyListener g_listener;
HHOOK g_listeningHook = nullptr;

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

Posted Post(DWORD message, DWORD flags, const std::string &stateName) {
    const std::wstring name = Wide(stateName);
    DWORD offered = 0;
    const DWORD delivered = coredll::Broadcast(
        message, queue_rules::BroadcastRecord(message, flags, name.c_str(), name.size()), &offered);
    return Posted{int(delivered), int(offered - delivered)};
}

int Subscribers() {
    coredll::Subscriber subscribers[coredll::kMaxSubscribers];
    return int(coredll::ListSubscribers(subscribers));
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

void DeleteValue(const WCHAR *key, const WCHAR *value) { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, value); }

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
// sees the chain's result; the thread pumps until it has. X makes system
// keys only with Alt held, which would be an event of its own.
KeyFate PressKey(DWORD vk, UINT message) {
    if (message != WM_KEYDOWN && message != WM_KEYUP)
        throw std::invalid_argument("the Wine device's keyboard makes no system key events");
    static auto setHook = User32<HHOOK(WINAPI *)(int, HOOKPROC, HINSTANCE, DWORD)>("SetWindowsHookExW");
    static auto unhook = User32<BOOL(WINAPI *)(HHOOK)>("UnhookWindowsHookEx");
    g_observer = setHook(device_facts::kDesktopKeyboardLowLevel, Observer, GetModuleHandleW(nullptr), 0);
    g_keySeen = false;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = WORD(vk);
    input.ki.dwFlags = message == WM_KEYUP ? KEYEVENTF_KEYUP : 0;
    input.ki.dwExtraInfo = kPressedHere;
    SendInput(1, &input, sizeof input);
    const DWORD deadline = GetTickCount() + 5000;
    while (!g_keySeen && GetTickCount() < deadline) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    unhook(g_observer);
    return KeyFate{g_chainResult, g_chainResult == 0};
}

namespace {

LRESULT CALLBACK ListeningHook(int code, WPARAM wParam, LPARAM lParam) {
    static auto callNext = User32<LRESULT(WINAPI *)(HHOOK, int, WPARAM, LPARAM)>("CallNextHookEx");
    const LRESULT result = callNext(g_listeningHook, code, wParam, lParam);
    const KBDLLHOOKSTRUCT *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
    if (code == HC_ACTION && event->dwExtraInfo != kPressedHere)
        g_listener.judged(event->vkCode, UINT(wParam), KeyFate{result, result == 0});
    return result;
}

LRESULT CALLBACK ListeningWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
        g_listener.reachedWindow(DWORD(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

// X sends the keyboard's events to the focused window, "Keypad client",
// after the hooks: one of this process's own in front of them all.
void ListenForKeys(KeyListener listener) {
    g_listener = std::move(listener);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ListeningWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KeypadClientWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Keypad client", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    ShowWindow(window, SW_SHOW);
    HookChainChanged();
}

// Installed again, in front of any hook put in since.
void HookChainChanged() {
    if (!g_listener.judged) return;
    static auto setHook = User32<HHOOK(WINAPI *)(int, HOOKPROC, HINSTANCE, DWORD)>("SetWindowsHookExW");
    static auto unhook = User32<BOOL(WINAPI *)(HHOOK)>("UnhookWindowsHookEx");
    if (g_listeningHook != nullptr) unhook(g_listeningHook);
    g_listeningHook = setHook(device_facts::kDesktopKeyboardLowLevel, ListeningHook, GetModuleHandleW(nullptr), 0);
}

namespace {

DWORD g_inputThread = 0;
HANDLE g_workReady = nullptr;
HANDLE g_workDone = nullptr;
const std::function<void()> *g_work = nullptr;

struct Reading {
    const std::function<int()> *reader;
    int status;
};

DWORD WINAPI Read(LPVOID reading) {
    Reading *r = static_cast<Reading *>(reading);
    r->status = (*r->reader)();
    return 0;
}

}  // namespace

// This thread waits for work or input and pumps; the reader runs on another.
int ServeInput(int, char **, const std::function<int()> &reader) {
    g_inputThread = GetCurrentThreadId();
    g_workReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_workDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Reading reading = {&reader, 0};
    HANDLE thread = CreateThread(nullptr, 0, Read, &reading, 0, nullptr);
    const HANDLE waits[] = {g_workReady, thread};
    for (DWORD woke; (woke = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT)) != WAIT_OBJECT_0 + 1;) {
        if (woke == WAIT_OBJECT_0) {
            (*g_work)();
            SetEvent(g_workDone);
            continue;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    CloseHandle(thread);
    CloseHandle(g_workDone);
    CloseHandle(g_workReady);
    return reading.status;
}

void OnInputThread(const std::function<void()> &work) {
    if (g_workReady == nullptr || GetCurrentThreadId() == g_inputThread) return work();
    g_work = &work;
    SetEvent(g_workReady);
    WaitForSingleObject(g_workDone, INFINITE);
}

// PROGRAM.log beside the program, a line at a time so that tests can read it
// while the program runs.
void Record(const std::string &, const Fields &, const std::string &said) {
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH - 4);
    std::wstring log(path, length);
    log = log.substr(0, log.rfind(L'.')) + L".log";
    coredll::AppendUtf8(log.c_str(), (Wide(said) + L"\n").c_str());
}

std::basic_string<WCHAR> Wide(const std::string &utf8) {
    std::wstring wide(utf8.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), int(wide.size()));
    wide.resize(length > 0 ? size_t(length) : 0);
    return wide;
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t **argv) {
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) words.push_back(coredll::Utf8(argv[i]));
    return words;
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
