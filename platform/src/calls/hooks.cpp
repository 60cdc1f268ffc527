// Low-level keyboard hooks and the device keyboard.
//
// Each process keeps its chain of hooks, newest first. The input system
// (here: whoever calls DeliverKeyEvent) calls the newest hook; a hook passes
// the event on with CallNextHookEx, and the event reaches the focused window
// only when the whole chain passed it on and the result is 0. Installing and
// removing hooks waits for an event in flight, so once UnhookWindowsHookEx
// returns, the removed procedure is never called again.
#include <simdevice/device.h>

#include "DeviceFacts.h"
#include "Served.h"

#include "../host/Faults.h"
#include "../host/Handles.h"
#include "../host/Names.h"
#include "../host/Record.h"

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

struct Hook {
    HHOOK handle;
    HOOKPROC procedure;
};
std::recursive_mutex g_chainMutex;  // recursive: hooks call back into the chain
std::vector<Hook> g_chain;
// An event the next installation delivers before it returns, and its fate.
std::optional<KeyEvent> g_eventDuringInstall;
std::optional<KeyFate> g_fateDuringInstall;

// Where in the chain the event being delivered on this thread is.
thread_local size_t t_position = 0;
thread_local bool t_delivering = false;
thread_local bool t_reachedEnd = false;

std::string Hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

mqd_t KeyboardQueue(int access) {
    std::string name = SharedQueueName("keyboard");
    mqd_t q = mq_open(name.c_str(), access | O_NONBLOCK);
    if (q != mqd_t(-1) || errno != ENOENT) return q;
    mq_attr attributes{};
    attributes.mq_maxmsg = 10;
    attributes.mq_msgsize = sizeof(KeyEvent);
    q = mq_open(name.c_str(), O_CREAT | access | O_NONBLOCK, 0600, &attributes);
    // Recorded by whoever made it, not on every key press: the record of
    // queues to unlink would grow with every key for as long as the device lives.
    RecordQueueName(name);
    return q;
}

}  // namespace

namespace simdevice {

KeyEvent MakeKeyEvent(DWORD vk, WPARAM message) {
    KeyEvent event;
    event.record.vkCode = vk;
    event.message = message;
    if (message == WM_KEYUP || message == WM_SYSKEYUP) event.record.flags = device_facts::kKeyEventUpFlag;
    return event;
}

KeyFate DeliverKeyEvent(KeyEvent event, int code) {
    KeyFate fate;
    {
        std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
        bool outer = t_delivering;
        size_t savedPosition = t_position;
        t_delivering = true;
        t_position = 0;
        t_reachedEnd = g_chain.empty();
        LPARAM lParam = reinterpret_cast<LPARAM>(&event.record);
        fate.result = g_chain.empty() ? 0 : g_chain.front().procedure(code, event.message, lParam);
        fate.reachedWindow = t_reachedEnd && fate.result == 0;
        t_delivering = outer;
        t_position = savedPosition;
    }
    return fate;
}

void PressKey(const KeyEvent &event) {
    mqd_t q = KeyboardQueue(O_WRONLY);
    if (q == mqd_t(-1)) return;
    mq_send(q, reinterpret_cast<const char *>(&event), sizeof event, 0);
    mq_close(q);
    Log(timeline::Event::KeyPressed, {{"vk", Hex(event.record.vkCode)}, {"message", std::to_string(event.message)}});
}

std::optional<KeyEvent> NextKeyPress(std::optional<std::chrono::milliseconds> timeout) {
    static mqd_t q = KeyboardQueue(O_RDONLY);
    KeyEvent event;
    for (;;) {
        ssize_t n = mq_receive(q, reinterpret_cast<char *>(&event), sizeof event, nullptr);
        if (n == ssize_t(sizeof event)) return event;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
        pollfd p{q, POLLIN, 0};
        if (n < 0 && errno == EAGAIN && poll(&p, 1, timeout ? int(timeout->count()) : -1) == 0) return std::nullopt;
    }
}

int HookCount() {
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    return int(g_chain.size());
}

void DeliverKeyDuringNextInstall(const KeyEvent &event) {
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    g_eventDuringInstall = event;
    g_fateDuringInstall.reset();
}

std::optional<KeyFate> KeyFateDuringInstall() {
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    return g_fateDuringInstall;
}

}  // namespace simdevice

// The device serves only system-wide low-level keyboard hooks; the module
// argument is not used. Input goes on while a hook is installed: an event
// may reach the new hook before this returns its handle to the installer.
HHOOK WINAPI served::SetWindowsHookExW(int hookType, HOOKPROC procedure, HINSTANCE /*module*/, DWORD threadId) {
    if (hookType != WH_KEYBOARD_LL || threadId != 0 || !procedure) return SetError(ERROR_INVALID_PARAMETER), nullptr;
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    HHOOK hook = static_cast<HHOOK>(AddHandle(HookObject{}));
    g_chain.insert(g_chain.begin(), Hook{hook, procedure});
    if (g_eventDuringInstall) {
        KeyEvent event = *g_eventDuringInstall;
        g_eventDuringInstall.reset();
        g_fateDuringInstall = DeliverKeyEvent(event);
    }
    return hook;
}

// The hook argument is ignored, as on the platform: the chain position of
// the event being delivered decides which hook is next. It is recorded, so
// that tests can see what a hook passed.
LRESULT WINAPI served::CallNextHookEx(HHOOK /*hook*/, int code, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    if (!t_delivering) return 0;
    size_t next = t_position + 1;
    if (next >= g_chain.size()) {
        t_reachedEnd = true;
        return 0;
    }
    size_t saved = t_position;
    t_position = next;
    LRESULT result = g_chain[next].procedure(code, wParam, lParam);
    t_position = saved;
    return result;
}

BOOL WINAPI served::UnhookWindowsHookEx(HHOOK hook) {
    std::lock_guard<std::recursive_mutex> lock(g_chainMutex);
    if (!RemoveHandle<HookObject>(hook)) return SetError(ERROR_INVALID_HOOK_HANDLE), FALSE;
    g_chain.erase(std::remove_if(g_chain.begin(), g_chain.end(), [&](const Hook &h) { return h.handle == hook; }),
                  g_chain.end());
    return TRUE;
}
