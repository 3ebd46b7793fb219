#include "boot/PackageFormat.h"

#include <algorithm>

#include "CoreSystem/ByteOrder.h"

namespace Boot {

using CoreSystem::ByteOrder::loadLittleEndian32;
using CoreSystem::ByteOrder::loadLittleEndian64;
using CoreSystem::ByteOrder::storeLittleEndian32;
using CoreSystem::ByteOrder::storeLittleEndian64;

void PackageHeader::setPasswordBlock(std::span<const std::uint8_t, rsaBlockSize> block) {
    std::copy(block.begin(), block.end(), bytes.begin() + passwordBlockOffset);
}

void PackageHeader::setPartNumberBlock(std::span<const std::uint8_t, rsaBlockSize> block) {
    std::copy(block.begin(), block.end(), bytes.begin() + partNumberBlockOffset);
}

std::uint32_t PackageHeader::word(std::size_t offset) const {
    return loadLittleEndian32(bytes.data() + offset);
}

void PackageHeader::setWord(std::size_t offset, std::uint32_t value) {
    storeLittleEndian32(bytes.data() + offset, value);
}

ComponentEntry ComponentEntry::decode(std::span<const std::uint8_t, componentEntrySize> bytes) {
    return ComponentEntry{.type = loadLittleEndian32(bytes.data()),
                          .version = loadLittleEndian32(bytes.data() + 4),
                          .reserved = loadLittleEndian32(bytes.data() + 8),
                          .size = loadLittleEndian64(bytes.data() + 12),
                          .offset = loadLittleEndian64(bytes.data() + 20),
                          .crc = loadLittleEndian32(bytes.data() + 28)};
}

void ComponentEntry::encode(std::span<std::uint8_t, componentEntrySize> bytes) const {
    storeLittleEndian32(bytes.data(), type);
    storeLittleEndian32(bytes.data() + 4, version);
    storeLittleEndian32(bytes.data() + 8, reserved);
    storeLittleEndian64(bytes.data() + 12, size);
    storeLittleEndian64(bytes.data() + 20, offset);
    storeLittleEndian32(bytes.data() + 28, crc);
}

}  // namespace Boot
