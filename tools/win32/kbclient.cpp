// A client of the keypad lock under Wine: loads tallowbeck.dll from beside
// itself, activates it with the mode its command line gives, and pumps
// messages (a low-level hook is only called while its thread does). It
// records in kbclient.log:
//   "hook VK down|up passed|swallowed"  the chain's verdict on each event, from
//                                       a hook of its own in front of the lock's
//   "key VK"                            each key-down that reaches its window
// Commands on standard input, one per line: "activate MODE", "deactivate",
// "quit". A bad line is reported on standard error ("kbclient: line N: ...")
// and skipped, and the exit status is then 2; a bad MODE on the command line
// ends it at once with status 2.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ArgumentValues.h"
#include "FixtureLog.h"
#include "Words.h"

namespace {

const wchar_t kLog[] = L"kbclient.log";
const UINT kActivateMessage = WM_APP + 1;
const UINT kDeactivateMessage = WM_APP + 2;

typedef BOOL(WINAPI *ActivateProc)(DWORD mode);
typedef BOOL(WINAPI *DeactivateProc)(void);

ActivateProc g_activate;
DeactivateProc g_deactivate;
HWND g_window;
HINSTANCE g_instance;
HHOOK g_observer;
std::atomic<bool> g_lineRefused{false};

LRESULT CALLBACK ObserverProc(int code, WPARAM wParam, LPARAM lParam) {
    const LRESULT verdict = CallNextHookEx(nullptr, code, wParam, lParam);
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
        const bool up = wParam == WM_KEYUP || wParam == WM_SYSKEYUP;
        FixtureLog(kLog, L"hook 0x%02lx %ls %ls", event->vkCode, up ? L"up" : L"down",
                   verdict != 0 ? L"swallowed" : L"passed");
    }
    return verdict;
}

// In front of the lock's hook, so that it runs first and sees every verdict:
// installed again after each activation, which may have put a new lock's
// hook in front of it.
HHOOK InstallObserver() {
    if (g_observer != nullptr) UnhookWindowsHookEx(g_observer);
    g_observer = SetWindowsHookExW(WH_KEYBOARD_LL, ObserverProc, g_instance, 0);
    return g_observer;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        FixtureLog(kLog, L"key 0x%02x", unsigned(wParam));
        return 0;
    case kActivateMessage: {
        const BOOL activated = g_activate(DWORD(wParam));
        InstallObserver();
        FixtureLog(kLog, L"activated %lu %d", DWORD(wParam), activated);
        return 0;
    }
    case kDeactivateMessage:
        FixtureLog(kLog, L"deactivated %d", g_deactivate());
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD Mode(const std::string &text) {
    try {
        return argument_values::Dword(text);
    } catch (const std::invalid_argument &error) {
        throw std::invalid_argument(std::string("MODE: ") + error.what());
    }
}

// One line's command: posts it to the window, or false for "quit".
bool RunLine(const std::vector<std::string> &words) {
    const std::string &command = words[0];
    const size_t arguments = command == "activate" ? 2 : 1;
    if (command == "activate" && words.size() < 2) throw std::invalid_argument("MODE is required");
    if (command != "activate" && command != "deactivate" && command != "quit")
        throw std::invalid_argument("unknown command '" + command + "' (one of: activate deactivate quit)");
    if (words.size() > arguments)
        throw std::invalid_argument("The following argument was not expected: " + words[arguments]);
    if (command == "quit") return false;
    if (command == "activate") PostMessageW(g_window, kActivateMessage, WPARAM(Mode(words[1])), 0);
    else PostMessageW(g_window, kDeactivateMessage, 0, 0);
    return true;
}

// Standard input, read on a thread of its own; the exports are called on the
// window's thread, which pumps the hook's messages.
DWORD WINAPI ReadCommands(LPVOID) {
    char line[128];
    for (int number = 1; std::fgets(line, sizeof line, stdin) != nullptr; ++number) {
        const std::vector<std::string> words = words::Split(line);
        if (words.empty() || words[0][0] == '#') continue;
        try {
            if (!RunLine(words)) break;
        } catch (const std::invalid_argument &error) {
            std::fprintf(stderr, "kbclient: line %d: %s\n", number, error.what());
            g_lineRefused = true;
        }
    }
    PostMessageW(g_window, WM_CLOSE, 0, 0);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    DWORD mode = 0;
    try {
        const std::vector<std::string> words = words::Split(coredll::Utf8(commandLine));
        if (words.size() != 1)
            throw std::invalid_argument(words.empty() ? "MODE is required"
                                                      : "The following argument was not expected: " + words[1]);
        mode = Mode(words[0]);
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "kbclient: %s\nusage: kbclient MODE  (then activate MODE, deactivate, quit on standard input)\n",
                     error.what());
        return 2;
    }
    HMODULE library = LoadLibraryW(L"tallowbeck.dll");
    if (library != nullptr) {
        g_activate = reinterpret_cast<ActivateProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "ActivateKBHook")));
        g_deactivate =
            reinterpret_cast<DeactivateProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "DeactivateKBHook")));
    }
    if (g_activate == nullptr || g_deactivate == nullptr) {
        FixtureLog(kLog, L"no library: %lu", GetLastError());
        return 2;
    }

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"KeypadClientWindow";
    RegisterClassW(&windowClass);
    g_window = CreateWindowExW(0, windowClass.lpszClassName, L"Keypad client", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200,
                               nullptr, nullptr, instance, nullptr);
    if (g_window == nullptr) {
        FixtureLog(kLog, L"no window: %lu", GetLastError());
        return 2;
    }
    ShowWindow(g_window, SW_SHOW);
    g_instance = instance;
    FixtureLog(kLog, L"activated %lu %d", mode, g_activate(mode));
    FixtureLog(kLog, L"ready %p", static_cast<void *>(InstallObserver()));
    HANDLE reader = CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (g_observer != nullptr) UnhookWindowsHookEx(g_observer);
    g_deactivate();
    FreeLibrary(library);
    if (reader != nullptr) CloseHandle(reader);
    FixtureLog(kLog, L"quit");
    return g_lineRefused ? 2 : 0;
}
