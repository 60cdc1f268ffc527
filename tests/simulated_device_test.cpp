// What the simulated device adds to the platform's semantics (those are
// tests/conformance's): names that die with their holder however it dies,
// and faults planned through the control interface and the environment.
#include "MalformedFaultPlans.h"
#include "TestSupport.h"

#include <shellapi.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

using namespace testing_support;

class SimulatedDevice : public DeviceTest {};

DWORD CreateAndClose(const char16_t *name) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    DWORD error = GetLastError();
    EXPECT_NE(mutex, nullptr);
    CloseHandle(mutex);
    return error;
}

// Another process's handle counts until that process dies, however it dies.
TEST_F(SimulatedDevice, NamedMutexDiesWithItsHoldingProcess) {
    struct Case {
        const char *name;
        bool closeFirst;
    } cases[] = {{"closed by the holder", true}, {"killed", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int toChild[2], fromChild[2];
        ASSERT_EQ(pipe(toChild), 0);
        ASSERT_EQ(pipe(fromChild), 0);
        pid_t holder = fork();
        if (holder == 0) {
            HANDLE mutex = CreateMutexW(nullptr, FALSE, u"held elsewhere");
            char byte = mutex ? 'y' : 'n';
            (void)!write(fromChild[1], &byte, 1);
            (void)!read(toChild[0], &byte, 1);
            if (byte == 'c') CloseHandle(mutex);
            (void)!write(fromChild[1], &byte, 1);
            pause();
            _exit(0);
        }
        char byte = 0;
        ASSERT_EQ(read(fromChild[0], &byte, 1), 1);
        EXPECT_EQ(byte, 'y');
        EXPECT_EQ(CreateAndClose(u"held elsewhere"), DWORD(ERROR_ALREADY_EXISTS));
        if (c.closeFirst) {
            byte = 'c';
            (void)!write(toChild[1], &byte, 1);
            (void)!read(fromChild[0], &byte, 1);
            EXPECT_EQ(CreateAndClose(u"held elsewhere"), DWORD(ERROR_SUCCESS));
        }
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_EQ(CreateAndClose(u"held elsewhere"), DWORD(ERROR_SUCCESS));
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
    }
}

// A reported path goes through the same cut as the module's own.
TEST_F(SimulatedDevice, ModuleFileNameIsCutWithItsTerminatorWhenItDoesNotFit) {
    const std::u16string path = u"/abc/def";
    struct Case {
        DWORD size, result, error;
        std::u16string text;  // what the buffer holds up to the sentinel
    } cases[] = {
        {0, 0, ERROR_INSUFFICIENT_BUFFER, u"#########"},
        {4, 4, ERROR_INSUFFICIENT_BUFFER, std::u16string(u"/ab\0#####", 9)},
        {8, 8, ERROR_INSUFFICIENT_BUFFER, std::u16string(u"/abc/de\0#", 9)},
        {9, 8, ERROR_SUCCESS, std::u16string(u"/abc/def\0", 9)},
    };
    simdevice::StartRecording();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        char16_t buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        simdevice::ForceModulePath(path);
        SetLastError(0xdead);
        EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, c.size), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(std::u16string(buffer, 9), c.text);
        EXPECT_EQ(testing_support::LastArgument(simdevice::Call::GetModuleFileNameW, 2), c.size);
    }
}

// Outcomes of three LocalAlloc calls: "ok" or "fail:ERROR".
std::string ThreeAllocations() {
    std::string outcomes;
    for (int i = 0; i < 3; ++i) {
        SetLastError(0);
        HLOCAL block = LocalAlloc(LMEM_FIXED, 16);
        outcomes += (i ? " " : "") + (block ? std::string("ok") : "fail:" + std::to_string(GetLastError()));
        LocalFree(block);
    }
    return outcomes;
}

// The record keeps each call, faulted or not, with its arguments, in the
// order they came; a watcher sees each first, but not the calls it makes.
TEST_F(SimulatedDevice, RecordKeepsEveryCallAndWatchersSeeEachFirst) {
    using simdevice::Call;
    int watched = 0;
    simdevice::WatchCalls([&](const simdevice::CallRecord &record) {
        ++watched;
        if (record.call == Call::LocalFree) LocalFree(LocalAlloc(LMEM_FIXED, 3));
    });
    simdevice::StartRecording();
    simdevice::FailCall("LocalAlloc", ERROR_OUTOFMEMORY, 2);
    HLOCAL block = LocalAlloc(LMEM_ZEROINIT, 5);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 6), nullptr);
    LocalFree(block);
    simdevice::WatchCalls(nullptr);
    simdevice::ClearFaults();

    const std::vector<simdevice::CallRecord> record = simdevice::Recorded();
    const std::vector<std::pair<Call, uintptr_t>> expected = {{Call::LocalAlloc, LMEM_ZEROINIT},
                                                              {Call::LocalAlloc, LMEM_FIXED},
                                                              {Call::LocalFree, uintptr_t(block)},
                                                              {Call::LocalAlloc, LMEM_FIXED},
                                                              {Call::LocalFree, 0}};
    ASSERT_EQ(record.size(), expected.size());
    for (size_t i = 0; i < record.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(record[i].call, expected[i].first);
        if (i < 4) {
            EXPECT_EQ(record[i].arguments[0], expected[i].second);
        }
    }
    EXPECT_EQ(record[0].arguments, (std::vector<uintptr_t>{LMEM_ZEROINIT, 5}));
    EXPECT_EQ(watched, 3);
    // Each result is its own call's, though the watcher's calls came between.
    EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](const auto &r) { return r.returned; }));
    EXPECT_EQ(record[0].result, uintptr_t(block));
    EXPECT_EQ(record[1].result, 0u);
    EXPECT_EQ(record[1].lastError, DWORD(ERROR_OUTOFMEMORY));
    EXPECT_EQ(record[2].result, 0u);
    EXPECT_NE(record[3].result, 0u);
    EXPECT_EQ(record[4].arguments[0], record[3].result);
}

// A call's result is filled in as it returns, into the recording it was made
// in: before that it shows as not returned, and a recording started while
// it ran keeps only its own calls' results.
TEST_F(SimulatedDevice, RecordFillsInResultsAsCallsReturn) {
    using simdevice::Call;
    std::vector<bool> returnedAtEntry;
    HLOCAL nested = nullptr;
    simdevice::WatchCalls([&](const simdevice::CallRecord &record) {
        returnedAtEntry.push_back(simdevice::Recorded().back().returned);
        if (record.call != Call::LocalFree) return;
        simdevice::StartRecording();
        nested = LocalAlloc(LMEM_FIXED, 7);
    });
    simdevice::StartRecording();
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    simdevice::WatchCalls(nullptr);
    const std::vector<simdevice::CallRecord> record = simdevice::Recorded();
    LocalFree(nested);

    EXPECT_EQ(returnedAtEntry, std::vector<bool>{false});
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0].call, Call::LocalAlloc);
    EXPECT_TRUE(record[0].returned);
    EXPECT_EQ(record[0].result, uintptr_t(nested));
}

// The depth of a queue, as the kernel counts it.
TEST_F(SimulatedDevice, QueuedMessagesCountsWhatAQueueHolds) {
    MSGQUEUEOPTIONS options{sizeof options, MSGQUEUE_NOPRECOMMIT, 4, 64, TRUE};
    HANDLE queue = CreateMsgQueue(nullptr, &options);
    ASSERT_NE(queue, nullptr);
    HANDLE notification = RequestPowerNotifications(queue, PBT_RESUME);
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(simdevice::QueuedMessages(queue), 0u);
    simdevice::PostPowerBroadcast(PBT_RESUME, 0);
    simdevice::PostPowerBroadcast(PBT_RESUME, 0);
    EXPECT_EQ(simdevice::QueuedMessages(queue), 2u);
    char buffer[64];
    DWORD bytes = 0, flags = 0;
    EXPECT_TRUE(ReadMsgQueue(queue, buffer, sizeof buffer, &bytes, 0, &flags));
    EXPECT_EQ(simdevice::QueuedMessages(queue), 1u);
    EXPECT_EQ(simdevice::QueuedMessages(notification), std::nullopt);
    StopPowerNotifications(notification);
    CloseMsgQueue(queue);
    EXPECT_EQ(simdevice::QueuedMessages(queue), std::nullopt);
}

TEST_F(SimulatedDevice, FaultsHitTheCallsTheyArePlannedFor) {
    struct Case {
        const char *plans;
        const char *outcomes;
    } cases[] = {
        {"LocalAlloc=fail:8", "fail:8 ok ok"},
        {"LocalAlloc@2=fail:0x10", "ok fail:16 ok"},
        {"LocalAlloc@*=fail:5", "fail:5 fail:5 fail:5"},
        {"LocalAlloc@3=fail:1;;LocalAlloc=fail:2;", "fail:2 ok fail:1"},
        {"LocalAlloc@2=return:0", "ok fail:0 ok"},  // and the last error untouched
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.plans);
        LocalFree(LocalAlloc(LMEM_FIXED, 1));  // call numbers count from when the fault is planned
        unsigned long calls = simdevice::CallCount(simdevice::Call::LocalAlloc);
        simdevice::AddFaults(c.plans);
        EXPECT_EQ(ThreeAllocations(), c.outcomes);
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::LocalAlloc), calls + 3) << "failed calls count too";
        simdevice::ClearFaults();
    }
    simdevice::FailCall("LocalAlloc", ERROR_OUTOFMEMORY, 2);
    EXPECT_EQ(ThreeAllocations(), "ok fail:14 ok");
    simdevice::AddFaults("WaitForMultipleObjects=return:0x102");
    EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, INFINITE), WAIT_TIMEOUT);
    simdevice::AddFaults("GetModuleFileNameW=path:/x/VESPERTIN.EXE");
    char16_t buffer[64];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 64), 16u);
    EXPECT_EQ(std::u16string(buffer), u"/x/VESPERTIN.EXE");

    // A plan that could not be carried out as written is refused, never
    // kept as a fault that will not happen.
    for (const char *bad : fault_plans::kMalformed) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(simdevice::AddFaults(bad), std::invalid_argument);
        EXPECT_EQ(ThreeAllocations(), "ok ok ok") << "nothing of a refused list is planned";
    }
    EXPECT_THROW(simdevice::FailCall("CreateMsgQueu", 8), std::invalid_argument);
}

// Faults given to a program through its environment apply from its first
// call; a program whose plan is malformed refuses to start.
TEST_F(SimulatedDevice, ProgramsTakeTheirFaultsFromTheEnvironment) {
    pid_t failing = simdevice::StartProgram(BinaryPath("vespertin.exe"), Options({}, "CreateMsgQueue=fail:0xdead")).pid;
    EXPECT_EQ(simdevice::WaitProgram(failing, kLogTimeout), 1);
    EXPECT_EQ(simdevice::DebugOutput(), "CreateMsgQueue failed: dead\n");

    for (const char *malformed : fault_plans::kMalformed) {
        SCOPED_TRACE(malformed);
        pid_t refused = simdevice::StartProgram(BinaryPath("vespertin.exe"), Options({}, malformed)).pid;
        EXPECT_EQ(simdevice::WaitProgram(refused, kLogTimeout), 125);
        EXPECT_TRUE(Records(timeline::Event::Start, refused).empty()) << "it must not have run";
    }
}

std::vector<std::string> Lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every program the device starts goes through the emulator command, its
// words first, then the program and its arguments; children inherit the
// command, so the daemon's launches go through it too.
TEST_F(SimulatedDevice, ProgramsStartThroughTheEmulatorCommand) {
    const std::string record = DeviceDir() + "/emulated";
    const std::string wrapper = DeviceDir() + "/emulator";
    // This run's own emulator, if any, still has to start the programs.
    const char *outer = std::getenv(simdevice::kEmulatorVariable);
    std::ofstream(wrapper) << "#!/bin/sh\nword=$1; shift\necho \"$word $*\" >> '" << record << "'\nexec "
                           << (outer ? outer : "") << " \"$@\"\n";
    ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
    ScopedVariable emulator(simdevice::kEmulatorVariable, " " + wrapper + "  first-word ");

    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"), Options({"one", "two"}));
    simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
    ASSERT_TRUE(WaitForLaunch(daemon));
    EXPECT_EQ(Records(timeline::Event::ShellExecute, daemon)[0].Field("result"), "started");
    EXPECT_EQ(Lines(record), (std::vector<std::string>{"first-word " + BinaryPath("vespertin.exe") + " one two",
                                                        "first-word " + BinaryPath("Harrowcastle.exe")}));

    // A program that is not there fails to start, as it does unemulated.
    EXPECT_EQ(simdevice::StartProgram(DeviceDir() + "/missing.exe").pid, -1);
    EXPECT_EQ(Lines(record).size(), 2u);
}

// A PE file built for x86_64 never reaches the host's loader, nor runs: on
// every build (the host's, whose processor it is, included) the device's
// loader refuses it with ERROR_BAD_EXE_FORMAT and one record naming the
// machine, as a library and as a program.
TEST_F(SimulatedDevice, ForeignPeFilesAreRefusedByTheDevicesLoader) {
    std::string header(0x100, '\0');
    header.replace(0, 2, "MZ");
    header[0x3C] = 0x40;
    header.replace(0x40, 4, std::string("PE\0\0", 4));
    header[0x44] = char(0x64), header[0x45] = char(0x86);  // machine 0x8664
    for (const char *name : {"x64.dll", "x64.exe"}) {
        SCOPED_TRACE(name);
        const std::string path = DeviceDir() + "/" + name;
        std::ofstream(path, std::ios::binary) << header;
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        const std::u16string file = simdevice::Utf8ToUtf16(path);
        const size_t before = Records(timeline::Event::ImageRefused).size();
        SetLastError(0);
        if (std::string(name) == "x64.dll") {
            EXPECT_EQ(LoadLibraryW(file.c_str()), nullptr);
        } else {
            SHELLEXECUTEINFO info{};
            info.cbSize = sizeof info;
            info.lpFile = reinterpret_cast<LPCWSTR>(file.c_str());
            EXPECT_FALSE(ShellExecuteEx(&info));
        }
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
        const auto refusals = Records(timeline::Event::ImageRefused);
        ASSERT_EQ(refusals.size(), before + 1);
        EXPECT_EQ(refusals.back().Field("path"), path);
        EXPECT_NE(refusals.back().Field("reason").find("machine 0x8664"), std::string::npos)
            << refusals.back().Field("reason");
    }
    EXPECT_TRUE(Records(timeline::Event::Start).empty()) << "nothing started";
}

}  // namespace

namespace {

// The timeline gives the platform's numbers their names.
TEST_F(SimulatedDevice, TimelineNamesWhatItShows) {
    struct Case {
        timeline::Event event;
        std::vector<std::pair<std::string, std::string>> fields;
        const char *shown;
    } cases[] = {
        {timeline::Event::PowerBroadcast, {{"message", "0x1"}}, "message=0x1 (PBT_TRANSITION)"},
        {timeline::Event::PowerBroadcast, {{"flags", "0x410000"}}, "flags=0x410000 (POWER_STATE_ON|POWER_STATE_UNATTENDED)"},
        {timeline::Event::PowerBroadcast, {{"flags", "0x80000001"}}, "flags=0x80000001 (0x80000001)"},
        {timeline::Event::PowerBroadcast, {{"flags", "0x0"}}, "flags=0x0\n"},
        {timeline::Event::PowerSubscribed, {{"mask", "0xb"}}, "mask=0xb (PBT_TRANSITION|PBT_RESUME|PBT_POWERINFOCHANGE)"},
        {timeline::Event::RegistrySet, {{"type", "3"}}, "type=3 (REG_BINARY)"},
        {timeline::Event::ShellExecute, {{"cbSize", "112"}}, "cbSize=112 (this host's record; the device's is 60 bytes)"},
        {timeline::Event::ShellExecute, {{"cbSize", "60"}}, "cbSize=60\n"},
        {timeline::Event::Debug, {{"text", "no 0x1 here"}}, "text=\"no 0x1 here\"\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        simdevice::Log(c.event, c.fields);
        const std::string timeline = simdevice::FormatTimeline(simdevice::ReadLog());
        const std::string last = timeline.substr(timeline.rfind('\n', timeline.size() - 2) + 1);
        EXPECT_NE(last.find(c.shown), std::string::npos) << last;
    }
}

}  // namespace

namespace {

// Another program's counts, read while it runs: the daemon at rest holds its
// mutex, queue and subscription, and no buffer between wake-ups.
TEST_F(SimulatedDevice, ProgramsCountsCanBeReadWhileTheyRun) {
    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"));
    const auto atRest = simdevice::ProgramResources(daemon, kLogTimeout);
    ASSERT_TRUE(atRest);
    EXPECT_EQ(simdevice::Describe(*atRest), "kernel-objects:3 subscriptions:1 allocations:0 registry-keys:0 "
                                            "module-references:0 hooks:0");
    for (int wakeUp = 1; wakeUp <= 3; ++wakeUp) {
        simdevice::PostPowerBroadcast(PBT_RESUME, 0);
        ASSERT_TRUE(WaitForEvents(timeline::Event::UpdateWindow, size_t(wakeUp), daemon));
        const auto after = simdevice::ProgramResources(daemon, kLogTimeout);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->allocationsMade, atRest->allocationsMade + wakeUp) << "one buffer per wake-up";
        EXPECT_EQ(after->allocations, 0);
    }
    // Not a program of the device, and a program that has ended: nothing to read.
    EXPECT_FALSE(simdevice::ProgramResources(getpid()));
    KillProgram(daemon);
    EXPECT_FALSE(simdevice::ProgramResources(daemon));
}

// A long log read as it grows: each record once, in order, and a record not
// yet ended left for the next read.
TEST_F(SimulatedDevice, LogIsReadOnwardsFromWhereTheLastReadEnded) {
    uint64_t offset = 0;
    simdevice::Log(timeline::Event::Debug, {{"n", "1"}});
    simdevice::Log(timeline::Event::Key, {});
    auto records = simdevice::ReadLogFrom(offset);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].event, "debug");
    EXPECT_EQ(records[0].Field("n"), "1");
    EXPECT_TRUE(simdevice::ReadLogFrom(offset).empty());
    EXPECT_FALSE(simdevice::WaitForLogPast(offset, std::chrono::milliseconds(1)));

    std::ofstream(DeviceDir() + "/log", std::ios::app) << "0\t1\tp\thalf";
    EXPECT_TRUE(simdevice::WaitForLogPast(offset, kLogTimeout));
    EXPECT_TRUE(simdevice::ReadLogFrom(offset).empty()) << "the record has no end yet";
    std::ofstream(DeviceDir() + "/log", std::ios::app) << "\tdone=yes\n";
    simdevice::Log(timeline::Event::Exit, {});
    records = simdevice::ReadLogFrom(offset);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].event, "half");
    EXPECT_EQ(records[0].Field("done"), "yes");
    EXPECT_EQ(records[1].event, "exit");
    EXPECT_EQ(simdevice::ReadLog().size(), 4u);
}

// A window dies with its owner, kill -9 included: once it is come across,
// nothing of it is left in the device (its file) or in the kernel (its queue).
TEST_F(SimulatedDevice, WindowOfAKilledOwnerLeavesNothingBehind) {
    const auto windowFiles = [&] {
        size_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(DeviceDir() + "/windows")) n += !entry.is_directory();
        return n;
    };
    for (int round = 0; round < 3; ++round) {
        pid_t owner = simdevice::StartProgram(BinaryPath("Harrowcastle.exe")).pid;
        ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppStarted, 1, owner));
        ASSERT_NE(FindWindowW(nullptr, u"Harrowcastle"), nullptr);
        EXPECT_EQ(windowFiles(), 1u);
        KillProgram(owner);
        EXPECT_EQ(FindWindowW(nullptr, u"Harrowcastle"), nullptr);
        EXPECT_EQ(windowFiles(), 0u);
    }
    HWND mine = simdevice::CreateTopLevelWindow(u"Harrowcastle");
    EXPECT_EQ(FindWindowW(nullptr, u"Harrowcastle"), mine) << "a live window stays";
    simdevice::DestroyTopLevelWindow(mine);
}

}  // namespace
