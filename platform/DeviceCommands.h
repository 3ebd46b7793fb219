#pragma once

#include <cstdint>

// Device-control command words of the unit's drivers, defined once for the program and for the
// stand-in drivers that answer them.
namespace Platform::DeviceCommands {

// IPL control ("/dev/iplctl"): read a 256-byte factory data block.
inline constexpr std::uint32_t iplReadDataBlock1 = 0x40040547;
inline constexpr std::uint32_t iplReadDataBlock2 = 0x40040543;
inline constexpr std::uint32_t iplReadDataBlock3 = 0x40040545;

// I2C master ("/dev/i2c6"): send bytes to a slave. The data is an I2cSendHeader followed by the
// bytes to send.
inline constexpr std::uint32_t i2cSend = 0x80100602;

struct I2cSendHeader {
    std::uint32_t slaveAddress;
    std::uint32_t addressFormat;
    std::uint32_t length;
    std::uint32_t stop;
};
static_assert(sizeof(I2cSendHeader) == 16);

inline constexpr std::uint32_t i2cAddressFormat7Bit = 1;

}  // namespace Platform::DeviceCommands
