#include "sim/drivers/PmicI2cDriver.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/DeviceCommands.h"
#include "sim/common/StandinProcess.h"

namespace Sim {
namespace {

namespace Commands = Platform::DeviceCommands;

constexpr std::uint32_t pmicAddress = 0x5A;
constexpr std::uint8_t watchdogResetRegister = 0x13;
constexpr std::uint8_t watchdogResetValue = 0x01;

std::string hexByte(std::uint32_t value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%02x", value);
    return text.data();
}

}  // namespace

PmicI2cDriver::PmicI2cDriver(const std::string& hostPath, std::string resetMarkerPath)
    : resetMarkerPath_(std::move(resetMarkerPath)),
      server_(hostPath, {.devctl = [this](std::uint32_t command, std::vector<std::uint8_t>& data) {
                  return answer(command, data);
              }}) {}

std::int32_t PmicI2cDriver::answer(std::uint32_t command,
                                   const std::vector<std::uint8_t>& data) const {
    if (command != Commands::i2cSend) {
        return ENOSYS;
    }
    Commands::I2cSendHeader header{};
    if (data.size() < sizeof header) {
        return EINVAL;
    }
    std::memcpy(&header, data.data(), sizeof header);
    if (header.length > data.size() - sizeof header) {
        return EINVAL;
    }
    const std::uint8_t* bytes = data.data() + sizeof header;
    std::string line = "slave " + hexByte(header.slaveAddress);
    if (header.length == 2) {
        line += " reg " + hexByte(bytes[0]) + " value " + hexByte(bytes[1]);
    } else {
        line += " bytes";
        for (std::uint32_t index = 0; index < header.length; ++index) {
            line += " " + hexByte(bytes[index]);
        }
    }
    StandinProcess::appendReceivedLine("pmic.log", line);
    if (header.slaveAddress == pmicAddress && header.length == 2 &&
        bytes[0] == watchdogResetRegister && bytes[1] == watchdogResetValue) {
        std::ofstream(resetMarkerPath_) << "pmic watchdog reset\n";
    }
    return 0;
}

}  // namespace Sim
