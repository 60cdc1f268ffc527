#include "faults.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace coredll {

namespace {

CRITICAL_SECTION g_faultsLock;
fault_plan::Table *g_faults = nullptr;

// One line on standard error, as the program's only word before it ends.
[[noreturn]] void RefusePlan(const char *why) {
    std::fprintf(stderr, "coredll.dll: COREDLL_FAULTS: %s\n", why);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kMalformedFaultPlanStatus);
    std::abort();
}

}  // namespace

void LoadFaultPlan() {
    InitializeCriticalSection(&g_faultsLock);
    g_faults = new fault_plan::Table;
    const char *plans = std::getenv("COREDLL_FAULTS");
    if (plans == nullptr) return;
    try {
        g_faults->Add(fault_plan::Parse(plans));
    } catch (const std::invalid_argument &error) {
        RefusePlan(error.what());
    }
}

void UnloadFaultPlan() {
    delete g_faults;
    g_faults = nullptr;
    DeleteCriticalSection(&g_faultsLock);
}

bool AddFaults(const char *plans) {
    try {
        const std::vector<fault_plan::Plan> parsed = fault_plan::Parse(plans);
        EnterCriticalSection(&g_faultsLock);
        g_faults->Add(parsed);
        LeaveCriticalSection(&g_faultsLock);
        return true;
    } catch (const std::invalid_argument &) {
        return false;
    }
}

std::optional<fault_plan::Fault> TakeFault(Call call, const char *argument) {
    if (g_faults == nullptr) return std::nullopt;
    EnterCriticalSection(&g_faultsLock);
    std::optional<fault_plan::Fault> fault = g_faults->Take(call, argument);
    LeaveCriticalSection(&g_faultsLock);
    return fault;
}

}  // namespace coredll

extern "C" BOOL coredll_AddFaults(const char *plans) { return coredll::AddFaults(plans); }
