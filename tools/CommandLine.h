// The host tools' command lines, on CLI11: its own help and errors, values
// checked by the shared rules, and every refusal as one line plus a hint on
// standard error with exit status kBadInput.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace command_line {

// Exit status for input a tool refuses.
constexpr int kBadInput = 2;

// The project's version, or a word saying the build has none.
std::string Version();

// A CLI11 validator from a parser that throws std::invalid_argument; the
// error names the argument and says what it accepts.
CLI::Validator Rule(const std::string &typeName, const std::function<void(const std::string &)> &parse);

// A positional argument NAME read by PARSE (one of the shared rules) into
// VALUE, checked before any command runs.
template <typename Value, typename Parse>
CLI::Option *AddValue(CLI::App *command, const std::string &name, Value &value, Parse parse,
                      const std::string &typeName, const std::string &description) {
    return command
        ->add_option_function<std::string>(
            name, [&value, parse](const std::string &text) { value = parse(text); }, description)
        ->type_name(typeName)
        ->check(Rule(typeName, [parse](const std::string &text) { (void)parse(text); }));
}

// Refuses a value the parser let through, naming the argument:
// "NAME: MESSAGE".
[[noreturn]] void RefuseValue(const std::string &name, const std::string &message);

// A tool (or a line of commands) made of commands, each with what it runs.
class CommandSet {
public:
    using Action = std::function<int(const CLI::App &command)>;

    CommandSet(const std::string &tool, const std::string &description);

    CLI::App &Root() { return root_; }
    // A command below PARENT (Root() or another command); one without an
    // action only leads to the commands below it.
    CLI::App *Add(CLI::App &parent, const std::string &name, const std::string &description, Action action);

    // What the tool itself runs when its command line names no command.
    void SetRootAction(Action action) { actions_[&root_] = std::move(action); }
    // Runs before the chosen command's action; what it throws is reported
    // as the action's errors are.
    void BeforeEachAction(std::function<void(const CLI::App &)> check) { before_ = std::move(check); }

    // Parses WORDS (the arguments, without the program name) and gives the
    // chosen command's action. Throws CLI::ParseError: CLI11's own, and for
    // a missing command.
    Action Choose(std::vector<std::string> words);
    // The commands, one a line with what each does.
    std::string CommandList() const { return CLI::Formatter().make_subcommands(&root_, CLI::AppFormatMode::Normal); }

    // Parses ARGV and runs the chosen command: its status; 0 after help or
    // the version; kBadInput after refused input, with one line and the hint
    // on standard error.
    int Run(int argc, char **argv);

private:
    const CLI::App *Deepest() const;
    int Refuse(const std::string &message) const;

    std::string tool_;
    CLI::App root_;
    std::map<const CLI::App *, Action> actions_;
    std::function<void(const CLI::App &)> before_;
};

}  // namespace command_line
