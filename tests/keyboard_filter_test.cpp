// The filter's whole decision table, checked against an oracle written
// independently of the library: every key, message, hook code and mode, for
// each kind of phone status the registry can hold.
#include "KeyboardLockTest.h"

#include <optional>
#include <set>
#include <sstream>
#include <vector>

using namespace keyboard_lock;

namespace {

// How the phone status is stored for one row of the table.
struct StatusCase {
    const char *name;
    enum Kind { kDword, kRaw, kMissingKey, kMissingValue } kind;
    DWORD word = 0;      // kDword
    DWORD type = 0;      // kRaw
    std::string bytes;   // kRaw
};

StatusCase Dword(const char *name, DWORD word) { return {name, StatusCase::kDword, word, 0, {}}; }
StatusCase Missing(const char *name, StatusCase::Kind kind) { return {name, kind, 0, 0, {}}; }
StatusCase Raw(const char *name, DWORD type, std::string bytes) {
    return {name, StatusCase::kRaw, 0, type, std::move(bytes)};
}

std::vector<StatusCase> StatusCases() {
    static const char *const kBitNames[32] = {
        "Bit00", "Bit01", "Bit02", "Bit03", "Bit04", "Bit05", "Bit06", "Bit07", "Bit08", "Bit09", "Bit10",
        "Bit11", "Bit12", "Bit13", "Bit14", "Bit15", "Bit16", "Bit17", "Bit18", "Bit19", "Bit20", "Bit21",
        "Bit22", "Bit23", "Bit24", "Bit25", "Bit26", "Bit27", "Bit28", "Bit29", "Bit30", "Bit31"};
    // Every single bit: the four call bits and all their neighbours.
    std::vector<StatusCase> cases;
    for (int bit = 0; bit < 32; ++bit) cases.push_back(Dword(kBitNames[bit], DWORD(1) << bit));
    cases.push_back(Dword("Idle", 0));
    cases.push_back(Dword("AllBits", 0xFFFFFFFF));
    cases.push_back(Dword("AllButCallBits", ~(kTalking | kConnecting | kRinging | kOnHold)));
    cases.push_back(Dword("TalkingWithNeighbours", kTalking | 0x8000 | 0x10000000 | 0x40000000 | 0x2000 | 0x1000));
    cases.push_back(Missing("MissingKey", StatusCase::kMissingKey));
    cases.push_back(Missing("MissingValue", StatusCase::kMissingValue));
    // The type is not examined: whatever fits in the word is the word.
    cases.push_back(Raw("Binary2BytesOnHold", REG_BINARY, std::string("\x00\x40", 2)));
    cases.push_back(Raw("Binary2BytesZero", REG_BINARY, std::string("\x00\x00", 2)));
    cases.push_back(Raw("Binary1Byte", REG_BINARY, std::string("\xFF", 1)));
    cases.push_back(Raw("Binary3BytesRinging", REG_BINARY, std::string("\x00\x00\x01", 3)));
    cases.push_back(Raw("String4BytesOnHold", REG_SZ, std::string("\x00\x40\x00\x00", 4)));
    cases.push_back(Raw("String4BytesText", REG_SZ, std::string("1\0" "2\0", 4)));
    cases.push_back(Raw("StringLongTalking", REG_SZ, std::string("\x00\x00\x00\x20\x00\x00", 6)));
    cases.push_back(Raw("EmptyBinary", REG_BINARY, std::string()));
    return cases;
}

// The word the probe can read: a value of up to four bytes, zero-extended
// (little-endian); nothing when the key or value is missing or too large.
std::optional<DWORD> ReadableWord(const StatusCase &status) {
    switch (status.kind) {
    case StatusCase::kDword:
        return status.word;
    case StatusCase::kRaw: {
        if (status.bytes.size() > 4) return std::nullopt;
        DWORD word = 0;
        for (size_t i = 0; i < status.bytes.size(); ++i) word |= DWORD(static_cast<unsigned char>(status.bytes[i])) << (8 * i);
        return word;
    }
    default:
        return std::nullopt;
    }
}

bool ShouldPass(std::optional<DWORD> word, DWORD mode, DWORD vk) {
    static const std::set<DWORD> kCallKeys = {VK_F3, VK_F4, VK_F5, VK_F6};
    static const DWORD kCallBits[] = {kTalking, kConnecting, kRinging, kOnHold};
    bool inCall = false;
    if (word)
        for (DWORD bit : kCallBits) inCall = inCall || (*word & bit) == bit;
    return inCall && mode == 1 && kCallKeys.count(vk) == 1;
}

void Store(const StatusCase &status) {
    switch (status.kind) {
    case StatusCase::kDword:
        SetStatus(status.word);
        break;
    case StatusCase::kRaw:
        simdevice::SetRegistryValue(kPhoneKey, kStatusValue, status.type, status.bytes);
        break;
    case StatusCase::kMissingKey:
        simdevice::DeleteRegistryKey(kPhoneKey);
        break;
    case StatusCase::kMissingValue:
        simdevice::SetRegistryDword(kPhoneKey, u"OtherValue", kTalking);
        simdevice::DeleteRegistryValue(kPhoneKey, kStatusValue);
        break;
    }
}

// Test names show the row's name rather than its bytes.
void PrintTo(const StatusCase &row, std::ostream *out) { *out << row.name; }

class DecisionTable : public KeyboardLockTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DecisionTable, EveryKeyMessageCodeAndMode) {
    const StatusCase &status = GetParam();
    Store(status);
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
                    const unsigned long opensBefore = simdevice::CallCount("RegOpenKeyExW");

                    const simdevice::KeyFate fate = simdevice::DeliverKeyEvent(event, code);

                    const bool expectPass = ShouldPass(word, mode, vk);
                    passed += expectPass;
                    bool ok = g_above.calls == aboveBefore + 1 &&
                              simdevice::CallCount("RegOpenKeyExW") == opensBefore + 1;
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
    // Guards the oracle itself: a call lets 4 keys x 4 messages x 3 codes through in mode 1 only.
    EXPECT_EQ(passed, ShouldPass(word, 1, VK_F3) ? 48 : 0);
    EXPECT_EQ(simdevice::LiveResources().registryKeys, 0);
}

INSTANTIATE_TEST_SUITE_P(PhoneStatus, DecisionTable, ::testing::ValuesIn(StatusCases()),
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
    ASSERT_EQ(activate_(1), TRUE);
    const auto duringInstall = simdevice::KeyFateDuringInstall();
    ASSERT_TRUE(duringInstall) << "the key was delivered while the hook went in";
    EXPECT_EQ(duringInstall->result, kSwallowed) << "a call key before the lock had its handle";
    EXPECT_EQ(g_below.calls, 0);

    const HHOOK lock = simdevice::LastObserved().installedHook;
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(PassedOn(VK_F3));
    EXPECT_EQ(simdevice::LastObserved().nextHook, lock);
}
