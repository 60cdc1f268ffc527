// simdevice: the device tool. Makes a simulated device, starts programs in it,
// plays the power manager, the phone and the keyboard, injects faults and
// shows what happened.
#include <simdevice/device.h>

#include <FaultPlan.h>

#include "ArgumentValues.h"
#include "CommandLine.h"
#include "DeviceNames.h"
#include "PowerManagerCommands.h"
#include "device/Device.h"

#include <fmt/format.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace values = argument_values;
using command_line::AddValue;
using command_line::CommandSet;
using command_line::RefuseValue;
using command_line::Rule;

// Exit statuses besides 0 and command_line::kBadInput.
constexpr int kTimedOut = 1;
constexpr int kCannotStart = 127;  // as a shell says a command cannot run

constexpr std::chrono::seconds kStopGrace{5};
// How long start waits for a program's first record (an emulated one starts slowly).
constexpr std::chrono::seconds kFirstRecordGrace{30};

const char kDescription[] =
    "The device tool: makes a simulated device, starts programs in it, plays the power manager, the phone and the\n"
    "keyboard, injects faults and shows what happened. The device is the directory in $SIMDEVICE_DIR\n"
    "(default: $TMPDIR/simdevice-UID).";

const char kFooter[] = R"(
Numbers are decimal or 0x-hexadecimal ("010" is ten), with no sign and nothing after them.

A fault PLAN: Function[@N]=fail:ERROR | return:VALUE | path:TEXT   (N: the call's number from 1, * for every call;
  several plans: PLAN;PLAN or --fault again), e.g.
  CreateMsgQueue=fail:8   WaitForMultipleObjects@2=return:0xFFFFFFFF   GetModuleFileNameW=path:/x/VESPERTIN.EXE
  A malformed plan is refused before anything starts.

Exit status: 0 done; 1 wait timed out; 2 bad input (one line on standard error), nothing done;
  127 the program could not be started, or ended before its first record (one line naming it and the emulator);
  run: the program's own status (128+N if signal N ended it).
'simdevice COMMAND --help' describes one command.)";

// What the command line gave; each command reads its part.
struct Inputs {
    std::string dir;
    std::vector<std::string> faults;
    std::vector<std::string> postWords;
    std::optional<DWORD> phoneStatus;
    std::string key, name, type, value;
    DWORD vk = 0;
    std::string how = "press";
    std::string event;
    int count = 1;
    std::chrono::milliseconds wait{10000};
};

// ---- programs ---------------------------------------------------------------------

std::string CheckedFaults(const std::vector<std::string> &faults) {
    std::string plans;
    for (const std::string &fault : faults) {
        if (fault.empty()) RefuseValue("--fault", "an empty plan");
        plans += (plans.empty() ? "" : ";") + fault;
    }
    try {
        (void)fault_plan::Parse(plans);
    } catch (const std::invalid_argument &error) {
        throw CLI::ParseError(error.what(), command_line::kBadInput);
    }
    return plans;
}

// How programs start, for the line that says one did not.
std::string EmulatorText() {
    const char *emulator = std::getenv(simdevice::kEmulatorVariable);
    return emulator && *emulator ? fmt::format("through SIMDEVICE_EMULATOR='{}'", emulator)
                                 : std::string("directly (SIMDEVICE_EMULATOR is empty)");
}

bool HasStarted(pid_t pid) {
    for (const simdevice::LogRecord &record : simdevice::ReadLog())
        if (record.event == "start" && record.pid == pid) return true;
    return false;
}

// Waits until PID has written its start record (true) or has ended without
// one (false, with its status); a program still running without one after
// the grace counts as started.
bool AwaitFirstRecord(pid_t pid, int &status) {
    const auto deadline = std::chrono::steady_clock::now() + kFirstRecordGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (simdevice::WaitForLog([pid](const auto &) { return HasStarted(pid); }, std::chrono::milliseconds(100)))
            return true;
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return HasStarted(pid);  // it may have written the record just before it ended
        }
    }
    return true;
}

int NotStarted(const std::string &program, const std::string &why) {
    fmt::print(stderr, "simdevice: {} {}, started {}\n", program, why, EmulatorText());
    return kCannotStart;
}

int Start(const Inputs &in, std::vector<std::string> words, bool wait) {
    if (words.empty()) throw CLI::RequiredError("PROGRAM");
    if (words[0].size() > 1 && words[0][0] == '-')
        throw CLI::ParseError(fmt::format("unknown option '{}'", words[0]), command_line::kBadInput);
    // A plan in the shell's environment would reach no program (each gets
    // only the plan given to it): say so rather than drop it.
    if (const char *planned = std::getenv(simdevice::kFaultsVariable); planned && *planned)
        throw CLI::ParseError(fmt::format("SIMDEVICE_FAULTS is set ('{}'), which start and run never pass on: "
                                          "give the plan with --fault and unset SIMDEVICE_FAULTS", planned),
                              command_line::kBadInput);
    simdevice::StartOptions options;
    options.faults = CheckedFaults(in.faults);
    options.detach = !wait;  // a started program outlives the tool and must not hold its output open
    const std::string program = words[0];
    options.args.assign(words.begin() + 1, words.end());
    const auto started = simdevice::StartProgram(program, options);
    if (started.pid < 0) return NotStarted(program, fmt::format("cannot start: {}", std::strerror(started.error)));
    int status = 0;
    if (!wait) {
        if (!AwaitFirstRecord(started.pid, status))
            return NotStarted(program, fmt::format("ended with status {} before its first record", status));
        fmt::print("{}\n", started.pid);
        return 0;
    }
    status = simdevice::WaitProgram(started.pid, std::chrono::hours(24));
    if (!HasStarted(started.pid))
        return NotStarted(program, fmt::format("ended with status {} before its first record", status));
    fmt::print("{} exited with status {}\n", program, status);
    return status;
}

// Whether PID ended within TIMEOUT (told by the kernel, not polled).
bool AwaitEnd(pid_t pid, std::chrono::milliseconds timeout) {
    const int fd = int(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return true;  // already gone
    pollfd ended{fd, POLLIN, 0};
    const bool done = poll(&ended, 1, int(timeout.count())) > 0;
    close(fd);
    return done;
}

// Ends every program of the device and returns once they have ended, so
// that what comes next (a new daemon) finds none of their objects.
int Stop() {
    const std::vector<pid_t> programs = simdevice::LivePrograms();
    simdevice::StopPrograms();  // each with a record in the log
    for (pid_t pid : programs) {
        if (AwaitEnd(pid, kStopGrace)) continue;
        kill(pid, SIGKILL);
        AwaitEnd(pid, kStopGrace);
    }
    return 0;
}

void AddProgramCommands(CommandSet &tool, Inputs &in) {
    CLI::App &root = tool.Root();
    tool.Add(root, "init", "make a fresh device (kills what ran in it)", [&](const CLI::App &) {
        simdevice::ResetDevice(in.dir.empty() ? simdevice::DeviceDir() : in.dir);
        fmt::print("{}\n", simdevice::DeviceDir());
        return 0;
    })->add_option("DIR", in.dir, "the device's directory (default: $SIMDEVICE_DIR)");
    tool.Add(root, "destroy", "kill the device's programs and remove it", [](const CLI::App &) {
        simdevice::DestroyDevice(simdevice::DeviceDir());
        return 0;
    });
    for (const bool wait : {false, true}) {
        CLI::App *command = tool.Add(
            root, wait ? "run" : "start",
            wait ? "start a program and wait; exits with its status" : "start a program in the device; prints its pid",
            [&in, wait](const CLI::App &self) { return Start(in, self.remaining(), wait); });
        command->footer("\nPROGRAM and every word after it go to the program, which runs in the device.");
        command->add_option("--fault", in.faults, "a fault plan for the program (see simdevice --help)")
            ->type_name("PLAN")
            ->allow_extra_args(false);
        command->prefix_command();  // PROGRAM and everything after it are the program's
    }
    tool.Add(root, "ps", "list the device's running programs", [](const CLI::App &) {
        for (pid_t pid : simdevice::LivePrograms()) fmt::print("{}\n", pid);
        return 0;
    });
    tool.Add(root, "stop", "end the device's programs and wait until they have ended",
             [](const CLI::App &) { return Stop(); });
}

// ---- the power manager, the phone, the registry, the keyboard ---------------------

void AddPhoneCommand(CommandSet &tool, Inputs &in) {
    CLI::App *phone = tool.Add(tool.Root(), "phone", "set HKLM\\System\\State\\Phone \"Status\" (REG_DWORD); none deletes the value",
                               [&](const CLI::App &) {
                                   device::SetPhoneStatus(in.phoneStatus);
                                   return 0;
                               });
    AddValue(phone, "STATUS", in.phoneStatus, device_names::PhoneStatus, "STATUS", device_names::kPhoneStatusRule)
        ->required();
}

std::string HexBytes(const std::string &hex) {
    const char rule[] = "hex bytes, two digits each, e.g. 0040";
    if (hex.size() % 2 != 0) RefuseValue("VALUE", fmt::format("'{}' is not {}: odd number of digits", hex, rule));
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        const auto byte = values::WholeNumber("0x" + pair, 0xFF);
        if (!byte || pair.find_first_of("xX") != std::string::npos)
            RefuseValue("VALUE", fmt::format("'{}' is not {}", hex, rule));
        bytes += char(*byte);
    }
    return bytes;
}

int SetValue(const Inputs &in) {
    const std::u16string key = simdevice::Utf8ToUtf16(in.key), name = simdevice::Utf8ToUtf16(in.name);
    if (in.type == "dword") {
        DWORD value = 0;
        try {
            value = values::Dword(in.value);
        } catch (const std::invalid_argument &error) {
            RefuseValue("VALUE", error.what());
        }
        simdevice::SetRegistryDword(key, name, value);
    } else if (in.type == "sz") {
        const std::u16string text = simdevice::Utf8ToUtf16(in.value);
        simdevice::SetRegistryValue(key, name, REG_SZ,
                                    std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * 2));
    } else {
        simdevice::SetRegistryValue(key, name, REG_BINARY, HexBytes(in.value));
    }
    return 0;
}

void AddRegistryCommands(CommandSet &tool, Inputs &in) {
    CLI::App *reg = tool.Add(tool.Root(), "reg", "the registry below HKEY_LOCAL_MACHINE", nullptr);
    CLI::App *set = tool.Add(*reg, "set", "set a value below HKLM (binary VALUE: hex bytes)",
                             [&](const CLI::App &) { return SetValue(in); });
    set->add_option("KEY", in.key, "the key's path below HKLM, e.g. 'System\\State\\Phone'")->required();
    set->add_option("NAME", in.name, "the value's name")->required();
    set->add_option("TYPE", in.type, "dword, sz or binary")
        ->required()
        ->check(Rule("TYPE", [](const std::string &type) {
            if (type != "dword" && type != "sz" && type != "binary")
                values::Refuse(type, "a value type: dword, sz or binary");
        }));
    set->add_option("VALUE", in.value, "dword: a DWORD; sz: text; binary: hex bytes, two digits each, e.g. 0040")
        ->required();
    CLI::App *del = tool.Add(*reg, "delete", "delete a value, or the whole key",
                             [&](const CLI::App &) {
                                 const std::u16string key = simdevice::Utf8ToUtf16(in.key);
                                 if (in.name.empty()) simdevice::DeleteRegistryKey(key);
                                 else simdevice::DeleteRegistryValue(key, simdevice::Utf8ToUtf16(in.name));
                                 return 0;
                             });
    del->add_option("KEY", in.key, "the key's path below HKLM")->required();
    del->add_option("NAME", in.name, "the value's name (none: the whole key)");
}

void AddKeyCommand(CommandSet &tool, Inputs &in) {
    CLI::App *key = tool.Add(tool.Root(), "key", "press a key on the device keyboard (default: press, a down and an up)",
                             [&](const CLI::App &) {
                                 if (in.how == "press") {
                                     simdevice::PressKey(simdevice::MakeKeyEvent(in.vk, WM_KEYDOWN));
                                     simdevice::PressKey(simdevice::MakeKeyEvent(in.vk, WM_KEYUP));
                                 } else {
                                     simdevice::PressKey(
                                         simdevice::MakeKeyEvent(in.vk, device_names::KeyMessage(in.how)));
                                 }
                                 return 0;
                             });
    AddValue(key, "KEY", in.vk, device_names::KeyCode, "KEY", device_names::kKeyRule)->required();
    key->add_option("HOW", in.how, "down, up, sysdown, sysup or press")
        ->check(Rule("HOW", [](const std::string &how) {
            if (how != "press") (void)device_names::KeyMessage(how);
        }));
}

// ---- what happened -----------------------------------------------------------------

int Wait(const Inputs &in) {
    const timeline::Event event = timeline::EventNamed(in.event).value();  // checked as it was read
    const bool held = simdevice::WaitForLog(
        [&](const auto &log) { return simdevice::CountEvents(log, event) >= in.count; }, in.wait);
    if (!held) fmt::print(stderr, "simdevice: timed out waiting for {} '{}' record(s)\n", in.count, in.event);
    return held ? 0 : kTimedOut;
}

void AddLogCommands(CommandSet &tool, Inputs &in) {
    CLI::App &root = tool.Root();
    tool.Add(root, "log", "the device's timeline", [](const CLI::App &) {
        fmt::print("{}", simdevice::FormatTimeline(simdevice::ReadLog()));
        return 0;
    });
    tool.Add(root, "debug", "the debug channel's text (numbers as the device prints them: %x is hex)",
             [](const CLI::App &) {
                 fmt::print("{}", simdevice::DebugOutput());
                 return 0;
             });
    CLI::App *wait = tool.Add(root, "wait", "wait until the log holds COUNT (default 1) EVENT records, for at most SECONDS (default 10)",
                              [&](const CLI::App &) { return Wait(in); });
    wait->add_option("EVENT", in.event, "an event the timeline writes: " + device_names::TimelineEventNames())
        ->required()
        ->check(Rule("EVENT", [](const std::string &name) { (void)device_names::TimelineEvent(name); }));
    AddValue(wait, "COUNT", in.count, values::Count, "COUNT", values::kCountRule);
    AddValue(wait, "SECONDS", in.wait, values::Seconds, "SECONDS", values::kSecondsRule);
}

}  // namespace

int main(int argc, char **argv) {
    Inputs in;
    CommandSet tool("simdevice", kDescription);
    AddProgramCommands(tool, in);
    power_manager_commands::Add(tool, in.postWords);
    AddPhoneCommand(tool, in);
    AddRegistryCommands(tool, in);
    AddKeyCommand(tool, in);
    AddLogCommands(tool, in);
    tool.Root().footer(kFooter);  // after the commands, which would inherit it
    // Every command but init works on a device that exists and is writable:
    // none makes one, and none touches what is not one.
    tool.BeforeEachAction([](const CLI::App &command) {
        if (command.get_name() == "init") return;
        if (auto why = simdevice::NotADevice(simdevice::DeviceDir())) throw std::runtime_error(*why);
    });
    return tool.Run(argc, argv);
}
