#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/Console.h"
#include "CoreSystem/DisplayLayout.h"
#include "CoreSystem/InputEvent.h"
#include "platform/Clock.h"
#include "platform/Device.h"
#include "platform/PhysicalMemory.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

namespace {

// How long a click or a touch holds before it lets go.
constexpr int holdMilliseconds = 100;
constexpr std::size_t touchMessageWords = 7;
// Every touch of unitsim is one finger, always the same one.
constexpr std::uint32_t touchContact = 1;

constexpr std::uint64_t gpioRegisterAddress = 0xE605580C;
// The shutdown-request input.
constexpr std::uint32_t shutdownRequestBit = 1U << 11U;

constexpr std::array<std::string_view, 4> keyNames = {"cancel", "select", "up", "down"};

// Soft key n is button n: cancel, select, up, down.
std::size_t keyIndex(const std::string& name) {
    for (std::size_t index = 0; index < keyNames.size(); ++index) {
        if (keyNames[index] == name) {
            return index;
        }
    }
    throw UsageError("unknown key '" + name + "' (keys: cancel select up down)");
}

// The soft key for the unit's display type; CommandFailure when that display has no such key.
CoreSystem::SoftKey softKey(const UnitFolder& unit, const std::string& name) {
    const std::size_t index = keyIndex(name);
    const std::uint32_t displayType = unit.configuration().displayType;
    const std::map<int, CoreSystem::DisplayLayout> layouts = CoreSystem::DisplayLayout::builtIn();
    const auto layout = layouts.find(static_cast<int>(displayType));
    if (layout == layouts.end() || layout->second.keys.at(index).keyMask == 0) {
        throw CommandFailure("display type " + std::to_string(displayType) + " has no " + name +
                             " key");
    }
    return layout->second.keys.at(index);
}

// Writes one message to a device of the unit, which must take it whole.
void writeToDevice(const UnitFolder& unit, const char* unitPath,
                   std::span<const std::uint8_t> message) {
    const std::string path = unit.hostPath(unitPath);
    Platform::Device device = Platform::Device::open(path, O_RDWR);
    if (!device.isOpen()) {
        throw CommandFailure(path + ": " + std::strerror(device.openError()));
    }
    const ssize_t written = device.write(message.data(), message.size());
    if (written != static_cast<ssize_t>(message.size())) {
        throw CommandFailure(path + ": the write was refused" +
                             (written < 0 ? std::string(": ") + std::strerror(errno) : ""));
    }
}

void writeKeyMask(const UnitFolder& unit, std::uint32_t mask) {
    std::array<std::uint8_t, 2> message{};
    message[0] = static_cast<std::uint8_t>(mask & 0xFFU);
    message[1] = static_cast<std::uint8_t>((mask >> 8U) & 0xFFU);
    writeToDevice(unit, "/dev/key", message);
}

void writeTouch(const UnitFolder& unit, std::uint32_t kind, std::int32_t x, std::int32_t y) {
    std::array<std::uint8_t, touchMessageWords * 4> message{};
    const std::array<std::uint32_t, touchMessageWords> words = {
        kind, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), touchContact, 0, 0, 0};
    for (std::size_t index = 0; index < words.size(); ++index) {
        CoreSystem::ByteOrder::storeLittleEndian32(&message.at(index * 4), words.at(index));
    }
    writeToDevice(unit, "/dev/touch-dura", message);
}

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
        // The driver's y counts upwards from the bottom, like the soft key's corner.
        const CoreSystem::SoftKey key = softKey(unit, *button);
        x = key.x + CoreSystem::DisplayLayout::iconSize / 2;
        y = key.y + CoreSystem::DisplayLayout::iconSize / 2;
    } else {
        x = parseSigned(line.positionals()[1], "X");
        y = parseSigned(line.positionals()[2], "Y");
    }
    writeTouch(unit, CoreSystem::InputEvent::touchPress, x, y);
    Platform::sleepMilliseconds(holdMilliseconds);
    writeTouch(unit, CoreSystem::InputEvent::touchRelease, x, y);
    return 0;
}

int gpio(const CommandLine& line) {
    const std::string& level = line.positionals()[1];
    if (level != "high" && level != "low") {
        throw UsageError("the level is high or low, not '" + level + "'");
    }
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    unit.exportAsUnitRoot();
    Platform::PhysicalMemory gpio = Platform::PhysicalMemory::map(gpioRegisterAddress, 4, true);
    if (!gpio.isMapped()) {
        throw CommandFailure(unit.hostPath("/dev/mem") + ": the GPIO register cannot be mapped");
    }
    const std::uint32_t value = gpio.read32(0);
    gpio.write32(0, level == "high" ? value | shutdownRequestBit : value & ~shutdownRequestBit);
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
