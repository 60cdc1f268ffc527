// The daemon under Wine: a real named mutex, real processes started with
// ShellExecuteExW, a real window found by title and asked to repaint.
#include "WineDevice.h"

#include "MalformedFaultPlans.h"

using namespace wine_test;

namespace {

class DaemonUnderWine : public WineTest {
protected:
    Process StartDaemon(const std::map<std::string, std::string> &env = {}) {
        return Process(Wine("vespertin.exe"), env);
    }

    int Subscribers() {
        last_ = RunToEnd(Wine("powermgr.exe", {"subscribers"}));
        return last_.status == 0 ? std::stoi(last_.text) : -1;
    }

    // Fails saying what the power manager last said, and whether DAEMON
    // still runs, for a wait that rarely times out on a loaded machine.
    testing::AssertionResult WaitForSubscribers(int count, Process *daemon = nullptr) {
        if (WaitUntil([&] { return Subscribers() == count; })) return testing::AssertionSuccess();
        auto failure = testing::AssertionFailure() << "no " << count << " subscriber(s): powermgr.exe subscribers gave status "
                                                   << last_.status << " and '" << last_.text << "'";
        if (daemon != nullptr) failure << "; the daemon " << (daemon->Running() ? "runs" : "has ended");
        return failure;
    }

    void Post(const std::string &broadcast) {
        ASSERT_EQ(RunToEnd(Wine("powermgr.exe", {"post", broadcast})).status, 0) << broadcast;
    }

    std::vector<std::string> LockAppLog(const std::string &prefix) {
        return LinesStartingWith(Program("Harrowcastle.log"), prefix);
    }

    bool WaitForLockAppLog(const std::string &prefix, size_t count) {
        return WaitUntil([&] { return LockAppLog(prefix).size() >= count; });
    }

private:
    Output last_;
};

TEST_F(DaemonUnderWine, SecondCopyLeavesAtOnceWhileTheFirstRuns) {
    Process first = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &first));

    Process second = StartDaemon();
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(Subscribers(), 1) << "the second copy must not subscribe";
}

TEST_F(DaemonUnderWine, DaemonStartedAfterTheFirstHasEndedRuns) {
    Process first = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &first));
    first.Kill();
    ASSERT_TRUE(WaitForSubscribers(0));

    Process second = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &second));
    EXPECT_TRUE(second.Running());
    Post("unattended");
    EXPECT_TRUE(WaitForLockAppLog("started ", 1));
}

// Only an unattended transition starts the lock application, and it is the
// copy beside the daemon, found through the daemon's own (non-ASCII) path.
TEST_F(DaemonUnderWine, UnattendedTransitionStartsTheLockAppBesideTheDaemon) {
    Process daemon = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &daemon));

    for (const char *ignored : {"on", "suspend", "resuming"}) Post(ignored);
    Post("unattended");
    ASSERT_TRUE(WaitForLockAppLog("window ", 1));

    EXPECT_EQ(LockAppLog("started "), std::vector<std::string>{"started " + WindowsPath(Program("Harrowcastle.exe"))});
    EXPECT_TRUE(daemon.Running());
}

TEST_F(DaemonUnderWine, ResumeAndPowerInfoChangeAskTheLockAppWindowToRepaint) {
    Process lockApp(Wine("Harrowcastle.exe"));
    ASSERT_TRUE(WaitForLockAppLog("window ", 1));
    Process daemon = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &daemon));

    Post("resume");
    ASSERT_TRUE(WaitForLockAppLog("repaint ", 1));
    Post("powerinfo");
    ASSERT_TRUE(WaitForLockAppLog("repaint ", 2));

    EXPECT_EQ(LockAppLog("repaint ").size(), 2u);
    EXPECT_EQ(LockAppLog("started ").size(), 1u) << "a refresh must not start the lock application";
}

TEST_F(DaemonUnderWine, ResumeWithoutTheLockAppChangesNothing) {
    Process daemon = StartDaemon();
    ASSERT_TRUE(WaitForSubscribers(1, &daemon));
    Post("resume");
    Post("powerinfo");
    Post("unattended");
    ASSERT_TRUE(WaitForLockAppLog("window ", 1));
    EXPECT_TRUE(daemon.Running());
    EXPECT_TRUE(LockAppLog("repaint ").empty());
}

// Set-up failures print the platform's error in hex and end the daemon. The
// plans reach calls the daemon imports by ordinal, whether coredll.dll
// implements them or passes them on to Wine; a malformed plan stops the
// program before it runs.
TEST_F(DaemonUnderWine, SetUpFailurePrintsTheDebugTextAndExits) {
    struct Case {
        std::string faults;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {"CreateMsgQueue=fail:87", 1, "CreateMsgQueue failed: 57\n"},
        {"CreateMsgQueue=fail:8", 1, "CreateMsgQueue failed: 8\n"},
        {"RequestPowerNotifications=fail:1450", 1, "RequestPowerNotifications failed: 5aa\n"},
        {"CreateMutexW=fail:8", 1, ""},
        {"WaitForMultipleObjects=return:0xFFFFFFFF", 1, ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        const fs::path debugOutput = Dir() / ("debug-" + std::to_string(++n) + ".txt");
        Process daemon = StartDaemon({{"COREDLL_FAULTS", c.faults}, {"COREDLL_DEBUG_OUTPUT", WindowsPath(debugOutput)}});
        EXPECT_EQ(daemon.Wait(), c.status) << c.faults;
        EXPECT_EQ(ReadFile(debugOutput), c.text) << c.faults;
    }
    for (const char *malformed : fault_plans::kMalformed) {
        Process daemon = StartDaemon({{"COREDLL_FAULTS", malformed}});
        EXPECT_EQ(daemon.Wait(), 125) << malformed;
    }
    // Each failed copy let go of the instance name.
    Process daemon = StartDaemon();
    EXPECT_TRUE(WaitForSubscribers(1, &daemon));
}

}  // namespace
