// The Wine tools refuse bad input as the host tools do: powermgr.exe takes
// simdevice post's names and forms and nothing else; the client fixture
// refuses a bad mode and skips a bad line.
#include "WineDevice.h"

using namespace wine_test;

namespace {

constexpr int kBadInput = 2;

class ToolsUnderWine : public WineTest {};

TEST_F(ToolsUnderWine, PowermgrTakesSimdevicePostsFormsOnly) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // a part of standard output
    };
    const Case cases[] = {
        {{}, kBadInput, ""},
        {{"bogus"}, kBadInput, ""},
        {{"post"}, kBadInput, ""},
        {{"post", "bogus"}, kBadInput, ""},
        {{"post", "unattended", "now"}, kBadInput, ""},
        {{"post", "raw", "zz", "1"}, kBadInput, ""},
        {{"post", "raw", "0x100000000", "1"}, kBadInput, ""},
        {{"post", "raw", "-1", "1"}, kBadInput, ""},
        {{"post", "raw", "1"}, kBadInput, ""},
        {{"post", "raw", "1", "2", "3"}, kBadInput, ""},
        {{"post", "1", "2"}, kBadInput, ""},  // the old form, without raw
        {{"subscribers", "x"}, kBadInput, ""},
        {{"--help"}, 0, "usage: powermgr post BROADCAST"},
        {{"--version"}, 0, "powermgr "},
        {{"post", "powerstatus"}, 0, "posted 0x4 0x0 to 0 of 0 subscribers"},
        {{"post", "raw", "0xFFFFFFFF", "4294967295"}, 0, "posted 0xffffffff 0xffffffff"},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const auto &arg : c.args) shown += " " + arg;
        SCOPED_TRACE("powermgr.exe" + shown);
        const Output output = RunToEnd(Wine("powermgr.exe", c.args));
        EXPECT_EQ(output.status, c.status);
        if (c.status == kBadInput) EXPECT_EQ(output.text, "");
        else EXPECT_NE(output.text.find(c.out), std::string::npos) << output.text;
    }
}

TEST_F(ToolsUnderWine, KbclientRefusesABadModeAndSkipsABadLine) {
    for (const std::vector<std::string> &mode : {std::vector<std::string>{}, {"zz"}, {"0x100000000"}, {"1", "2"}}) {
        EXPECT_EQ(RunToEnd(Wine("kbclient.exe", mode)).status, kBadInput) << (mode.empty() ? "no mode" : mode[0]);
    }
    EXPECT_FALSE(std::filesystem::exists(Program("kbclient.log"))) << "a refused mode must not start the client";

    Process client(Wine("kbclient.exe", {"1"}), {}, true);
    ASSERT_TRUE(WaitUntil([&] { return !LinesStartingWith(Program("kbclient.log"), "ready ").empty(); }));
    for (const char *line : {"activate zz", "bogus", "deactivate now", "deactivate", "quit"}) client.WriteLine(line);
    EXPECT_EQ(client.Wait(), kBadInput);
    EXPECT_EQ(LinesStartingWith(Program("kbclient.log"), "activated "), std::vector<std::string>{"activated 1 1"});
    EXPECT_EQ(LinesStartingWith(Program("kbclient.log"), "deactivated "), std::vector<std::string>{"deactivated 1"});
}

}  // namespace
