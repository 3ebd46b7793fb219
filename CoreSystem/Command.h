#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace CoreSystem {

class CommandLine;

// Exit statuses of the command-line programs (kx1, unitsim) and of each of their commands.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// The command was called the wrong way: the program prints the message and the command's usage
// on stderr and exits with exitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class OptionKind {
    // "--name" on its own.
    flag,
    // "--name VALUE" or "--name=VALUE", at most once.
    value,
    // The same, and the command cannot do without it.
    requiredValue,
    // "--name VALUE" as often as wanted; the values are kept in order.
    repeatedValue,
};

struct CommandOption {
    // With its dashes: "--key".
    std::string_view name;
    OptionKind kind = OptionKind::flag;
};

// For Command::maximumArguments: no upper bound.
inline constexpr std::size_t anyNumber = std::numeric_limits<std::size_t>::max();

// One command of a command-line program: adding a command is one more entry in its table.
struct Command {
    // One or more words: "pack", or "dfu make" for a command of a group.
    std::string_view name;
    // One line for the program's list of commands.
    std::string_view summary;
    // What follows the name on the usage line; a line break goes on in an indented line.
    std::string_view usage;
    // What --help prints after the usage line.
    std::string help;
    std::vector<CommandOption> options;
    // How many positional arguments the command takes.
    std::size_t minimumArguments = 0;
    std::size_t maximumArguments = 0;
    // Runs the command once its arguments passed the checks; returns the exit status.
    int (*run)(const CommandLine& line) = nullptr;
};

}  // namespace CoreSystem
