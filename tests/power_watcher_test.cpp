// The watcher: which broadcasts start the lock application or refresh its
// window, how a wake-up drains the queue, and how every failure cleans up.
#include "TestSupport.h"

#include <vespertin.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace testing_support;
using simdevice::Call;
using simdevice::CallCount;

// The longest wait the recorded reads asked for: the watcher's never wait.
DWORD LongestReadWait() {
    DWORD longest = 0;
    for (const auto &arguments : simdevice::RecordedArguments(Call::ReadMsgQueue))
        longest = std::max(longest, DWORD(arguments[4]));
    return longest;
}

// The recorded StopPowerNotifications and CloseMsgQueue calls, in order.
std::string CleanupCalls() {
    std::string calls;
    for (const simdevice::CallRecord &record : simdevice::Recorded())
        if (record.call == Call::StopPowerNotifications || record.call == Call::CloseMsgQueue)
            calls += std::string(platform_calls::Name(record.call)) + " ";
    return calls;
}

// The child's own counts over one run of the watcher.
struct WatcherReport {
    long buffersMade = 0;  // LocalAlloc blocks
    unsigned long allocCalls = 0, reads = 0, waits = 0;
    DWORD longestReadWait = 0;
    int handles = 0, subscriptions = 0, allocations = 0;  // left over
};

// Runs the watcher in a child process of the test: the test can then hold it
// still (SIGSTOP) while broadcasts pile up in its queue for a single wake-up,
// and still read the child's counters when the watcher returns. A planned
// wait failure ends the watcher.
class ForkedWatcher {
public:
    explicit ForkedWatcher(const std::string &faults) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) RunChild(fds[1], faults);
        child_ = pid_;
        close(fds[1]);
        report_ = fds[0];
        subscribed_ = pid_ > 0 && WaitForEvents(timeline::Event::PowerSubscribed, 1, pid_);
    }
    ~ForkedWatcher() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (report_ >= 0) close(report_);
    }
    pid_t pid() const { return child_; }  // also once it has ended
    bool subscribed() const { return subscribed_; }
    void Hold() {
        kill(pid_, SIGSTOP);
        int status = 0;
        waitpid(pid_, &status, WUNTRACED);
    }
    void Release() { kill(pid_, SIGCONT); }
    std::optional<WatcherReport> Finish() {
        pollfd ready{report_, POLLIN, 0};
        if (poll(&ready, 1, int(kLogTimeout.count())) != 1) return std::nullopt;
        WatcherReport report;
        ssize_t n = read(report_, &report, sizeof report);
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (n != ssize_t(sizeof report) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
        return report;
    }

private:
    [[noreturn]] static void RunChild(int out, const std::string &faults) {
        try {
            simdevice::AddFaults(faults);
        } catch (...) {
            _exit(2);
        }
        simdevice::StartRecording();
        auto before = simdevice::LiveResources();
        unsigned long allocs = CallCount(simdevice::Call::LocalAlloc), reads = CallCount(simdevice::Call::ReadMsgQueue),
                      waits = CallCount(simdevice::Call::WaitForMultipleObjects);
        WatchPowerNotifications();
        auto after = simdevice::LiveResources();
        WatcherReport report;
        report.buffersMade = after.allocationsMade - before.allocationsMade;
        report.allocCalls = CallCount(simdevice::Call::LocalAlloc) - allocs;
        report.reads = CallCount(simdevice::Call::ReadMsgQueue) - reads;
        report.waits = CallCount(simdevice::Call::WaitForMultipleObjects) - waits;
        report.longestReadWait = LongestReadWait();
        report.handles = after.kernelObjects - before.kernelObjects;
        report.subscriptions = after.subscriptions - before.subscriptions;
        report.allocations = after.allocations - before.allocations;
        _exit(write(out, &report, sizeof report) == ssize_t(sizeof report) ? 0 : 3);
    }

    pid_t pid_ = -1;  // until reaped
    pid_t child_ = -1;
    int report_ = -1;
    bool subscribed_ = false;
};

// Launches go to a place with no lock application: the attempt is what counts.
const std::string kNoLockApp = "GetModuleFileNameW@*=path:/nonexistent/vespertin.exe";

// A broadcast as posted; a raw one is the first RAWBYTES bytes of Message and Flags.
struct Post {
    DWORD message;
    DWORD flags;
    int rawBytes = -1;
};

simdevice::BroadcastResult Send(const Post &post) {
    if (post.rawBytes < 0) return simdevice::PostPowerBroadcast(post.message, post.flags);
    char record[8];
    std::memcpy(record, &post.message, 4);
    std::memcpy(record + 4, &post.flags, 4);
    return simdevice::PostRawPowerMessage(post.message, std::string(record, size_t(post.rawBytes)));
}

class PowerWatcherTest : public DeviceTest {};

// Everything posted while the watcher is held is handled in one wake-up, with
// one buffer: a read per queued record and one that finds the queue empty.
TEST_F(PowerWatcherTest, ClassifiesEveryBroadcastOfAWakeUp) {
    const Post unattended{PBT_TRANSITION, device_facts::kPowerStateUnattended};
    const Post on{PBT_TRANSITION, POWER_STATE_ON};
    const Post resume{PBT_RESUME, 0};
    struct Row {
        std::string name;
        std::vector<Post> posts;
        int delivered, dropped, launches, refreshes;
    };
    std::vector<Row> rows = {
        {"unattended transition", {unattended}, 1, 0, 1, 0},
        {"on transition", {on}, 1, 0, 0, 0},
        {"suspend transition", {{PBT_TRANSITION, POWER_STATE_SUSPEND}}, 1, 0, 0, 0},
        {"resuming transition", {{PBT_TRANSITION, 0}}, 1, 0, 0, 0},
        {"unattended among other flags",
         {{PBT_TRANSITION, device_facts::kPowerStateUnattended | POWER_STATE_ON | device_facts::kPowerStateBacklightOn | POWER_STATE_PASSWORD}},
         1, 0, 1, 0},
        {"every flag", {{PBT_TRANSITION, 0xFFFFFFFF}}, 1, 0, 1, 0},
        {"resume", {resume}, 1, 0, 0, 1},
        {"resume with the unattended flag", {{PBT_RESUME, device_facts::kPowerStateUnattended}}, 1, 0, 0, 1},
        {"power information change", {{PBT_POWERINFOCHANGE, 0}}, 1, 0, 0, 1},
        {"two unattended", {unattended, unattended}, 2, 0, 2, 0},
        {"three kinds", {unattended, resume, on}, 3, 0, 1, 1},
        {"more than the queue holds", std::vector<Post>(6, unattended), 4, 2, 4, 0},
        {"kinds not subscribed", {{PBT_POWERSTATUSCHANGE, 0}, {PBT_SUSPENDKEYPRESSED, 0}, on}, 1, 0, 0, 0},
        {"8-byte unattended record", {{PBT_TRANSITION, device_facts::kPowerStateUnattended, 8}}, 1, 0, 1, 0},
        {"8-byte resume record", {{PBT_RESUME, 0, 8}}, 1, 0, 0, 1},
        {"7-byte record after a resume", {resume, {PBT_RESUME, 0, 7}}, 2, 0, 0, 1},
    };
    // Only the unattended flag launches: every other flag alone, four to a
    // wake-up (what the queue holds), and all of them at once, launch nothing.
    for (int first = 0; first < 32; first += 4) {
        std::vector<Post> transitions;
        int launches = 0;
        for (int bit = first; bit < first + 4; ++bit) {
            transitions.push_back({PBT_TRANSITION, DWORD(1) << bit});
            launches += (DWORD(1) << bit) == device_facts::kPowerStateUnattended;
        }
        rows.push_back({"flag bits " + std::to_string(first) + " to " + std::to_string(first + 3) + ", one each",
                        transitions, 4, 0, launches, 0});
    }
    rows.push_back({"every flag but unattended", {{PBT_TRANSITION, ~device_facts::kPowerStateUnattended}}, 1, 0, 0, 0});
    // A short record must not be read from what the buffer still holds.
    for (int n = 0; n < 8; ++n)
        rows.push_back({std::to_string(n) + "-byte record after an unattended one",
                        {unattended, {PBT_TRANSITION, device_facts::kPowerStateUnattended, n}}, 2, 0, 1, 0});

    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ForkedWatcher watcher("WaitForMultipleObjects@2=fail:6;" + kNoLockApp);
        ASSERT_TRUE(watcher.subscribed());
        watcher.Hold();
        simdevice::BroadcastResult total;
        for (const auto &post : row.posts) {
            auto result = Send(post);
            total.delivered += result.delivered;
            total.dropped += result.dropped;
        }
        watcher.Release();
        auto report = watcher.Finish();
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(total.delivered, row.delivered);
        EXPECT_EQ(total.dropped, row.dropped);
        EXPECT_EQ(report->waits, 2u);
        EXPECT_EQ(report->buffersMade, 1);
        EXPECT_EQ(report->reads, unsigned(row.delivered) + 1);
        EXPECT_EQ(report->longestReadWait, 0u);
        EXPECT_EQ(report->handles + report->subscriptions + report->allocations, 0);
        auto log = simdevice::ReadLog();
        EXPECT_EQ(Records(log, timeline::Event::ShellExecute, watcher.pid()).size(), size_t(row.launches));
        EXPECT_EQ(Records(log, timeline::Event::UpdateWindow, watcher.pid()).size(), size_t(row.refreshes));
    }
    EXPECT_EQ(simdevice::DebugOutput(), "");
}

// Without heap a wake-up still drains the queue with a buffer of its own, or
// the signalled queue would keep the wait from ever sleeping again.
TEST_F(PowerWatcherTest, WakeUpDrainsTheQueueWithOrWithoutHeap) {
    struct Case {
        const char *name;
        std::string faults;
        long buffersMade;
    } cases[] = {
        {"heap", "", 1},
        {"no heap", "LocalAlloc@*=fail:8;", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ForkedWatcher watcher(c.faults + "WaitForMultipleObjects@2=fail:6;" + kNoLockApp);
        ASSERT_TRUE(watcher.subscribed());
        watcher.Hold();
        simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
        simdevice::PostPowerBroadcast(PBT_RESUME, 0);
        watcher.Release();
        auto report = watcher.Finish();
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(report->allocCalls, 1u);
        EXPECT_EQ(report->buffersMade, c.buffersMade);
        EXPECT_EQ(report->reads, 3u);
        EXPECT_EQ(report->allocations, 0);
        auto log = simdevice::ReadLog();
        EXPECT_EQ(Records(log, timeline::Event::ShellExecute, watcher.pid()).size(), 1u);
        EXPECT_EQ(Records(log, timeline::Event::UpdateWindow, watcher.pid()).size(), 1u);
    }

    // The real daemon without heap sleeps and serves broadcasts as they come.
    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"), Options({}, "LocalAlloc@*=fail:8"));
    for (size_t launch = 1; launch <= 3; ++launch) {
        simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
        ASSERT_TRUE(WaitForLaunch(daemon, launch));
    }
    for (const auto &launch : Records(timeline::Event::ShellExecute, daemon)) EXPECT_EQ(launch.Field("result"), "started");
}

// In-process through the entry point: what is printed, which clean-up calls
// run in which order, and that nothing is left behind.
TEST_F(PowerWatcherTest, FailuresPrintOneLineAndReleaseEverything) {
    struct Row {
        const char *faults;
        std::string debug;
        const char *cleanup;
    } rows[] = {
        {"CreateMsgQueue=fail:8", "CreateMsgQueue failed: 8\n", ""},
        {"CreateMsgQueue=fail:0xdead", "CreateMsgQueue failed: dead\n", ""},
        {"CreateMsgQueue=fail:0", "CreateMsgQueue failed: 0\n", ""},
        {"RequestPowerNotifications=fail:14", "RequestPowerNotifications failed: e\n", "CloseMsgQueue "},
        {"RequestPowerNotifications=fail:0xFFFFFFFF", "RequestPowerNotifications failed: ffffffff\n", "CloseMsgQueue "},
        {"WaitForMultipleObjects=fail:6", "", "StopPowerNotifications CloseMsgQueue "},
        {"WaitForMultipleObjects=return:1", "", "StopPowerNotifications CloseMsgQueue "},
        {"WaitForMultipleObjects=return:0x102", "", "StopPowerNotifications CloseMsgQueue "},
        {"WaitForMultipleObjects=return:0x80", "", "StopPowerNotifications CloseMsgQueue "},
    };
    // The queue the watcher asks for, read while the request is made.
    bool queueNamed = false;
    MSGQUEUEOPTIONS queueOptions{};
    simdevice::WatchCalls([&](const simdevice::CallRecord &record) {
        if (record.call != Call::CreateMsgQueue) return;
        queueNamed = record.arguments[0] != 0;
        if (record.arguments[1]) queueOptions = *reinterpret_cast<const MSGQUEUEOPTIONS *>(record.arguments[1]);
    });
    auto baseline = simdevice::LiveResources();
    std::string printed;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.faults);
        simdevice::StartRecording();
        unsigned long waits = CallCount(simdevice::Call::WaitForMultipleObjects);
        simdevice::AddFaults(row.faults);
        // A watcher that ignored the first result would otherwise sleep for good.
        simdevice::FailCall("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 2);
        std::u16string commandLine;
        EXPECT_EQ(WinMain(nullptr, nullptr, commandLine.data(), SW_SHOW), 1);

        std::string all = simdevice::DebugOutput();
        EXPECT_EQ(all.substr(printed.size()), row.debug);
        printed = all;
        EXPECT_EQ(CleanupCalls(), row.cleanup);
        EXPECT_EQ(CallCount(simdevice::Call::WaitForMultipleObjects) - waits, row.cleanup[0] == 'S' ? 1u : 0u);
        auto now = simdevice::LiveResources();
        EXPECT_EQ(now.kernelObjects, baseline.kernelObjects);
        EXPECT_EQ(now.subscriptions, baseline.subscriptions);
        EXPECT_EQ(now.allocations, baseline.allocations);
        EXPECT_EQ(simdevice::LivePowerSubscriptions(), 0);
        HANDLE name = CreateMutexW(nullptr, FALSE, u"_VESPERTIN_EXE_MUTEX_");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "the instance name outlived the daemon";
        CloseHandle(name);
        simdevice::ClearFaults();
    }
    simdevice::WatchCalls(nullptr);
    // The queue the watcher read from: unnamed, small, for reading.
    EXPECT_FALSE(queueNamed);
    EXPECT_EQ(queueOptions.dwSize, 20u);
    EXPECT_EQ(queueOptions.dwFlags, DWORD(MSGQUEUE_NOPRECOMMIT));
    EXPECT_EQ(queueOptions.dwMaxMessages, 4u);
    EXPECT_EQ(queueOptions.cbMaxMessage, 536u);
    EXPECT_TRUE(queueOptions.bReadAccess);
    auto log = simdevice::ReadLog();
    const auto subscribed = Records(log, timeline::Event::PowerSubscribed);
    ASSERT_EQ(subscribed.size(), 4u);  // a regression fails here, not past the end
    EXPECT_EQ(subscribed[0].Field("mask"), "0xb");
    EXPECT_EQ(Records(log, timeline::Event::PowerUnsubscribed).size(), 4u);
}

}  // namespace
