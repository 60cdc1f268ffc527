// The keypad lock under Wine: real X key events through a real low-level
// keyboard hook, with the phone's status in the real registry. The client
// records the hook chain's verdict on each key ("F3 down: swallowed ...")
// and each key that reaches its window ("F3: reached the window").
#include "WineDevice.h"

#include "DeviceFacts.h"
#include "KeypadRule.h"


using namespace wine_test;

namespace {

const unsigned long kTalking = device_facts::kPhoneTalking;
const unsigned long kRinging = device_facts::kPhoneRinging;
const unsigned long kConferenceOnly = device_facts::kPhoneConference;  // not a call of its own

struct Key {
    const char *name;  // for xdotool
    const char *shown;  // in the client's record
    unsigned long vk;
};
const Key F3{"F3", "F3", 0x72}, F4{"F4", "F4", 0x73}, F5{"F5", "F5", 0x74}, F6{"F6", "F6", 0x75},
    F7{"F7", "F7", 0x76}, F12{"F12", "F12", 0x7B}, Enter{"Return", "Enter", 0x0D};

// The fates the decision table gives KEYS, for STATUS (none: no value, no
// call) and MODE with the lock active.
std::vector<std::string> Fates(std::optional<unsigned long> status, unsigned long mode, const std::vector<Key> &keys) {
    std::vector<std::string> fates;
    for (const Key &key : keys)
        fates.push_back(status && KEYPAD_RULE_PASSES(*status, mode, key.vk) ? "passed" : "swallowed");
    return fates;
}

const char kReached[] = ": reached the window";

bool IsVerdict(const std::string &line) {
    return line.find(" down: ") != std::string::npos || line.find(" up: ") != std::string::npos;
}

class KeypadUnderWine : public WineTest {
protected:
    KeypadUnderWine() : WineTest(/*sendsKeys=*/true) {}

    // Starts the client, listening, has it load the library and activate it
    // in MODE; the activation's answer.
    std::vector<std::string> Activated(unsigned long mode, const std::string &faults) {
        std::map<std::string, std::string> env;
        if (!faults.empty()) env["COREDLL_FAULTS"] = faults;
        client_ = Process(Wine("kbclient.exe", {"--listen"}), env, true);
        client_.WriteLine("load");
        client_.WriteLine("activate " + std::to_string(mode));
        EXPECT_TRUE(WaitUntil([&] { return !Log("activate ").empty(); })) << ReadFile(Program("kbclient.log"));
        return Log("activate ");
    }

    // Starts the client with MODE and focuses its window, where X sends keys.
    void StartClient(unsigned long mode, const std::string &faults = "") {
        ASSERT_EQ(Activated(mode, faults), std::vector<std::string>{"activate " + std::to_string(mode) + ": 1"});
        auto found = RunToEnd({"xdotool", "search", "--name", "^Keypad client$"});
        window_ = found.text.substr(0, found.text.find('\n'));
        ASSERT_FALSE(window_.empty());
        ASSERT_EQ(RunToEnd({"xdotool", "windowfocus", "--sync", window_}).status, 0);
    }

    std::vector<std::string> Log(const std::string &prefix) {
        return LinesStartingWith(Program("kbclient.log"), prefix);
    }

    std::vector<std::string> Verdicts() {
        std::vector<std::string> verdicts;
        for (const std::string &line : Log(""))
            if (IsVerdict(line)) verdicts.push_back(line);
        return verdicts;
    }

    std::vector<std::string> KeysReached() {
        std::vector<std::string> keys;
        for (const std::string &line : Log(""))
            if (line.find(kReached) != std::string::npos) keys.push_back(line);
        return keys;
    }

    // Presses and releases each key; returns the chain's verdict on each
    // key-down, "passed" or "swallowed", once all have been judged.
    std::vector<std::string> Press(const std::vector<Key> &keys) {
        const size_t before = Verdicts().size();
        std::vector<std::string> command = {"xdotool", "key"};
        for (const Key &key : keys) command.push_back(key.name);
        EXPECT_EQ(RunToEnd(command).status, 0);
        std::vector<std::string> verdicts;
        EXPECT_TRUE(WaitUntil([&] { return Verdicts().size() >= before + 2 * keys.size(); }));
        auto judged = Verdicts();
        for (size_t i = before; i < judged.size(); ++i) {
            if (judged[i].find(" down: ") == std::string::npos) continue;
            EXPECT_EQ(judged[i].substr(0, judged[i].find(' ')), keys[verdicts.size()].shown) << judged[i];
            verdicts.push_back(judged[i].find(": passed on (") != std::string::npos ? "passed" : "swallowed");
        }
        return verdicts;
    }

    void Deactivate() {
        client_.WriteLine("deactivate");
        ASSERT_TRUE(WaitUntil([&] { return !Log("deactivate: ").empty(); }));
        EXPECT_EQ(Log("deactivate: "), std::vector<std::string>{"deactivate: 1"});
    }

    // The keys that reached the window, in order. Ends the lock and sends a
    // last key first: X delivers in order, so once that one has arrived,
    // every earlier key that was going to arrive has.
    std::vector<std::string> KeysReachingTheWindow() {
        Deactivate();
        EXPECT_EQ(Press({F12}), std::vector<std::string>{"passed"});
        EXPECT_TRUE(WaitUntil([&] { return !Log(F12.shown + std::string(kReached)).empty(); }));
        auto keys = KeysReached();
        if (!keys.empty()) keys.pop_back();
        return keys;
    }

    static std::vector<std::string> KeyLines(const std::vector<Key> &keys) {
        std::vector<std::string> lines;
        for (const Key &key : keys) lines.push_back(key.shown + std::string(kReached));
        return lines;
    }

    Process client_;
    std::string window_;
};

// Which keys pass, by mode and phone status, as the decision table has it.
TEST_F(KeypadUnderWine, KeysPassAsTheDecisionTableSays) {
    struct Case {
        const char *what;
        unsigned long mode;
        std::optional<unsigned long> status;
        std::vector<Key> keys;
    };
    const Case cases[] = {
        {"no status value", 1, std::nullopt, {F3, Enter}},
        {"no call", 1, 0, {F3, F6, Enter}},
        {"talking", 1, kTalking, {F3, F4, F5, F6, F7, Enter}},
        {"ringing", 1, kRinging, {F3, F6, F7}},
        {"conference bit alone", 1, kConferenceOnly, {F3, F6}},
        {"talking, mode 0", 0, kTalking, {F3, F4, F5, F6, F7, Enter}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetPhoneStatus(c.status);
        StartClient(c.mode);
        const std::vector<std::string> fates = Fates(c.status, c.mode, c.keys);
        std::vector<Key> passed;
        for (size_t i = 0; i < c.keys.size(); ++i)
            if (fates[i] == "passed") passed.push_back(c.keys[i]);

        EXPECT_EQ(Press(c.keys), fates);
        EXPECT_EQ(KeysReachingTheWindow(), KeyLines(passed));
        client_.WriteLine("quit");
        EXPECT_EQ(client_.Wait(), 0);
        std::filesystem::remove(Program("kbclient.log"));
    }
}

TEST_F(KeypadUnderWine, EveryKeyPassesAfterDeactivation) {
    StartClient(1);
    Deactivate();
    const std::vector<Key> keys = {F3, F7, Enter};
    EXPECT_EQ(Press(keys), std::vector<std::string>(3, "passed"));
    EXPECT_TRUE(WaitUntil([&] { return KeysReached().size() == keys.size(); }));
    EXPECT_EQ(KeysReached(), KeyLines(keys));
}

TEST_F(KeypadUnderWine, StatusChangedWhileTheHookRunsAppliesFromTheNextKey) {
    StartClient(1);
    EXPECT_EQ(Press({F3}), Fates(0, 1, {F3}));
    SetPhoneStatus(kTalking);
    EXPECT_EQ(Press({F4}), Fates(kTalking, 1, {F4}));
    SetPhoneStatus(0);
    EXPECT_EQ(Press({F5}), Fates(0, 1, {F5}));
    EXPECT_EQ(KeysReachingTheWindow(), KeyLines({F4}));
}

// A plan reaches the hook calls the library binds by name as well as the
// calls it imports by ordinal; a refused activation locks nothing. (The
// client's own load is the first LoadLibraryW.)
TEST_F(KeypadUnderWine, FaultsReachCallsBoundByNameAndByOrdinal) {
    SetPhoneStatus(kTalking);
    for (const char *faults : {"SetWindowsHookExW=fail:8", "GetProcAddressW:CallNextHookEx=fail:127", "LoadLibraryW@2=fail:126"}) {
        SCOPED_TRACE(faults);
        EXPECT_EQ(Activated(1, faults), std::vector<std::string>{"activate 1: 0"});
        client_.WriteLine("quit");
        EXPECT_EQ(client_.Wait(), 0);
        std::filesystem::remove(Program("kbclient.log"));
    }
    // The probe's registry calls, imported by ordinal: a failed open is no call.
    StartClient(1, "RegOpenKeyExW@*=fail:2");
    EXPECT_EQ(Press({F3}), std::vector<std::string>{"swallowed"});
}

TEST_F(KeypadUnderWine, ActivatingAgainOnlyChangesTheMode) {
    SetPhoneStatus(kTalking);
    StartClient(0);
    EXPECT_EQ(Press({F3}), std::vector<std::string>{"swallowed"});
    client_.WriteLine("activate 1");
    ASSERT_TRUE(WaitUntil([&] { return Log("activate ").size() == 2; }));
    EXPECT_EQ(Log("activate ").back(), "activate 1: 1");
    EXPECT_EQ(Press({F3, F7}), Fates(kTalking, 1, {F3, F7}));
}

}  // namespace
