#include "sim/unitsim/UnitInput.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <span>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/InputEvent.h"
#include "platform/Clock.h"
#include "platform/Device.h"
#include "platform/PhysicalMemory.h"
#include "sim/unitsim/Arguments.h"

namespace Sim::Unitsim {

namespace {

constexpr std::size_t touchMessageWords = 7;
// Every touch of unitsim is one finger, always the same one.
constexpr std::uint32_t touchContact = 1;

constexpr std::uint64_t gpioRegisterAddress = 0xE605580C;
// The shutdown-request input.
constexpr std::uint32_t shutdownRequestBit = 1U << 11U;

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

Platform::PhysicalMemory mapGpio(const UnitFolder& unit, bool writable) {
    Platform::PhysicalMemory gpio = Platform::PhysicalMemory::map(gpioRegisterAddress, 4, writable);
    if (!gpio.isMapped()) {
        throw CommandFailure(unit.hostPath("/dev/mem") + ": the GPIO register cannot be mapped");
    }
    return gpio;
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

}  // namespace

std::size_t keyIndex(const std::string& name) {
    for (std::size_t index = 0; index < keyNames.size(); ++index) {
        if (keyNames.at(index) == name) {
            return index;
        }
    }
    throw UsageError("unknown key '" + name + "' (keys: cancel select up down)");
}

bool isHighShutdownLevel(const std::string& level) {
    if (level != "high" && level != "low") {
        throw UsageError("the level is high or low, not '" + level + "'");
    }
    return level == "high";
}

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

void writeKeyMask(const UnitFolder& unit, std::uint32_t mask) {
    std::array<std::uint8_t, 2> message{};
    message[0] = static_cast<std::uint8_t>(mask & 0xFFU);
    message[1] = static_cast<std::uint8_t>((mask >> 8U) & 0xFFU);
    writeToDevice(unit, "/dev/key", message);
}

std::array<std::int32_t, 2> softKeyCentre(const CoreSystem::SoftKey& key) {
    // The driver's y counts upwards from the bottom, like the soft key's corner.
    return {key.x + CoreSystem::DisplayLayout::iconSize / 2,
            key.y + CoreSystem::DisplayLayout::iconSize / 2};
}

void tap(const UnitFolder& unit, std::int32_t x, std::int32_t y) {
    writeTouch(unit, CoreSystem::InputEvent::touchPress, x, y);
    Platform::sleepMilliseconds(holdMilliseconds);
    writeTouch(unit, CoreSystem::InputEvent::touchRelease, x, y);
}

void setShutdownRequest(const UnitFolder& unit, bool high) {
    Platform::PhysicalMemory gpio = mapGpio(unit, true);
    const std::uint32_t value = gpio.read32(0);
    gpio.write32(0, high ? value | shutdownRequestBit : value & ~shutdownRequestBit);
}

bool shutdownRequested(const UnitFolder& unit) {
    return (mapGpio(unit, false).read32(0) & shutdownRequestBit) != 0;
}

}  // namespace Sim::Unitsim
