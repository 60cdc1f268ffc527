// Runs every area and prints each failure and the totals; the exit status is
// the number of unexpected results.
#include "Cases.h"

int main() {
    using namespace conformance;
    device::Start();
    RunArea("mutexes and waits", SyncCases);
    RunArea("queues and their limits", QueueCases);
    RunArea("power", PowerCases);
    RunArea("debug output", DebugCases);
    RunArea("modules and library entry", ModuleCases);
    RunArea("launching and windows", LaunchCases);
    RunArea("registry", RegistryCases);
    RunArea("hooks", HookCases);
    RunArea("faults and accounting", FaultCases);
    const int failures = Summary();
    device::End();
    return failures > 255 ? 255 : failures;
}
