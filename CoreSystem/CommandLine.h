#pragma once

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "CoreSystem/Command.h"

namespace CoreSystem {

// The words after a command's name, split into options and positional arguments and checked
// against what the command takes. An option starts with "--"; a word after "--" is always
// positional.
class CommandLine {
public:
    // Throws UsageError for an unknown option, a flag given a value, a value missing or given
    // twice, a required option left out, or too few or too many positional arguments.
    CommandLine(std::string_view program, const Command& command,
                std::span<const std::string> words);

    const Command& command() const { return *command_; }
    const std::vector<std::string>& positionals() const { return positionals_; }
    // Whether the option was given, a flag or an option with a value.
    bool has(std::string_view option) const;
    // The value given for the option (the last one of a repeated option).
    std::optional<std::string> value(std::string_view option) const;
    // Every value given for a repeated option, in order.
    std::vector<std::string> values(std::string_view option) const;

    // Prints "PROGRAM COMMAND: message" on stderr, for a problem the command goes on past.
    void warn(std::string_view message) const;
    // The same, for a problem that ends the command: returns exitFailure.
    int fail(std::string_view message) const;

private:
    std::string_view program_;
    const Command* command_;
    std::vector<std::string> positionals_;
    std::map<std::string, std::vector<std::string>, std::less<>> options_;
};

// Writes "SUBJECT: message" as one line on stderr.
void printCommandError(std::string_view subject, std::string_view message);

}  // namespace CoreSystem
