// The input system under Wine: key events through SendInput and X, the
// harness's own hooks in front of the device's to see their verdicts, and a
// thread that pumps messages (a low-level hook is only called while the
// thread that installed it does) with the tool's work handed to it.
#include "device/Device.h"
#include "device/DesktopCalls.h"

#include "shared_objects.h"

#include <stdexcept>

namespace device {

namespace {

// Marks the events PressKey makes, which a listener leaves to PressKey.
constexpr ULONG_PTR kPressedHere = 0x6b657973;

LRESULT g_chainResult = 0;
bool g_keySeen = false;
HHOOK g_observer = nullptr;
KeyListener g_listener;
HHOOK g_listeningHook = nullptr;

LRESULT CALLBACK Observer(int code, WPARAM wParam, LPARAM lParam) {
    g_chainResult = Desktop().callNext(g_observer, code, wParam, lParam);
    g_keySeen = true;
    return g_chainResult;
}

}  // namespace

// The event goes through an observer installed last, which runs first and
// sees the chain's result; the thread pumps until it has. X makes system
// keys only with Alt held, which would be an event of its own.
KeyFate PressKey(DWORD vk, UINT message) {
    if (message != WM_KEYDOWN && message != WM_KEYUP)
        throw std::invalid_argument("the Wine device's keyboard makes no system key events");
    g_observer = InstallKeyboardHook(Observer);
    g_keySeen = false;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = WORD(vk);
    input.ki.dwFlags = message == WM_KEYUP ? KEYEVENTF_KEYUP : 0;
    input.ki.dwExtraInfo = kPressedHere;
    const bool sent = SendInput(1, &input, sizeof input) == 1;
    const DWORD deadline = GetTickCount() + 5000;
    while (sent && !g_keySeen && GetTickCount() < deadline) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    Desktop().unhook(g_observer);
    // An event the hooks never saw has no fate: the last one's would pass for it.
    if (!sent) throw std::runtime_error("SendInput refused the key event");
    if (!g_keySeen) throw std::runtime_error("no hook saw the key event within 5 s");
    return KeyFate{g_chainResult, g_chainResult == 0};
}

namespace {

LRESULT CALLBACK ListeningHook(int code, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = Desktop().callNext(g_listeningHook, code, wParam, lParam);
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
    windowClass.hInstance = ThisProgram();
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
    if (g_listeningHook != nullptr) Desktop().unhook(g_listeningHook);
    g_listeningHook = InstallKeyboardHook(ListeningHook);
}

namespace {

DWORD g_inputThread = 0;
HANDLE g_workReady = nullptr;
HANDLE g_workDone = nullptr;
const std::function<void()> *g_work = nullptr;

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

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
int ServeInput(int argc, char **argv, const std::function<int()> &reader) {
    std::string arguments;
    for (int i = 1; i < argc; ++i) arguments += (i > 1 ? " " : "") + std::string(argv[i]);
    Record(timeline::Event::Start, {{"path", coredll::Utf8(ProgramPath().c_str())}, {"args", arguments}}, "");
    g_inputThread = GetCurrentThreadId();
    g_workReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_workDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Reading reading = {&reader, 0};
    HANDLE thread = CreateThread(nullptr, 0, Read, &reading, 0, nullptr);
    const HANDLE waits[] = {g_workReady, thread};
    for (DWORD woke; (woke = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT)) != WAIT_OBJECT_0 + 1;) {
        // Wine passes a key event over the low-level hooks of a thread that
        // is not waiting on its queue and has not asked it for a message
        // in 5 s: asked first, a thread busy with work is never taken for
        // hung, and a key sent meanwhile waits for its hooks.
        PumpMessages();
        if (woke == WAIT_OBJECT_0) {
            (*g_work)();
            SetEvent(g_workDone);
        }
    }
    Desktop().closeHandle(thread);
    Desktop().closeHandle(g_workDone);
    Desktop().closeHandle(g_workReady);
    Record(timeline::Event::Exit, {{"status", std::to_string(reading.status)}}, "");
    return reading.status;
}

void OnInputThread(const std::function<void()> &work) {
    if (g_workReady == nullptr || GetCurrentThreadId() == g_inputThread) return work();
    g_work = &work;
    SetEvent(g_workReady);
    WaitForSingleObject(g_workDone, INFINITE);
}

}  // namespace device
