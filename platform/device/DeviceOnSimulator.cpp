// The device played through the simulated device's control interface: the
// conformance suite in a device of the run's own, the tools in the one
// SIMDEVICE_DIR names.
#include "device/Device.h"
#include "device/Programs.h"

#include <simdevice/device.h>

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace device {

namespace {

std::string g_dir;
// Repaint requests by window, since each was made: those its queue held,
// taken from it as they are counted.
std::map<HWND, int> g_repaints;
std::mutex g_repaintsLock;

}  // namespace

void Start() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/device-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a device directory in " + pattern);
    g_dir = pattern;
    simdevice::ResetDevice(g_dir);
    simdevice::StartRecording();
}

void End() {
    EndStartedPrograms();
    simdevice::DestroyDevice(g_dir);
}

Posted Post(DWORD message, DWORD flags, const std::string &stateName) {
    const auto result = simdevice::PostPowerBroadcast(message, flags, simdevice::Utf8ToUtf16(stateName));
    return Posted{result.delivered, result.dropped};
}

int Subscribers() { return simdevice::LivePowerSubscriptions(); }

std::optional<int> QueuedFor(DWORD process) {
    const auto queued = simdevice::QueuedBroadcasts(pid_t(process));
    return queued ? std::optional<int>(int(*queued)) : std::nullopt;
}

void SetValue(const WCHAR *key, const WCHAR *value, DWORD type, const std::string &bytes) {
    simdevice::SetRegistryValue(key, value, type, bytes);
}

void DeleteValue(const WCHAR *key, const WCHAR *value) { simdevice::DeleteRegistryValue(key, value); }

void DeleteKey(const WCHAR *key) { simdevice::DeleteRegistryKey(key); }

std::string DebugText() { return simdevice::DebugOutput(); }

HWND MakeWindow(const WCHAR *title) {
    HWND window = simdevice::CreateTopLevelWindow(title);
    std::lock_guard<std::mutex> lock(g_repaintsLock);
    g_repaints[window] = 0;
    return window;
}

int Repaints(HWND window) {
    std::lock_guard<std::mutex> lock(g_repaintsLock);
    int &seen = g_repaints[window];
    while (simdevice::WaitForRepaintRequest(window, std::chrono::milliseconds(0))) ++seen;
    return seen;
}

void DestroyMadeWindow(HWND window) {
    simdevice::DestroyTopLevelWindow(window);
    std::lock_guard<std::mutex> lock(g_repaintsLock);
    g_repaints.erase(window);
}

namespace {

KeyFate Fate(const simdevice::KeyFate &fate) { return KeyFate{fate.result, fate.reachedWindow}; }

}  // namespace

KeyFate PressKey(DWORD vk, UINT message) { return Fate(simdevice::DeliverKeyEvent(simdevice::MakeKeyEvent(vk, message))); }

// The device keyboard's events arrive on a thread of their own, as on the
// platform's input thread.
void ListenForKeys(KeyListener listener) {
    std::thread([listener] {
        while (auto event = simdevice::NextKeyPress(std::nullopt))
            listener.judged(event->record.vkCode, UINT(event->message), Fate(simdevice::DeliverKeyEvent(*event)));
    }).detach();
}

void HookChainChanged() {}

int ServeInput(int argc, char **argv, const std::function<int()> &reader) {
    simdevice::ProgramStarted(argc, argv);
    const int status = reader();
    simdevice::ProgramExiting(status);
    return status;
}

void OnInputThread(const std::function<void()> &work) { work(); }

void Record(timeline::Event event, const Fields &fields, const std::string &) { simdevice::Log(event, fields); }

std::basic_string<WCHAR> Wide(const std::string &utf8) { return simdevice::Utf8ToUtf16(utf8); }
std::string Utf8(const std::basic_string<WCHAR> &wide) { return simdevice::Utf16ToUtf8(wide); }

std::basic_string<WCHAR> ProgramDir() { return simdevice::Utf8ToUtf16(std::string(SIMDEVICE_BIN_DIR) + "/"); }

bool LockAppStarted(int count) {
    return simdevice::WaitForLog(
        [&](const std::vector<simdevice::LogRecord> &log) {
            return simdevice::CountEvents(log, timeline::Event::LockAppStarted) >= count;
        },
        std::chrono::seconds(10));
}

std::optional<int> LiveHandles() {
    const simdevice::Resources r = simdevice::LiveResources();
    return r.kernelObjects + r.registryKeys + r.hooks;
}

std::optional<int> LiveHooks() { return simdevice::LiveResources().hooks; }
std::optional<uintptr_t> LastArgument(platform_calls::Call call, size_t index) {
    const auto record = simdevice::LastRecorded(call);
    if (!record || index >= record->arguments.size()) return std::nullopt;
    return record->arguments[index];
}

bool PlanFaults(const char *plans) {
    simdevice::AddFaults(plans);
    return true;
}

}  // namespace device
