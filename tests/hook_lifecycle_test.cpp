// Activation, mode changes, deactivation and unloading in the orders a
// client may use them, with what each step costs in hooks, module
// references and platform calls, and what the keypad does after it.
#include "KeyboardLockTest.h"

#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

using namespace keyboard_lock;

namespace {

// Thread: a thread of the client starts and ends, which the platform tells
// the library about.
enum class Op { Activate, Deactivate, Unload, Load, Thread };

// What the keys do after a step, with a call in progress.
enum class Keypad {
    Open,           // no lock hook: every key goes on
    CallKeysOnly,   // F3 goes on, other keys are swallowed
    Locked,         // everything is swallowed
    CallKeysLocked, // only the call key is swallowed: never right
};

struct Step {
    Op op;
    DWORD mode;  // Activate
    int lockHooks;
    int moduleReferences;  // the test's own reference to the library included
    Keypad keypad;
    // Platform calls the step made.
    int loads;
    int binds;
    int installs;
    int unhooks;
};

struct Scenario {
    const char *name;
    std::vector<Step> steps;
};

// The library starts loaded (one reference) and inactive.
constexpr Step kActivate1 = {Op::Activate, 1, 1, 3, Keypad::CallKeysOnly, 2, 3, 1, 0};  // core library + pin
constexpr Step kSwitchTo0 = {Op::Activate, 0, 1, 3, Keypad::Locked, 0, 0, 0, 0};
constexpr Step kSwitchTo1 = {Op::Activate, 1, 1, 3, Keypad::CallKeysOnly, 0, 0, 0, 0};
constexpr Step kDeactivate = {Op::Deactivate, 0, 0, 1, Keypad::Open, 0, 0, 0, 1};
constexpr Step kDeactivateIdle = {Op::Deactivate, 0, 0, 1, Keypad::Open, 0, 0, 0, 0};

const Scenario kScenarios[] = {
    {"ActivateThenDeactivate", {kActivate1, kDeactivate}},
    {"ActivateAgainChangesOnlyTheMode", {kActivate1, kSwitchTo0, kSwitchTo1, kSwitchTo1, kDeactivate}},
    {"ActivateInModeTwo", {{Op::Activate, 2, 1, 3, Keypad::Locked, 2, 3, 1, 0}, kSwitchTo1, kDeactivate}},
    {"DeactivateWhileInactive", {kDeactivateIdle, kDeactivateIdle, kActivate1, kDeactivate, kDeactivateIdle}},
    {"ActivateAfterDeactivateStartsAfresh", {kActivate1, kDeactivate, kActivate1, kSwitchTo0, kDeactivate, kActivate1, kDeactivate}},
    // The pin keeps the library and its hook in place: the keypad stays as
    // it was, until the client loads the library again and deactivates.
    {"UnloadWhileActive",
     {kActivate1,
      {Op::Unload, 0, 1, 2, Keypad::CallKeysOnly, 0, 0, 0, 0},
      {Op::Load, 0, 1, 3, Keypad::CallKeysOnly, 1, 2, 0, 0},
      kDeactivate}},
    {"UnloadWhileActiveInModeZero",
     {{Op::Activate, 0, 1, 3, Keypad::Locked, 2, 3, 1, 0},
      {Op::Unload, 0, 1, 2, Keypad::Locked, 0, 0, 0, 0},
      {Op::Load, 0, 1, 3, Keypad::Locked, 1, 2, 0, 0},
      kSwitchTo1,
      kDeactivate}},
    {"UnloadWhileInactiveUnmaps", {kActivate1, kDeactivate, {Op::Unload, 0, 0, 0, Keypad::Open, 0, 0, 0, 0}}},
    // The library still knows itself after threads come and go: it can pin itself.
    {"ThreadsComeAndGo",
     {{Op::Thread, 0, 0, 1, Keypad::Open, 0, 0, 0, 0},
      kActivate1,
      {Op::Thread, 0, 1, 3, Keypad::CallKeysOnly, 0, 0, 0, 0},
      {Op::Unload, 0, 1, 2, Keypad::CallKeysOnly, 0, 0, 0, 0},
      {Op::Load, 0, 1, 3, Keypad::CallKeysOnly, 1, 2, 0, 0},
      kDeactivate}},
};

// Test names show the row's name rather than its bytes.
void PrintTo(const Scenario &row, std::ostream *out) { *out << row.name; }

class Lifecycle : public KeyboardLockTest, public ::testing::WithParamInterface<Scenario> {
protected:
    void Run(const Step &step) {
        switch (step.op) {
        case Op::Activate:
            EXPECT_EQ(activate_(step.mode), TRUE);
            break;
        case Op::Deactivate:
            EXPECT_EQ(deactivate_(), TRUE);
            break;
        case Op::Unload:
            Unload();
            break;
        case Op::Load:
            Load();
            break;
        case Op::Thread:
            std::thread([] {
                simdevice::ThreadStarts();
                simdevice::ThreadEnds();
            }).join();
            break;
        }
    }

    Keypad Observe() {
        const bool callKey = PassedOn(VK_F3);
        const bool otherKey = PassedOn('A');
        if (callKey) return otherKey ? Keypad::Open : Keypad::CallKeysOnly;
        return otherKey ? Keypad::CallKeysLocked : Keypad::Locked;
    }
};

TEST_P(Lifecycle, Steps) {
    SetStatus(kTalking);
    int index = 0;
    for (const Step &step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        const unsigned long loads = simdevice::CallCount(simdevice::Call::LoadLibraryW);
        const unsigned long binds = simdevice::CallCount(simdevice::Call::GetProcAddressW);
        const unsigned long installs = simdevice::CallCount(simdevice::Call::SetWindowsHookExW);
        const unsigned long unhooks = simdevice::CallCount(simdevice::Call::UnhookWindowsHookEx);

        Run(step);

        EXPECT_EQ(simdevice::CallCount(simdevice::Call::LoadLibraryW) - loads, unsigned(step.loads));
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::GetProcAddressW) - binds, unsigned(step.binds));
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::SetWindowsHookExW) - installs, unsigned(step.installs));
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::UnhookWindowsHookEx) - unhooks, unsigned(step.unhooks));
        EXPECT_EQ(simdevice::HookCount(), 1 + step.lockHooks);  // and the hook below
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, step.moduleReferences);
        EXPECT_EQ(GetModuleHandleW(u"tallowbeck.dll") != nullptr, step.moduleReferences > 0);
        EXPECT_EQ(Observe(), step.keypad);
        // The next steps build on this one; with no pin, an unload would
        // leave the hook in unmapped code.
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Client, Lifecycle, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; });

// The pin needs the library's whole path: a query that gives none, or fills
// the buffer (the path may have been cut), pins nothing, and the hook works.
TEST_F(KeyboardLockTest, PinNeedsTheLibrarysWholePath) {
    SetStatus(kTalking);
    const struct {
        const char *what;
        std::function<void()> plan;
    } cases[] = {
        {"no path", [] { simdevice::ForceReturn("GetModuleFileNameW", 0); }},
        {"a full buffer, written or not", [] { simdevice::ForceReturn("GetModuleFileNameW", MAX_PATH); }},
        {"a path cut to fit", [] { simdevice::ForceModulePath(std::u16string(MAX_PATH + 40, u'd')); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned long loads = simdevice::CallCount(simdevice::Call::LoadLibraryW);
        c.plan();
        ASSERT_EQ(activate_(1), TRUE);
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::LoadLibraryW) - loads, 1u) << "the core library only";
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, 2);
        EXPECT_TRUE(PassedOn(VK_F3));
        EXPECT_FALSE(PassedOn('A'));
        EXPECT_EQ(deactivate_(), TRUE);
        simdevice::ClearFaults();
    }
}

// The pin is the library's own, taken once: not after the platform has told
// the library the process is ending (it no longer knows its instance, and
// the query would name the client's program), and not again while a pin the
// platform refused to release is still held.
TEST_F(KeyboardLockTest, PinIsTakenOnceAndOnlyOfTheLibrary) {
    SetStatus(kTalking);
    const unsigned long loads = simdevice::CallCount(simdevice::Call::LoadLibraryW);
    simdevice::ProcessDetaches();
    ASSERT_EQ(activate_(1), TRUE);
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::LoadLibraryW) - loads, 1u) << "the core library only";
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 2) << "ours and the core library's";
    EXPECT_TRUE(PassedOn(VK_F3));
    EXPECT_FALSE(PassedOn('A'));
    EXPECT_EQ(deactivate_(), TRUE);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1);
}

TEST_F(KeyboardLockTest, PinRefusedReleaseIsNotTakenAgain) {
    SetStatus(kTalking);
    ASSERT_EQ(activate_(1), TRUE);
    simdevice::FailCall("FreeLibrary", ERROR_INVALID_HANDLE, 2);  // the pin's, after the core library's
    EXPECT_EQ(deactivate_(), TRUE);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 2) << "ours and the pin still held";
    const unsigned long loads = simdevice::CallCount(simdevice::Call::LoadLibraryW);
    ASSERT_EQ(activate_(1), TRUE);
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::LoadLibraryW) - loads, 1u) << "the core library only";
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 3);
    EXPECT_EQ(deactivate_(), TRUE);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1) << "the held pin released with the rest";
}

// A client process that ends with the hook still installed (no deactivation,
// maybe not even an unload) exits cleanly, its keys filtered to the end.
TEST_F(KeyboardLockTest, ClientProcessEndsWhileActive) {
    struct Script {
        const char *commands;
        const char *fates;  // of the client's "key" commands, in order: p(assed) or s(wallowed)
    };
    const Script scripts[] = {
        {"load\nactivate 1\nquit\n", ""},
        {"load\nactivate 1\nphone talking\nkey F3\nkey A up\nquit\n", "ps"},
        {"load\nactivate 1\nphone talking\nunload\nkey F3 sysdown\nkey A\nquit\n", "ps"},
        {"load\nactivate 0\nunload\nkey F3\n", "s"},  // no quit: the end of input ends it
    };
    for (const Script &script : scripts) {
        SCOPED_TRACE(script.commands);
        simdevice::DeleteRegistryKey(kPhoneKey);
        const size_t logged = simdevice::ReadLog().size();
        simdevice::StartOptions options;
        options.captureStdin = true;
        simdevice::StartedProgram client = simdevice::StartProgram(testing_support::BinaryPath("kbclient"), options);
        ASSERT_GT(client.pid, 0);
        const std::string commands = script.commands;
        ASSERT_EQ(write(client.stdinFd, commands.data(), commands.size()), ssize_t(commands.size()));
        close(client.stdinFd);
        bool timedOut = false;
        EXPECT_EQ(simdevice::WaitProgram(client.pid, std::chrono::seconds(20), &timedOut), 0);
        ASSERT_FALSE(timedOut);

        std::string fates;
        const std::vector<simdevice::LogRecord> log = simdevice::ReadLog();
        for (size_t i = logged; i < log.size(); ++i)
            if (log[i].pid == client.pid && log[i].event == "key")
                fates += log[i].Field("fate").rfind("passed", 0) == 0 ? 'p' : 's';
        EXPECT_EQ(fates, script.fates);
    }
}

}  // namespace
