// One running daemon per device: the named mutex decides, whatever the
// command line says, and a dead daemon must not lock out its successor.
#include "TestSupport.h"

#include <vespertin.h>

#include <string>

namespace {

using namespace testing_support;
using simdevice::CallCount;
using simdevice::LiveResources;

const char16_t kInstanceName[] = u"_VESPERTIN_EXE_MUTEX_";
const std::string kNoResources = "kernel-objects:0 subscriptions:0 allocations:0 registry-keys:0 module-references:0 hooks:0";

int RunWinMain() {
    std::u16string commandLine = u"";
    return WinMain(nullptr, nullptr, commandLine.data(), SW_SHOW);
}

class DaemonInstanceTest : public DeviceTest {};

TEST_F(DaemonInstanceTest, SecondCopyLeavesAtOnceWhileTheFirstKeepsWatching) {
    pid_t first = StartWatchingDaemon(BinaryPath("vespertin.exe"));
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"--force", "/watch"}}) {
        pid_t second = simdevice::StartProgram(BinaryPath("vespertin.exe"), Options(args)).pid;
        bool timedOut = false;
        EXPECT_EQ(simdevice::WaitProgram(second, kLogTimeout, &timedOut), 1);
        EXPECT_FALSE(timedOut);
        auto exits = Records(timeline::Event::Exit, second);
        ASSERT_EQ(exits.size(), 1u);
        EXPECT_EQ(exits[0].Field("resources"), kNoResources);
    }
    auto log = simdevice::ReadLog();
    EXPECT_EQ(Records(log, timeline::Event::PowerSubscribed).size(), 1u) << "only the first copy subscribes";
    EXPECT_EQ(simdevice::DebugOutput(), "");

    EXPECT_EQ(simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended).delivered, 1);
    EXPECT_TRUE(WaitForEvents(timeline::Event::LockAppStarted));
    EXPECT_EQ(Records(timeline::Event::ShellExecute, first).size(), 1u);
}

// Whichever way the first copy ended, its name is gone: the test process
// gets a fresh mutex, and a new daemon watches again.
TEST_F(DaemonInstanceTest, NextCopyWatchesOnceTheFirstHasEnded) {
    struct Case {
        const char *name;
        std::string faults;
        bool kill;
        int status;
    } cases[] = {
        {"killed", "", true, 128 + SIGKILL},
        {"wait failed", "WaitForMultipleObjects=fail:6", false, 1},
        {"subscription failed", "RequestPowerNotifications=fail:14", false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pid_t first = simdevice::StartProgram(BinaryPath("vespertin.exe"), Options({}, c.faults)).pid;
        if (c.kill) {
            ASSERT_TRUE(WaitForEvents(timeline::Event::PowerSubscribed, 1, first));
            EXPECT_EQ(KillProgram(first), c.status);
        } else {
            EXPECT_EQ(simdevice::WaitProgram(first, kLogTimeout), c.status);
            auto exits = Records(timeline::Event::Exit, first);
            ASSERT_EQ(exits.size(), 1u);
            EXPECT_EQ(exits[0].Field("resources"), kNoResources);
        }
        EXPECT_EQ(simdevice::LivePowerSubscriptions(), 0);

        HANDLE probe = CreateMutexW(nullptr, FALSE, kInstanceName);
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        CloseHandle(probe);

        pid_t next = StartWatchingDaemon(BinaryPath("vespertin.exe"));
        EXPECT_EQ(simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended).delivered, 1);
        EXPECT_TRUE(WaitForLaunch(next));
        KillProgram(next);
    }
}

TEST_F(DaemonInstanceTest, CommandLineChangesNothing) {
    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"), Options({"-exit", "stop", "/q"}));
    EXPECT_EQ(Records(timeline::Event::PowerSubscribed, daemon)[0].Field("mask"), "0xb");
    simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
    EXPECT_TRUE(WaitForEvents(timeline::Event::LockAppStarted));
    EXPECT_EQ(Records(timeline::Event::Start, daemon)[0].Field("args"), "-exit stop /q");
}

// In-process: the entry point's own decisions, counted call by call.
TEST_F(DaemonInstanceTest, EntryPointLeavesWithoutWatchingWhenTheNameIsTakenOrUnavailable) {
    // A watcher entered by mistake returns at once instead of sleeping for good.
    simdevice::FailCall("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 0);
    auto before = LiveResources();
    unsigned long queues = CallCount(simdevice::Call::CreateMsgQueue), closes = CallCount(simdevice::Call::CloseHandle);

    simdevice::FailCall("CreateMutexW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RunWinMain(), 1);
    EXPECT_EQ(CallCount(simdevice::Call::CloseHandle), closes) << "nothing to close";

    // Held with an owner, so that only the daemon's own request can be recorded with none.
    HANDLE held = CreateMutexW(nullptr, TRUE, kInstanceName);
    ASSERT_NE(held, nullptr);
    simdevice::StartRecording();
    EXPECT_EQ(RunWinMain(), 1);
    EXPECT_EQ(CallCount(simdevice::Call::CloseHandle), closes + 1) << "its own handle is closed";
    EXPECT_EQ(testing_support::LastArgument(simdevice::Call::CreateMutexW, 1), uintptr_t(FALSE))
        << "the daemon asks for no owner";
    CloseHandle(held);

    EXPECT_EQ(CallCount(simdevice::Call::CreateMsgQueue), queues);
    EXPECT_EQ(simdevice::DebugOutput(), "");
    EXPECT_EQ(LiveResources().kernelObjects, before.kernelObjects);
    EXPECT_EQ(simdevice::ReadLog().size(), 0u) << simdevice::FormatTimeline(simdevice::ReadLog());
}

}  // namespace
