// kbclient: stand-in for the outside program that uses the keypad lock. It
// loads tallowbeck.dll, calls its exports on command, and plays the input
// system: key events from its commands, or (with --listen) from the device
// keyboard, go down the hook chain and each one's fate is printed.
//
// Commands come one per line on standard input (kbclient --help lists them).
// A bad line is reported on standard error and skipped; the exit status says
// whether any was.
#include <simdevice/device.h>

#include "ArgumentValues.h"
#include "CommandLine.h"
#include "DeviceNames.h"
#include "Words.h"

#include <fmt/format.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using command_line::AddValue;
using command_line::CommandSet;

using ActivateProc = BOOL(WINAPI *)(DWORD);
using DeactivateProc = BOOL(WINAPI *)();

const char kFooter[] = R"(
Exit status: 0 every line was good; 2 a bad command line, or a line was refused (each reported as
"kbclient: line N: ..." on standard error, and skipped); 1 no simulated device; 125 a malformed SIMDEVICE_FAULTS.)";

std::mutex g_printMutex;

void Say(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::cout << line << std::endl;
}

void Complain(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::cout << std::flush;
    fmt::print(stderr, "{}\n", line);
}

void Deliver(const simdevice::KeyEvent &event) {
    const simdevice::KeyFate fate = simdevice::DeliverKeyEvent(event);
    const std::string key = device_names::KeyName(event.record.vkCode);
    const std::string message = device_names::KeyMessageName(event.message);
    const char *verdict = fate.reachedWindow ? "passed on" : "swallowed";
    simdevice::Log("key", {{"key", key}, {"message", message}, {"fate", verdict}, {"result", std::to_string(fate.result)}});
    Say(fmt::format("{} {}: {} (result {})", key, message, verdict, fate.result));
}

struct Client {
    std::string libraryPath;
    HMODULE library = nullptr;
    ActivateProc activate = nullptr;
    DeactivateProc deactivate = nullptr;

    template <typename Export>
    Export Bind(const char16_t *name) {
        return reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddressW(library, name)));
    }
    void Load() {
        if (library) return Say("load: already loaded");
        library = LoadLibraryW(simdevice::Utf8ToUtf16(libraryPath).c_str());
        const DWORD error = GetLastError();
        simdevice::Log("client-load", {{"library", libraryPath}, {"result", library ? "loaded" : "failed"},
                                       {"error", std::to_string(library ? 0 : error)}});
        if (!library) return Say(fmt::format("load: failed, error {}", error));
        activate = Bind<ActivateProc>(u"ActivateKBHook");
        deactivate = Bind<DeactivateProc>(u"DeactivateKBHook");
        Say("load: " + libraryPath);
    }
    void Unload() {
        if (!library) return Say("unload: not loaded");
        const BOOL freed = FreeLibrary(library);
        simdevice::Log("client-unload", {{"result", std::to_string(freed)}});
        library = nullptr;
        activate = nullptr;
        deactivate = nullptr;
        Say("unload: done");
    }
    void Activate(DWORD mode) {
        if (!activate) return Say("activate: library not loaded");
        const BOOL result = activate(mode);
        simdevice::Log("client-activate", {{"mode", std::to_string(mode)}, {"result", std::to_string(result)}});
        Say(fmt::format("activate {}: {}", mode, result));
    }
    void Deactivate() {
        if (!deactivate) return Say("deactivate: library not loaded");
        const BOOL result = deactivate();
        simdevice::Log("client-deactivate", {{"result", std::to_string(result)}});
        Say(fmt::format("deactivate: {}", result));
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
                                  Deliver(device_names::MakeKeyEvent(in.vk, device_names::KeyMessage(in.direction)));
                                  return int(kDone);
                              });
    AddValue(key, "KEY", in.vk, device_names::KeyCode, "KEY", device_names::kKeyRule)->required();
    key->add_option("DIRECTION", in.direction, device_names::kKeyMessageRule)
        ->check(command_line::Rule("DIRECTION", [](const std::string &name) { (void)device_names::KeyMessage(name); }));
    CLI::App *phone = lines.Add(root, "phone", "STATUS: set the phone status, as the radio stack would",
                                [&](const CLI::App &) {
                                    device_names::SetPhoneStatus(in.phoneStatus);
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

// Runs the commands on standard input; whether every line was good. Each
// line is read by commands of its own: CLI11 keeps a record of every parse
// an App makes, which would grow with every line for as long as the client
// runs.
bool RunCommands(Client &client, LineInputs &in) {
    bool allGood = true;
    std::string line;
    for (int number = 1; std::getline(std::cin, line); ++number) {
        const std::vector<std::string> words = words::Split(line);
        if (words.empty() || words[0][0] == '#') continue;
        in = LineInputs{};
        try {
            const auto lines = LineCommands(client, in);
            if (lines->Choose(words)(lines->Root()) == kQuit) break;
        } catch (const std::exception &error) {
            Complain(fmt::format("kbclient: line {}: {}", number, error.what()));
            allGood = false;
        }
    }
    return allGood;
}

}  // namespace

int main(int argc, char **argv) {
    Client client;
    const std::string program = argv[0];
    client.libraryPath = program.substr(0, program.find_last_of('/') + 1) + "tallowbeck.dll";
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
        simdevice::ProgramStarted(argc, argv);
        if (listen) {
            // The device keyboard's events arrive on this thread, as on the
            // platform's input thread, while the exports run on the main one.
            std::thread([] {
                while (auto event = simdevice::NextKeyPress(std::nullopt)) Deliver(*event);
            }).detach();
        }
        const int status = RunCommands(client, lineInputs) ? 0 : command_line::kBadInput;
        simdevice::ProgramExiting(status);
        return status;
    });
    return tool.Run(argc, argv);
}
