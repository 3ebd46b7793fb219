#include "tools/kx1/CommandLine.h"

#include <algorithm>
#include <cstdio>

namespace Kx1 {

bool CommandLine::parse(const Command& command, std::span<const std::string> arguments,
                        std::string& error) {
    command_ = &command;
    const auto listed = [](const std::vector<std::string_view>& options, std::string_view name) {
        return std::find(options.begin(), options.end(), name) != options.end();
    };
    bool optionsEnded = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (optionsEnded || !argument.starts_with("--")) {
            positionals_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "--help" ||
            (listed(command.flagOptions, name) && equals == std::string::npos)) {
            flags_.push_back(name);
            continue;
        }
        if (listed(command.flagOptions, name)) {
            error = name + " takes no value";
            return false;
        }
        if (!listed(command.valueOptions, name)) {
            error = "unknown option " + argument;
            return false;
        }
        if (value(name)) {
            error = name + " is given twice";
            return false;
        }
        if (equals != std::string::npos) {
            values_.emplace_back(name, argument.substr(equals + 1));
        } else if (index + 1 < arguments.size()) {
            values_.emplace_back(name, arguments[++index]);
        } else {
            error = name + " needs a value";
            return false;
        }
    }
    return true;
}

std::optional<std::string> CommandLine::value(std::string_view option) const {
    for (const auto& [name, text] : values_) {
        if (name == option) {
            return text;
        }
    }
    return std::nullopt;
}

bool CommandLine::has(std::string_view flag) const {
    return std::find(flags_.begin(), flags_.end(), flag) != flags_.end();
}

int CommandLine::fail(const std::string& message) const {
    printErrorLine("kx1 " + std::string(command_->name) + ": " + message);
    return exitFailure;
}

int CommandLine::usageError(const std::string& message) const {
    printErrorLine("kx1 " + std::string(command_->name) + ": " + message + " (usage: kx1 " +
                   std::string(command_->name) + " " + std::string(command_->usage) + ")");
    return exitUsage;
}

void printErrorLine(const std::string& text) {
    std::fputs((text + "\n").c_str(), stderr);
}

}  // namespace Kx1
