#include "CoreSystem/CRC32.h"

namespace CoreSystem {
namespace {

constexpr std::uint32_t polynomial = 0x04C11DB7;

using Table = std::array<std::uint32_t, 256>;

constexpr Table makeTable() {
    Table table{};
    for (std::uint32_t index = 0; index < 256; ++index) {
        std::uint32_t crc = index << 24U;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1U) ^ polynomial : crc << 1U;
        }
        table.at(index) = crc;
    }
    return table;
}

constexpr std::size_t slicingWidth = 8;

// Table k maps a byte to the register after that byte and k zero bytes, started from 0, so
// that eight bytes become eight independent lookups.
constexpr std::array<Table, slicingWidth> makeSlicingTables() {
    std::array<Table, slicingWidth> tables{};
    tables.at(0) = makeTable();
    for (std::size_t distance = 1; distance < slicingWidth; ++distance) {
        for (std::size_t index = 0; index < 256; ++index) {
            const std::uint32_t previous = tables.at(distance - 1).at(index);
            tables.at(distance).at(index) = tables.at(0).at(previous >> 24U) ^ (previous << 8U);
        }
    }
    return tables;
}

constexpr std::array<Table, slicingWidth> slicingTables = makeSlicingTables();

std::uint32_t loadBigEndian(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24U |
           static_cast<std::uint32_t>(bytes[1]) << 16U |
           static_cast<std::uint32_t>(bytes[2]) << 8U | static_cast<std::uint32_t>(bytes[3]);
}

}  // namespace

const std::array<std::uint32_t, 256> CRC32::crc32Table = makeTable();

std::vector<CRC32::Path> CRC32::paths() {
    std::vector<Path> found = {{"byte-table", &updateReference}, {"slicing-by-8", &updateSlicing}};
#if defined(__x86_64__)
    if (carrylessMultiplySupported()) {
        found.push_back({"carry-less-multiply", &updateCarrylessMultiply});
    }
    if (wideCarrylessMultiplySupported()) {
        found.push_back({"wide-carry-less-multiply", &updateWideCarrylessMultiply});
    }
#endif
    return found;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): called through a CRC object
std::uint32_t CRC32::startValue(std::uint32_t seed) const {
    const std::uint8_t bytes[] = {
        static_cast<std::uint8_t>(seed >> 24U), static_cast<std::uint8_t>(seed >> 16U),
        static_cast<std::uint8_t>(seed >> 8U), static_cast<std::uint8_t>(seed)};
    return updateReference(0, bytes, sizeof bytes);
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): called through a CRC object
std::uint32_t CRC32::update(std::uint32_t crc, const void* bytes, std::size_t count) const {
    static const UpdateFunction fastest = paths().back().update;
    return fastest(crc, bytes, count);
}

std::uint32_t CRC32::updateReference(std::uint32_t crc, const void* bytes, std::size_t count) {
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t index = 0; index < count; ++index) {
        crc = crc32Table[((crc >> 24U) ^ data[index]) & 0xFFU] ^ (crc << 8U);
    }
    return crc;
}

std::uint32_t CRC32::updateSlicing(std::uint32_t crc, const void* bytes, std::size_t count) {
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    const auto& [table0, table1, table2, table3, table4, table5, table6, table7] = slicingTables;
    for (; count >= slicingWidth; count -= slicingWidth, data += slicingWidth) {
        // The register overlaps the first four bytes; the last four only enter the lookups.
        const std::uint32_t high = crc ^ loadBigEndian(data);
        const std::uint32_t low = loadBigEndian(data + 4);
        crc = table7[high >> 24U] ^ table6[(high >> 16U) & 0xFFU] ^ table5[(high >> 8U) & 0xFFU] ^
              table4[high & 0xFFU] ^ table3[low >> 24U] ^ table2[(low >> 16U) & 0xFFU] ^
              table1[(low >> 8U) & 0xFFU] ^ table0[low & 0xFFU];
    }
    return updateReference(crc, data, count);
}

}  // namespace CoreSystem
