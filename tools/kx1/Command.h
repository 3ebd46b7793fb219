#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Kx1 {

class CommandLine;

// Exit statuses of every subcommand.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// One subcommand of kx1: adding a subcommand is one more entry in the command table.
struct Command {
    // One or more words: "pack", or "dfu make" for a subcommand of a group.
    std::string_view name;
    std::string_view summary;
    // The arguments after the name, as the usage line shows them.
    std::string_view usage;
    // What --help prints after the usage line.
    std::string help;
    // Options that take a value ("--key PATH" or "--key=PATH") and options that stand alone.
    std::vector<std::string_view> valueOptions;
    std::vector<std::string_view> flagOptions;
    int (*run)(const CommandLine& line) = nullptr;
};

const std::vector<Command>& commandTable();

// The subcommands, each defined in its own file.
Command keygenCommand();
Command packCommand();
Command inspectCommand();
Command verifyCommand();
Command extractCommand();
Command crcCommand();
Command dfuMakeCommand();
Command dfuCheckCommand();

}  // namespace Kx1
