// The device-shaped C client (tests/c_client/keypad_client.c, wince-x64)
// under Wine: it binds the library's exports by name and by ordinal through
// the desktop coredll.dll and runs its cycle against Wine's own hooks and
// modules. It sends no keys, so nothing needs to pump messages. Each failure
// it can meet ends it with the failed step and one debug line.
#include "WineDevice.h"

using namespace wine_test;

namespace {

struct ClientRun {
    const char *name;
    const char *faults;  // counted from the client's first call
    int status;          // the failed step, 0 for none
    const char *debug;   // the whole debug channel afterwards
};

const ClientRun kRuns[] = {
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

class KeypadClientUnderWine : public WineTest {};

TEST_F(KeypadClientUnderWine, RunsItsCycleOrNamesTheFailedStep) {
    for (const ClientRun &run : kRuns) {
        SCOPED_TRACE(run.name);
        const fs::path debugOutput = Dir() / (std::string("debug-") + run.name + ".txt");
        std::map<std::string, std::string> env = {{"COREDLL_DEBUG_OUTPUT", WindowsPath(debugOutput)}};
        if (*run.faults != '\0') env["COREDLL_FAULTS"] = run.faults;
        Process client(Wine("keypad_client.exe"), env);
        EXPECT_EQ(client.Wait(), run.status);
        EXPECT_EQ(ReadFile(debugOutput), run.debug);
    }
}

}  // namespace
