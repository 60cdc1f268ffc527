// The filter's whole decision table, checked against an oracle written
// independently of the library: every key, message, hook code and mode, for
// each kind of phone status the registry can hold.
#include "KeyboardLockTest.h"
#include "KeypadOracle.h"

#include <optional>
#include <sstream>
#include <vector>

using namespace keyboard_lock;
using keypad_oracle::ReadableWord;
using keypad_oracle::ShouldPass;
using keypad_oracle::StatusCase;

namespace keypad_oracle {
// Tests show the row's name rather than its bytes.
void PrintTo(const StatusCase &row, std::ostream *out) { *out << row.name; }
}  // namespace keypad_oracle

namespace {

class DecisionTable : public KeyboardLockTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DecisionTable, EveryKeyMessageCodeAndMode) {
    const StatusCase &status = GetParam();
    keypad_oracle::StoreOnDevice(status);
    const std::optional<DWORD> word = ReadableWord(status);
    ASSERT_EQ(activate_(1), TRUE);
    HookAbove();

    std::vector<DWORD> keys;
    for (DWORD vk = 0; vk <= 255; ++vk) keys.push_back(vk);
    keys.insert(keys.end(), {0x100, 0x172, 0xFFFFFFFF});
    const WPARAM messages[] = {WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP};
    const int codes[] = {-1, 0, 1};
    const DWORD modes[] = {0, 1, 2, 0xFFFFFFFF};

    int mismatches = 0;
    long events = 0, passed = 0;
    for (DWORD mode : modes) {
        ASSERT_EQ(activate_(mode), TRUE);
        for (DWORD vk : keys) {
            for (WPARAM message : messages) {
                for (int code : codes) {
                    // A different value each time: the library must return the next hook's, not its own.
                    g_belowResult = 0x5A5A0000 + events++;
                    const simdevice::KeyEvent event = MakeEvent(vk, message);
                    const int aboveBefore = g_above.calls, belowBefore = g_below.calls;
                    const unsigned long opensBefore = simdevice::CallCount(simdevice::Call::RegOpenKeyExW);

                    const simdevice::KeyFate fate = simdevice::DeliverKeyEvent(event, code);

                    const bool expectPass = ShouldPass(word, mode, vk);
                    passed += expectPass;
                    bool ok = g_above.calls == aboveBefore + 1 &&
                              simdevice::CallCount(simdevice::Call::RegOpenKeyExW) == opensBefore + 1;
                    if (expectPass) {
                        ok = ok && g_below.calls == belowBefore + 1 && fate.result == g_belowResult &&
                             g_below.code == code && g_below.wParam == message && g_below.lParam == g_above.lParam &&
                             SameRecord(g_below.record, event.record);
                    } else {
                        ok = ok && g_below.calls == belowBefore && fate.result == kSwallowed;
                    }
                    if (!ok && ++mismatches <= 5) {
                        ADD_FAILURE() << "mode " << mode << " vk 0x" << std::hex << vk << " message 0x" << message
                                      << std::dec << " code " << code << ": expected "
                                      << (expectPass ? "passed on" : "swallowed") << ", result " << fate.result
                                      << ", hook below called " << g_below.calls - belowBefore << " times";
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << events << " events";
    // Guards the oracle itself: a call lets every call key through, with each
    // of 4 messages and 3 codes, in mode 1 only.
    int callKeys = 0;
    for (DWORD vk = 0; vk < 256; ++vk) callKeys += KEYPAD_RULE_IS_CALL_KEY(vk);
    ASSERT_GT(callKeys, 0);
    EXPECT_EQ(passed, ShouldPass(word, 1, VK_F3) ? callKeys * 4 * 3 : 0);
    EXPECT_EQ(simdevice::LiveResources().registryKeys, 0);
}

INSTANTIATE_TEST_SUITE_P(PhoneStatus, DecisionTable, ::testing::ValuesIn(keypad_oracle::StatusCases()),
                         [](const ::testing::TestParamInfo<StatusCase> &info) { return info.param.name; });

// The hook above hands the library no record: nothing is known about the
// key, so it stays locked even when a call key would pass.
TEST_F(KeyboardLockTest, MissingRecordIsSwallowed) {
    SetStatus(kTalking);
    ASSERT_EQ(activate_(1), TRUE);
    HookAbove();
    ASSERT_TRUE(PassedOn(VK_F3));
    g_aboveNullsRecord = true;
    EXPECT_FALSE(PassedOn(VK_F3));
    EXPECT_EQ(g_above.calls, 2);
}

// A call key passed on with a 0 from the rest of the chain reaches the window.
TEST_F(KeyboardLockTest, PassedKeyReachesTheWindowWhenTheChainAllows) {
    SetStatus(kRinging);
    ASSERT_EQ(activate_(1), TRUE);
    g_belowPassesOn = true;
    simdevice::KeyFate fate = Press(VK_F4, WM_KEYUP);
    EXPECT_EQ(g_below.calls, 1);
    EXPECT_EQ(fate.result, 0);
    EXPECT_TRUE(fate.reachedWindow);
    EXPECT_FALSE(Press('A').reachedWindow);
}

}  // namespace

// A key passes on with the lock's own hook handle, and never before the lock
// has that handle: the platform may deliver a key to the new hook before
// SetWindowsHookExW has returned it.
TEST_F(KeyboardLockTest, CallKeysPassOnlyWithTheLocksOwnHookHandle) {
    SetStatus(kTalking);
    simdevice::DeliverKeyDuringNextInstall(MakeEvent(VK_F3));
    simdevice::StartRecording();
    ASSERT_EQ(activate_(1), TRUE);
    const auto duringInstall = simdevice::KeyFateDuringInstall();
    ASSERT_TRUE(duringInstall) << "the key was delivered while the hook went in";
    EXPECT_EQ(duringInstall->result, kSwallowed) << "a call key before the lock had its handle";
    EXPECT_EQ(g_below.calls, 0);

    const auto installed = simdevice::LastRecorded(simdevice::Call::SetWindowsHookExW);
    ASSERT_TRUE(installed && installed->returned && installed->result != 0);
    EXPECT_TRUE(PassedOn(VK_F3));
    EXPECT_EQ(testing_support::LastArgument(simdevice::Call::CallNextHookEx, 0), installed->result);
}
