#pragma once

#include <cstddef>
#include <cstdint>

// Device-control command words of the unit's drivers, defined once for the program and for the
// stand-in drivers that answer them.
namespace Platform::DeviceCommands {

// IPL control ("/dev/iplctl"): read a 256-byte factory data block.
inline constexpr std::uint32_t iplReadDataBlock1 = 0x40040547;
inline constexpr std::uint32_t iplReadDataBlock2 = 0x40040543;
inline constexpr std::uint32_t iplReadDataBlock3 = 0x40040545;

// The read command of data block `kind` (1 to 3); 0 for any other kind.
constexpr std::uint32_t iplReadDataBlock(int kind) {
    switch (kind) {
        case 1:
            return iplReadDataBlock1;
        case 2:
            return iplReadDataBlock2;
        case 3:
            return iplReadDataBlock3;
        default:
            return 0;
    }
}

// Firmware programming through the touch ("/dev/touch-dura"), I/O ("/dev/io_interface") and
// IPL control drivers: the image goes in pieces of at most firmwarePieceSize bytes, in order,
// then a status request returns a 4-byte status word.
inline constexpr std::uint32_t firmwareData = 0x8004053D;
inline constexpr std::size_t firmwarePieceSize = 1024;
inline constexpr std::uint32_t picQuery = 0x4006053C;  // 6-byte reply, before the data
inline constexpr std::uint32_t touchProgrammingStatus = 0x40040540;
inline constexpr std::uint32_t programmingStatus = 0x4004053E;  // PIC and IPL
inline constexpr std::uint32_t bootstrapProgrammingStatus = 0x4004053F;

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
