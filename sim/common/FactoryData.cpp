#include "sim/common/FactoryData.h"

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"

namespace Sim {

std::vector<std::uint8_t> FactoryData::words(std::size_t size,
                                             const std::map<std::size_t, std::uint32_t>& values,
                                             std::size_t covered, std::size_t crcOffset,
                                             bool crcMatches) {
    std::vector<std::uint8_t> bytes(size, 0xFF);
    for (const auto& [index, value] : values) {
        CoreSystem::ByteOrder::storeLittleEndian32(&bytes.at(index * 4), value);
    }
    const CoreSystem::CRC32 crc;
    const std::uint32_t checksum =
        crc.update(crc.startValue(CoreSystem::CRC32::packageSeed), bytes.data(), covered);
    CoreSystem::ByteOrder::storeLittleEndian32(&bytes.at(crcOffset),
                                               checksum ^ (crcMatches ? 0U : 1U));
    return bytes;
}

std::vector<std::uint8_t> FactoryData::block1(const std::map<std::size_t, std::uint32_t>& values) {
    return words(blockSize, values, blockSize - 4, blockSize - 4);
}

}  // namespace Sim
