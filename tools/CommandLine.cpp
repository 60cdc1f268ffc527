#include "CommandLine.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#ifndef DEVICELOCK_VERSION
#define DEVICELOCK_VERSION ""
#endif

namespace command_line {

namespace {

std::vector<const CLI::App *> NamedCommands(const CLI::App *app) {
    return app->get_subcommands([](const CLI::App *command) { return !command->get_name().empty(); });
}

const CLI::App *FindCommand(const CLI::App *app, const std::string &name) {
    for (const CLI::App *command : NamedCommands(app))
        if (command->get_name() == name) return command;
    return nullptr;
}

bool HasPositionals(const CLI::App *app) {
    return !app->get_options([](const CLI::Option *option) { return option->get_positional(); }).empty();
}

// The words that lead from the tool to COMMAND ("reg set").
std::string CommandPath(const CLI::App *command) {
    std::string path;
    for (; command != nullptr && command->get_parent() != nullptr; command = command->get_parent())
        path = command->get_name() + (path.empty() ? "" : " " + path);
    return path;
}

std::string ToolName(const CLI::App *command) {
    while (command->get_parent() != nullptr) command = command->get_parent();
    return command->get_name();
}

std::string CommandNames(const CLI::App *app) {
    std::string names;
    for (const CLI::App *command : NamedCommands(app)) names += (names.empty() ? "" : " ") + command->get_name();
    return names;
}

}  // namespace

std::string Version() {
    const std::string version = DEVICELOCK_VERSION;
    return version.empty() ? "(no version set)" : version;
}

CLI::Validator Rule(const std::string &typeName, const std::function<void(const std::string &)> &parse) {
    CLI::Validator rule(
        [parse](std::string &text) -> std::string {
            try {
                parse(text);
                return {};
            } catch (const std::invalid_argument &error) {
                return error.what();
            }
        },
        "", typeName);
    return rule;
}

void RefuseValue(const std::string &name, const std::string &message) { throw CLI::ValidationError(name, message); }

// ---- help ---------------------------------------------------------------------

std::string SynopsisFormatter::Synopsis(const CLI::App *command) const {
    const auto it = synopses_.find(command);
    return it == synopses_.end() ? CommandPath(command) : it->second;
}

std::string SynopsisFormatter::make_usage(const CLI::App *app, std::string) const {
    const std::string tool = ToolName(app);
    std::vector<std::string> forms;
    if (app->get_parent() == nullptr && Synopsis(app).empty()) return "";
    if (app->get_parent() == nullptr || HasPositionals(app) || NamedCommands(app).empty() ||
        synopses_.count(app) != 0)
        forms.push_back(Synopsis(app));
    if (app->get_parent() != nullptr)
        for (const CLI::App *command : NamedCommands(app)) forms.push_back(Synopsis(command));
    std::string usage;
    for (const std::string &form : forms)
        usage += fmt::format("{}{} {}\n", usage.empty() ? "usage: " : "       ", tool, form);
    return usage;
}

std::string SynopsisFormatter::make_subcommand(const CLI::App *command) const {
    std::ostringstream out;
    if (synopses_.count(command) != 0) CLI::detail::format_help(out, Synopsis(command), command->get_description(), column_width_);
    for (const CLI::App *form : NamedCommands(command))
        CLI::detail::format_help(out, Synopsis(form), form->get_description(), column_width_);
    return out.str();
}

// ---- commands -----------------------------------------------------------------

CommandSet::CommandSet(const std::string &tool, const std::string &synopsis, const std::string &description)
    : tool_(tool), root_(description, tool), formatter_(std::make_shared<SynopsisFormatter>()) {
    formatter_->column_width(44);
    formatter_->label("Positionals", "Arguments");
    formatter_->SetSynopsis(&root_, synopsis);
    root_.formatter(formatter_);
    root_.set_version_flag("--version", tool + " " + Version(), "Print the version and exit");
}

CLI::App *CommandSet::Add(CLI::App &parent, const std::string &name, const std::string &synopsis,
                          const std::string &description, Action action) {
    CLI::App *command = parent.add_subcommand(name, description);
    command->group("Commands");
    if (!synopsis.empty()) formatter_->SetSynopsis(command, synopsis);
    if (action) actions_[command] = std::move(action);
    return command;
}

// CLI11 would call an unknown command an unexpected argument, and a missing
// one "A subcommand": say which command, and which could follow.
void CommandSet::CheckCommandWords(const std::vector<std::string> &words) {
    const CLI::App *app = &root_;
    const auto takesOnlyCommands = [this](const CLI::App *command) {
        return actions_.count(command) == 0 && !HasPositionals(command) && !NamedCommands(command).empty();
    };
    bool options = false;  // CLI11 names an unknown one better than "a command is required"
    for (const std::string &word : words) {
        if (word == "-h" || word == "--help" || word == "--version") return;
        if (!word.empty() && word[0] == '-') {
            options = true;
            continue;
        }
        if (const CLI::App *command = FindCommand(app, word)) {
            current_ = app = command;
            continue;
        }
        if (takesOnlyCommands(app))
            throw CLI::ParseError(fmt::format("unknown command '{}' (one of: {})",
                                              (CommandPath(app) + " " + word).substr(app == &root_ ? 1 : 0),
                                              CommandNames(app)),
                                  kBadInput);
        return;
    }
    if (takesOnlyCommands(app) && !options)
        throw CLI::ParseError(fmt::format("{}a command is required (one of: {})",
                                          app == &root_ ? "" : CommandPath(app) + ": ", CommandNames(app)),
                              kBadInput);
}

const CLI::App *CommandSet::Deepest() const {
    const CLI::App *command = &root_;
    while (!command->get_subcommands().empty()) command = command->get_subcommands().back();
    return command;
}

CommandSet::Action CommandSet::Choose(std::vector<std::string> words) {
    current_ = &root_;
    CheckCommandWords(words);
    std::reverse(words.begin(), words.end());
    root_.parse(words);
    const auto it = actions_.find(Deepest());
    if (it == actions_.end()) throw CLI::ParseError("a command is required", kBadInput);
    return it->second;
}

std::string CommandSet::Hint() const {
    const std::string path = CommandPath(current_);
    return fmt::format("run '{}{} --help'", tool_, path.empty() ? "" : " " + path);
}

int CommandSet::Refuse(const std::string &message) const {
    fmt::print(stderr, "{}: {}\n{}\n", tool_, message, Hint());
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
    } catch (const CLI::ParseError &error) {
        return Refuse(error.what());
    } catch (const std::exception &error) {
        return Refuse(error.what());
    }
}

}  // namespace command_line
