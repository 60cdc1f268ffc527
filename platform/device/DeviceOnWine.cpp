// The device played under Wine: the power manager through coredll.dll's
// shared subscriber list and queues, the registry and windows through
// desktop Win32 (the input system is InputOnWine.cpp). The harness gives
// each run a prefix, a display and a folder of its own.
#include "device/Device.h"
#include "device/DesktopCalls.h"
#include "device/Programs.h"

#include <msgqueue.h>
#include <pm.h>

#include "QueueRules.h"
#include "shared_objects.h"

#include <cstdlib>
#include <map>
#include <cstdio>
#include <sstream>
#include <stdexcept>

// coredll.dll's own control, for tests: plans added while the program runs.
extern "C" BOOL coredll_AddFaults(const char *plans);

namespace device {

namespace {

// Repaint requests by window, since each was made; only the window's own
// (the program's) thread touches it.
std::map<HWND, int> g_repaints;

LRESULT CALLBACK CountingWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        ++g_repaints[window];
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
void End() { EndStartedPrograms(); }

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

std::optional<int> QueuedFor(DWORD process) {
    DWORD queued = 0;
    return coredll::QueuedForSubscriber(process, &queued) ? std::optional<int>(int(queued)) : std::nullopt;
}

void SetValue(const WCHAR *key, const WCHAR *value, DWORD type, const std::string &bytes) {
    HKEY handle = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (error == ERROR_SUCCESS) {
        error = RegSetValueExW(handle, value, 0, type, reinterpret_cast<const BYTE *>(bytes.data()), DWORD(bytes.size()));
        RegCloseKey(handle);
    }
    if (error != ERROR_SUCCESS)
        throw std::runtime_error("cannot write HKEY_LOCAL_MACHINE\\" + coredll::Utf8(key) + "\\" + coredll::Utf8(value) +
                                 ": error " + std::to_string(error));
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
        windowClass.hInstance = ThisProgram();
        windowClass.lpszClassName = L"ConformanceWindow";
        return RegisterClassW(&windowClass) != 0;
    }();
    if (!registered) return nullptr;
    HWND window = CreateWindowExW(0, L"ConformanceWindow", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  ThisProgram(), nullptr);
    g_repaints[window] = 0;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
    return window;
}

int Repaints(HWND window) {
    const auto it = g_repaints.find(window);
    return it == g_repaints.end() ? 0 : it->second;
}

void DestroyMadeWindow(HWND window) {
    DestroyWindow(window);
    g_repaints.erase(window);
}

std::basic_string<WCHAR> Wide(const std::string &utf8) {
    std::wstring wide(utf8.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), int(wide.size()));
    wide.resize(length > 0 ? size_t(length) : 0);
    return wide;
}

std::string Utf8(const std::basic_string<WCHAR> &wide) { return coredll::Utf8(wide.c_str()); }

std::vector<std::string> Utf8Arguments(int argc, wchar_t **argv) {
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) words.push_back(coredll::Utf8(argv[i]));
    return words;
}

std::basic_string<WCHAR> ProgramDir() {
    const std::wstring program = ProgramPath();
    return program.substr(0, program.find_last_of(L'\\') + 1);
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
std::optional<uintptr_t> LastArgument(platform_calls::Call, size_t) { return std::nullopt; }

bool PlanFaults(const char *plans) { return coredll_AddFaults(plans) != FALSE; }

}  // namespace device
