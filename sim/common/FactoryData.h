#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace Sim {

// The unit's factory data as its flash holds it: 32-bit little-endian words over erased (0xFF)
// bytes, sealed by the package checksum of the first `covered` bytes stored at `crcOffset`.
class FactoryData {
public:
    static constexpr std::size_t blockSize = 256;

    // `crcMatches` false stores a checksum that is off by one bit, as damaged data would have.
    static std::vector<std::uint8_t> words(std::size_t size,
                                           const std::map<std::size_t, std::uint32_t>& values,
                                           std::size_t covered, std::size_t crcOffset,
                                           bool crcMatches = true);
    // A valid block 1 (the checksum in its last word) holding the given words: part number 0,
    // serial number 1, display type 8, variant code 9.
    static std::vector<std::uint8_t> block1(const std::map<std::size_t, std::uint32_t>& values);
};

}  // namespace Sim
