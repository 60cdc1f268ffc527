// Per-process bookkeeping: last error, the handle table, planned faults and
// resource accounting.
#include "internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace simdevice {
using namespace internal;

namespace {

thread_local DWORD t_lastError = 0;

// ---- handles ----
std::mutex g_handleMutex;
std::map<uintptr_t, Object> g_handles;
uintptr_t g_nextHandle = 0x1000;

// ---- faults ----
std::mutex g_faultMutex;
fault_plan::Table g_faults;
bool g_environmentRead = false;

// Faults given to a program at its start count from its first call. A plan
// the program cannot carry out must not be mistaken for one it did.
void ReadEnvironmentFaultsLocked() {
    if (g_environmentRead) return;
    g_environmentRead = true;
    const char *plans = std::getenv(kFaultsVariable);
    if (!plans) return;
    try {
        g_faults.Add(fault_plan::Parse(plans));
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "%s: %s\n", kFaultsVariable, error.what());
        std::_Exit(kMalformedFaultPlanStatus);
    }
}

void Plan(const std::string &function, int nth, const Fault &fault) {
    if (nth < 0) throw std::invalid_argument("call number must not be negative");
    fault_plan::Plan plan = fault_plan::MakePlan(function, unsigned(nth), fault);
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    g_faults.Add({plan});
}

}  // namespace

namespace internal {

void SetError(DWORD error) { t_lastError = error; }

HANDLE AddHandle(Object object) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_handles.emplace(value, std::move(object));
    Count().handles++;
    return reinterpret_cast<HANDLE>(value);
}

bool WithObject(HANDLE handle, Kind kind, const std::function<void(Object &)> &fn) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || it->second.kind != kind) return false;
    fn(it->second);
    return true;
}

std::optional<Object> RemoveHandle(HANDLE handle, std::optional<Kind> kind) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end() || (kind && it->second.kind != *kind)) return std::nullopt;
    Object object = std::move(it->second);
    g_handles.erase(it);
    Count().handles--;
    return object;
}

Counters &Count() {
    static Counters counters;
    return counters;
}

void LoadEnvironmentFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
}

std::optional<Fault> TakeFault(const std::string &function, const std::string &argument) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    return g_faults.Take(function, argument);
}

}  // namespace internal

DWORD ParseNumber(const std::string &text) {
    size_t used = 0;
    unsigned long long value = 0;
    // No sign and no blanks: stoull would take "-1" and " 1".
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        try {
            value = std::stoull(text, &used, 0);
        } catch (const std::out_of_range &) {
            used = 0;
        }
    }
    if (used == 0 || used != text.size() || value > 0xFFFFFFFFull)
        throw std::invalid_argument("not a 32-bit number: " + text);
    return DWORD(value);
}

void FailCall(const std::string &function, DWORD error, int nth) {
    Fault fault;
    fault.verb = Fault::kFail;
    fault.error = error;
    Plan(function, nth, fault);
}

void ForceReturn(const std::string &function, unsigned long value, int nth) {
    Fault fault;
    fault.verb = Fault::kReturn;
    fault.value = value;
    Plan(function, nth, fault);
}

void ForceModulePath(const std::u16string &path, int nth) {
    Fault fault;
    fault.verb = Fault::kPath;
    fault.path = Utf16ToUtf8(path);
    Plan("GetModuleFileNameW", nth, fault);
}

void AddFaults(const std::string &plans) {
    std::vector<fault_plan::Plan> parsed = fault_plan::Parse(plans);
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    g_faults.Add(parsed);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_environmentRead = true;
    g_faults.Clear();
}

unsigned long CallCount(const std::string &function) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_faults.Calls(function);
}

Resources LiveResources() {
    Counters &c = Count();
    Resources r;
    r.handles = c.handles;
    r.subscriptions = c.subscriptions;
    r.allocations = c.allocations;
    r.allocationsMade = c.allocationsMade;
    r.registryKeys = c.registryKeys;
    r.moduleReferences = c.moduleReferences;
    r.hooks = c.hooks;
    return r;
}

}  // namespace simdevice

extern "C" {

DWORD WINAPI GetLastError(void) { return simdevice::t_lastError; }
void WINAPI SetLastError(DWORD error) { simdevice::t_lastError = error; }

LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile *destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;  // the value found, as on the platform
}

}  // extern "C"
