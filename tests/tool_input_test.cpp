// What the host tools make of what people type: every bad input is refused
// with its exact exit status and one line naming the bad part, before
// anything is done; good input at the edges of each range is taken; and
// nothing beside the device changes, whatever was typed.
#include "ArgumentValues.h"
#include "DeviceNames.h"
#include "TestSupport.h"
#include "ToolRun.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kBadInput = 2;

struct ToolCase {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of standard error ("" when it must be empty)
    std::string out;  // a part of standard output
};

std::string Shown(const std::vector<std::string> &args) {
    std::string text;
    for (const auto &arg : args) text += " '" + arg + "'";
    return text;
}

std::string Text(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A device with a file and a directory beside it that no tool may touch, and
// a record in its log that a device reset would wipe.
class ToolInput : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        sentinelFile_ = DeviceDir() + ".sentinel";
        sentinelDir_ = DeviceDir() + ".sentinel-dir";
        std::ofstream(sentinelFile_) << "not the device's\n";
        fs::create_directory(sentinelDir_);
        std::ofstream(sentinelDir_ / "inside") << "nor this\n";
        simdevice::Log(timeline::Event::Debug, {{"text", "marker"}});
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(sentinelFile_, ignored);
        fs::remove_all(sentinelDir_, ignored);
        DeviceTest::TearDown();
    }

    void ExpectSentinelsUntouched() {
        EXPECT_EQ(Text(sentinelFile_), "not the device's\n");
        std::vector<std::string> entries;
        std::error_code ignored;
        for (const auto &entry : fs::directory_iterator(sentinelDir_, ignored))
            entries.push_back(entry.path().filename().string());
        EXPECT_EQ(entries, std::vector<std::string>{"inside"});
        EXPECT_EQ(Text(sentinelDir_ / "inside"), "nor this\n");
    }

    // Runs TOOL over each case; a refused one must say so in REFUSAL_LINES
    // lines (one, and a hint) and leave the device's log as it was (nothing
    // started, posted, pressed or set).
    void Check(const std::string &tool, const std::vector<ToolCase> &cases, long refusalLines = 2) {
        for (const ToolCase &c : cases) {
            SCOPED_TRACE(tool + Shown(c.args));
            const std::string logBefore = simdevice::FormatTimeline(simdevice::ReadLog());
            const ToolResult result = RunTool(tool, c.args);
            EXPECT_EQ(result.status, c.status) << result.err;
            if (c.err.empty()) EXPECT_EQ(result.err, "");
            else EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
            EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
            if (c.status == kBadInput) {
                EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), refusalLines) << result.err;
                EXPECT_EQ(result.out, "");
                EXPECT_EQ(simdevice::FormatTimeline(simdevice::ReadLog()), logBefore);
            }
            ExpectSentinelsUntouched();
        }
    }

private:
    fs::path sentinelFile_, sentinelDir_;
};

const std::string kDword = "is not a DWORD: 0 to 0xFFFFFFFF";
const std::string kKey = "is not a key: F1 to F24";
const std::string kSeconds = "is not a number of seconds from 0.001 to 86400";

TEST_F(ToolInput, SimdeviceRefusesBadInputNamingItsPart) {
    const std::string vespertin = BinaryPath("vespertin.exe");
    Check("simdevice", {
        {{}, kBadInput, "simdevice: a command is required\nrun 'simdevice --help'\n", ""},
        {{"bogus"}, kBadInput, "not expected: bogus\nrun 'simdevice --help'\n", ""},
        {{"--bogus"}, kBadInput, "not expected: --bogus\nrun 'simdevice --help'\n", ""},
        {{"init", "a", "b"}, kBadInput, "not expected: b\nrun 'simdevice init --help'\n", ""},
        {{"destroy", "now"}, kBadInput, "not expected: now", ""},
        {{"ps", "x"}, kBadInput, "not expected: x", ""},
        {{"stop", "x"}, kBadInput, "not expected: x", ""},
        {{"log", "x"}, kBadInput, "not expected: x", ""},
        {{"debug", "x"}, kBadInput, "not expected: x", ""},
        // power broadcasts
        {{"subscribers", "x"}, kBadInput, "not expected: x", ""},
        {{"post"}, kBadInput, "simdevice: BROADCAST is required\nrun 'simdevice post --help'\n", ""},
        {{"post", "bogus"}, kBadInput, "BROADCAST: 'bogus' is not a broadcast (unattended suspend", ""},
        {{"post", "unattended", "now"}, kBadInput, "not expected: now", ""},
        {{"post", "raw", "zz", "1"}, kBadInput, "MESSAGE: 'zz' " + kDword, ""},
        {{"post", "raw", "0x100000000", "1"}, kBadInput, "MESSAGE: '0x100000000' " + kDword, ""},
        {{"post", "raw", "4294967296", "1"}, kBadInput, "MESSAGE: '4294967296' " + kDword, ""},
        {{"post", "raw", "-1", "1"}, kBadInput, "MESSAGE: '-1' " + kDword, ""},
        {{"post", "raw", "1", "0x10zz"}, kBadInput, "FLAGS: '0x10zz' " + kDword, ""},
        {{"post", "raw", "1"}, kBadInput, "FLAGS is required\nrun 'simdevice post --help'\n", ""},
        {{"post", "raw", "1", "2", "3"}, kBadInput, "not expected: 3", ""},
        // keys
        {{"key"}, kBadInput, "KEY is required", ""},
        {{"key", "NOKEY"}, kBadInput, "KEY: 'NOKEY' " + kKey, ""},
        {{"key", "F99"}, kBadInput, "KEY: 'F99' " + kKey, ""},
        {{"key", "F0"}, kBadInput, "KEY: 'F0' " + kKey, ""},
        {{"key", "F25"}, kBadInput, "KEY: 'F25' " + kKey, ""},
        {{"key", "0x1FF"}, kBadInput, "KEY: '0x1FF' " + kKey, ""},
        {{"key", "256"}, kBadInput, "KEY: '256' " + kKey, ""},
        {{"key", "F3", "sideways"}, kBadInput, "HOW: 'sideways' is not a key message", ""},
        {{"key", "F3", "up", "twice"}, kBadInput, "not expected: twice", ""},
        // the phone and the registry
        {{"phone"}, kBadInput, "STATUS is required", ""},
        {{"phone", "bogus"}, kBadInput, "STATUS: 'bogus' is not a phone status", ""},
        {{"phone", "0x100000000"}, kBadInput, "STATUS: '0x100000000' is not a phone status", ""},
        {{"phone", "idle", "now"}, kBadInput, "not expected: now", ""},
        {{"reg"}, kBadInput, "simdevice: reg: a command is required\nrun 'simdevice reg --help'\n", ""},
        {{"reg", "bogus"}, kBadInput, "not expected: bogus\nrun 'simdevice reg --help'\n", ""},
        {{"reg", "set", "K", "N", "dword", "zz"}, kBadInput, "VALUE: 'zz' " + kDword, ""},
        {{"reg", "set", "K", "N", "dword", "0x100000000"}, kBadInput, "VALUE: '0x100000000' " + kDword, ""},
        {{"reg", "set", "K", "N", "dword"}, kBadInput, "VALUE is required", ""},
        {{"reg", "set", "K", "N", "qword", "1"}, kBadInput, "TYPE: 'qword' is not a value type", ""},
        {{"reg", "set", "K", "N", "binary", "004"}, kBadInput, "VALUE: '004' is not hex bytes", ""},
        {{"reg", "set", "K", "N", "binary", "zz"}, kBadInput, "VALUE: 'zz' is not hex bytes", ""},
        {{"reg", "set", "K", "N", "binary", "0x"}, kBadInput, "VALUE: '0x' is not hex bytes", ""},
        {{"reg", "set", "K", "N", "sz", "a", "b"}, kBadInput, "not expected: b", ""},
        {{"reg", "delete"}, kBadInput, "KEY is required", ""},
        {{"reg", "delete", "K", "N", "M"}, kBadInput, "not expected: M", ""},
        // waiting
        {{"wait"}, kBadInput, "EVENT is required", ""},
        {{"wait", "lockapp-start"}, kBadInput,
         "EVENT: 'lockapp-start' is not an event the timeline writes (one of: start exit stopped", ""},
        {{"wait", "marker"}, kBadInput, "EVENT: 'marker' is not an event the timeline writes", ""},
        {{"wait", "start", "abc"}, kBadInput, "COUNT: 'abc' is not a count", ""},
        {{"wait", "start", "0"}, kBadInput, "COUNT: '0' is not a count", ""},
        {{"wait", "start", "2147483648"}, kBadInput, "COUNT: '2147483648' is not a count", ""},
        {{"wait", "start", "1", "inf"}, kBadInput, "SECONDS: 'inf' " + kSeconds, ""},
        {{"wait", "start", "1", "nan"}, kBadInput, "SECONDS: 'nan' " + kSeconds, ""},
        {{"wait", "start", "1", "-1"}, kBadInput, "SECONDS: '-1' " + kSeconds, ""},
        {{"wait", "start", "1", "0"}, kBadInput, "SECONDS: '0' " + kSeconds, ""},
        {{"wait", "start", "1", "1e3"}, kBadInput, "SECONDS: '1e3' " + kSeconds, ""},
        {{"wait", "start", "1", "86401"}, kBadInput, "SECONDS: '86401' " + kSeconds, ""},
        {{"wait", "start", "1", "1", "1"}, kBadInput, "not expected: 1", ""},
        // programs and their fault plans: refused before anything starts
        {{"start"}, kBadInput, "PROGRAM is required", ""},
        {{"start", "--fault"}, kBadInput, "--fault: 1 required PLAN missing", ""},
        {{"start", "--fault", "", vespertin}, kBadInput, "--fault: an empty plan", ""},
        {{"start", "--fault", "CreateMsgQueu=fail:8", vespertin}, kBadInput,
         "simdevice: fault 'CreateMsgQueu=fail:8': 'CreateMsgQueu' is not a platform call", ""},
        {{"run", "--fault", "CreateMsgQueue@0=fail:8", vespertin}, kBadInput, "fault 'CreateMsgQueue@0=fail:8'", ""},
        {{"run", "--fault", "CreateMsgQueue=fail:0x100000000", vespertin}, kBadInput, "is not a 32-bit number", ""},
        {{"run", "--fault", "CreateMsgQueue=fail:8", "--fault", "x", vespertin}, kBadInput, "fault 'x'", ""},
        {{"start", "--faults", "x", vespertin}, kBadInput, "unknown option '--faults'", ""},
        {{"start", BinaryPath("no-such-program")}, 127, "no-such-program cannot start: No such file or directory", ""},
    });
}

// A program that cannot start, or ends before its first record (an emulator
// that cannot run it, something that is not a device program), is reported
// with one line naming it and how it was started; nothing is left running.
TEST_F(ToolInput, StartReportsAProgramThatNeverRan) {
    const std::string vespertin = BinaryPath("vespertin.exe"), missing = BinaryPath("no-such-program");
    const struct {
        std::string emulator, command, program, says;
    } cases[] = {
        {"false", "start", vespertin, "ended with status 1 before its first record, started through SIMDEVICE_EMULATOR='false'"},
        {"false", "run", vespertin, "ended with status 1 before its first record, started through SIMDEVICE_EMULATOR='false'"},
        {"no-such-emulator", "start", vespertin, "cannot start: No such file or directory, started through SIMDEVICE_EMULATOR='no-such-emulator'"},
        {"", "start", "/bin/true", "ended with status 0 before its first record, started directly (SIMDEVICE_EMULATOR is empty)"},
        {"", "run", "/bin/false", "ended with status 1 before its first record, started directly (SIMDEVICE_EMULATOR is empty)"},
        {"", "start", missing, "cannot start: No such file or directory, started directly (SIMDEVICE_EMULATOR is empty)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.emulator + " " + c.command + " " + c.program);
        const std::string logBefore = simdevice::FormatTimeline(simdevice::ReadLog());
        ToolResult result;
        {
            ScopedVariable emulator(simdevice::kEmulatorVariable, c.emulator);
            result = RunTool("simdevice", {c.command, c.program});
        }
        EXPECT_EQ(result.status, 127);
        // Under qemu-arm a spawn that cannot exec reports success, and the
        // child ends with the shell's 127: the same report, the other form.
        std::string emulated = c.says;
        const std::string cannot = "cannot start: No such file or directory";
        if (emulated.rfind(cannot, 0) == 0) emulated.replace(0, cannot.size(), "ended with status 127 before its first record");
        EXPECT_TRUE(result.err == "simdevice: " + c.program + " " + c.says + "\n" ||
                    (!kTestEmulator.empty() && result.err == "simdevice: " + c.program + " " + emulated + "\n"))
            << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(simdevice::FormatTimeline(simdevice::ReadLog()), logBefore);
        EXPECT_TRUE(simdevice::LivePrograms().empty());
        ExpectSentinelsUntouched();
    }
}

// A plan exported in the shell reaches no program started through the tool:
// refused, pointing to --fault, before anything starts.
TEST_F(ToolInput, StartRefusesAPlanInTheEnvironment) {
    ScopedVariable faults(simdevice::kFaultsVariable, "CreateMsgQueue=fail:8");
    Check("simdevice", {
        {{"start", BinaryPath("vespertin.exe")}, kBadInput,
         "simdevice: SIMDEVICE_FAULTS is set ('CreateMsgQueue=fail:8'), which start and run never pass on: give the "
         "plan with --fault and unset SIMDEVICE_FAULTS\nrun 'simdevice start --help'\n", ""},
        {{"run", "--fault", "CreateMsgQueue=fail:87", BinaryPath("vespertin.exe")}, kBadInput,
         "SIMDEVICE_FAULTS is set", ""},
    });
    EXPECT_TRUE(simdevice::LivePrograms().empty());
}

// The edges of each range are taken, and help and the version go to
// standard output.
TEST_F(ToolInput, SimdeviceTakesGoodInputAtTheEdges) {
    Check("simdevice", {
        {{"--help"}, 0, "", "Usage: simdevice [OPTIONS] [SUBCOMMAND]"},
        {{"--help"}, 0, "", "  post                        play the power manager"},
        {{"--help"}, 0, "", "Exit status: 0 done; 1 wait timed out; 2 bad input"},
        {{"post", "raw", "--help"}, 0, "", "Usage: simdevice post [OPTIONS] [BROADCAST...]"},
        {{"post", "--help"}, 0, "", "; or raw MESSAGE FLAGS, any pair"},
        {{"--version"}, 0, "", "simdevice "},
        {{"post", "raw", "0xFFFFFFFF", "4294967295"}, 0, "", "posted raw: delivered to 0 queue(s)"},
        {{"post", "raw", "0", "010"}, 0, "", "posted raw"},
        {{"post", "powerstatus"}, 0, "", "posted powerstatus"},
        {{"subscribers"}, 0, "", "0\n"},
        {{"key", "F1"}, 0, "", ""},
        {{"key", "f24", "down"}, 0, "", ""},
        {{"key", "0xFF", "up"}, 0, "", ""},
        {{"key", "255", "sysdown"}, 0, "", ""},
        {{"key", "enter", "press"}, 0, "", ""},
        {{"phone", "0xFFFFFFFF"}, 0, "", ""},
        {{"phone", "none"}, 0, "", ""},
        {{"reg", "set", "K", "N", "dword", "4294967295"}, 0, "", ""},
        {{"reg", "set", "K", "N", "binary", "00fF"}, 0, "", ""},
        {{"reg", "delete", "K"}, 0, "", ""},
        // phone and reg set above wrote three registry-set records
        {{"wait", "registry-set", "3", "0.001"}, 0, "", ""},
        {{"wait", "registry-set", "4", "0.05"}, 1, "simdevice: timed out waiting for 4 'registry-set' record(s)", ""},
    });
}

// A plan reaches the program, which prints its error in hexadecimal, and run
// passes the program's status on.
TEST_F(ToolInput, RunGivesTheFaultToTheProgramAndPassesItsStatusOn) {
    const ToolResult result = RunTool("simdevice", {"run", "--fault", "CreateMsgQueue=fail:87", BinaryPath("vespertin.exe")});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.out.find("vespertin.exe exited with status 1"), std::string::npos) << result.out;
    EXPECT_EQ(simdevice::DebugOutput(), "CreateMsgQueue failed: 57\n");
}

// What follows stop (another daemon) must find none of the first's objects.
TEST_F(ToolInput, StopReturnsOnceTheProgramsHaveEnded) {
    StartWatchingDaemon(BinaryPath("vespertin.exe"));
    ASSERT_GT(simdevice::StartProgram(BinaryPath("Harrowcastle.exe")).pid, 0);
    ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppStarted));
    EXPECT_EQ(RunTool("simdevice", {"stop"}).status, 0);
    EXPECT_TRUE(simdevice::LivePrograms().empty());
    EXPECT_EQ(simdevice::LivePowerSubscriptions(), 0);
    ExpectSentinelsUntouched();
}

// Each bad line is reported with its number and skipped: the lines after it
// still run, and the status says a line was refused.
TEST_F(ToolInput, KbclientReportsABadLineAndCarriesOn) {
    struct BadLine {
        std::string line, err;
    };
    const BadLine lines[] = {
        {"lod", "not expected: lod"},
        {"activate", "MODE is required"},
        {"activate zz", "MODE: 'zz' " + kDword},
        {"activate 0x100000000", "MODE: '0x100000000' " + kDword},
        {"activate -1", "MODE: '-1' " + kDword},
        {"key", "KEY is required"},
        {"key NOKEY", "KEY: 'NOKEY' " + kKey},
        {"key F99", "KEY: 'F99' " + kKey},
        {"key 0x1FF", "KEY: '0x1FF' " + kKey},
        {"key F3 sideways", "DIRECTION: 'sideways' is not a key message"},
        {"key F3 up twice", "not expected: twice"},
        {"phone", "STATUS is required"},
        {"phone bogus", "STATUS: 'bogus' is not a phone status"},
        {"load now", "not expected: now"},
        {"quit now", "not expected: now"},
        {"--help", "not expected: --help"},
    };
    for (const BadLine &bad : lines) {
        SCOPED_TRACE(bad.line);
        const size_t logged = simdevice::ReadLog().size();
        const ToolResult result = RunTool("kbclient", {}, "unload\n" + bad.line + "\nunload\n");
        EXPECT_EQ(result.status, kBadInput);
        EXPECT_EQ(result.err.rfind("kbclient: line 2: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(bad.err), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out, "unload: not loaded\nunload: not loaded\n");
        // Only the client's own start and exit: the bad line did nothing.
        std::vector<std::string> events;
        const auto log = simdevice::ReadLog();
        for (size_t i = logged; i < log.size(); ++i) events.push_back(log[i].event);
        EXPECT_EQ(events, (std::vector<std::string>{"start", "exit"}));
        ExpectSentinelsUntouched();
    }
}

TEST_F(ToolInput, KbclientCommandLine) {
    Check("kbclient", {
        {{"--bogus"}, kBadInput, "kbclient: The following argument was not expected: --bogus\nrun 'kbclient --help'\n", ""},
        {{"extra"}, kBadInput, "not expected: extra", ""},
        {{"--library"}, kBadInput, "--library: 1 required PATH missing", ""},
        {{"--help"}, 0, "", "Usage: kbclient [OPTIONS]"},
        {{"--help"}, 0, "", "  key                         KEY [down|up|sysdown|sysup]"},
        {{"--version"}, 0, "", "kbclient "},
    });
    // Every line good: status 0, nothing on standard error.
    const ToolResult result = RunTool("kbclient", {}, "# a comment\n\nload\nactivate 0x1\nkey f3\nphone hold\ndeactivate\nunload\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("F3 down: swallowed"), std::string::npos) << result.out;
}

// The soak takes two counts by the tools' number rules: a bad one is refused
// as the tools refuse, with one line, the hint and status 2, before any
// device is made (it would be in TMPDIR).
TEST_F(ToolInput, SoakRefusesCountsThatAreMissingZeroNegativeOrNotNumbers) {
    const std::string kCount = "is not a count: a whole number from 1 to 2147483647";
    const std::vector<ToolCase> cases = {
        {{}, kBadInput, "soak: --broadcasts is required\nrun 'soak --help'\n", ""},
        {{"--keys", "5"}, kBadInput, "soak: --broadcasts is required\n", ""},
        {{"--broadcasts", "5"}, kBadInput, "soak: --keys is required\n", ""},
        {{"--keys", "5", "--broadcasts"}, kBadInput, "soak: --broadcasts: 1 required N missing\n", ""},
        {{"--broadcasts", "0", "--keys", "1"}, kBadInput, "soak: --broadcasts: '0' " + kCount, ""},
        {{"--broadcasts", "1", "--keys", "0x0"}, kBadInput, "soak: --keys: '0x0' " + kCount, ""},
        {{"--broadcasts", "-1", "--keys", "1"}, kBadInput, "--broadcasts: '-1' " + kCount, ""},
        {{"--broadcasts", "1", "--keys", "+3"}, kBadInput, "--keys: '+3' " + kCount, ""},
        {{"--broadcasts", "ten", "--keys", "1"}, kBadInput, "--broadcasts: 'ten' " + kCount, ""},
        {{"--broadcasts", "1.5", "--keys", "1"}, kBadInput, "--broadcasts: '1.5' " + kCount, ""},
        {{"--broadcasts", "0x", "--keys", "1"}, kBadInput, "--broadcasts: '0x' " + kCount, ""},
        {{"--broadcasts", "1e3", "--keys", "1"}, kBadInput, "--broadcasts: '1e3' " + kCount, ""},
        {{"--broadcasts", " 1", "--keys", "1"}, kBadInput, "--broadcasts: ' 1' " + kCount, ""},
        {{"--broadcasts", "2147483648", "--keys", "1"}, kBadInput, "--broadcasts: '2147483648' " + kCount, ""},
        // CLI11 reads an empty "=" value as none, and takes the next word.
        {{"--broadcasts=", "--keys", "1"}, kBadInput, "soak: --broadcasts: '--keys' " + kCount, ""},
        {{"--broadcasts=1", "--keys=1", "--keys=2"}, kBadInput, "soak: --keys: At Most 1 required but received 2\n", ""},
        {{"--broadcasts", "1", "--keys", "1", "extra"}, kBadInput, "soak: The following argument was not expected: extra\n", ""},
        {{"--broadcasts", "1", "--keys", "1", "--flood"}, kBadInput, "not expected: --flood", ""},
        {{"--help"}, 0, "", "Usage: soak [OPTIONS]"},
        {{"--broadcasts=0x10", "--keys", "010"}, 0, "", "soak: passed: 16 broadcasts"},
    };
    const fs::path scratch = DeviceDir() + ".tmp";
    fs::create_directory(scratch);
    {
        ScopedVariable tmp("TMPDIR", scratch.string());
        Check("soak", cases);
    }
    EXPECT_TRUE(fs::is_empty(scratch)) << "the soak's own device is made only to be used, and removed";
    fs::remove_all(scratch);
}

// The rules the three tools share, at their edges.
TEST(ArgumentValues, NumbersHaveTheRangeOfTheirKind) {
    using namespace argument_values;
    EXPECT_EQ(Dword("0"), 0u);
    EXPECT_EQ(Dword("0xffffffff"), 0xFFFFFFFFu);
    EXPECT_EQ(Dword("0XFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(Dword("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(Dword("010"), 10u);
    for (const char *bad : {"", "0x", "x1", "+1", "-0", " 1", "1 ", "1.0", "0x1g", "4294967296", "0x100000000",
                            "99999999999999999999999"})
        EXPECT_THROW(Dword(bad), std::invalid_argument) << bad;
    EXPECT_EQ(Count("1"), 1);
    EXPECT_EQ(Count("0x7FFFFFFF"), 0x7FFFFFFF);
    for (const char *bad : {"0", "0x80000000", "-1", "one"}) EXPECT_THROW(Count(bad), std::invalid_argument) << bad;
    EXPECT_EQ(Seconds("0.001").count(), 1);
    EXPECT_EQ(Seconds("2.5").count(), 2500);
    EXPECT_EQ(Seconds("86400").count(), 86400000);
    for (const char *bad : {"", ".", "1.", ".5", "0", "0.0004", "86400.001", "inf", "nan", "-1", "+1", "1e3", "0x10", "1,5"})
        EXPECT_THROW(Seconds(bad), std::invalid_argument) << bad;
}

}  // namespace

namespace {

// A directory tree as names and contents, to see that nothing in it changed.
std::string Snapshot(const fs::path &root) {
    std::string text;
    std::error_code ignored;
    if (fs::is_symlink(root, ignored)) return "link to " + fs::read_symlink(root, ignored).string();
    if (!fs::is_directory(root, ignored)) return fs::exists(root, ignored) ? "file: " + Text(root) : "missing";
    for (auto it = fs::recursive_directory_iterator(root, ignored); it != fs::recursive_directory_iterator(); ++it)
        text += it->path().string() + (it->is_regular_file() ? "=" + Text(it->path()) : "/") + "\n";
    return text;
}

// Nothing that is not a device is ever used, written or deleted as one: each
// case points the tool at something else, and it must refuse with one line
// naming the path, leave that thing as it was, and touch nothing beside it.
TEST_F(ToolInput, SimdeviceNeverTouchesWhatIsNotADevice) {
    const fs::path scratch = DeviceDir() + ".scratch";
    fs::create_directories(scratch / "plain");
    std::ofstream(scratch / "plain" / "keep") << "someone's\n";
    std::ofstream(scratch / "file") << "a file\n";
    fs::create_directory_symlink(DeviceDir(), scratch / "link");
    fs::create_directories(scratch / "home");
    std::ofstream(scratch / "home" / ".simdevice") << "a marker does not make a home a device\n";
    fs::create_directories(scratch / "empty");
    struct Case {
        std::string deviceDir;  // SIMDEVICE_DIR for the tool
        std::vector<std::string> args;
        fs::path untouched;     // what must be as it was
        std::string says;
    } cases[] = {
        {(scratch / "plain").string(), {"destroy"}, scratch / "plain", "is not a simulated device"},
        {(scratch / "plain").string(), {"stop"}, scratch / "plain", "is not a simulated device"},
        {(scratch / "plain").string(), {"post", "unattended"}, scratch / "plain", "is not a simulated device"},
        {(scratch / "file").string(), {"destroy"}, scratch / "file", "is not a directory"},
        {(scratch / "file").string(), {"init"}, scratch / "file", "is not a directory"},
        {(scratch / "link").string(), {"destroy"}, DeviceDir(), "is a symbolic link"},
        {(scratch / "link").string(), {"init"}, DeviceDir(), "is a symbolic link"},
        {"/", {"destroy"}, scratch, "is /, never a simulated device"},
        {"/", {"init"}, scratch, "is /, never a simulated device"},
        {(scratch / "home").string(), {"destroy"}, scratch / "home", "is the home directory"},
        {(scratch / "missing").string(), {"post", "unattended"}, scratch / "missing", "no simulated device at"},
        {(scratch / "missing").string(), {"log"}, scratch / "missing", "no simulated device at"},
        {DeviceDir(), {"init", (scratch / "plain").string()}, scratch / "plain", "not a simulated device and not empty"},
        {DeviceDir(), {"init", "/"}, scratch, "is /, never a simulated device"},
        // relative: each process would find another device in its own working directory
        {"relative-device", {"init"}, scratch, "relative-device is a relative path: a simulated device needs an absolute one"},
        {"relative-device", {"post", "unattended"}, scratch, "is a relative path"},
        {DeviceDir(), {"init", "relative-device"}, scratch, "is a relative path"},
    };
    ScopedVariable home("HOME", (scratch / "home").string());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.deviceDir + Shown(c.args));
        const std::string before = Snapshot(c.untouched);
        ToolResult result;
        {
            ScopedVariable dir(simdevice::kDeviceDirVariable, c.deviceDir);
            result = RunTool("simdevice", c.args);
        }
        EXPECT_EQ(result.status, kBadInput) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << "one line and a hint: " << result.err;
        EXPECT_EQ(Snapshot(c.untouched), before);
        ExpectSentinelsUntouched();
    }
    EXPECT_FALSE(fs::exists("relative-device")) << "made in the working directory";
    // What init may make a device of: a missing directory, or an empty one.
    for (const char *name : {"empty", "new"}) {
        ScopedVariable dir(simdevice::kDeviceDirVariable, (scratch / name).string());
        EXPECT_EQ(RunTool("simdevice", {"init"}).status, 0) << name;
        EXPECT_FALSE(simdevice::NotADevice((scratch / name).string())) << name;
        EXPECT_EQ(RunTool("simdevice", {"destroy"}).status, 0) << name;
        EXPECT_FALSE(fs::exists(scratch / name)) << name;
    }
    fs::remove_all(scratch);
}

}  // namespace
