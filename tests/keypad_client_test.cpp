// The C client (c_client/keypad_client.c) as a program of a fresh device:
// its cycle passes, each failure it can meet is reported as the step that
// failed with one debug line, and it never ends holding anything.
#include "TestSupport.h"
#include "c_client/ClientRuns.h"

using namespace testing_support;

namespace {

using c_client::ClientRun;
using c_client::kRuns;


class KeypadClient : public DeviceTest, public ::testing::WithParamInterface<ClientRun> {};

TEST_P(KeypadClient, RunsItsCycleAndLeavesNothing) {
    const ClientRun &run = GetParam();
    const pid_t pid = simdevice::StartProgram(BinaryPath("keypad_client"), Options({}, run.faults)).pid;
    ASSERT_GT(pid, 0);
    bool timedOut = false;
    EXPECT_EQ(simdevice::WaitProgram(pid, kLogTimeout, &timedOut), run.status) << simdevice::DebugOutput();
    ASSERT_FALSE(timedOut);

    const std::vector<simdevice::LogRecord> exits = Records(timeline::Event::Exit, pid);
    ASSERT_EQ(exits.size(), 1u) << simdevice::FormatTimeline(simdevice::ReadLog());
    EXPECT_EQ(exits[0].Field("status"), std::to_string(run.status));
    EXPECT_EQ(exits[0].Field("resources"), simdevice::Describe(simdevice::Resources{}));
    EXPECT_EQ(simdevice::DebugOutput(), run.debug);
}

INSTANTIATE_TEST_SUITE_P(Client, KeypadClient, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<ClientRun> &info) { return info.param.name; });

}  // namespace
