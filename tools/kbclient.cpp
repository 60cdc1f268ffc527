// kbclient: stand-in for the outside program that uses the keypad lock. It
// loads tallowbeck.dll, calls its exports on command, and plays the input
// system: key events from its commands, or (with --listen) from the device
// keyboard, go down the hook chain and each one's fate is printed.
//
// Commands, one per line on standard input:
//   load | unload | activate MODE | deactivate
//   key KEY [down|up|sysdown|sysup]      deliver one event here
//   phone STATUS                         set the phone status (as the radio stack would)
//   quit
#include <simdevice/device.h>

#include "DeviceNames.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using ActivateProc = BOOL(WINAPI *)(DWORD);
using DeactivateProc = BOOL(WINAPI *)();

std::mutex g_printMutex;

void Say(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::cout << line << std::endl;
}

void Deliver(const simdevice::KeyEvent &event) {
    simdevice::KeyFate fate = simdevice::DeliverKeyEvent(event);
    simdevice::Log("key", {{"key", device_names::KeyName(event.record.vkCode)}, {"message", device_names::KeyMessageName(event.message)},
                           {"fate", fate.reachedWindow ? "passed on" : "swallowed"},
                           {"result", std::to_string(fate.result)}});
    Say(device_names::KeyName(event.record.vkCode) + " " + device_names::KeyMessageName(event.message) + ": " +
        (fate.reachedWindow ? "passed on" : "swallowed") + " (result " + std::to_string(fate.result) + ")");
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
        if (!library) return Say("load: failed, error " + std::to_string(GetLastError()));
        activate = Bind<ActivateProc>(u"ActivateKBHook");
        deactivate = Bind<DeactivateProc>(u"DeactivateKBHook");
        Say("load: " + libraryPath);
    }
    void Unload() {
        if (!library) return Say("unload: not loaded");
        FreeLibrary(library);
        library = nullptr;
        activate = nullptr;
        deactivate = nullptr;
        Say("unload: done");
    }
    void Activate(DWORD mode) {
        if (!activate) return Say("activate: library not loaded");
        Say("activate " + std::to_string(mode) + ": " + std::to_string(activate(mode)));
    }
    void Deactivate() {
        if (!deactivate) return Say("deactivate: library not loaded");
        Say("deactivate: " + std::to_string(deactivate()));
    }
};

void Phone(const std::string &status) {
    simdevice::SetRegistryDword(device_names::kPhoneKey, device_names::kPhoneStatusValue,
                                device_names::PhoneStatus(status));
    Say("phone: status " + status);
}

bool RunCommand(Client &client, const std::string &line) {
    std::istringstream words(line);
    std::string command, argument, direction;
    words >> command >> argument >> direction;
    if (command.empty() || command[0] == '#') return true;
    if (command == "quit") return false;
    if (command == "load") client.Load();
    else if (command == "unload") client.Unload();
    else if (command == "activate") client.Activate(device_names::ParseNumber(argument.empty() ? "1" : argument));
    else if (command == "deactivate") client.Deactivate();
    else if (command == "phone") Phone(argument);
    else if (command == "key") {
        Deliver(device_names::MakeKeyEvent(argument, direction.empty() ? "down" : direction));
    } else {
        Say("unknown command: " + command);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    simdevice::ProgramStarted(argc, argv);
    Client client;
    std::string program = argv[0];
    client.libraryPath = program.substr(0, program.find_last_of('/') + 1) + "tallowbeck.dll";
    bool listen = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--library" && i + 1 < argc) client.libraryPath = argv[++i];
        else if (arg == "--listen") listen = true;
        else {
            std::cerr << "usage: kbclient [--library PATH] [--listen]  (commands on standard input)\n";
            return 2;
        }
    }
    if (listen) {
        // The device keyboard's events arrive on this thread, as on the
        // platform's input thread, while the exports run on the main one.
        std::thread([] {
            while (auto event = simdevice::NextKeyPress(std::nullopt)) Deliver(*event);
        }).detach();
    }
    std::string line;
    try {
        while (std::getline(std::cin, line) && RunCommand(client, line)) {
        }
    } catch (const std::exception &error) {
        std::cerr << "kbclient: " << error.what() << "\n";
        return 2;
    }
    simdevice::ProgramExiting(0);
    return 0;
}
