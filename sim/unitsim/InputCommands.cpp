#include <array>
#include <cstdint>

#include "platform/Clock.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/UnitFolder.h"
#include "sim/unitsim/UnitInput.h"

namespace Sim::Unitsim {

namespace {

int press(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    writeKeyMask(unit, softKey(unit, line.positionals()[1]).keyMask);
    return 0;
}

int release(const CommandLine& line) {
    writeKeyMask(UnitFolder::existing(line.positionals()[0]), 0);
    return 0;
}

int click(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    writeKeyMask(unit, softKey(unit, line.positionals()[1]).keyMask);
    Platform::sleepMilliseconds(holdMilliseconds);
    writeKeyMask(unit, 0);
    return 0;
}

int touch(const CommandLine& line) {
    const std::optional<std::string> button = line.value("--button");
    // A point or a soft key, not both.
    if (button && line.positionals().size() > 1) {
        throw UsageError("unexpected argument '" + line.positionals()[1] + "'");
    }
    if (!button && line.positionals().size() < 3) {
        throw UsageError("too few arguments");
    }
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    std::int32_t x = 0;
    std::int32_t y = 0;
    if (button) {
        const std::array<std::int32_t, 2> centre = softKeyCentre(softKey(unit, *button));
        x = centre[0];
        y = centre[1];
    } else {
        x = parseSigned(line.positionals()[1], "X");
        y = parseSigned(line.positionals()[2], "Y");
    }
    tap(unit, x, y);
    return 0;
}

int gpio(const CommandLine& line) {
    const bool high = isHighShutdownLevel(line.positionals()[1]);
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    unit.exportAsUnitRoot();
    setShutdownRequest(unit, high);
    return 0;
}

}  // namespace

Command pressCommand() {
    return {
        .name = "press",
        .summary = "hold a hardware key down",
        .usage = "ROOT KEY",
        .help = "Holds a hardware key down. KEY: cancel select up down.\n",
        .minimumArguments = 2,
        .maximumArguments = 2,
        .run = press,
    };
}

Command releaseCommand() {
    return {
        .name = "release",
        .summary = "let go of every hardware key",
        .usage = "ROOT",
        .help = "Lets go of every hardware key.\n",
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = release,
    };
}

Command clickCommand() {
    return {
        .name = "click",
        .summary = "press a hardware key for 100 ms",
        .usage = "ROOT KEY",
        .help = "Presses a hardware key for 100 ms.\n",
        .minimumArguments = 2,
        .maximumArguments = 2,
        .run = click,
    };
}

Command touchCommand() {
    return {
        .name = "touch",
        .summary = "touch the screen at a point or on a soft key",
        .usage = "ROOT X Y | touch ROOT --button KEY",
        .help =
            "Touches the screen at (X, Y) (the touch driver's y counts upwards from the "
            "bottom), or the\ncentre of a soft key, for 100 ms.\n",
        .options = {{"--button", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 3,
        .run = touch,
    };
}

Command gpioCommand() {
    return {
        .name = "gpio",
        .summary = "set the shutdown-request input",
        .usage = "ROOT high|low",
        .help = "Sets the shutdown-request input (bit 11 of the register at 0xE605580C).\n",
        .minimumArguments = 2,
        .maximumArguments = 2,
        .run = gpio,
    };
}

}  // namespace Sim::Unitsim
