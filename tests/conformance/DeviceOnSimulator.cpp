// The device the cases need, played through the simulated device's control
// interface, in a device of the run's own.
#include "Conformance.h"
#include "Device.h"

#include <simdevice/device.h>

#include "DeviceFacts.h"

#include <stdlib.h>

#include <chrono>
#include <cstring>

namespace conformance {

Side ThisSide() { return Side::SimulatedDevice; }

namespace device {

namespace {

std::string g_dir;

}  // namespace

void Start() {
    char pattern[] = "/tmp/conformance-XXXXXX";
    g_dir = mkdtemp(pattern);
    simdevice::ResetDevice(g_dir);
}

void End() { simdevice::DestroyDevice(g_dir); }

int Post(DWORD message, DWORD flags, const std::string &stateName) {
    return simdevice::PostPowerBroadcast(message, flags, simdevice::Utf8ToUtf16(stateName)).delivered;
}

void SetDword(const WCHAR *key, const WCHAR *value, DWORD data) { simdevice::SetRegistryDword(key, value, data); }

void SetBinary(const WCHAR *key, const WCHAR *value, const std::string &bytes) {
    simdevice::SetRegistryValue(key, value, REG_BINARY, bytes);
}

void DeleteKey(const WCHAR *key) { simdevice::DeleteRegistryKey(key); }

std::string DebugText() { return simdevice::DebugOutput(); }

HWND MakeWindow(const WCHAR *title) { return simdevice::CreateTopLevelWindow(title); }

int Repaints(HWND window) {
    static int seen = 0;
    while (simdevice::WaitForRepaintRequest(window, std::chrono::milliseconds(0))) ++seen;
    return seen;
}

void DestroyMadeWindow(HWND window) { simdevice::DestroyTopLevelWindow(window); }

LRESULT PressKey(DWORD vk, bool up) {
    simdevice::KeyEvent event;
    event.record.vkCode = vk;
    event.record.flags = up ? device_facts::kKeyEventUpFlag : 0;
    event.message = up ? WM_KEYUP : WM_KEYDOWN;
    return simdevice::DeliverKeyEvent(event).result;
}

std::basic_string<WCHAR> ProgramDir() { return simdevice::Utf8ToUtf16(std::string(SIMDEVICE_BIN_DIR) + "/"); }

bool LockAppStarted(int count) {
    return simdevice::WaitForLog(
        [&](const std::vector<simdevice::LogRecord> &log) { return simdevice::CountEvents(log, "lockapp-started") >= count; },
        std::chrono::seconds(10));
}

std::optional<int> LiveHandles() {
    const simdevice::Resources r = simdevice::LiveResources();
    return r.handles + r.registryKeys + r.hooks;
}

std::optional<int> LiveHooks() { return simdevice::LiveResources().hooks; }
std::optional<HHOOK> LastHookPassedOn() { return simdevice::LastObserved().nextHook; }
std::optional<DWORD> LastRegistryAccess() { return simdevice::LastObserved().registryAccess; }
std::optional<DWORD> LastModuleNameCapacity() { return simdevice::LastObserved().moduleNameCapacity; }

bool PlanFaults(const char *plans) {
    simdevice::AddFaults(plans);
    return true;
}

}  // namespace device
}  // namespace conformance
