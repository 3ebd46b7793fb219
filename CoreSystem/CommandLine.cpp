#include "CoreSystem/CommandLine.h"

#include <algorithm>
#include <cstdio>

namespace CoreSystem {

CommandLine::CommandLine(std::string_view program, const Command& command,
                         std::span<const std::string> words)
    : program_(program), command_(&command) {
    bool optionsEnded = false;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (optionsEnded || !word.starts_with("--")) {
            positionals_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const auto option =
            std::find_if(command.options.begin(), command.options.end(),
                         [&](const CommandOption& known) { return known.name == name; });
        if (option == command.options.end()) {
            throw UsageError("unknown option '" + name + "'");
        }
        std::vector<std::string>& given = options_[name];
        if (option->kind == OptionKind::flag) {
            if (equals != std::string::npos) {
                throw UsageError(name + " takes no value");
            }
            given.emplace_back();
            continue;
        }
        if (!given.empty() && option->kind != OptionKind::repeatedValue) {
            throw UsageError(name + " is given twice");
        }
        if (equals != std::string::npos) {
            given.push_back(word.substr(equals + 1));
        } else if (index + 1 < words.size()) {
            given.push_back(words[++index]);
        } else {
            throw UsageError(name + " needs a value");
        }
    }
    for (const CommandOption& option : command.options) {
        if (option.kind == OptionKind::requiredValue && !has(option.name)) {
            throw UsageError(std::string(option.name) + " is required");
        }
    }
    if (positionals_.size() < command.minimumArguments) {
        throw UsageError("too few arguments");
    }
    if (positionals_.size() > command.maximumArguments) {
        throw UsageError("unexpected argument '" + positionals_[command.maximumArguments] + "'");
    }
}

bool CommandLine::has(std::string_view option) const {
    return options_.find(option) != options_.end();
}

std::optional<std::string> CommandLine::value(std::string_view option) const {
    const auto found = options_.find(option);
    if (found == options_.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second.back();
}

std::vector<std::string> CommandLine::values(std::string_view option) const {
    const auto found = options_.find(option);
    return found == options_.end() ? std::vector<std::string>{} : found->second;
}

void CommandLine::warn(std::string_view message) const {
    printCommandError(std::string(program_) + " " + std::string(command_->name), message);
}

int CommandLine::fail(std::string_view message) const {
    warn(message);
    return exitFailure;
}

void printCommandError(std::string_view subject, std::string_view message) {
    const std::string line = std::string(subject) + ": " + std::string(message) + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace CoreSystem
