// kx1: the packaging tool for the unit's install packages. Each subcommand lives in its own file
// and is one entry of the command table below.
#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "CoreSystem/Console.h"
#include "tools/kx1/Command.h"
#include "tools/kx1/CommandLine.h"

namespace Kx1 {

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        keygenCommand(),  packCommand(), inspectCommand(), verifyCommand(),
        extractCommand(), crcCommand(),  dfuMakeCommand(), dfuCheckCommand(),
    };
    return table;
}

namespace {

using CoreSystem::Console;

std::string overview() {
    std::string text =
        "usage: kx1 COMMAND [ARGUMENTS] [OPTIONS]\n"
        "\n"
        "Builds, signs, inspects and checks the install packages (.kx1) of the display unit.\n"
        "\n"
        "commands:\n";
    for (const Command& command : commandTable()) {
        std::string name(command.name);
        name.resize(std::max<std::size_t>(name.size(), 10), ' ');
        text += "  " + name + "  " + std::string(command.summary) + "\n";
    }
    return text +
           "\n"
           "Run \"kx1 COMMAND --help\" for the arguments and options of a command.\n"
           "Exit status: 0 success, 1 failure, 2 wrong use.\n";
}

// The command whose words begin the arguments, the one with the most words when several do.
const Command* findCommand(const std::vector<std::string>& arguments, std::size_t& wordCount) {
    const Command* found = nullptr;
    wordCount = 0;
    for (const Command& command : commandTable()) {
        std::size_t words = 0;
        std::string_view rest = command.name;
        bool matches = true;
        while (matches && !rest.empty()) {
            const std::size_t space = rest.find(' ');
            matches = words < arguments.size() && arguments[words] == rest.substr(0, space);
            ++words;
            rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
        }
        if (matches && words > wordCount) {
            found = &command;
            wordCount = words;
        }
    }
    return found;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        printErrorLine("kx1: no command given (see kx1 --help)");
        return exitUsage;
    }
    if (arguments.front() == "--help" || arguments.front() == "-h" || arguments.front() == "help") {
        Console::print(overview());
        return exitSuccess;
    }
    std::size_t wordCount = 0;
    const Command* command = findCommand(arguments, wordCount);
    if (command == nullptr) {
        printErrorLine("kx1: unknown command '" + arguments.front() + "' (see kx1 --help)");
        return exitUsage;
    }
    CommandLine line;
    std::string error;
    const bool parsed =
        line.parse(*command, std::span<const std::string>(arguments).subspan(wordCount), error);
    if (line.has("--help")) {
        Console::print("usage: kx1 " + std::string(command->name) + " " +
                       std::string(command->usage) + "\n\n" + command->help);
        return exitSuccess;
    }
    if (!parsed) {
        return line.usageError(error);
    }
    return command->run(line);
}

}  // namespace
}  // namespace Kx1

int main(int argc, char** argv) {
    // Failures are reported by return values; this only keeps an unforeseen exception (memory
    // exhausted, say) to one line and exit status 1.
    try {
        return Kx1::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& exception) {
        Kx1::printErrorLine(std::string("kx1: ") + exception.what());
        return Kx1::exitFailure;
    }
}
