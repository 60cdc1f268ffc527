// This process's planned faults: those it was started with and those a test
// plans, counted per call.
#include "Faults.h"

#include <simdevice/device.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace simdevice {
using namespace internal;

namespace {

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

void LoadEnvironmentFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
}

std::optional<Fault> TakeKeyedFault(Call call, const std::string &key) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    ReadEnvironmentFaultsLocked();
    return g_faults.Take(call, key);
}

}  // namespace internal

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
    Plan(platform_calls::Name(Call::GetModuleFileNameW), nth, fault);
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

unsigned long CallCount(Call call) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_faults.Calls(call);
}

}  // namespace simdevice
