// Top-level windows shared by the processes of the device: registered by
// title in the device's windows folder, each with a queue of repaint
// requests that its owner reads.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Layout.h"
#include "../host/Names.h"
#include "../host/Text.h"

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

using namespace simdevice;
using namespace simdevice::internal;
namespace fs = std::filesystem;

namespace {

struct OwnedWindow {
    int lockFd = -1;
    mqd_t repaints = mqd_t(-1);
    std::string queueName;
};
std::mutex g_windowMutex;
std::map<uint64_t, OwnedWindow> g_ownedWindows;

uint64_t WindowId(HWND window) { return reinterpret_cast<uintptr_t>(window); }
std::string WindowFile(uint64_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "windows/%010llu", static_cast<unsigned long long>(id));
    return DevicePath(name);
}
std::string RepaintQueueName(uint64_t id) { return SharedQueueName("window." + std::to_string(id)); }

struct WindowInfo {
    std::u16string title;
    bool alive = false;
};
WindowInfo ReadWindow(uint64_t id) {
    WindowInfo info;
    auto text = ReadWholeFile(WindowFile(id));
    if (!text) return info;
    info.title = Utf8ToUtf16(text->substr(0, text->find('\n')));
    info.alive = IsHeld(WindowFile(id));
    return info;
}

// A window dies with its owner, however the owner ends: what is left of it
// goes when it is next come across, or the device would run out of message
// queues (the kernel allows few) after a few hundred lock applications.
void ForgetDeadWindow(uint64_t id) {
    unlink(WindowFile(id).c_str());
    mq_unlink(RepaintQueueName(id).c_str());
}

}  // namespace

namespace simdevice {

HWND CreateTopLevelWindow(const std::u16string &title) {
    uint64_t id = NextDeviceId("windows");
    OwnedWindow window;
    window.queueName = RepaintQueueName(id);
    mq_attr attributes{};
    attributes.mq_maxmsg = 8;
    attributes.mq_msgsize = 16;
    window.repaints = mq_open(window.queueName.c_str(), O_CREAT | O_RDONLY | O_NONBLOCK, 0600, &attributes);
    RecordQueueName(window.queueName);
    // Held before it has its name, so that no one finds it unheld and takes it for dead.
    const std::string file = WindowFile(id), unnamed = file + ".new";
    WriteFileAtomically(unnamed, Utf16ToUtf8(title) + "\n" + std::to_string(getpid()) + "\n");
    window.lockFd = OpenAndHold(unnamed, false);
    rename(unnamed.c_str(), file.c_str());
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        g_ownedWindows[id] = window;
    }
    Log(timeline::Event::WindowCreated, {{"window", std::to_string(id)}, {"title", Utf16ToUtf8(title)}});
    return reinterpret_cast<HWND>(uintptr_t(id));
}

void DestroyTopLevelWindow(HWND handle) {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    auto it = g_ownedWindows.find(WindowId(handle));
    if (it == g_ownedWindows.end()) return;
    unlink(WindowFile(it->first).c_str());
    close(it->second.lockFd);
    mq_close(it->second.repaints);
    mq_unlink(it->second.queueName.c_str());
    g_ownedWindows.erase(it);
}

bool WaitForRepaintRequest(HWND handle, std::optional<std::chrono::milliseconds> timeout) {
    mqd_t q;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        auto it = g_ownedWindows.find(WindowId(handle));
        if (it == g_ownedWindows.end()) return false;
        q = it->second.repaints;
    }
    char message[16];
    for (;;) {
        if (mq_receive(q, message, sizeof message, nullptr) >= 0) return true;
        if (errno == EINTR) continue;
        pollfd p{q, POLLIN, 0};
        int ready = poll(&p, 1, timeout ? int(timeout->count()) : -1);
        if (ready == 0) return false;
    }
}

}  // namespace simdevice

// Titles compare without regard to ASCII case, as window lookups do.
HWND WINAPI served::FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    if (className) return nullptr;  // device windows here carry no class
    std::vector<uint64_t> ids;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("windows"), ignored)) {
        const std::string name = entry.path().filename();
        if (name.find('.') == std::string::npos) ids.push_back(std::strtoull(name.c_str(), nullptr, 10));
    }
    std::sort(ids.begin(), ids.end());
    std::u16string wanted = FoldCase(FromWide(windowName));
    HWND found = nullptr;
    for (uint64_t id : ids) {
        WindowInfo info = ReadWindow(id);
        if (!info.alive) ForgetDeadWindow(id);
        else if (!found && (!windowName || FoldCase(info.title) == wanted)) found = reinterpret_cast<HWND>(uintptr_t(id));
    }
    return found;
}

BOOL WINAPI served::UpdateWindow(HWND window) {
    if (!window) {
        Log(timeline::Event::UpdateWindow, {{"window", "null"}, {"result", "no window"}});
        return SetError(ERROR_INVALID_WINDOW_HANDLE), FALSE;
    }
    uint64_t id = WindowId(window);
    WindowInfo info = ReadWindow(id);
    bool delivered = false;
    if (info.alive) {
        mqd_t q = mq_open(RepaintQueueName(id).c_str(), O_WRONLY | O_NONBLOCK);
        // A full queue already holds a repaint request; one more adds nothing.
        delivered = q != mqd_t(-1) && (mq_send(q, "paint", 5, 0) == 0 || errno == EAGAIN);
        if (q != mqd_t(-1)) mq_close(q);
    }
    Log(timeline::Event::UpdateWindow, {{"window", std::to_string(id)}, {"title", Utf16ToUtf8(info.title)},
                         {"result", delivered ? "requested" : "no window"}});
    if (!delivered) return SetError(ERROR_INVALID_WINDOW_HANDLE), FALSE;
    return TRUE;
}
