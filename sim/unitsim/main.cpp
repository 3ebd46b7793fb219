// unitsim: makes a simulated unit, runs its loader under a supervisor and lets a person or a
// test drive it (keys, touches, the stick, the shutdown request) and watch it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "CoreSystem/Console.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"

namespace {

using namespace Sim::Unitsim;

struct Command {
    std::string_view name;
    int (*run)(const Words&);
    std::string_view usage;
    std::string_view help;
};

const std::array<Command, 13> commands = {{
    {"make", makeCommand,
     "make ROOT [--display-type N] [--variant N] [--part-number N] [--serial-number N]\n"
     "             [--bluetooth-build N] [--unusable-data-partition] [--detach DEVICE]... "
     "[--attach DEVICE]...",
     "Makes a unit in the empty or new folder ROOT: its folders, physical memory with the boot\n"
     "parameters, factory data, unit.conf and the platform tools. DEVICE: key touch io-interface\n"
     "iplctl emmc bluetooth usb-serial."},
    {"start", startCommand,
     "start ROOT [--lcd VALUE] [--backlight VALUE] [--argument] [--capture DIR]\n"
     "              [--env NAME=VALUE]... [--loader PATH]",
     "Starts the unit's boot drivers and its loader under a supervisor and returns once the\n"
     "loader runs. --argument starts it as \"bootloader test\"; --capture keeps every frame in "
     "DIR;\n"
     "--loader runs another program in the loader's place."},
    {"run", runCommand, "run ROOT [start options] [--timeout SECONDS]",
     "Starts the unit, waits for the end of the run (60 s unless given) and prints its outcome;\n"
     "a run that takes too long is stopped with the outcome \"timeout\" (exit 1)."},
    {"wait", waitCommand,
     "wait ROOT (--end | --reset | --output TEXT | --frames N) [--timeout SECONDS]",
     "Waits (60 s unless given) for the end of the run (printing its outcome), for a reset, for\n"
     "TEXT in the loader output or for N captured frames. Exit 1 when the time runs out or the\n"
     "run ends without it."},
    {"press", pressCommand, "press ROOT KEY",
     "Holds a hardware key down. KEY: cancel select up down."},
    {"release", releaseCommand, "release ROOT", "Lets go of every hardware key."},
    {"click", clickCommand, "click ROOT KEY", "Presses a hardware key for 100 ms."},
    {"touch", touchCommand, "touch ROOT X Y | touch ROOT --button KEY",
     "Touches the screen at (X, Y) (the touch driver's y counts upwards from the bottom), or the\n"
     "centre of a soft key, for 100 ms."},
    {"stick", stickCommand, "stick ROOT FILE [NAME]",
     "Copies FILE onto the USB stick (mnt/stick/), as NAME when given."},
    {"gpio", gpioCommand, "gpio ROOT high|low",
     "Sets the shutdown-request input (bit 11 of the register at 0xE605580C)."},
    {"frame", frameCommand, "frame ROOT",
     "Prints the host path of the latest frame, its size in pixels and in bytes."},
    {"logs", logsCommand, "logs ROOT [loader|install|slog|commands|received]",
     "Prints the loader output (the default), the install log, the system log, the stand-ins'\n"
     "command log, or what the stand-in drivers received."},
    {"stop", stopCommand, "stop ROOT",
     "Ends the running unit and everything it started, and prints the outcome."},
}};

void printOverview() {
    std::string text = "usage: unitsim COMMAND ROOT ...   (unitsim COMMAND --help for more)\n\n";
    for (const Command& command : commands) {
        text += "  unitsim " + std::string(command.usage) + "\n";
    }
    text += "\nExit status: 0 success, 1 failure, 2 wrong use.\n";
    CoreSystem::Console::print(text);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    if (words.empty()) {
        printOverview();
        return 2;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        printOverview();
        return 0;
    }
    const auto* command = std::find_if(commands.begin(), commands.end(), [&](const Command& known) {
        return known.name == words[0];
    });
    if (command == commands.end()) {
        std::fprintf(stderr, "unitsim: unknown command '%s' (see unitsim --help)\n",
                     words[0].c_str());
        return 2;
    }
    const Words rest(words.begin() + 1, words.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        CoreSystem::Console::print("usage: unitsim " + std::string(command->usage) + "\n\n" +
                                   std::string(command->help) + "\n");
        return 0;
    }
    try {
        return command->run(rest);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "unitsim %s: %s (see unitsim %s --help)\n", words[0].c_str(),
                     error.what(), words[0].c_str());
        return 2;
    } catch (const CommandFailure& error) {
        std::fprintf(stderr, "unitsim %s: %s\n", words[0].c_str(), error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "unitsim %s: %s\n", words[0].c_str(), error.what());
        return 1;
    }
}
