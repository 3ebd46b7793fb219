#include "CoreSystem/CommandProgram.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "CoreSystem/CommandLine.h"
#include "CoreSystem/Console.h"

namespace CoreSystem {

namespace {

// The width of the command column in the list of commands, at the least.
constexpr std::size_t nameColumn = 10;

void printErrorText(const std::string& text) {
    std::fputs(text.c_str(), stderr);
}

// The words of a command's name.
std::vector<std::string_view> nameWords(std::string_view name) {
    std::vector<std::string_view> words;
    while (!name.empty()) {
        const std::size_t space = name.find(' ');
        words.push_back(name.substr(0, space));
        name = space == std::string_view::npos ? std::string_view{} : name.substr(space + 1);
    }
    return words;
}

}  // namespace

CommandProgram::CommandProgram(std::string_view name, std::string_view usage,
                               std::string_view description, std::vector<Command> commands)
    : name_(name), usage_(usage), description_(description), commands_(std::move(commands)) {}

int CommandProgram::run(std::span<const std::string> words) const {
    if (words.empty()) {
        return wrongCall("no command given (see " + name_ + " --help)");
    }
    const std::string& first = words.front();
    if (first == "--help" || first == "-h" || first == "help") {
        Console::print(overview());
        return exitSuccess;
    }
    std::size_t wordCount = 0;
    const Command* command = find(words, wordCount);
    if (command == nullptr) {
        // The first word may open a group of commands ("dfu make"): name the pair then.
        const bool opensGroup =
            std::any_of(commands_.begin(), commands_.end(),
                        [&](const Command& known) { return known.name.starts_with(first + " "); });
        const std::string attempted =
            opensGroup && words.size() > 1 ? first + " " + words[1] : first;
        return wrongCall("unknown command '" + attempted + "' (see " + name_ + " --help)");
    }
    return runCommand(*command, words.subspan(wordCount));
}

int CommandProgram::runCommand(const Command& command, std::span<const std::string> words) const {
    const auto optionsEnd = std::find(words.begin(), words.end(), "--");
    if (std::find(words.begin(), optionsEnd, "--help") != optionsEnd) {
        Console::print(usageText(command) + "\n\n" + command.help);
        return exitSuccess;
    }
    const std::string subject = name_ + " " + std::string(command.name);
    try {
        const CommandLine line(name_, command, words);
        return command.run(line);
    } catch (const UsageError& error) {
        printCommandError(subject, error.what());
        printErrorText(usageText(command) + "\n");
        return exitUsage;
    } catch (const std::exception& error) {
        // A command reports its failures itself or throws them; anything else (memory
        // exhausted, say) ends the same way, in one line.
        printCommandError(subject, error.what());
        return exitFailure;
    }
}

int CommandProgram::wrongCall(const std::string& message) const {
    printCommandError(name_, message);
    printErrorText("usage: " + name_ + " " + usage_ + "\n");
    return exitUsage;
}

std::string CommandProgram::overview() const {
    std::string text = "usage: " + name_ + " " + usage_ + "\n\n" + description_ + "\n\ncommands:\n";
    for (const Command& command : commands_) {
        std::string name(command.name);
        name.resize(std::max(name.size(), nameColumn), ' ');
        text += "  " + name + "  " + std::string(command.summary) + "\n";
    }
    return text + "\nRun \"" + name_ +
           " COMMAND --help\" for the arguments and options of a command.\n"
           "Exit status: 0 success, 1 failure, 2 wrong use.\n";
}

std::string CommandProgram::usageText(const Command& command) const {
    std::string text = "usage: " + name_ + " " + std::string(command.name);
    if (command.usage.empty()) {
        return text;
    }
    text += " ";
    const std::string indent(text.size(), ' ');
    for (const char character : command.usage) {
        text += character;
        if (character == '\n') {
            text += indent;
        }
    }
    return text;
}

const Command* CommandProgram::find(std::span<const std::string> words,
                                    std::size_t& wordCount) const {
    const Command* found = nullptr;
    wordCount = 0;
    for (const Command& command : commands_) {
        const std::vector<std::string_view> name = nameWords(command.name);
        const bool matches =
            name.size() <= words.size() && std::equal(name.begin(), name.end(), words.begin());
        if (matches && name.size() > wordCount) {
            found = &command;
            wordCount = name.size();
        }
    }
    return found;
}

}  // namespace CoreSystem
