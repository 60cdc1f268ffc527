#include "CommandLine.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#ifndef DEVICELOCK_VERSION
#define DEVICELOCK_VERSION ""
#endif

namespace command_line {

namespace {

// The words that lead from the tool to COMMAND ("simdevice reg set").
std::string CommandPath(const CLI::App *command) {
    std::string path = command->get_name();
    for (command = command->get_parent(); command != nullptr; command = command->get_parent())
        path = command->get_name() + " " + path;
    return path;
}

}  // namespace

std::string Version() {
    const std::string version = DEVICELOCK_VERSION;
    return version.empty() ? "(no version set)" : version;
}

CLI::Validator Rule(const std::string &typeName, const std::function<void(const std::string &)> &parse) {
    return CLI::Validator(
        [parse](std::string &text) -> std::string {
            try {
                parse(text);
                return {};
            } catch (const std::invalid_argument &error) {
                return error.what();
            }
        },
        "", typeName);
}

void RefuseValue(const std::string &name, const std::string &message) { throw CLI::ValidationError(name, message); }

CommandSet::CommandSet(const std::string &tool, const std::string &description)
    : tool_(tool), root_(description, tool) {
    root_.set_version_flag("--version", tool + " " + Version(), "Print the version and exit");
}

CLI::App *CommandSet::Add(CLI::App &parent, const std::string &name, const std::string &description, Action action) {
    CLI::App *command = parent.add_subcommand(name, description);
    command->group("Commands");
    if (action) actions_[command] = std::move(action);
    return command;
}

// The command the words reached: CLI11 keeps the commands it parsed, also
// when it stopped at an error.
const CLI::App *CommandSet::Deepest() const {
    const CLI::App *command = &root_;
    while (!command->get_subcommands().empty()) command = command->get_subcommands().back();
    return command;
}

CommandSet::Action CommandSet::Choose(std::vector<std::string> words) {
    std::reverse(words.begin(), words.end());
    root_.parse(words);
    const auto it = actions_.find(Deepest());
    if (it == actions_.end())
        throw CLI::ParseError(Deepest() == &root_ ? "a command is required"
                                                  : CommandPath(Deepest()).substr(tool_.size() + 1) + ": a command is required",
                              kBadInput);
    return it->second;
}

int CommandSet::Refuse(const std::string &message) const {
    fmt::print(stderr, "{}: {}\nrun '{} --help'\n", tool_, message, CommandPath(Deepest()));
    return kBadInput;
}

int CommandSet::Run(int argc, char **argv) {
    Action action;
    try {
        action = Choose(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == 0) return root_.exit(error);  // help or version, on standard output
        return Refuse(error.what());
    }
    try {
        if (before_) before_(*Deepest());
        return action(*Deepest());
    } catch (const std::exception &error) {
        return Refuse(error.what());
    }
}

}  // namespace command_line
