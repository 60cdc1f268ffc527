// simdevice: the device tool. Makes a simulated device, starts programs in it,
// plays the power manager, the phone and the keyboard, injects faults and
// shows what happened.
#include <simdevice/device.h>

#include "DeviceNames.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef POWER_STATE_UNATTENDED
#define POWER_STATE_UNATTENDED 0x00400000
#endif

namespace {

using Args = std::vector<std::string>;

const char kUsage[] = R"(usage: simdevice COMMAND [ARGS]
The device is the directory in $SIMDEVICE_DIR (default: $TMPDIR/simdevice-UID).

  init [DIR]                      make a fresh device (kills what ran in it)
  destroy                         kill the device's programs and remove it
  start [--fault FAULT]... PROGRAM [ARGS]   start a program in the device; prints its pid
  run [--fault FAULT]... PROGRAM [ARGS]     start a program and wait; exits with its status
  ps                              list the device's running programs
  stop                            kill the device's programs
  post BROADCAST                  play the power manager; BROADCAST is one of
                                  unattended suspend resuming on resume powerinfo powerstatus,
                                  or: raw MESSAGE FLAGS
  phone STATUS                    set HKLM\System\State\Phone "Status" (REG_DWORD): a number or
                                  idle talking connecting ringing hold; 'none' deletes the value
  reg set KEY NAME dword|sz|binary VALUE   set a value below HKLM (binary VALUE: hex bytes)
  reg delete KEY [NAME]           delete a value, or the whole key
  key KEY [down|up|sysdown|sysup|press]    press a key on the device keyboard (default: press)
  log                             the device's timeline
  debug                           the debug channel's text
  wait EVENT [COUNT [SECONDS]]    wait until the log holds COUNT (default 1) EVENT records

Fault FAULT: Function[@N]=fail:ERROR | return:VALUE | path:TEXT   (N: call number, * for every call)
  e.g. CreateMsgQueue=fail:8   WaitForMultipleObjects@2=return:0xFFFFFFFF   GetModuleFileNameW=path:/x/VESPERTIN.EXE
)";

using device_names::ParseNumber;

struct Broadcast {
    DWORD message;
    DWORD flags;
    const char16_t *state;
};
const std::map<std::string, Broadcast> kBroadcasts = {
    {"unattended", {PBT_TRANSITION, POWER_STATE_UNATTENDED, u"unattended"}},
    {"suspend", {PBT_TRANSITION, POWER_STATE_SUSPEND, u"suspend"}},
    {"resuming", {PBT_TRANSITION, 0, u"resuming"}},
    {"on", {PBT_TRANSITION, POWER_STATE_ON, u"on"}},
    {"resume", {PBT_RESUME, 0, u""}},
    {"powerinfo", {PBT_POWERINFOCHANGE, 0, u""}},
    {"powerstatus", {PBT_POWERSTATUSCHANGE, 0, u""}},
};

std::string RequireArg(const Args &args, size_t i) {
    if (i >= args.size()) throw std::invalid_argument("missing argument");
    return args[i];
}

int Start(const Args &args, bool wait) {
    simdevice::StartOptions options;
    options.detach = !wait;  // a started program outlives the tool and must not hold its output open
    size_t i = 1;
    for (; i + 1 < args.size() && args[i] == "--fault"; i += 2) {
        options.faults += (options.faults.empty() ? "" : ";") + args[i + 1];
    }
    std::string program = RequireArg(args, i);
    options.args.assign(args.begin() + long(i) + 1, args.end());
    auto started = simdevice::StartProgram(program, options);
    if (started.pid < 0) {
        std::cerr << "simdevice: cannot start " << program << "\n";
        return 2;
    }
    if (!wait) {
        std::cout << started.pid << "\n";
        return 0;
    }
    int status = simdevice::WaitProgram(started.pid, std::chrono::hours(24));
    std::cout << program << " exited with status " << status << "\n";
    return status;
}

int Post(const Args &args) {
    std::string name = RequireArg(args, 1);
    simdevice::BroadcastResult result;
    if (name == "raw") {
        result = simdevice::PostPowerBroadcast(ParseNumber(RequireArg(args, 2)), ParseNumber(RequireArg(args, 3)));
    } else {
        auto it = kBroadcasts.find(name);
        if (it == kBroadcasts.end()) throw std::invalid_argument("unknown broadcast: " + name);
        result = simdevice::PostPowerBroadcast(it->second.message, it->second.flags, it->second.state);
    }
    std::cout << "posted " << name << ": delivered to " << result.delivered << " queue(s), dropped by "
              << result.dropped << "\n";
    return 0;
}

int Phone(const Args &args) {
    std::string status = RequireArg(args, 1);
    if (status == "none") {
        simdevice::DeleteRegistryValue(device_names::kPhoneKey, device_names::kPhoneStatusValue);
        return 0;
    }
    simdevice::SetRegistryDword(device_names::kPhoneKey, device_names::kPhoneStatusValue,
                                device_names::PhoneStatus(status));
    return 0;
}

std::string HexBytes(const std::string &hex) {
    if (hex.size() % 2) throw std::invalid_argument("binary value needs whole bytes: " + hex);
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) bytes += char(ParseNumber("0x" + hex.substr(i, 2)));
    return bytes;
}

int Registry(const Args &args) {
    std::string verb = RequireArg(args, 1);
    std::u16string key = simdevice::Utf8ToUtf16(RequireArg(args, 2));
    if (verb == "delete") {
        if (args.size() > 3) simdevice::DeleteRegistryValue(key, simdevice::Utf8ToUtf16(args[3]));
        else simdevice::DeleteRegistryKey(key);
        return 0;
    }
    if (verb != "set") throw std::invalid_argument("reg set or reg delete");
    std::u16string name = simdevice::Utf8ToUtf16(RequireArg(args, 3));
    std::string type = RequireArg(args, 4), value = RequireArg(args, 5);
    if (type == "dword") {
        simdevice::SetRegistryDword(key, name, ParseNumber(value));
    } else if (type == "sz") {
        std::u16string text = simdevice::Utf8ToUtf16(value);
        simdevice::SetRegistryValue(key, name, REG_SZ,
                                    std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * 2));
    } else if (type == "binary") {
        simdevice::SetRegistryValue(key, name, REG_BINARY, HexBytes(value));
    } else {
        throw std::invalid_argument("type must be dword, sz or binary");
    }
    return 0;
}

int Key(const Args &args) {
    std::string key = RequireArg(args, 1);
    std::string how = args.size() > 2 ? args[2] : "press";
    if (how == "press") {
        simdevice::PressKey(device_names::MakeKeyEvent(key, "down"));
        simdevice::PressKey(device_names::MakeKeyEvent(key, "up"));
    } else {
        simdevice::PressKey(device_names::MakeKeyEvent(key, how));
    }
    return 0;
}

int Wait(const Args &args) {
    std::string event = RequireArg(args, 1);
    int count = args.size() > 2 ? int(ParseNumber(args[2])) : 1;
    double seconds = args.size() > 3 ? std::stod(args[3]) : 10;
    bool held = simdevice::WaitForLog(
        [&](const auto &log) { return simdevice::CountEvents(log, event) >= count; },
        std::chrono::milliseconds(long(seconds * 1000)));
    if (!held) std::cerr << "simdevice: timed out waiting for " << count << " '" << event << "' record(s)\n";
    return held ? 0 : 1;
}

int Run(const Args &args) {
    const std::string &command = args[0];
    if (command == "init") {
        simdevice::ResetDevice(args.size() > 1 ? args[1] : simdevice::DeviceDir());
        std::cout << simdevice::DeviceDir() << "\n";
        return 0;
    }
    if (command == "destroy") return simdevice::DestroyDevice(simdevice::DeviceDir()), 0;
    if (command == "start" || command == "run") return Start(args, command == "run");
    if (command == "ps") {
        for (pid_t pid : simdevice::LivePrograms()) std::cout << pid << "\n";
        return 0;
    }
    if (command == "stop") {
        for (pid_t pid : simdevice::LivePrograms()) kill(pid, SIGTERM);
        return 0;
    }
    if (command == "post") return Post(args);
    if (command == "phone") return Phone(args);
    if (command == "reg") return Registry(args);
    if (command == "key") return Key(args);
    if (command == "log") return std::cout << simdevice::FormatTimeline(simdevice::ReadLog()), 0;
    if (command == "debug") return std::cout << simdevice::DebugOutput(), 0;
    if (command == "wait") return Wait(args);
    throw std::invalid_argument("unknown command: " + command);
}

}  // namespace

int main(int argc, char **argv) {
    Args args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    try {
        return Run(args);
    } catch (const std::exception &error) {
        std::cerr << "simdevice: " << error.what() << "\n" << kUsage;
        return 2;
    }
}
