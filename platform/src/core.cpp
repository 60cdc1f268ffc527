// Per-process bookkeeping: last error, the handle table, planned faults and
// resource accounting.
#include "internal.h"

#include <cctype>
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
struct PlannedFault {
    std::string function;
    unsigned long atCall = 0;  // 0: every call
    Fault fault;
};
std::mutex g_faultMutex;
std::map<std::string, unsigned long> g_calls;
std::vector<PlannedFault> g_faults;
bool g_environmentRead = false;

void PlanLocked(const std::string &function, int nth, Fault fault) {
    if (nth < 0) throw std::invalid_argument("call number must not be negative");
    unsigned long at = nth == 0 ? 0 : g_calls[function] + unsigned(nth);
    g_faults.push_back({function, at, std::move(fault)});
}

// One fault: Function[@N]=fail:ERROR | return:VALUE | path:TEXT
void AddFaultLocked(const std::string &plan) {
    size_t eq = plan.find('=');
    size_t colon = eq == std::string::npos ? eq : plan.find(':', eq);
    if (colon == std::string::npos) throw std::invalid_argument("fault needs Function[@N]=kind:value: " + plan);
    std::string target = plan.substr(0, eq), kind = plan.substr(eq + 1, colon - eq - 1), value = plan.substr(colon + 1);
    int nth = 1;
    if (size_t at = target.find('@'); at != std::string::npos) {
        std::string n = target.substr(at + 1);
        nth = n == "*" ? 0 : int(ParseNumber(n));
        target.resize(at);
    }
    Fault fault;
    if (kind == "fail") {
        fault.kind = Fault::kFail;
        fault.error = ParseNumber(value);
    } else if (kind == "return") {
        fault.kind = Fault::kReturn;
        fault.value = ParseNumber(value);
    } else if (kind == "path") {
        fault.kind = Fault::kPath;
        fault.path = Utf8ToUtf16(value);
    } else {
        throw std::invalid_argument("fault kind must be fail, return or path: " + plan);
    }
    PlanLocked(target, nth, std::move(fault));
}

void AddFaultsLocked(const std::string &plans) {
    size_t start = 0;
    while (start <= plans.size()) {
        size_t end = plans.find(';', start);
        std::string one = plans.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!one.empty()) AddFaultLocked(one);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// Faults given to a program at its start count from its first call.
void ReadEnvironmentFaultsLocked() {
    if (g_environmentRead) return;
    g_environmentRead = true;
    if (const char *plans = std::getenv(kFaultsVariable)) AddFaultsLocked(plans);
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

std::optional<Fault> TakeFault(const std::string &function) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    try {
        ReadEnvironmentFaultsLocked();
    } catch (const std::exception &) {
        // A malformed SIMDEVICE_FAULTS plans nothing; the tool validates them.
    }
    unsigned long call = ++g_calls[function];
    for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
        if (it->function != function || (it->atCall != 0 && it->atCall != call)) continue;
        Fault fault = it->fault;
        if (it->atCall != 0) g_faults.erase(it);
        return fault;
    }
    return std::nullopt;
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

namespace {
void Plan(const std::string &function, int nth, const Fault &fault) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    PlanLocked(function, nth, fault);
}
}  // namespace

void FailCall(const std::string &function, DWORD error, int nth) {
    Fault fault;
    fault.kind = Fault::kFail;
    fault.error = error;
    Plan(function, nth, fault);
}

void ForceReturn(const std::string &function, unsigned long value, int nth) {
    Fault fault;
    fault.kind = Fault::kReturn;
    fault.value = value;
    Plan(function, nth, fault);
}

void ForceModulePath(const std::u16string &path, int nth) {
    Fault fault;
    fault.kind = Fault::kPath;
    fault.path = path;
    Plan("GetModuleFileNameW", nth, fault);
}

void AddFaults(const std::string &plans) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    AddFaultsLocked(plans);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_environmentRead = true;
    g_faults.clear();
}

unsigned long CallCount(const std::string &function) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    auto it = g_calls.find(function);
    return it == g_calls.end() ? 0 : it->second;
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
PVOID WINAPI InterlockedExchangePointer(PVOID volatile *target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile *destination, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

}  // extern "C"
