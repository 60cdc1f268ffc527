// The call-state probe behind the filter: read afresh for every key, keys
// closed exactly as opened, and anything unreadable counting as "no call".
#include "KeyboardLockTest.h"

#include <functional>

using namespace keyboard_lock;

namespace {

struct ProbeStep {
    const char *what;
    std::function<void()> arrange;  // registry change or planned fault before the key
    bool keyOpens;                  // the probe gets a key to close
    bool callKeyPasses;
};

void Talking() { SetStatus(kTalking); }

// Run in order: every step changes what the previous one left, so each
// decision has to come from a fresh read.
const ProbeStep kSteps[] = {
    {"talking", Talking, true, true},
    {"idle", [] { SetStatus(0); }, true, false},
    {"connecting", [] { SetStatus(kConnecting); }, true, true},
    {"value deleted", [] { simdevice::DeleteRegistryValue(kPhoneKey, kStatusValue); }, true, false},
    {"ringing", [] { SetStatus(kRinging); }, true, true},
    {"key deleted", [] { simdevice::DeleteRegistryKey(kPhoneKey); }, false, false},
    {"on hold", [] { SetStatus(kOnHold); }, true, true},
    {"value larger than a word",
     [] { simdevice::SetRegistryValue(kPhoneKey, kStatusValue, REG_SZ, std::string("\x00\x40\x00\x00\x00\x00", 6)); },
     true, false},
    {"talking again", Talking, true, true},
    {"opening fails", [] { simdevice::FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED); }, false, false},
    {"talking, opening works again", [] {}, true, true},
    {"opening claims success without a key", [] { simdevice::FailCall("RegOpenKeyExW", ERROR_SUCCESS); }, false, false},
    {"talking, a key again", [] {}, true, true},
    {"query fails", [] { simdevice::FailCall("RegQueryValueExW", ERROR_NOT_ENOUGH_MEMORY); }, true, false},
    {"query gives more-data", [] { simdevice::FailCall("RegQueryValueExW", ERROR_MORE_DATA); }, true, false},
    {"talking, query works again", [] {}, true, true},
};

TEST_F(KeyboardLockTest, ProbeReadsAfreshAndClosesWhatItOpened) {
    ASSERT_EQ(activate_(1), TRUE);
    simdevice::StartRecording();
    for (const ProbeStep &step : kSteps) {
        SCOPED_TRACE(step.what);
        step.arrange();
        const unsigned long opens = simdevice::CallCount(simdevice::Call::RegOpenKeyExW);
        const unsigned long queries = simdevice::CallCount(simdevice::Call::RegQueryValueExW);
        const unsigned long closes = simdevice::CallCount(simdevice::Call::RegCloseKey);

        EXPECT_EQ(PassedOn(VK_F3), step.callKeyPasses);

        EXPECT_EQ(simdevice::CallCount(simdevice::Call::RegOpenKeyExW), opens + 1);
        EXPECT_EQ(testing_support::LastArgument(simdevice::Call::RegOpenKeyExW, 3), uintptr_t(KEY_READ))
            << "opened for reading only";
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::RegQueryValueExW), queries + (step.keyOpens ? 1 : 0));
        EXPECT_EQ(simdevice::CallCount(simdevice::Call::RegCloseKey), closes + (step.keyOpens ? 1 : 0));
        EXPECT_EQ(simdevice::LiveResources().registryKeys, 0);
    }
}

// The probe runs for keys that could never pass too, and in every mode: a
// call that starts while other keys are pressed is seen at once.
TEST_F(KeyboardLockTest, ProbeRunsForEveryKeyInEveryMode) {
    SetStatus(0);
    ASSERT_EQ(activate_(0), TRUE);
    const unsigned long opens = simdevice::CallCount(simdevice::Call::RegOpenKeyExW);
    const unsigned long closes = simdevice::CallCount(simdevice::Call::RegCloseKey);
    EXPECT_FALSE(PassedOn('A'));
    EXPECT_FALSE(PassedOn(VK_F3));
    ASSERT_EQ(activate_(1), TRUE);
    EXPECT_FALSE(PassedOn('A'));
    SetStatus(kTalking);
    EXPECT_TRUE(PassedOn(VK_F6, WM_SYSKEYUP));
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::RegOpenKeyExW), opens + 4);
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::RegCloseKey), closes + 4);
}

}  // namespace
