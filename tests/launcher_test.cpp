// Starting the lock application: the path made from the daemon's own, the
// launch record, and real copies of the programs in unusual directories.
#include "TestSupport.h"

#include <vespertin.h>

#include <shellapi.h>

#include <string>

namespace {

using namespace testing_support;
using simdevice::Utf16ToUtf8;

const std::string kBare = "Harrowcastle.exe";

simdevice::LogRecord LastLaunch() {
    auto launches = Records(timeline::Event::ShellExecute);
    return launches.empty() ? simdevice::LogRecord{} : launches.back();
}

// A path of '/' + 'd'... + '/' whose next character is at INDEX, then TAIL.
std::u16string At(size_t index, const std::u16string &tail) {
    return u"/" + std::u16string(index - 2, u'd') + u"/" + tail;
}

// Leaves the stack below the caller full of '/'-then-terminator words, as
// earlier calls may leave it on the device: a buffer the launcher does not
// clear itself then holds "/", and the path made from it would be "/" + name.
__attribute__((noinline)) void LeaveSeparatorsOnTheStack() {
    volatile uint32_t words[2048];
    for (volatile uint32_t &word : words) word = u'/';
}

class LauncherTest : public DeviceTest {};

TEST_F(LauncherTest, LockAppPathComesFromTheDaemonsOwn) {
    const std::u16string emoji = u"\U0001F600";  // two UTF-16 units
    std::u16string emojis118, emojis119;
    for (int i = 0; i < 118; ++i) emojis118 += emoji;
    emojis119 = emojis118 + emoji;
    struct Case {
        const char *name;
        std::u16string modulePath;
        std::u16string expected;  // empty: the bare name
    } cases[] = {
        {"beside the daemon", u"/opt/app/vespertin.exe", u"/opt/app/Harrowcastle.exe"},
        {"first occurrence, in a directory", u"/opt/vespertin.exe/bin/vespertin.exe", u"/opt/Harrowcastle.exe"},
        {"occurrence inside a longer name", u"/opt/app/old-vespertin.exe.bak", u"/opt/app/old-Harrowcastle.exe"},
        {"renamed: upper case", u"/opt/app/VESPERTIN.EXE", u"/opt/app/Harrowcastle.exe"},
        {"renamed, under a mixed-case directory", u"/opt/Vespertin.exe/VESPERTIN.EXE",
         u"/opt/Vespertin.exe/Harrowcastle.exe"},
        {"device separators", u"\\Windows\\VESPERTIN.EXE", u"\\Windows\\Harrowcastle.exe"},
        {"mixed separators", u"\\Storage Card/apps\\daemon.exe", u"\\Storage Card/apps\\Harrowcastle.exe"},
        {"no directory", u"daemon.exe", u"Harrowcastle.exe"},
        {"directory only", u"/opt/app/", u"/opt/app/Harrowcastle.exe"},
        {"match at 239 (252 chars)", At(239, u"vespertin.exe"), At(239, u"Harrowcastle.exe")},
        {"match at 240 (253 chars)", At(240, u"vespertin.exe"), u""},
        {"match at 241 (254 chars)", At(241, u"vespertin.exe"), u""},
        {"match at 240 inside a file name at 7", u"/short/" + std::u16string(233, u'a') + u"vespertin.exe",
         u"/short/Harrowcastle.exe"},
        {"renamed, file name at 239", At(239, u"VESPERTIN.EXE"), At(239, u"Harrowcastle.exe")},
        {"renamed, file name at 240", At(240, u"VESPERTIN.EXE"), u""},
        {"early match in a 253-char path", u"/vespertin.exe" + At(238, u"x"), u"/Harrowcastle.exe"},
        // A platform may cut a longer path to 254 and terminate it: such a
        // path may not be whole, and the file it names could lie elsewhere.
        {"early match in a 254-char path (possibly cut)", u"/vespertin.exe" + At(239, u"x"), u""},
        {"early match in a 255-char path (cut)", u"/vespertin.exe" + At(240, u"x"), u""},
        {"300 chars", At(287, u"vespertin.exe"), u""},
        {"empty", u"", u""},
        // Indexes count UTF-16 units: 239 here, though only 121 characters.
        {"match at 239 units after surrogate pairs", u"/" + emojis118 + u"\u00e9/vespertin.exe",
         u"/" + emojis118 + u"\u00e9/Harrowcastle.exe"},
        {"match at 240 units, 121 characters", u"/" + emojis119 + u"/vespertin.exe", u""},
        {"non-BMP path of 255 units", u"/" + emojis118 + u"/vespertin.exe" + std::u16string(4, u'x'), u""},
    };
    simdevice::StartRecording();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        simdevice::ForceModulePath(c.modulePath);
        LaunchLockApp();
        std::string expected = c.expected.empty() ? kBare : Utf16ToUtf8(c.expected);
        EXPECT_EQ(LastLaunch().Field("file"), "\"" + expected + "\"");
        EXPECT_EQ(testing_support::LastArgument(simdevice::Call::GetModuleFileNameW, 2), 255u)
            << "one less than the 256-character buffer";
    }
    EXPECT_EQ(Records(timeline::Event::ShellExecute).size(), std::size(cases));
}

TEST_F(LauncherTest, WithoutAModulePathTheBareNameIsStartedFromTheSystemFolder) {
    CopyProgram("Harrowcastle.exe", simdevice::WindowsDir() + "/Harrowcastle.exe");
    struct Case {
        const char *name;
        void (*plan)();
    } cases[] = {
        {"query failed", [] { simdevice::FailCall("GetModuleFileNameW", ERROR_MOD_NOT_FOUND); }},
        {"query reported nothing", [] { simdevice::ForceReturn("GetModuleFileNameW", 0); }},
        // The device may report a length and leave the buffer as it was.
        {"query reported a path it did not write", [] { simdevice::ForceReturn("GetModuleFileNameW", 30); }},
    };
    size_t started = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        c.plan();
        LeaveSeparatorsOnTheStack();
        LaunchLockApp();
        auto launch = LastLaunch();
        EXPECT_EQ(launch.Field("file"), "\"" + kBare + "\"");
        EXPECT_EQ(launch.Field("result"), "started");
        ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppStarted, ++started));
        EXPECT_EQ(Records(timeline::Event::Start).back().Field("path"), simdevice::WindowsDir() + "/Harrowcastle.exe");
    }
}

TEST_F(LauncherTest, LaunchRecordIsZeroFilledExceptForTheOpenVerbAndEmptyStrings) {
    simdevice::ForceModulePath(u"/opt/app/vespertin.exe");
    LaunchLockApp();
    auto launch = LastLaunch();
    EXPECT_EQ(launch.Field("cbSize"), kLaunchRecordBytes);
    EXPECT_EQ(launch.Field("fMask"), "0");
    EXPECT_EQ(launch.Field("hwnd"), "0");
    EXPECT_EQ(launch.Field("verb"), "\"open\"");
    EXPECT_EQ(launch.Field("parameters"), "\"\"");
    EXPECT_EQ(launch.Field("directory"), "\"\"");
    EXPECT_EQ(launch.Field("nShow"), "0");
    EXPECT_EQ(launch.Field("result"), "failed");
    EXPECT_EQ(launch.Field("error"), std::to_string(ERROR_FILE_NOT_FOUND));
}

// Real copies: the daemon finds the lock application from where it really
// lies, whatever the directory is called.
TEST_F(LauncherTest, CopiedDaemonStartsTheLockAppItsPathLeadsTo) {
    const std::string apps = DeviceDir() + "/apps";
    struct Case {
        const char *name;
        std::string daemon;
        std::string lockApp;  // where a copy is put and expected to start; empty: none
        std::string launched;
    } cases[] = {
        {"non-ASCII directory", apps + "/Verrouillé 日本 😀/vespertin.exe", apps + "/Verrouillé 日本 😀/Harrowcastle.exe",
         apps + "/Verrouillé 日本 😀/Harrowcastle.exe"},
        {"directory named like the daemon", apps + "/vespertin.exe.d/vespertin.exe", apps + "/Harrowcastle.exe",
         apps + "/Harrowcastle.exe"},
        {"renamed daemon", apps + "/renamed/VESPERTIN.EXE", apps + "/renamed/Harrowcastle.exe",
         apps + "/renamed/Harrowcastle.exe"},
        {"lock application missing", apps + "/alone/vespertin.exe", "", apps + "/alone/Harrowcastle.exe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CopyProgram("vespertin.exe", c.daemon);
        if (!c.lockApp.empty()) CopyProgram("Harrowcastle.exe", c.lockApp);
        pid_t daemon = StartWatchingDaemon(c.daemon);
        simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
        ASSERT_TRUE(WaitForEvents(timeline::Event::ShellExecute, 1, daemon));
        auto launch = Records(timeline::Event::ShellExecute, daemon)[0];
        EXPECT_EQ(launch.Field("cbSize"), kLaunchRecordBytes);
        EXPECT_EQ(launch.Field("file"), "\"" + c.launched + "\"");
        if (!c.lockApp.empty()) {
            EXPECT_EQ(launch.Field("result"), "started");
            pid_t child = pid_t(std::stoi(launch.Field("child")));
            ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppStarted, 1, child));
            EXPECT_EQ(Records(timeline::Event::Start, child)[0].Field("path"), c.lockApp);
        } else {
            EXPECT_EQ(launch.Field("result"), "failed");
            // The daemon carries on.
            simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
            EXPECT_TRUE(WaitForEvents(timeline::Event::ShellExecute, 2, daemon));
        }
        EXPECT_EQ(KillProgram(daemon), 128 + SIGKILL) << "the daemon had ended by itself";
    }
}

}  // namespace
