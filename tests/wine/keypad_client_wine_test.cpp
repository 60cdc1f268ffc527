// The device-shaped C client (tests/c_client/keypad_client.c, wince-x64)
// under Wine: it binds the library's exports by name and by ordinal through
// the desktop coredll.dll and runs its cycle against Wine's own hooks and
// modules. It sends no keys, so nothing needs to pump messages. Each failure
// it can meet ends it with the failed step and one debug line.
#include "WineDevice.h"
#include "c_client/ClientRuns.h"

using namespace wine_test;

namespace {

using c_client::ClientRun;
using c_client::kRuns;

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
