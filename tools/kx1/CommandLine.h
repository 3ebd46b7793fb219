#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/kx1/Command.h"

namespace Kx1 {

// The arguments of one subcommand, split into options and positional arguments.
class CommandLine {
public:
    // False with `error` for an unknown option, a missing value or an option given twice.
    bool parse(const Command& command, std::span<const std::string> arguments, std::string& error);

    const Command& command() const { return *command_; }
    const std::vector<std::string>& positionals() const { return positionals_; }
    std::optional<std::string> value(std::string_view option) const;
    bool has(std::string_view flag) const;

    // Prints "kx1 NAME: message" on stderr and returns exitFailure.
    int fail(const std::string& message) const;
    // Prints the message with the usage line on stderr and returns exitUsage.
    int usageError(const std::string& message) const;

private:
    const Command* command_ = nullptr;
    std::vector<std::string> positionals_;
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> flags_;
};

// Writes one line to stderr.
void printErrorLine(const std::string& text);

}  // namespace Kx1
