// The C client's runs, each with a fault for the client and what it must
// then report, the same on the simulated device and under Wine.
#pragma once

#include <ostream>

namespace c_client {

struct ClientRun {
    const char *name;
    const char *faults;  // for the client, counted from its first call
    int status;          // the failed step, 0 for none
    const char *debug;   // the whole debug channel afterwards
};

inline const ClientRun kRuns[] = {
    {"Cycle", "", 0, ""},
    {"LibraryMissing", "LoadLibraryW=fail:126", 1, "keypad_client: step 1: tallowbeck.dll did not load (error 126)\n"},
    {"NameRefused", "GetProcAddressW:DeactivateKBHook=fail:127", 2,
     "keypad_client: step 2: the exports did not bind by name (error 127)\n"},
    {"OrdinalRefused", "GetProcAddressW:#2=fail:127", 3,
     "keypad_client: step 3: the exports did not bind by ordinal (error 127)\n"},
    {"HookRefused", "SetWindowsHookExW=fail:8", 5,
     "keypad_client: step 5: ActivateKBHook(1) did not give TRUE (error 8)\n"},
    // A refused unhook keeps the lock; deactivating again removes it.
    {"UnhookRefusedOnce", "UnhookWindowsHookEx=fail:5", 0, ""},
};

// Test names show the run's name rather than its bytes.
inline void PrintTo(const ClientRun &run, std::ostream *out) { *out << run.name; }

}  // namespace c_client
