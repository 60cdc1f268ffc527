// Activation failing at each of its platform calls: nothing installed, the
// platform's error left for the caller, what was obtained released by
// DeactivateKBHook, and a later activation reusing it rather than leaking.
// Deactivation refused by the platform: what it kept is released later.
#include "KeyboardLockTest.h"
#include "KeypadRule.h"

using namespace keyboard_lock;

namespace {

struct FailureCase {
    const char *name;
    const char *function;  // as the fault is planned
    DWORD error;
    bool coreLibraryKept;  // the failed activation holds a core library reference
    int binds;             // GetProcAddressW calls made before giving up
    int installs;          // SetWindowsHookExW calls made
};

const FailureCase kFailures[] = {
    {"LoadCoreLibrary", "LoadLibraryW", ERROR_MOD_NOT_FOUND, false, 0, 0},
    {"BindSetHook", "GetProcAddressW:SetWindowsHookExW", ERROR_PROC_NOT_FOUND, true, 1, 0},
    // The hook must not go in before every entry point is bound.
    {"BindCallNextHook", "GetProcAddressW:CallNextHookEx", ERROR_INVALID_HANDLE, true, 2, 0},
    {"BindUnhook", "GetProcAddressW:UnhookWindowsHookEx", ERROR_NOT_ENOUGH_MEMORY, true, 3, 0},
    {"InstallHook", "SetWindowsHookExW", ERROR_OUTOFMEMORY, true, 3, 1},
};

// Test names show the row's name rather than its bytes.
void PrintTo(const FailureCase &row, std::ostream *out) { *out << row.name; }

class ActivationFailure : public KeyboardLockTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    // Fails one activation as the row says and checks what it left.
    void FailActivation() {
        const FailureCase &failure = GetParam();
        const unsigned long binds = simdevice::CallCount(simdevice::Call::GetProcAddressW);
        const unsigned long installs = simdevice::CallCount(simdevice::Call::SetWindowsHookExW);
        simdevice::FailCall(failure.function, failure.error);
        SetLastError(0);

        EXPECT_EQ(activate_(1), FALSE);
        EXPECT_EQ(GetLastError(), failure.error);

        EXPECT_EQ(simdevice::CallCount(simdevice::Call::GetProcAddressW) - binds, unsigned(failure.binds));
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::SetWindowsHookExW) - installs, unsigned(failure.installs));
        EXPECT_EQ(simdevice::HookCount(), 1);  // the hook below only
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, failure.coreLibraryKept ? 2 : 1);
        EXPECT_TRUE(PassedOn('A')) << "a failed activation must not lock the keypad";
    }
};

TEST_P(ActivationFailure, LeavesNothingInstalledAndDeactivateReleases) {
    SetStatus(kTalking);
    FailActivation();
    const unsigned long frees = simdevice::CallCount(simdevice::Call::FreeLibrary);
    const unsigned long unhooks = simdevice::CallCount(simdevice::Call::UnhookWindowsHookEx);

    EXPECT_EQ(deactivate_(), TRUE);

    EXPECT_EQ(simdevice::CallCount(simdevice::Call::FreeLibrary) - frees, GetParam().coreLibraryKept ? 1u : 0u);
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::UnhookWindowsHookEx), unhooks);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1);
}

TEST_P(ActivationFailure, RetryReusesWhatTheFailureKept) {
    SetStatus(kTalking);
    FailActivation();
    FailActivation();  // failing twice running leaks nothing either
    const unsigned long loads = simdevice::CallCount(simdevice::Call::LoadLibraryW);

    ASSERT_EQ(activate_(1), TRUE);

    // The pin, plus the core library unless the failure kept it.
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::LoadLibraryW) - loads, GetParam().coreLibraryKept ? 1u : 2u);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 3);
    EXPECT_EQ(simdevice::HookCount(), 2);
    EXPECT_TRUE(PassedOn(VK_F3));
    EXPECT_FALSE(PassedOn('A'));

    EXPECT_EQ(deactivate_(), TRUE);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1);
    EXPECT_EQ(simdevice::HookCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Step, ActivationFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase> &info) { return info.param.name; });

// Unreadable phone state during a call, in the mode that lets call keys
// through: the lock stays shut.
TEST_F(KeyboardLockTest, ProbeFaultsKeepCallKeysLocked) {
    struct ProbeFault {
        const char *function;
        DWORD error;
    };
    const ProbeFault faults[] = {
        {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
        {"RegOpenKeyExW", ERROR_FILE_NOT_FOUND},
        {"RegQueryValueExW", ERROR_ACCESS_DENIED},
        {"RegQueryValueExW", ERROR_MORE_DATA},
        {"RegQueryValueExW", ERROR_INVALID_HANDLE},
    };
    SetStatus(kTalking | kOnHold);
    ASSERT_EQ(activate_(1), TRUE);
    for (const ProbeFault &fault : faults) {
        SCOPED_TRACE(std::string(fault.function) + " fails with " + std::to_string(fault.error));
        ASSERT_TRUE(PassedOn(VK_F5));
        simdevice::FailCall(fault.function, fault.error, 0);
        for (DWORD vk = 0; vk < 256; ++vk) {
            if (!KEYPAD_RULE_IS_CALL_KEY(vk)) continue;
            EXPECT_FALSE(PassedOn(vk, WM_KEYUP)) << "key 0x" << std::hex << vk;
        }
        simdevice::ClearFaults();
        EXPECT_EQ(simdevice::LiveResources().registryKeys, 0);
    }
}

// The platform refusing to remove the hook or to release a module: what it
// kept stays recorded, so the keypad stays locked and the next
// DeactivateKBHook releases it instead of leaking it.
TEST_F(KeyboardLockTest, RefusedReleasesAreRetriedByTheNextDeactivation) {
    struct Refusal {
        const char *name;
        const char *function;
        int nth;             // 0: every call
        int lockHooksLeft;   // after the refused deactivation
        int referencesLeft;  // module references, the test's own included
    };
    const Refusal refusals[] = {
        {"unhook", "UnhookWindowsHookEx", 1, 1, 3},
        {"core library release", "FreeLibrary", 1, 0, 2},
        {"every release", "FreeLibrary", 0, 0, 3},
    };
    SetStatus(kTalking);
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(activate_(1), TRUE);
        simdevice::FailCall(r.function, ERROR_INVALID_HANDLE, r.nth);
        EXPECT_EQ(deactivate_(), TRUE);
        simdevice::ClearFaults();
        EXPECT_EQ(simdevice::HookCount(), 1 + r.lockHooksLeft);
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, r.referencesLeft);
        // A hook still installed still locks, and the library still owns it.
        EXPECT_EQ(PassedOn('A'), r.lockHooksLeft == 0);
        EXPECT_TRUE(PassedOn(VK_F3));
        if (r.lockHooksLeft > 0) {
            ASSERT_EQ(activate_(0), TRUE);
            EXPECT_EQ(simdevice::HookCount(), 2);
            EXPECT_FALSE(PassedOn(VK_F3));
        }

        EXPECT_EQ(deactivate_(), TRUE);
        EXPECT_EQ(simdevice::HookCount(), 1);
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1);
        EXPECT_TRUE(PassedOn('A'));
    }
}

}  // namespace
