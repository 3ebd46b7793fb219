#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "CoreSystem/Command.h"

namespace CoreSystem {

// A program made of commands, called as "PROGRAM COMMAND [ARGUMENTS] [OPTIONS]". It prints the
// list of commands for --help, -h or help, a command's usage and help for "COMMAND --help" (both
// on stdout, exit status 0), and for a wrong call one line naming the problem and the usage on
// stderr (exit status 2). A failure of a command ends its run with "PROGRAM COMMAND: message"
// on stderr and exit status 1.
class CommandProgram {
public:
    // `usage` follows the program's name on its usage line; `description` opens the list of
    // commands.
    CommandProgram(std::string_view name, std::string_view usage, std::string_view description,
                   std::vector<Command> commands);

    // Runs the command that the words name with the words after its name; the exit status.
    int run(std::span<const std::string> words) const;

private:
    std::string overview() const;
    // "usage: PROGRAM NAME USAGE", each further line of the usage indented below its start.
    std::string usageText(const Command& command) const;
    // The command whose words begin `words`, the one with the most words when several do, and
    // how many words its name has; nullptr when none does.
    const Command* find(std::span<const std::string> words, std::size_t& wordCount) const;
    int wrongCall(const std::string& message) const;
    int runCommand(const Command& command, std::span<const std::string> words) const;

    std::string name_;
    std::string usage_;
    std::string description_;
    std::vector<Command> commands_;
};

}  // namespace CoreSystem
