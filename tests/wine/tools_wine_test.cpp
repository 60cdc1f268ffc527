// The Wine tools refuse bad input as the host tools do: powermgr.exe takes
// simdevice post's names and forms and nothing else; the client refuses a
// bad command line and skips a bad line.
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
        {{"--help"}, 0, "  post                        play the power manager"},
        {{"--version"}, 0, "powermgr "},
        {{"post", "powerstatus"}, 0, "posted powerstatus: delivered to 0 queue(s), dropped by 0"},
        {{"post", "raw", "0xFFFFFFFF", "4294967295"}, 0, "posted raw: delivered to 0 queue(s)"},
        {{"subscribers"}, 0, "0"},  // no daemon runs
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

// The same client as the simulated device's, with its refusals: a bad
// command line ends it before it does anything, a bad line is skipped.
TEST_F(ToolsUnderWine, KbclientRefusesABadCommandLineAndSkipsABadLine) {
    for (const std::vector<std::string> &words : {std::vector<std::string>{"--bogus"}, {"--library"}, {"1"}}) {
        const Output output = RunToEnd(Wine("kbclient.exe", words));
        EXPECT_EQ(output.status, kBadInput) << words[0];
        EXPECT_EQ(output.text, "") << words[0];
    }
    EXPECT_FALSE(std::filesystem::exists(Program("kbclient.log"))) << "a refused command line must not start the client";

    Process client(Wine("kbclient.exe", {}), {}, true);
    for (const char *line : {"load", "activate 1", "activate zz", "bogus", "deactivate now", "deactivate", "quit"})
        client.WriteLine(line);
    EXPECT_EQ(client.Wait(), kBadInput);
    EXPECT_EQ(LinesStartingWith(Program("kbclient.log"), "activate "), std::vector<std::string>{"activate 1: 1"});
    EXPECT_EQ(LinesStartingWith(Program("kbclient.log"), "deactivate"), std::vector<std::string>{"deactivate: 1"});
}

}  // namespace
