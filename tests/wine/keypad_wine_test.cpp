// The keypad lock under Wine: real X key events through a real low-level
// keyboard hook, with the phone's status in the real registry. The client
// records the hook chain's verdict on each key ("hook") and each key that
// reaches its window ("key").
#include "WineDevice.h"

#include "DeviceFacts.h"

#include <cstdio>

using namespace wine_test;

namespace {

const unsigned long kTalking = device_facts::kPhoneTalking;
const unsigned long kRinging = device_facts::kPhoneRinging;
const unsigned long kConferenceOnly = device_facts::kPhoneConference;  // not a call of its own

struct Key {
    const char *name;  // for xdotool
    unsigned vk;
};
const Key F3{"F3", 0x72}, F4{"F4", 0x73}, F5{"F5", 0x74}, F6{"F6", 0x75}, F7{"F7", 0x76}, F12{"F12", 0x7b},
    Enter{"Return", 0x0d};

std::string Hex(unsigned vk) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", vk);
    return text;
}

class KeypadUnderWine : public WineTest {
protected:
    KeypadUnderWine() : WineTest(/*sendsKeys=*/true) {}

    // Starts the client with MODE and focuses its window, where X sends keys.
    void StartClient(unsigned long mode, const std::string &faults = "") {
        std::map<std::string, std::string> env;
        if (!faults.empty()) env["COREDLL_FAULTS"] = faults;
        client_ = Process(Wine("kbclient.exe", {std::to_string(mode)}), env, true);
        ASSERT_TRUE(WaitUntil([&] { return !Log("ready ").empty(); })) << ReadFile(Program("kbclient.log"));
        ASSERT_EQ(Log("activated "), std::vector<std::string>{"activated " + std::to_string(mode) + " 1"});
        auto found = RunToEnd({"xdotool", "search", "--name", "^Keypad client$"});
        window_ = found.text.substr(0, found.text.find('\n'));
        ASSERT_FALSE(window_.empty());
        ASSERT_EQ(RunToEnd({"xdotool", "windowfocus", "--sync", window_}).status, 0);
    }

    std::vector<std::string> Log(const std::string &prefix) {
        return LinesStartingWith(Program("kbclient.log"), prefix);
    }

    // Presses and releases each key; returns the chain's verdict on each
    // key-down, "passed" or "swallowed", once all have been judged.
    std::vector<std::string> Press(const std::vector<Key> &keys) {
        const size_t before = Log("hook ").size();
        std::vector<std::string> command = {"xdotool", "key"};
        for (const Key &key : keys) command.push_back(key.name);
        EXPECT_EQ(RunToEnd(command).status, 0);
        std::vector<std::string> verdicts;
        EXPECT_TRUE(WaitUntil([&] { return Log("hook ").size() >= before + 2 * keys.size(); }));
        auto judged = Log("hook ");
        for (size_t i = before; i < judged.size(); ++i) {
            if (judged[i].find(" down ") == std::string::npos) continue;
            EXPECT_EQ(judged[i].substr(5, 4), Hex(keys[verdicts.size()].vk)) << judged[i];
            verdicts.push_back(judged[i].substr(judged[i].rfind(' ') + 1));
        }
        return verdicts;
    }

    void Deactivate() {
        client_.WriteLine("deactivate");
        ASSERT_TRUE(WaitUntil([&] { return !Log("deactivated ").empty(); }));
        EXPECT_EQ(Log("deactivated "), std::vector<std::string>{"deactivated 1"});
    }

    // The keys that reached the window, in order. Ends the lock and sends a
    // last key first: X delivers in order, so once that one has arrived,
    // every earlier key that was going to arrive has.
    std::vector<std::string> KeysReachingTheWindow() {
        Deactivate();
        EXPECT_EQ(Press({F12}), std::vector<std::string>{"passed"});
        EXPECT_TRUE(WaitUntil([&] { return !Log("key " + Hex(F12.vk)).empty(); }));
        auto keys = Log("key ");
        if (!keys.empty()) keys.pop_back();
        return keys;
    }

    static std::vector<std::string> KeyLines(const std::vector<Key> &keys) {
        std::vector<std::string> lines;
        for (const Key &key : keys) lines.push_back("key " + Hex(key.vk));
        return lines;
    }

    Process client_;
    std::string window_;
};

// Which keys pass, by mode and phone status.
TEST_F(KeypadUnderWine, KeysPassOnlyDuringACallInMode1AndOnlyF3ToF6) {
    struct Case {
        const char *what;
        unsigned long mode;
        std::optional<unsigned long> status;
        std::vector<Key> passed, swallowed;
    };
    const Case cases[] = {
        {"no status value", 1, std::nullopt, {}, {F3, Enter}},
        {"no call", 1, 0, {}, {F3, F6, Enter}},
        {"talking", 1, kTalking, {F3, F4, F5, F6}, {F7, Enter}},
        {"ringing", 1, kRinging, {F3, F6}, {F7}},
        {"conference bit alone", 1, kConferenceOnly, {}, {F3, F6}},
        {"talking, mode 0", 0, kTalking, {}, {F3, F4, F5, F6, F7, Enter}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetPhoneStatus(c.status);
        StartClient(c.mode);
        std::vector<Key> keys = c.passed;
        keys.insert(keys.end(), c.swallowed.begin(), c.swallowed.end());
        std::vector<std::string> expected(c.passed.size(), "passed");
        expected.resize(keys.size(), "swallowed");

        EXPECT_EQ(Press(keys), expected);
        EXPECT_EQ(KeysReachingTheWindow(), KeyLines(c.passed));
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
    EXPECT_TRUE(WaitUntil([&] { return Log("key ").size() == keys.size(); }));
    EXPECT_EQ(Log("key "), KeyLines(keys));
}

TEST_F(KeypadUnderWine, StatusChangedWhileTheHookRunsAppliesFromTheNextKey) {
    StartClient(1);
    EXPECT_EQ(Press({F3}), std::vector<std::string>{"swallowed"});
    SetPhoneStatus(kTalking);
    EXPECT_EQ(Press({F4}), std::vector<std::string>{"passed"});
    SetPhoneStatus(0);
    EXPECT_EQ(Press({F5}), std::vector<std::string>{"swallowed"});
    EXPECT_EQ(KeysReachingTheWindow(), KeyLines({F4}));
}

// A plan reaches the hook calls the library binds by name as well as the
// calls it imports by ordinal; a refused activation locks nothing.
TEST_F(KeypadUnderWine, FaultsReachCallsBoundByNameAndByOrdinal) {
    SetPhoneStatus(kTalking);
    for (const char *faults : {"SetWindowsHookExW=fail:8", "GetProcAddressW:CallNextHookEx=fail:127", "LoadLibraryW=fail:126"}) {
        SCOPED_TRACE(faults);
        client_ = Process(Wine("kbclient.exe", {"1"}), {{"COREDLL_FAULTS", faults}}, true);
        ASSERT_TRUE(WaitUntil([&] { return !Log("ready ").empty(); })) << ReadFile(Program("kbclient.log"));
        EXPECT_EQ(Log("activated "), std::vector<std::string>{"activated 1 0"});
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
    ASSERT_TRUE(WaitUntil([&] { return Log("activated ").size() == 2; }));
    EXPECT_EQ(Log("activated ").back(), "activated 1 1");
    EXPECT_EQ(Press({F3, F7}), (std::vector<std::string>{"passed", "swallowed"}));
}

}  // namespace
