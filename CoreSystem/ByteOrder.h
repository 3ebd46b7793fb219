#pragma once

#include <cstdint>

// Little-endian fields of files and driver buffers, read and written byte by byte so that
// neither the host's byte order nor the alignment of the bytes matters.
namespace CoreSystem::ByteOrder {

inline std::uint16_t loadLittleEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8U);
}

inline void storeLittleEndian16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFFU);
    bytes[1] = static_cast<std::uint8_t>(value >> 8U);
}

inline std::uint32_t loadLittleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
           static_cast<std::uint32_t>(bytes[2]) << 16U |
           static_cast<std::uint32_t>(bytes[3]) << 24U;
}

inline std::uint64_t loadLittleEndian64(const std::uint8_t* bytes) {
    return static_cast<std::uint64_t>(loadLittleEndian32(bytes)) |
           static_cast<std::uint64_t>(loadLittleEndian32(bytes + 4)) << 32U;
}

inline void storeLittleEndian32(std::uint8_t* bytes, std::uint32_t value) {
    for (unsigned index = 0; index < 4; ++index) {
        bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

inline void storeLittleEndian64(std::uint8_t* bytes, std::uint64_t value) {
    storeLittleEndian32(bytes, static_cast<std::uint32_t>(value));
    storeLittleEndian32(bytes + 4, static_cast<std::uint32_t>(value >> 32U));
}

}  // namespace CoreSystem::ByteOrder
