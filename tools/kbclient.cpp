// kbclient: stand-in for the outside program that uses the keypad lock. It
// loads tallowbeck.dll, calls its exports on command, and plays the input
// system: key events from its commands, or (with --listen) from the device
// keyboard, go down the hook chain and each one's fate is printed, and
// recorded where the device keeps records (the timeline; under Wine,
// kbclient.log beside it). Written once over the device seam, built for the
// simulated device and for Wine.
//
// Commands come one per line on standard input (kbclient --help lists them).
// A bad line is reported on standard error and skipped; the exit status says
// whether any was.
#include <windows.h>

#include "ArgumentValues.h"
#include "CommandLine.h"
#include "DeviceNames.h"
#include "Words.h"
#include "device/Device.h"

#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using command_line::AddValue;
using command_line::CommandSet;

using ActivateProc = BOOL(WINAPI *)(DWORD);
using DeactivateProc = BOOL(WINAPI *)();

const char kFooter[] = R"(
Exit status: 0 every line was good; 2 a bad command line, or a line was refused (each reported as
"kbclient: line N: ..." on standard error, and skipped); on the simulated device, 1 no device and 125 a
malformed SIMDEVICE_FAULTS.)";

// Each line in one stdio call, which holds the stream's own lock: the
// listener prints from another thread.
void Say(const std::string &line) {
    fmt::print("{}\n", line);
    std::fflush(stdout);
}

void Complain(const std::string &line) { fmt::print(stderr, "{}\n", line); }

// Printed, and recorded as EVENT with FIELDS.
void Log(timeline::Event event, const device::Fields &fields, const std::string &line) {
    device::Record(event, fields, line);
    Say(line);
}

void Judged(DWORD vk, UINT message, const device::KeyFate &fate) {
    const std::string key = device_names::KeyName(vk);
    const std::string name = device_names::KeyMessageName(message);
    const char *verdict = fate.passedOn ? "passed on" : "swallowed";
    Log(timeline::Event::Key, {{"key", key}, {"message", name}, {"fate", verdict}, {"result", std::to_string(fate.result)}},
        fmt::format("{} {}: {} (result {})", key, name, verdict, fate.result));
}

void ReachedWindow(DWORD vk) {
    const std::string key = device_names::KeyName(vk);
    Log(timeline::Event::Key, {{"key", key}, {"fate", "reached the window"}}, key + ": reached the window");
}

struct Client {
    std::string libraryPath;
    HMODULE library = nullptr;
    ActivateProc activate = nullptr;
    DeactivateProc deactivate = nullptr;

    template <typename Export>
    Export Bind(const char *name) {
        return reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddressW(library, device::Wide(name).c_str())));
    }
    void Load() {
        if (library) return Say("load: already loaded");
        library = LoadLibraryW(device::Wide(libraryPath).c_str());
        const DWORD error = library ? 0 : GetLastError();
        const std::string said = library ? "load: " + libraryPath : fmt::format("load: failed, error {}", error);
        if (library) {
            activate = Bind<ActivateProc>("ActivateKBHook");
            deactivate = Bind<DeactivateProc>("DeactivateKBHook");
        }
        Log(timeline::Event::ClientLoad,
            {{"library", libraryPath}, {"result", library ? "loaded" : "failed"}, {"error", std::to_string(error)}}, said);
    }
    void Unload() {
        if (!library) return Say("unload: not loaded");
        const BOOL freed = FreeLibrary(library);
        library = nullptr;
        activate = nullptr;
        deactivate = nullptr;
        Log(timeline::Event::ClientUnload, {{"result", std::to_string(freed)}}, "unload: done");
    }
    void Activate(DWORD mode) {
        if (!activate) return Say("activate: library not loaded");
        const BOOL result = activate(mode);
        device::HookChainChanged();
        Log(timeline::Event::ClientActivate, {{"mode", std::to_string(mode)}, {"result", std::to_string(result)}},
            fmt::format("activate {}: {}", mode, result));
    }
    void Deactivate() {
        if (!deactivate) return Say("deactivate: library not loaded");
        const BOOL result = deactivate();
        Log(timeline::Event::ClientDeactivate, {{"result", std::to_string(result)}}, fmt::format("deactivate: {}", result));
    }
};

// What one line gave; reset before each line, since CLI11 leaves the last
// line's values in place.
struct LineInputs {
    DWORD mode = 0;
    DWORD vk = 0;
    std::string direction = "down";
    std::optional<DWORD> phoneStatus;
};

enum LineStatus { kDone = 0, kQuit = 1 };

std::string LineHelp(CommandSet &lines) { return lines.Root().get_description() + "\n" + lines.CommandList(); }

void AddLineCommands(CommandSet &lines, Client &client, LineInputs &in) {
    CLI::App &root = lines.Root();
    root.set_help_flag();  // a line is a command, never an option
    root.set_version_flag("");
    const auto simple = [&](const char *name, const char *description, void (Client::*run)()) {
        lines.Add(root, name, description, [&client, run](const CLI::App &) {
            (client.*run)();
            return int(kDone);
        });
    };
    simple("load", "load tallowbeck.dll", &Client::Load);
    simple("unload", "free it", &Client::Unload);
    CLI::App *activate = lines.Add(root, "activate", "MODE: call ActivateKBHook(MODE)", [&](const CLI::App &) {
        client.Activate(in.mode);
        return int(kDone);
    });
    AddValue(activate, "MODE", in.mode, argument_values::Dword, "DWORD", argument_values::kDwordRule)->required();
    simple("deactivate", "call DeactivateKBHook()", &Client::Deactivate);
    CLI::App *key = lines.Add(root, "key", "KEY [down|up|sysdown|sysup]: deliver one key event here",
                              [&](const CLI::App &) {
                                  const UINT message = UINT(device_names::KeyMessage(in.direction));
                                  Judged(in.vk, message, device::PressKey(in.vk, message));
                                  return int(kDone);
                              });
    AddValue(key, "KEY", in.vk, device_names::KeyCode, "KEY", device_names::kKeyRule)->required();
    key->add_option("DIRECTION", in.direction, device_names::kKeyMessageRule)
        ->check(command_line::Rule("DIRECTION", [](const std::string &name) { (void)device_names::KeyMessage(name); }));
    CLI::App *phone = lines.Add(root, "phone", "STATUS: set the phone status, as the radio stack would",
                                [&](const CLI::App &) {
                                    device::SetPhoneStatus(in.phoneStatus);
                                    Say("phone: status " + (in.phoneStatus ? fmt::format("{:#x}", *in.phoneStatus) : "none"));
                                    return int(kDone);
                                });
    AddValue(phone, "STATUS", in.phoneStatus, device_names::PhoneStatus, "STATUS", device_names::kPhoneStatusRule)
        ->required();
    lines.Add(root, "help", "list these commands", [&](const CLI::App &) {
        Say(LineHelp(lines));
        return int(kDone);
    });
    lines.Add(root, "quit", "end (as the end of input does)", [](const CLI::App &) { return int(kQuit); });
}

std::unique_ptr<CommandSet> LineCommands(Client &client, LineInputs &in) {
    auto lines = std::make_unique<CommandSet>(
        "kbclient", "Each line on standard input is one command ('#' starts a comment); a bad line is reported and skipped.");
    AddLineCommands(*lines, client, in);
    return lines;
}

// Runs the commands on standard input, each on the input system's thread;
// whether every line was good. Each line is read by commands of its own:
// CLI11 keeps a record of every parse an App makes, which would grow with
// every line for as long as the client runs.
bool RunCommands(Client &client, LineInputs &in) {
    bool allGood = true;
    std::string line;
    for (int number = 1; std::getline(std::cin, line); ++number) {
        const std::vector<std::string> words = words::Split(line);
        if (words.empty() || words[0][0] == '#') continue;
        in = LineInputs{};
        std::string refused;
        int status = kDone;
        device::OnInputThread([&] {
            try {
                const auto lines = LineCommands(client, in);
                status = lines->Choose(words)(lines->Root());
            } catch (const std::exception &error) {
                refused = error.what();
            }
        });
        if (status == kQuit) break;
        if (refused.empty()) continue;
        Complain(fmt::format("kbclient: line {}: {}", number, refused));
        allGood = false;
    }
    return allGood;
}

int Main(int argc, char **argv) {
    Client client;
    const std::string program = argv[0];
    client.libraryPath = program.substr(0, program.find_last_of("/\\") + 1) + "tallowbeck.dll";
    bool listen = false;

    LineInputs lineInputs;

    CommandSet tool("kbclient",
                    "A client of the keypad lock: loads tallowbeck.dll and calls its exports on command; key events\n"
                    "from its commands, or with --listen from the device keyboard, go down the hook chain.");
    tool.Root().add_option("--library", client.libraryPath, "the library to load (default: tallowbeck.dll beside kbclient)")
        ->type_name("PATH");
    tool.Root().add_flag("--listen", listen, "deliver the device keyboard's key presses too");
    tool.Root().footer("\n" + LineHelp(*LineCommands(client, lineInputs)) + kFooter);
    tool.SetRootAction([&](const CLI::App &) {
        return device::ServeInput(argc, argv, [&] {
            if (listen) device::OnInputThread([] { device::ListenForKeys({Judged, ReachedWindow}); });
            return RunCommands(client, lineInputs) ? 0 : command_line::kBadInput;
        });
    });
    return tool.Run(argc, argv);
}

}  // namespace

DEVICE_TOOL_MAIN(Main)
