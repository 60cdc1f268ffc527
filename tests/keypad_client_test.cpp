// The C client (c_client/keypad_client.c) as a program of a fresh device:
// its cycle passes, each failure it can meet is reported as the step that
// failed with one debug line, and it never ends holding anything.
#include "TestSupport.h"

using namespace testing_support;

namespace {

struct ClientRun {
    const char *name;
    const char *faults;  // for the client, counted from its first call
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

void PrintTo(const ClientRun &run, std::ostream *out) { *out << run.name; }

class KeypadClient : public DeviceTest, public ::testing::WithParamInterface<ClientRun> {};

TEST_P(KeypadClient, RunsItsCycleAndLeavesNothing) {
    const ClientRun &run = GetParam();
    const pid_t pid = simdevice::StartProgram(BinaryPath("keypad_client"), Options({}, run.faults)).pid;
    ASSERT_GT(pid, 0);
    bool timedOut = false;
    EXPECT_EQ(simdevice::WaitProgram(pid, kLogTimeout, &timedOut), run.status) << simdevice::DebugOutput();
    ASSERT_FALSE(timedOut);

    const std::vector<simdevice::LogRecord> exits = Records("exit", pid);
    ASSERT_EQ(exits.size(), 1u) << simdevice::FormatTimeline(simdevice::ReadLog());
    EXPECT_EQ(exits[0].Field("status"), std::to_string(run.status));
    EXPECT_EQ(exits[0].Field("resources"), simdevice::Describe(simdevice::Resources{}));
    EXPECT_EQ(simdevice::DebugOutput(), run.debug);
}

INSTANTIATE_TEST_SUITE_P(Client, KeypadClient, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<ClientRun> &info) { return info.param.name; });

}  // namespace
