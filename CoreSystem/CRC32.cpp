#include "CoreSystem/CRC32.h"

namespace CoreSystem {
namespace {

constexpr std::uint32_t polynomial = 0x04C11DB7;

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t index = 0; index < 256; ++index) {
        std::uint32_t crc = index << 24U;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1U) ^ polynomial : crc << 1U;
        }
        table.at(index) = crc;
    }
    return table;
}

}  // namespace

const std::array<std::uint32_t, 256> CRC32::crc32Table = makeTable();

std::uint32_t CRC32::startValue(std::uint32_t seed) const {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(seed >> 24U),
                                  static_cast<std::uint8_t>(seed >> 16U),
                                  static_cast<std::uint8_t>(seed >> 8U),
                                  static_cast<std::uint8_t>(seed)};
    return updateReference(0, bytes, sizeof bytes);
}

std::uint32_t CRC32::update(std::uint32_t crc, const void* bytes, std::size_t count) const {
    return updateReference(crc, bytes, count);
}

std::uint32_t CRC32::updateReference(std::uint32_t crc, const void* bytes, std::size_t count) {
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t index = 0; index < count; ++index) {
        crc = crc32Table[((crc >> 24U) ^ data[index]) & 0xFFU] ^ (crc << 8U);
    }
    return crc;
}

}  // namespace CoreSystem
